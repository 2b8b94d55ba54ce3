// What the code shared by both systems needs from this one: the socket
// calls' headers and types, and how a failed call reads as a text.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/bounded.hpp"

using os_socket = int;
using os_addr_len = socklen_t;

inline os_socket os_socket_of(intptr_t fd) { return static_cast<int>(fd); }
inline void os_close_socket(intptr_t fd) { ::close(static_cast<int>(fd)); }

// "<what>: <the system's words for the last failure>"
inline void set_os_error(error_text& err, const char* what) { set_error(err, "%s: %s", what, std::strerror(errno)); }
