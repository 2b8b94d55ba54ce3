#include "dialects/local_model/local_full_relay.hpp"

#include "http/reply.hpp"
#include "dialects/local_model/local_lines.hpp"
#include "dialects/local_model/local_request.hpp"
#include "relay/relay_steps.hpp"

namespace {

// A refusal's document is kept to pass its words on; more than this is not
// an error document.
constexpr size_t refusal_max = 64 * 1024;

// The dialect's own error reply: {"error":"<text>"}.
void send_local_error(client_conn& client, int status, std::string_view text, const chat_request& request,
                      const char* reason = nullptr) {
    buf body;
    put_plain_error_body(body, text);
    if (!body.failed) send_reply(client, {status, reason, "application/json", {}, request.extra_lines}, body.view());
    if (!request.trace) return;
    set_error(request.trace->error, "%.*s", static_cast<int>(text.size()), text.data());
}

// The stream's reply: its head waits for the upstream's status, so a
// refusal can still be answered under that status; after it, each
// converted line goes out as one chunk the moment its event is complete.
// The reply ends the moment the conversion finishes ([DONE], or an error
// line), while the rest of the upstream's answer is drained.
struct line_relay {
    client_conn& client;
    const chat_request& request;
    const upstream_outcome& got;
    full_stream lines;
    buf refusal;
    bool head_sent = false;
    bool caller_failed = false;
    bool ended = false;  // the last chunk went out
};

void send_line(void* ctx, std::string_view line) {
    auto* r = static_cast<line_relay*>(ctx);
    if (!r->caller_failed && !send_chunk(r->client, line)) r->caller_failed = true;
}

// The end of a stream whose head went out: what the log learns, then the
// last chunk.
void end_lines(line_relay& r) {
    request_trace* trace = r.request.trace;
    if (!r.lines.error.empty()) note_error(trace, r.lines.error.s);
    if (trace && r.lines.usage_reported) note_usage(trace, {r.lines.prompt_tokens, r.lines.completion_tokens});
    send_last_chunk(r.client);
    r.ended = true;
}

body_verdict line_block(void* ctx, const char* data, size_t len) {
    auto* r = static_cast<line_relay*>(ctx);
    if (r->got.status >= 400) {
        size_t room = refusal_max - r->refusal.len;
        buf_put(r->refusal, data, len < room ? len : room);
        return body_verdict::more;
    }
    if (!r->head_sent) {
        r->head_sent = true;
        r->lines.timing.head_ns = r->lines.clock.steady_ns();
        reply_bytes head;
        build_chunked_head(head, {200, nullptr, "application/x-ndjson", {}, r->request.extra_lines});
        if (!send_bytes(r->client, head)) return body_verdict::stop;
    }
    bool more = full_stream_feed(r->lines, {data, len});
    if (r->caller_failed) return body_verdict::stop;
    if (more) return body_verdict::more;
    end_lines(*r);
    return body_verdict::done;
}

// A half-closed caller. Before the head, the interim 100 probes it. After the
// head nothing can be sent that its reader would skip: newline-delimited JSON
// has no comment line, and readers parse every line (an empty one fails). So,
// as nginx takes a client's end of input while it proxies, the half-close of
// an HTTP/1.1 caller counts as its leaving: it has no reason to shut its side
// in the middle of its answer, and one still reading after the 100 probe
// (sent once its half-close came before the head) is never asked again. An
// HTTP/1.0 caller may end its request that way and wait for the answer, and
// may not be sent a 100: only a reset tells that it left.
probe_result probe_lines(void* ctx) {
    auto* r = static_cast<line_relay*>(ctx);
    if (!r->head_sent) return probe_with_continue(r->client);
    return r->client.http10 ? probe_result::later : probe_result::gone;
}

void send_error_line(line_relay& r, std::string_view text) {
    buf line;
    put_plain_error_body(line, text);
    buf_put(line, "\n");
    if (!line.failed) send_chunk(r.client, line.view());
}

void finish_lines(line_relay& r, const shim_settings& settings) {
    const upstream_outcome& got = r.got;
    request_trace* trace = r.request.trace;
    if (r.ended) return;
    if (got.caller_gone || r.caller_failed) {
        note_error(trace, "caller gone");
        return;
    }
    if (got.status >= 400 && settings.upstream_error.empty() && got.error.empty()) {
        buf body;
        local_reply reply = build_full_reply(got.status, r.refusal.view(), settings.model(),
                                             r.lines.timing, r.lines.clock, body);
        if (!body.failed)
            send_reply(r.client, {reply.status, nullptr, "application/json", {}, r.request.extra_lines}, body.view());
        if (trace) set_error(trace->error, "upstream refused the request (status %lu)", got.status);
        return;
    }
    error_text problem = settings.upstream_error;
    if (problem.empty() && !got.error.empty()) problem = got.error;
    if (!r.head_sent) {
        if (problem.empty()) set_error(problem, "empty upstream response (status %lu)", got.status);
        send_local_error(r.client, 502, problem.s, r.request, relay_failure_reason);
        return;
    }
    if (!r.lines.finished) {
        if (!problem.empty()) {
            send_error_line(r, problem.s);
            note_error(trace, problem.s);
        } else {
            full_stream_end(r.lines);
        }
    }
    end_lines(r);
}

local_shape shape_of(const chat_request& request) {
    return request.generate ? local_shape::generate : local_shape::chat;
}

// The request converted once more for the fallback's model, only when a
// turn goes there.
struct fallback_body {
    const chat_request& request;
    const persona_text& persona;
    buf body;
    std::string_view one;
};

std::span<const std::string_view> remake_body(void* ctx, std::string_view model) {
    auto* f = static_cast<fallback_body*>(ctx);
    full_request converted = convert_full_request(f->request.body, model, f->body, shape_of(f->request), f->persona);
    if (!converted.ok || f->body.failed) return {};
    f->one = f->body.view();
    return {&f->one, 1};
}

void relay_lines(client_conn& client, const chat_request& request, const shim_settings& settings,
                 std::string_view body, const local_timing& timing) {
    upstream_outcome got;
    // The reply's lines are known only once the attempts are over; a head
    // sent before that is a success's and has the caller's own.
    chat_request answered = request;
    line_relay r{client, answered, got};
    full_stream_start(r.lines, settings.model(), timing, system_local_clock(), send_line, &r,
                      shape_of(request));
    std::string_view piece[1] = {body};
    fallback_body other{request, settings.persona, {}, {}};
    body_remake remake{remake_body, &other};
    exchange(settings, piece, client, probe_lines, line_block, &r, got, request.trace, &remake);
    buf lines;
    answered.extra_lines = attempt_lines(request.extra_lines, got, lines);
    finish_lines(r, settings);
}

void relay_object(client_conn& client, const chat_request& request, const shim_settings& settings,
                  std::string_view body, local_timing timing) {
    upstream_outcome got;
    collector collected{{}, false, client};
    std::string_view piece[1] = {body};
    fallback_body other{request, settings.persona, {}, {}};
    body_remake remake{remake_body, &other};
    exchange(settings, piece, client, probe_buffered, collect_block, &collected, got, request.trace, &remake);
    if (got.caller_gone) {
        note_error(request.trace, "caller gone");
        return;
    }
    buf lines;
    chat_request answered = request;
    answered.extra_lines = attempt_lines(request.extra_lines, got, lines);
    error_text problem = collected_problem(settings, collected, got);
    if (!problem.empty()) return send_local_error(client, 502, problem.s, answered, relay_failure_reason);
    local_clock clock = system_local_clock();
    timing.first_byte_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(got.first_byte_at.time_since_epoch()).count();
    buf reply_body;
    local_reply reply = build_full_reply(got.status, collected.answer.view(), settings.model(), timing,
                                         clock, reply_body, shape_of(request));
    if (reply_body.failed) return;
    if (got.status < 400 && request.trace) note_usage(request.trace, answer_usage(collected.answer.view()));
    std::string_view type = reply.success ? "application/x-ndjson" : "application/json";
    send_reply(client, {reply.status, nullptr, type, {}, answered.extra_lines}, reply_body.view());
}

}  // namespace

void relay_local_full(client_conn& client, const chat_request& request, const shim_settings& settings) {
    local_timing timing;
    timing.started_ns = system_local_clock().steady_ns();
    buf body;
    full_request converted = convert_full_request(request.body, settings.model(), body, shape_of(request), settings.persona);
    if (!converted.ok) return send_local_error(client, 400, converted.error.s, request);
    if (body.failed) return send_local_error(client, 502, "out of memory", request, relay_failure_reason);
    if (converted.load) {  // the upstream's model is always ready: nothing to send it
        if (request.trace) request.trace->mode = converted.unload ? "unload" : "load";
        build_load_reply(body, settings.model(), system_local_clock(), shape_of(request), converted.unload);
        if (!body.failed) send_reply(client, {200, nullptr, "application/json", {}, request.extra_lines}, body.view());
        return;
    }
    if (request.trace) request.trace->mode = converted.stream ? "stream" : "buffered";
    std::string_view sent[1] = {body.view()};
    if (settings.debug_copy) write_debug_copy(sent);
    if (converted.stream)
        relay_lines(client, request, settings, body.view(), timing);
    else
        relay_object(client, request, settings, body.view(), timing);
}
