#include "relay/relay_chat.hpp"

#include <cstring>

#include "http/reply.hpp"
#include "platform/host.hpp"
#include "platform/upstream.hpp"
#include "relay/local_dialect.hpp"
#include "relay/rewrite.hpp"
#include "relay/upstream_error.hpp"
#include "text/json_scan.hpp"

namespace {

// A streamed reply is relayed untouched; when the upstream refused the
// request, the start of its error document is also kept, so the caller can
// be told in an event it understands (a client reading events would
// otherwise see a 200 stream that simply ends).
struct stream_relay {
    const socket_handle& client;
    const upstream_outcome& got;
    char refusal[4096];
    size_t refusal_len = 0;
    char tail[4] = {'\r', '\n', '\r', '\n'};  // the last bytes relayed; nothing relayed counts as an event boundary
};

bool relay_block(void* ctx, const char* data, size_t len) {
    auto* relay = static_cast<stream_relay*>(ctx);
    if (relay->got.status >= 400) {
        size_t room = sizeof relay->refusal - relay->refusal_len;
        size_t take = len < room ? len : room;
        std::memcpy(relay->refusal + relay->refusal_len, data, take);
        relay->refusal_len += take;
    }
    if (len >= sizeof relay->tail) {
        std::memcpy(relay->tail, data + len - sizeof relay->tail, sizeof relay->tail);
    } else {
        std::memmove(relay->tail, relay->tail + len, sizeof relay->tail - len);
        std::memcpy(relay->tail + sizeof relay->tail - len, data, len);
    }
    return send_chunk(relay->client, {data, len});
}

// A stream's probe for a caller that shut its sending side: an event-stream
// comment, which every event reader skips, sent only between events so it
// never lands inside one.
bool probe_stream(void* ctx) {
    auto* relay = static_cast<stream_relay*>(ctx);
    std::string_view tail(relay->tail, sizeof relay->tail);
    if (!tail.ends_with("\n\n") && tail != "\r\n\r\n") return false;
    send_chunk(relay->client, ":\n\n");
    return true;
}

// A buffered reply's probe: an interim 100 answer, which HTTP/1.1 clients
// must accept and skip before the final one. An HTTP/1.0 caller may not be
// sent one, so its half-close is never taken for a departure (a reset still is).
struct buffered_probe {
    const socket_handle& client;
    bool interim_allowed;
};

bool probe_buffered(void* ctx) {
    auto* probe = static_cast<buffered_probe*>(ctx);
    if (!probe->interim_allowed) return false;
    send_continue(probe->client);
    return true;
}

void send_refusal_event(const socket_handle& client, unsigned long status, std::string_view doc) {
    char lead[64];
    size_t lead_len = bformat(lead, "upstream refused the request (status %lu)", status);
    std::string_view words = upstream_error_message(doc).raw;
    buf event;
    // The blank line first ends whatever line the upstream's document left
    // open, so the event starts on a line of its own.
    buf_put(event, "\n\ndata: {\"error\":{\"message\":\"");
    buf_put(event, lead, lead_len);
    if (!words.empty()) {
        buf_put(event, ": ");
        json_put_string_content(event, words);  // the upstream's escapes kept; raw line breaks would end the event
    }
    buf_put(event, "\",\"type\":\"zelk_shim_error\"}}\n\n");
    if (!event.failed) send_chunk(client, event.view());
}

// A buffered answer is held whole before it is sent; beyond this it is not
// a chat answer, and holding it would let one upstream take the machine's
// memory.
constexpr size_t collected_answer_max = 64u << 20;

struct collector {
    buf answer;
    bool too_large = false;
};

bool collect_block(void* ctx, const char* data, size_t len) {
    auto* c = static_cast<collector*>(ctx);
    if (len > collected_answer_max - c->answer.len) {
        c->too_large = true;
        return false;  // ends the upstream transfer
    }
    buf_put(c->answer, data, len);
    return !c->answer.failed;
}

void note_upstream(request_trace* trace, const upstream_outcome& got) {
    if (!trace) return;
    trace->upstream_status = got.status;
    trace->upstream_first_byte = got.first_byte_at;
}

void note_error(request_trace* trace, const char* text) {
    if (trace) set_error(trace->error, "%s", text);
}

// Relay failures have always been reported under this reason phrase.
constexpr const char* relay_failure_reason = "Internal";

void write_debug_copy(const rewritten_body& body) {
    buf joined;
    join_pieces(body, joined);
    if (joined.failed) return;
    char path[512];
    debug_copy_path(path, sizeof path);
    error_text ignored;  // a copy that cannot be written is skipped
    replace_file_atomically(path, joined.view(), ignored);
}

void finish_stream(const socket_handle& client, const upstream_outcome& got, const error_text& before,
                   std::string_view refusal, request_trace* trace) {
    if (got.stopped) {  // the caller has gone
        note_error(trace, "caller gone");
        return;
    }
    if (!before.empty()) {
        send_error_event(client, before.s);
        note_error(trace, before.s);
    } else if (!got.error.empty()) {
        send_error_event(client, got.error.s);
        note_error(trace, got.error.s);
    } else if (!got.received_body) {
        error_text empty;
        set_error(empty, "empty upstream response (status %lu)", got.status);
        send_error_event(client, empty.s);
        note_error(trace, empty.s);
    } else if (got.status >= 400) {
        send_refusal_event(client, got.status, refusal);
        if (trace) set_error(trace->error, "upstream refused the request (status %lu)", got.status);
    }
    send_last_chunk(client);
}

void send_collected(const socket_handle& client, unsigned long status, const buf& collected,
                    std::string_view extra_lines) {
    send_reply(client, {static_cast<int>(status), nullptr, "application/json", {}, extra_lines}, collected.view());
}

}  // namespace

