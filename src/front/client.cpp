#include "front/client.hpp"

#include <atomic>

#include "front/request.hpp"
#include "front/routes.hpp"
#include "relay/error_reply.hpp"
#include "text/reply_text.hpp"

namespace {

std::atomic<int> g_active{0};

// A caller that stops reading its reply for this long is treated as gone.
constexpr int send_stall_ms = 60 * 1000;

// After an error reply the client may still be sending its body; closing on
// unread bytes would reset the connection and could destroy the reply
// before it is read. Read and drop what comes, for a short while.
void drain_briefly(const socket_handle& client) {
    sock_shutdown_send(client);
    char sink[8192];
    size_t dropped = 0;
    for (int rounds = 0; rounds < 64 && dropped < 4u * 1024 * 1024; ++rounds) {
        recv_result r = sock_recv_within(client, sink, sizeof sink, 200);
        if (r.status != recv_status::data) break;
        dropped += r.count;
    }
}

}  // namespace

bool admit_connection() {
    if (g_active.fetch_add(1, std::memory_order_acq_rel) >= max_connections) {
        g_active.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

void release_connection() { g_active.fetch_sub(1, std::memory_order_acq_rel); }

void refuse_connection(const socket_handle& client) {
    send_error_reply(client, 503, reason_phrase(503), "too many connections");
    drain_briefly(client);  // its unread request would otherwise reset the 503 away
}

void handle_client(socket_handle client) {
    error_text err;
    sock_set_nodelay(client, err);  // events must not wait for the Nagle timer
    sock_set_send_timeout(client, send_stall_ms, err);

    {
        http_request req;
        read_outcome got = read_request(client, req);
        if (got.silent) {
            // Nothing came: no reply.
        } else if (got.fault.status != 0) {
            send_error_reply(client, got.fault.status, reason_phrase(got.fault.status), got.fault.message);
            drain_briefly(client);
        } else {
            route_request(client, req);
        }
    }
}
