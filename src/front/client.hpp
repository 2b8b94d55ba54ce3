// One connection: read one request, answer it, close.
#pragma once
#include <cstddef>

#include "platform/net.hpp"
#include "settings/settings.hpp"

// Serves one connection on the calling thread and closes it.
void handle_client(socket_handle client, const shim_settings& settings);

// A caller that stops reading its reply this long is treated as gone.
inline constexpr int reply_stall_limit_ms = 60 * 1000;

// Answers a connection past the connection cap with 503 and closes it.
void refuse_connection(socket_handle client, const shim_settings& settings);

// A connection thread holds two read blocks and a few small texts on its
// stack; the HTTP client below it needs more, so leave room for that.
inline constexpr size_t connection_stack_bytes = 256 * 1024;