void relay_chat(const socket_handle& client, const chat_request& request, const shim_settings& settings) {
    std::string_view body = request.body;
    bool local_dialect = request.local_dialect;
    std::string_view extra_lines = request.extra_lines;
    request_trace* trace = request.trace;
    // The body goes upstream as pieces over the caller's bytes: a large one
    // is never copied to be sent.
    rewritten_body upstream_body;
    int stream = 0;
    buf converted;  // the local dialect's body, which the pieces point into
    std::string_view repeated;
    if (local_dialect) {
        convert_local_request(body, settings.model(), converted, &repeated);
        if (repeated.empty()) stream = rebuild_pieces(converted.view(), settings.model(), upstream_body);
        upstream_body.failed |= converted.failed;
    } else {
        stream = rebuild_pieces(body, settings.model(), upstream_body, &repeated);
    }
    if (!repeated.empty()) {
        error_text words;
        set_error(words, "the request body holds the key \"%.*s\" more than once", static_cast<int>(repeated.size()),
                  repeated.data());
        send_error_reply(client, 400, words.s, nullptr, {}, extra_lines);
        note_error(trace, words.s);
        return;
    }
    if (upstream_body.failed) {
        send_error_reply(client, 502, "out of memory", relay_failure_reason, {}, extra_lines);
        note_error(trace, "out of memory");
        return;
    }
    if (trace) trace->mode = stream ? "stream" : "buffered";

    if (settings.debug_copy) write_debug_copy(upstream_body);
    if (stream) {
        reply_bytes head;
        build_stream_head(head, extra_lines);
        send_bytes(client, head);
    }

    const error_text& failure = settings.upstream_error;
    bool ready = failure.empty();
    upstream_call call{&settings.target, settings.header_lines(), {upstream_body.piece, upstream_body.count}};
    upstream_outcome got;
    if (stream) {
        stream_relay relay{client, got, {}, 0};
        caller_watch watch{&client, probe_stream, &relay};
        call.caller = &watch;
        if (ready) call_upstream(call, relay_block, &relay, got);
        note_upstream(trace, got);
        finish_stream(client, got, failure, {relay.refusal, relay.refusal_len}, trace);
        return;
    }
    collector collected;
    buffered_probe probe{client, !request.http10};
    caller_watch watch{&client, probe_buffered, &probe};
    call.caller = &watch;
    if (ready) call_upstream(call, collect_block, &collected, got);
    note_upstream(trace, got);
    if (got.caller_gone) {
        note_error(trace, "caller gone");
        return;  // nobody to answer
    }
    error_text problem = failure;
    if (problem.empty() && collected.too_large) set_error(problem, "upstream response too large");
    if (problem.empty() && collected.answer.failed) set_error(problem, "upstream response too large to hold");
    if (problem.empty() && !got.error.empty()) problem = got.error;
    if (problem.empty() && collected.answer.len == 0)
        set_error(problem, "empty upstream response (status %lu)", got.status);
    if (!problem.empty()) {
        send_error_reply(client, 502, problem.s, relay_failure_reason, {}, extra_lines);
        note_error(trace, problem.s);
    } else if (local_dialect) {
        convert_local_reply(client, got.status, collected.answer.view(), settings.model(), extra_lines);
    } else {
        send_collected(client, got.status, collected.answer, extra_lines);
    }
}
