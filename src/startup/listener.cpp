#include "startup/listener.hpp"

#include <atomic>
#include <new>

#include "front/client.hpp"
#include "platform/thread.hpp"

namespace {

constexpr int bind_attempts = 21;
// Room for a burst of connects as large as the connection cap: a short
// queue overflows under load and the kernel drops the SYNs, which costs the
// caller a retransmit of a second or more.
constexpr int listen_backlog = max_connections;

}  // namespace

listener_result open_listener(int port, socket_handle& listener) {
    listener_result result;
    error_text err;
    for (int attempt = 0; attempt < bind_attempts && port + attempt <= 65535; ++attempt) {
        socket_handle s;
        if (!tcp_socket(s, err)) {
            result.error_code = net_last_error();
            return result;
        }
        sock_set_listener_reuse(s, err);
        if (!tcp_bind_loopback(s, static_cast<uint16_t>(port + attempt), err)) {
            result.error_code = net_last_error();
            continue;
        }
        if (!tcp_listen(s, listen_backlog, err)) {
            result.error_code = net_last_error();
            return result;
        }
        result.ok = true;
        result.port = sock_local_port(s);
        listener = std::move(s);
        return result;
    }
    return result;
}

void accept_loop(const socket_handle& listener) {
    for (;;) {
        socket_handle client;
        if (!tcp_accept(listener, client)) continue;
        if (!admit_connection()) {
            refuse_connection(client);
            continue;
        }
        // The cell carries the socket to its thread, which takes ownership.
        auto* cell = new (std::nothrow) socket_handle(std::move(client));
        if (!cell) {
            release_connection();
            continue;  // allocation failed before the move: `client` still closes the socket
        }
        if (!start_detached_thread(handle_client, cell, connection_stack_bytes)) {
            delete cell;  // closes the socket
            release_connection();
        }
    }
}
