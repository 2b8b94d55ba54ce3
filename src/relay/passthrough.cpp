#include "relay/passthrough.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "http/event_stream.hpp"
#include "http/reply.hpp"
#include "relay/relay_steps.hpp"
#include "relay/upstream_error.hpp"

namespace {

// The body for the fallback's model, rewritten from the same source only
// when a turn goes there.
struct fallback_body {
    std::string_view source;
    const persona_text& persona;
    rewritten_body pieces;
};

std::span<const std::string_view> remake_body(void* ctx, std::string_view model) {
    auto* f = static_cast<fallback_body*>(ctx);
    rebuild_pieces(f->source, model, f->pieces, f->persona);
    if (f->pieces.failed || !f->pieces.refused.empty()) return {};
    return {f->pieces.piece, f->pieces.count};
}

// A streamed reply is relayed as it comes (the exchange has masked it).
// When the upstream refused the request, its error document goes out whole
// in one chunk unless it is unusually long, and its start is kept, so the
// caller can be told in an event it understands (a client reading events
// would otherwise see a 200 stream that simply ends).
constexpr size_t refusal_held_max = 64 * 1024;

struct stream_relay {
    client_conn& client;
    const upstream_outcome& got;
    char refusal[4096];
    size_t refusal_len = 0;
    buf held;                                 // the refusal's bytes not yet sent
    char tail[4] = {'\r', '\n', '\r', '\n'};  // the last bytes relayed; nothing relayed counts as an event boundary
    stream_tail* usage = nullptr;  // only while the request log is on: where the last usage event is found
    // The reply ends with the upstream's [DONE] event, whatever the upstream
    // does after it; the rest of its answer is drained.
    done_watch done;
    bool ended = false;  // the last chunk went out after it
};

bool relay_refusal_block(stream_relay& relay, const char* data, size_t len) {
    size_t room = sizeof relay.refusal - relay.refusal_len;
    size_t take = len < room ? len : room;
    std::memcpy(relay.refusal + relay.refusal_len, data, take);
    relay.refusal_len += take;
    buf_put(relay.held, data, len);
    if (relay.held.len < refusal_held_max) return !relay.held.failed;
    bool sent = !relay.held.failed && send_chunk(relay.client, relay.held.view());
    relay.held.len = 0;
    return sent;
}

bool relay_block(void* ctx, const char* data, size_t len) {
    auto* relay = static_cast<stream_relay*>(ctx);
    if (len >= sizeof relay->tail) {
        std::memcpy(relay->tail, data + len - sizeof relay->tail, sizeof relay->tail);
    } else {
        std::memmove(relay->tail, relay->tail + len, sizeof relay->tail - len);
        std::memcpy(relay->tail + sizeof relay->tail - len, data, len);
    }
    if (relay->got.status >= 400) return relay_refusal_block(*relay, data, len);
    if (relay->usage) relay->usage->add(data, len);
    return send_chunk(relay->client, {data, len});
}

// A stream's probe for a caller that shut its sending side: an event-stream
// comment, which every event reader skips, sent only between events so it
// never lands inside one.
probe_result probe_stream(void* ctx) {
    auto* relay = static_cast<stream_relay*>(ctx);
    std::string_view tail(relay->tail, sizeof relay->tail);
    if (!tail.ends_with("\n\n") && tail != "\r\n\r\n") return probe_result::later;
    send_chunk(relay->client, ":\n\n");
    return probe_result::sent;
}

void send_refusal_event(stream_relay& relay) {
    error_text lead;
    set_error(lead, "upstream refused the request (status %lu)", relay.got.status);
    send_error_event(relay.client, lead.s, upstream_error_message({relay.refusal, relay.refusal_len}).raw, "\n\n");
}

void finish_stream(stream_relay& relay, const shim_settings& settings, request_trace* trace) {
    const upstream_outcome& got = relay.got;
    if (relay.ended) return;  // complete at [DONE]: what the drain met is nobody's concern
    if (got.stopped) {  // the caller has gone
        note_error(trace, "caller gone");
        return;
    }
    if (relay.held.len) send_chunk(relay.client, relay.held.view());  // the refusal's document, whole
    error_text problem = settings.upstream_error;
    if (problem.empty() && !got.error.empty()) problem = got.error;
    if (problem.empty() && !got.received_body) set_error(problem, "empty upstream response (status %lu)", got.status);
    if (!problem.empty()) {
        send_error_event(relay.client, problem.s);
        note_error(trace, problem.s);
    } else if (got.status >= 400) {
        send_refusal_event(relay);
        if (trace) set_error(trace->error, "upstream refused the request (status %lu)", got.status);
    }
    send_last_chunk(relay.client);
}

// The upstream's answer relayed as it arrives, framed as chunks after the
// event-stream head that the caller gets at once.
void relay_stream(client_conn& client, const chat_request& request, const shim_settings& settings,
                  std::span<const std::string_view> body, const body_remake& remake) {
    reply_bytes head;
    build_stream_head(head, request.extra_lines);
    send_bytes(client, head);

    upstream_outcome got;
    stream_relay relay{client, got};
    // On the heap: a connection thread's stack stays as small as it was for
    // every stream when the log is off.
    std::unique_ptr<stream_tail> usage;
    if (request.trace) usage.reset(new (std::nothrow) stream_tail);
    relay.usage = usage.get();
    // Every block is passed on; only a caller that has gone stops the
    // answer, and its [DONE] event completes the reply.
    body_sink pass_on = [](void* ctx, const char* data, size_t len) {
        if (!relay_block(ctx, data, len)) return body_verdict::stop;
        auto* relay = static_cast<stream_relay*>(ctx);
        if (relay->got.status >= 400 || !done_watch_feed(relay->done, {data, len})) return body_verdict::more;
        send_last_chunk(relay->client);
        relay->ended = true;
        return body_verdict::done;
    };
    exchange(settings, body, client, probe_stream, pass_on, &relay, got, request.trace, &remake);
    if (usage) note_usage(request.trace, last_stream_usage(usage->view()));
    finish_stream(relay, settings, request.trace);
}

// The upstream's answer collected whole, then sent as it came or converted
// into the local-model reply object.
void relay_buffered(client_conn& client, const chat_request& request, const shim_settings& settings,
                    std::span<const std::string_view> body, const body_remake& remake, answer_writer reply) {
    upstream_outcome got;
    collector collected{{}, false, client};
    exchange(settings, body, client, probe_buffered, collect_block, &collected, got, request.trace, &remake);
    if (got.caller_gone) {
        note_error(request.trace, "caller gone");
        return;  // nobody to answer
    }
    buf lines;
    chat_request answered = request;
    answered.extra_lines = attempt_lines(request.extra_lines, got, lines);
    error_text problem = collected_problem(settings, collected, got);
    if (!problem.empty()) {
        send_error_reply(client, 502, problem.s, relay_failure_reason, {}, answered.extra_lines);
        note_error(request.trace, problem.s);
        return;
    }
    std::string_view answer = collected.answer.view();
    if (got.status < 400 && request.trace) note_usage(request.trace, answer_usage(answer));
    reply(client, answered, settings, got.status, answer);
}

}  // namespace

bool body_taken(client_conn& client, const chat_request& request, const body_refusal& refused, bool failed) {
    if (!refused.empty()) {
        send_error_reply(client, 400, refused.words.s, nullptr, {}, request.extra_lines);
        note_error(request.trace, refused.words.s);
        return false;
    }
    if (failed) {
        send_error_reply(client, 502, "out of memory", relay_failure_reason, {}, request.extra_lines);
        note_error(request.trace, "out of memory");
        return false;
    }
    return true;
}

void relay_passthrough(client_conn& client, const chat_request& request, const shim_settings& settings,
                       std::span<const std::string_view> body, std::string_view source, bool stream,
                       answer_writer reply) {
    if (request.trace) request.trace->mode = stream ? "stream" : "buffered";
    if (settings.debug_copy) write_debug_copy(body);
    fallback_body other{source, settings.persona, {}};
    body_remake remake{remake_body, &other};
    if (stream)
        relay_stream(client, request, settings, body, remake);
    else
        relay_buffered(client, request, settings, body, remake, reply);
}
