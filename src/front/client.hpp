// One connection: read one request, answer it, close.
#pragma once
#include <cstddef>

#include "platform/net.hpp"
#include "settings/settings.hpp"

// Serves one connection on the calling thread and closes it.
void handle_client(socket_handle client, const shim_settings& settings);

// The per-connection socket options (no delay, the send stall limit); set on
// the listener instead where accepted sockets inherit them.
bool set_connection_options(const socket_handle& s, error_text& err);

// Answers a connection past the connection cap with 503 and closes it.
void refuse_connection(const socket_handle& client, const shim_settings& settings);

// A connection thread holds two read blocks and a few small texts on its
// stack; the HTTP client below it needs more, so leave room for that.
inline constexpr size_t connection_stack_bytes = 256 * 1024;
