#include "relay/relay_chat.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "http/event_stream.hpp"
#include "http/reply.hpp"
#include "relay/key_mask.hpp"
#include "relay/local_dialect.hpp"
#include "relay/local_full_relay.hpp"
#include "relay/relay_steps.hpp"
#include "relay/rewrite.hpp"
#include "relay/upstream_error.hpp"

namespace {

// A streamed reply is relayed untouched. When the upstream refused the
// request, its error document goes out with the key masked, whole in one
// chunk unless it is unusually long, and its start is kept, so the caller
// can be told in an event it understands (a client reading events would
// otherwise see a 200 stream that simply ends).
constexpr size_t refusal_held_max = 64 * 1024;

struct stream_relay {
    client_conn& client;
    const upstream_outcome& got;
    std::string_view key;
    char refusal[4096];
    size_t refusal_len = 0;
    buf held;                              // the refusal's bytes not yet sent
    std::optional<masked_stream> masking;  // made when a refusal arrives
    event_mask events{key};                // the error events of a successful stream
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
    if (!relay.masking) relay.masking.emplace(relay.key);
    buf_put(relay.held, data, len);
    if (relay.held.len < refusal_held_max) return !relay.held.failed;
    buf out;
    masked_feed(*relay.masking, relay.held.view(), out);
    relay.held.clear();
    return !out.failed && send_chunk(relay.client, out.view());
}

bool send_to_caller(void* ctx, std::string_view bytes) {
    return send_chunk(static_cast<stream_relay*>(ctx)->client, bytes);
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
    return event_mask_feed(relay->events, {data, len}, send_to_caller, relay);
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

void send_refusal_event(stream_relay& relay, const shim_settings& settings) {
    error_text lead;
    set_error(lead, "upstream refused the request (status %lu)", relay.got.status);
    buf words;
    put_masked_string(words, upstream_error_message({relay.refusal, relay.refusal_len}).raw, settings.key());
    send_error_event(relay.client, lead.s, words.view(), "\n\n");
}

void finish_stream(stream_relay& relay, const shim_settings& settings, request_trace* trace) {
    const upstream_outcome& got = relay.got;
    if (relay.ended) return;  // complete at [DONE]: what the drain met is nobody's concern
    if (got.stopped) {  // the caller has gone
        note_error(trace, "caller gone");
        return;
    }
    if (relay.masking) {  // what was held back: the document, or bytes that might begin the key
        buf rest;
        masked_feed(*relay.masking, relay.held.view(), rest);
        masked_end(*relay.masking, rest);
        send_chunk(relay.client, rest.view());
    }
    event_mask_end(relay.events, send_to_caller, &relay);  // an error event cut off by the stream's end
    error_text problem = settings.upstream_error;
    if (problem.empty() && !got.error.empty()) problem = got.error;
    if (problem.empty() && !got.received_body) set_error(problem, "empty upstream response (status %lu)", got.status);
    if (!problem.empty()) {
        send_error_event(relay.client, problem.s);
        note_error(trace, problem.s);
    } else if (got.status >= 400) {
        send_refusal_event(relay, settings);
        if (trace) set_error(trace->error, "upstream refused the request (status %lu)", got.status);
    }
    send_last_chunk(relay.client);
}

// The body that goes upstream: pieces over the caller's bytes (a large one
// is never copied to be sent) and, for the local dialect, the converted
// text they point into.
struct upstream_body {
    rewritten_body pieces;
    buf converted;
    bool stream = false;
    std::span<const std::string_view> view() const { return {pieces.piece, pieces.count}; }
};

// False when the request was answered already (a body refused, no memory).
bool build_upstream_body(client_conn& client, const chat_request& request, const shim_settings& settings,
                         upstream_body& out) {
    body_refusal refused;
    if (request.local_dialect) {
        convert_local_request(request.body, settings.model(), out.converted, &refused);
        if (refused.empty()) out.stream = rebuild_pieces(out.converted.view(), settings.model(), out.pieces) != 0;
        out.pieces.failed |= out.converted.failed;
    } else {
        out.stream = rebuild_pieces(request.body, settings.model(), out.pieces) != 0;
    }
    if (refused.empty()) refused = out.pieces.refused;
    if (!refused.empty()) {
        send_error_reply(client, 400, refused.words.s, nullptr, {}, request.extra_lines);
        note_error(request.trace, refused.words.s);
        return false;
    }
    if (out.pieces.failed) {
        send_error_reply(client, 502, "out of memory", relay_failure_reason, {}, request.extra_lines);
        note_error(request.trace, "out of memory");
        return false;
    }
    return true;
}

// The upstream's answer relayed as it arrives, framed as chunks after the
// event-stream head that the caller gets at once.
void relay_stream(client_conn& client, const chat_request& request, const shim_settings& settings,
                  const upstream_body& body) {
    reply_bytes head;
    build_stream_head(head, request.extra_lines);
    send_bytes(client, head);

    upstream_outcome got;
    stream_relay relay{client, got, settings.key()};
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
    exchange(settings, body.view(), client, probe_stream, pass_on, &relay, got, request.trace);
    if (usage) note_usage(request.trace, last_stream_usage(usage->view()));
    finish_stream(relay, settings, request.trace);
}

// The upstream's answer collected whole, then sent as it came or converted
// into the local-model reply object.
void relay_buffered(client_conn& client, const chat_request& request, const shim_settings& settings,
                    const upstream_body& body) {
    upstream_outcome got;
    collector collected{{}, false, client};
    exchange(settings, body.view(), client, probe_buffered, collect_block, &collected, got, request.trace);
    if (got.caller_gone) {
        note_error(request.trace, "caller gone");
        return;  // nobody to answer
    }
    error_text problem = collected_problem(settings, collected, got);
    if (!problem.empty()) {
        send_error_reply(client, 502, problem.s, relay_failure_reason, {}, request.extra_lines);
        note_error(request.trace, problem.s);
        return;
    }
    std::string_view answer = collected.answer.view();
    buf masked;  // a refusal's document may quote the key
    if (got.status >= 400 || opens_with_error_member(answer)) {
        put_masked(masked, answer, settings.key());
        answer = masked.view();
    } else if (request.trace) {
        note_usage(request.trace, answer_usage(answer));
    }
    if (request.local_dialect)
        convert_local_reply(client, got.status, answer, settings.model(), request.extra_lines);
    else
        send_reply(client, {static_cast<int>(got.status), nullptr, "application/json", {}, request.extra_lines}, answer);
}

}  // namespace

void relay_chat(client_conn& client, const chat_request& request, const shim_settings& settings) {
    if (request.local_dialect && settings.local_full) return relay_local_full(client, request, settings);
    upstream_body body;
    if (!build_upstream_body(client, request, settings, body)) return;
    if (request.trace) request.trace->mode = body.stream ? "stream" : "buffered";
    if (settings.debug_copy) write_debug_copy(body.view());
    if (body.stream)
        relay_stream(client, request, settings, body);
    else
        relay_buffered(client, request, settings, body);
}
