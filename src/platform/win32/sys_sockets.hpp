// What the code shared by both systems needs from this one: the socket
// calls' headers and types, and how a failed call reads as a text.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "text/bounded.hpp"

using os_socket = SOCKET;
using os_addr_len = int;

inline os_socket os_socket_of(intptr_t fd) { return static_cast<SOCKET>(fd); }
inline void os_close_socket(intptr_t fd) { ::closesocket(static_cast<SOCKET>(fd)); }

// "<what>: error <code>"; socket calls report through WSAGetLastError, which
// also carries GetLastError's codes for file calls.
inline void set_os_error(error_text& err, const char* what) { set_error(err, "%s: error %d", what, WSAGetLastError()); }
