#include "front/client.hpp"

#include <optional>

#include "front/guard.hpp"
#include "front/request_log.hpp"
#include "front/request.hpp"
#include "front/routes.hpp"
#include "http/reply.hpp"

namespace {

// After an error reply the client may still be sending its body; closing on
// unread bytes would reset the connection and could destroy the reply
// before it is read. Read and drop what comes, for a short while.
void drain_briefly(client_conn& client) {
    sock_shutdown_send(client.socket);
    char sink[8192];
    size_t dropped = 0;
    for (int rounds = 0; rounds < 64 && dropped < 4u * 1024 * 1024; ++rounds) {
        recv_result r = sock_recv_within(client.socket, sink, sizeof sink, 200);
        if (r.status == recv_status::data) client.bytes_in += r.count;
        if (r.status != recv_status::data) break;
        dropped += r.count;
    }
}

// Writes the request's line once it is done, however it ended; a
// connection that sent nothing gets none.
struct logged_request {
    const client_conn& client;
    const log_output* log;
    std::optional<request_trace> trace;
    const http_request* req = nullptr;  // read from at the end: its bytes may move while the body comes in
    bool silent = false;

    logged_request(const client_conn& c, const log_output* l) : client(c), log(l) {
        if (log) trace.emplace();
    }
    logged_request(const logged_request&) = delete;
    logged_request& operator=(const logged_request&) = delete;
    ~logged_request() {
        if (!trace || silent) return;
        if (req && req->head.method.len) {
            trace->method = req->view(req->head.method);
            trace->path = req->view(req->head.target);
        } else if (req) {
            trace_raw_request_line(*trace, req->raw.view());
        }
        trace->status = client.reply_status;
        trace->bytes_in = client.bytes_in;
        trace->bytes_out = client.bytes_out;
        log_request(*log, *trace);
    }
    request_trace* get() { return trace ? &*trace : nullptr; }
};

void refuse(client_conn& client, const request_fault& fault, request_trace* trace,
            std::string_view route_lines = {}, std::string_view extra_lines = {}) {
    if (trace) {
        trace->route = "refused";
        set_error(trace->error, "%s", fault.message);
    }
    send_error_reply(client, fault.status, fault.message, nullptr, route_lines, extra_lines);
    drain_briefly(client);
}

}  // namespace

void refuse_connection(socket_handle socket, const shim_settings& settings) {
    client_conn client(std::move(socket));
    logged_request logged(client, settings.request_log);
    request_fault full{503, "too many connections"};
    refuse(client, full, logged.get());  // drained: its unread request would otherwise reset the 503 away
}

void handle_client(socket_handle socket, const shim_settings& settings) {
    sock_prepare_accepted(socket, reply_stall_limit_ms);
    client_conn client(std::move(socket));

    http_request req;
    logged_request logged(client, settings.request_log);
    request_trace* trace = logged.get();
    read_outcome got = read_request_head(client, req);
    logged.req = &req;
    if (got.silent) {  // nothing came: no reply
        logged.silent = true;
        return;
    }
    // A HEAD is answered without a body whatever the reply, a refusal of its
    // header block included: its caller reads none.
    client.head_only = req.raw.view().starts_with("HEAD ");
    if (got.fault.status != 0) return refuse(client, got.fault, trace);
    client.http10 = req.view(req.head.version) == "HTTP/1.0";
    route_choice choice =
        choose_route(req.view(req.head.request_line), req.view(req.head.target), settings.local_full,
                     settings.embed != nullptr);
    admission let;
    admit_request(req, choice, settings.origins, let, settings.access_key);
    if (let.fault.status != 0) return refuse(client, let.fault, trace, let.route_lines, let.lines.view());
    // A declared body that the process-wide budget cannot hold is refused
    // before a byte of it is read.
    if (!req.head.chunked && !req.budget.grow_to(req.head.content_length))
        return refuse(client, budget_fault, trace, budget_retry_lines, let.lines.view());
    // Clients such as curl hold back a large body until told to go on;
    // without this they would wait a second before every upload. (An
    // HTTP/1.0 caller's expectation is ignored: it may not be sent a 100.)
    if (req.head.expects_continue && body_awaited(req)) send_continue(client);
    got = read_request_body(client, req);
    if (got.fault.status != 0)
        return refuse(client, got.fault, trace, got.fault.status == 503 ? budget_retry_lines : std::string_view{},
                      let.lines.view());
    if (let.preflight) {
        if (trace) trace->route = "preflight";
        send_reply(client, {204, nullptr, {}, {}, let.lines.view()}, {});
        return;
    }
    route_request(client, req, choice, settings, let.lines.view(), trace);
}
