#include "relay/relay_chat.hpp"

#include <cstring>
#include <optional>

#include "http/reply.hpp"
#include "platform/host.hpp"
#include "relay/local_dialect.hpp"
#include "relay/rewrite.hpp"
#include "relay/upstream_call.hpp"
#include "relay/upstream_error.hpp"
#include "relay/usage.hpp"
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
    stream_tail* usage = nullptr;  // only while the request log is on: where the last usage event is found
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
    if (relay->usage) relay->usage->add(data, len);
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
struct collector;
bool probe_buffered(void* ctx);

void send_refusal_event(const socket_handle& client, unsigned long status, std::string_view doc) {
    error_text lead;
    set_error(lead, "upstream refused the request (status %lu)", status);
    send_error_event(client, lead.s, upstream_error_message(doc).raw, "\n\n");
}

// A buffered answer is held whole before it is sent; beyond this it is not
// a chat answer, and holding it would let one upstream take the machine's
// memory.
constexpr size_t collected_answer_max = 64u << 20;

struct collector {
    buf answer;
    bool too_large = false;
    const socket_handle& client;
    bool interim_allowed;  // the caller speaks HTTP/1.1
};

bool probe_buffered(void* ctx) {
    auto* c = static_cast<collector*>(ctx);
    if (!c->interim_allowed) return false;
    send_continue(c->client);
    return true;
}

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

void note_usage(request_trace* trace, token_usage used) {
    if (!trace) return;
    trace->prompt_tokens = used.prompt;
    trace->completion_tokens = used.completion;
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

namespace {

// The body that goes upstream: pieces over the caller's bytes (a large one
// is never copied to be sent) and, for the local dialect, the converted
// text they point into.
struct upstream_body {
    rewritten_body pieces;
    buf converted;
    bool stream = false;
};

// False when the request was answered already (a repeated key, no memory).
bool build_upstream_body(const socket_handle& client, const chat_request& request, const shim_settings& settings,
                         upstream_body& out) {
    std::string_view repeated;
    if (request.local_dialect) {
        convert_local_request(request.body, settings.model(), out.converted, &repeated);
        if (repeated.empty()) out.stream = rebuild_pieces(out.converted.view(), settings.model(), out.pieces) != 0;
        out.pieces.failed |= out.converted.failed;
    } else {
        out.stream = rebuild_pieces(request.body, settings.model(), out.pieces, &repeated) != 0;
    }
    if (!repeated.empty()) {
        error_text words;
        set_error(words, "the request body holds the key \"%.*s\" more than once", static_cast<int>(repeated.size()),
                  repeated.data());
        send_error_reply(client, 400, words.s, nullptr, {}, request.extra_lines);
        note_error(request.trace, words.s);
        return false;
    }
    if (out.pieces.failed) {
        send_error_reply(client, 502, "out of memory", relay_failure_reason, {}, request.extra_lines);
        note_error(request.trace, "out of memory");
        return false;
    }
    return true;
}

// The exchange with the upstream, unless the settings already said it fails.
void exchange(const shim_settings& settings, const upstream_body& body, const socket_handle& client,
              bool (*probe)(void*), body_sink sink, void* ctx, upstream_outcome& got, request_trace* trace) {
    upstream_call call;
    call.client = settings.upstream;
    call.proxy = &settings.proxy;
    call.header_lines = settings.header_lines();
    call.body = {body.pieces.piece, body.pieces.count};
    call.caller = &client;
    call.probe = probe;
    call.probe_ctx = ctx;
    if (settings.upstream_error.empty() && settings.upstream) call_upstream(call, sink, ctx, got);
    note_upstream(trace, got);
}

// The upstream's answer relayed as it arrives, framed as chunks after the
// event-stream head that the caller gets at once.
void relay_stream(const socket_handle& client, const chat_request& request, const shim_settings& settings,
                  const upstream_body& body) {
    reply_bytes head;
    build_stream_head(head, request.extra_lines);
    send_bytes(client, head);

    upstream_outcome got;
    stream_relay relay{client, got, {}, 0};
    std::optional<stream_tail> usage;
    if (request.trace) relay.usage = &usage.emplace();
    exchange(settings, body, client, probe_stream, relay_block, &relay, got, request.trace);
    if (usage) note_usage(request.trace, last_stream_usage(usage->view()));
    finish_stream(client, got, settings.upstream_error, {relay.refusal, relay.refusal_len}, request.trace);
}

// The upstream's answer collected whole, then sent as it came or converted
// into the local-model reply object.
void relay_buffered(const socket_handle& client, const chat_request& request, const shim_settings& settings,
                    const upstream_body& body) {
    upstream_outcome got;
    collector collected{{}, false, client, !request.http10};
    exchange(settings, body, client, probe_buffered, collect_block, &collected, got, request.trace);
    if (got.caller_gone) {
        note_error(request.trace, "caller gone");
        return;  // nobody to answer
    }
    error_text problem = settings.upstream_error;
    if (problem.empty() && collected.too_large) set_error(problem, "upstream response too large");
    if (problem.empty() && collected.answer.failed) set_error(problem, "upstream response too large to hold");
    if (problem.empty() && !got.error.empty()) problem = got.error;
    if (problem.empty() && collected.answer.len == 0)
        set_error(problem, "empty upstream response (status %lu)", got.status);
    if (!problem.empty()) {
        send_error_reply(client, 502, problem.s, relay_failure_reason, {}, request.extra_lines);
        note_error(request.trace, problem.s);
        return;
    }
    if (request.trace) note_usage(request.trace, answer_usage(collected.answer.view()));
    if (request.local_dialect) {
        convert_local_reply(client, got.status, collected.answer.view(), settings.model(), request.extra_lines);
    } else {
        send_collected(client, got.status, collected.answer, request.extra_lines);
    }
}

}  // namespace

void relay_chat(const socket_handle& client, const chat_request& request, const shim_settings& settings) {
    upstream_body body;
    if (!build_upstream_body(client, request, settings, body)) return;
    if (request.trace) request.trace->mode = body.stream ? "stream" : "buffered";
    if (settings.debug_copy) write_debug_copy(body.pieces);
    if (body.stream)
        relay_stream(client, request, settings, body);
    else
        relay_buffered(client, request, settings, body);
}
