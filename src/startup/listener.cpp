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
        sock_prepare_listener(s, reply_stall_limit_ms);
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

// What the accepting threads share, handed to each as its thread argument;
// it lives in accept_loop, which never returns.
struct acceptor_pool {
    const socket_handle& listener;
    const shim_settings& settings;
    std::atomic<int> idle{0};     // threads waiting in accept
    std::atomic<int> active{0};   // connections being served
    std::atomic<int> threads{0};  // accepting threads, idle or serving
};

bool admit_connection(acceptor_pool& pool) {
    if (pool.active.fetch_add(1, std::memory_order_acq_rel) >= max_connections) {
        pool.active.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

void release_connection(acceptor_pool& pool) { pool.active.fetch_sub(1, std::memory_order_acq_rel); }

void acceptor_thread(void* pool);

void start_acceptor(acceptor_pool& pool) {
    pool.threads.fetch_add(1);
    pool.idle.fetch_add(1);
    if (!start_detached_thread(acceptor_thread, &pool, connection_stack_bytes)) {
        pool.idle.fetch_sub(1);
        pool.threads.fetch_sub(1);
    }
}

// Accepts and serves one connection; false when the thread should retire.
bool serve_next(acceptor_pool& pool, bool may_retire) {
    socket_handle client;
    if (!tcp_accept(pool.listener, client)) return true;
    // Counted in at once, so connections are admitted in the order they
    // were accepted, not in the order their threads get past a thread start.
    bool admitted = admit_connection(pool);
    int idle = pool.idle.fetch_sub(1) - 1;
    if (idle < min_spare_threads && pool.threads.load() < max_threads) start_acceptor(pool);
    if (admitted) {
        handle_client(std::move(client), pool.settings);
        release_connection(pool);
    } else {
        refuse_connection(std::move(client), pool.settings);
    }
    if (pool.idle.fetch_add(1) + 1 > max_spare_threads && may_retire) {
        pool.idle.fetch_sub(1);
        pool.threads.fetch_sub(1);
        return false;
    }
    return true;
}

void acceptor_thread(void* pool) {
    while (serve_next(*static_cast<acceptor_pool*>(pool), true)) {
    }
}

}  // namespace

void accept_loop(const socket_handle& listener, const shim_settings& settings) {
    acceptor_pool pool{listener, settings};
    pool.threads.fetch_add(1);  // this thread accepts too, and never retires
    pool.idle.fetch_add(1);
    for (int i = 0; i < min_spare_threads; ++i) start_acceptor(pool);
    for (;;) serve_next(pool, false);
}
