#include "startup/listener.hpp"

#include <atomic>

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
        if (accepted_sockets_inherit_options) set_connection_options(s, err);
        sock_set_accept_on_data(s);
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

namespace {

// Connection threads wait in accept themselves, so a new connection finds a
// thread already running instead of paying for a thread start (and its
// exit) on every request. Spares are topped up as threads get busy and
// retire when too many sit idle; each connection still has one thread to
// itself from accept to close.
constexpr int min_spare_threads = 4;
constexpr int max_spare_threads = 32;
// Serving threads are capped by the connection count; the spares beyond it
// keep accepting, so a caller past the cap still gets its 503 at once.
constexpr int max_threads = max_connections + max_spare_threads;

const socket_handle* g_listener = nullptr;
const shim_settings* g_settings = nullptr;
std::atomic<int> g_idle{0};
std::atomic<int> g_active{0};  // connections being served

bool admit_connection() {
    if (g_active.fetch_add(1, std::memory_order_acq_rel) >= max_connections) {
        g_active.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

void release_connection() { g_active.fetch_sub(1, std::memory_order_acq_rel); }
std::atomic<int> g_threads{0};

void acceptor_thread(void*);

void start_acceptor() {
    g_threads.fetch_add(1);
    g_idle.fetch_add(1);
    if (!start_detached_thread(acceptor_thread, nullptr, connection_stack_bytes)) {
        g_idle.fetch_sub(1);
        g_threads.fetch_sub(1);
    }
}

// Accepts and serves one connection; false when the thread should retire.
bool serve_next(bool may_retire) {
    socket_handle client;
    if (!tcp_accept(*g_listener, client)) return true;
    // Counted in at once, so connections are admitted in the order they
    // were accepted, not in the order their threads get past a thread start.
    bool admitted = admit_connection();
    int idle = g_idle.fetch_sub(1) - 1;
    if (idle < min_spare_threads && g_threads.load() < max_threads) start_acceptor();
    if (admitted) {
        handle_client(std::move(client), *g_settings);
        release_connection();
    } else {
        refuse_connection(client, *g_settings);
    }
    if (g_idle.fetch_add(1) + 1 > max_spare_threads && may_retire) {
        g_idle.fetch_sub(1);
        g_threads.fetch_sub(1);
        return false;
    }
    return true;
}

void acceptor_thread(void*) {
    while (serve_next(true)) {
    }
}

}  // namespace

void accept_loop(const socket_handle& listener, const shim_settings& settings) {
    g_listener = &listener;
    g_settings = &settings;
    g_threads.fetch_add(1);  // this thread accepts too, and never retires
    g_idle.fetch_add(1);
    for (int i = 0; i < min_spare_threads; ++i) start_acceptor();
    for (;;) serve_next(false);
}
