#include "front/client.hpp"

#include "front/guard.hpp"
#include "front/request.hpp"
#include "front/routes.hpp"
#include "http/reply.hpp"

namespace {

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

void refuse(const socket_handle& client, const request_fault& fault, std::string_view route_lines = {},
            std::string_view extra_lines = {}) {
    send_error_reply(client, fault.status, fault.message, nullptr, route_lines, extra_lines);
    drain_briefly(client);
}

}  // namespace

bool set_connection_options(const socket_handle& s, error_text& err) {
    // Events must not wait for the Nagle timer; a caller that stops reading
    // its reply for a minute is treated as gone.
    return sock_set_nodelay(s, err) && sock_set_send_timeout(s, 60 * 1000, err);
}

void refuse_connection(const socket_handle& client) {
    send_error_reply(client, 503, "too many connections");
    drain_briefly(client);  // its unread request would otherwise reset the 503 away
}

void handle_client(socket_handle client, const shim_settings& settings) {
    if (!accepted_sockets_inherit_options) {
        error_text err;
        set_connection_options(client, err);
    }

    http_request req;
    read_outcome got = read_request_head(client, req);
    if (got.silent) return;  // nothing came: no reply
    if (got.fault.status != 0) return refuse(client, got.fault);
    admission let;
    admit_request(req, settings.origins, let);
    if (let.fault.status != 0) return refuse(client, let.fault, let.route_lines, let.lines.view());
    // Clients such as curl hold back a large body until told to go on;
    // without this they would wait a second before every upload.
    if (req.head.expects_continue && body_awaited(req)) send_continue(client);
    got = read_request_body(client, req);
    if (got.fault.status != 0) return refuse(client, got.fault, {}, let.lines.view());
    if (let.preflight) {
        send_reply(client, {204, nullptr, {}, {}, let.lines.view()}, {});
        return;
    }
    route_request(client, req, settings, let.lines.view());
}
