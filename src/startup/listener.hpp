// The loopback listener and the accept loop.
#pragma once
#include "platform/net.hpp"
#include "settings/settings.hpp"

struct listener_result {
    bool ok = false;
    int port = 0;        // the port actually bound, read back from the socket
    int error_code = 0;  // the platform's code when no port could be bound or listened on
};

// Binds 127.0.0.1 on `port`, or on the next of the 20 above it when taken,
// and listens. Never listens on an unbound socket: that would open a random
// port on every interface.
listener_result open_listener(int port, socket_handle& listener);

// At most this many connections are served at once; past it a caller gets
// 503 at once instead of a thread.
inline constexpr int max_connections = 1024;

// Serves connections for ever on threads that wait in accept themselves
// (the calling thread among them), one thread per connection while it lasts.
[[noreturn]] void accept_loop(const socket_handle& listener, const shim_settings& settings);
