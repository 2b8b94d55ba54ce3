// One connection: read one request, answer it, close.
#pragma once
#include <cstddef>

#include "platform/net.hpp"

// Serves one connection on the calling thread and closes it.
void handle_client(socket_handle client);

// A connection thread holds two read blocks and a few small texts on its
// stack; the HTTP client below it needs more, so leave room for that.
inline constexpr size_t connection_stack_bytes = 256 * 1024;

// At most this many connections are served at once; past it a caller gets
// 503 at once instead of a thread.
inline constexpr int max_connections = 1024;

bool admit_connection();    // counts a connection in, false when full
void release_connection();  // counts it out again, after its socket is closed
void refuse_connection(const socket_handle& client);
