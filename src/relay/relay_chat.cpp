#include "relay/relay_chat.hpp"

#include <cstring>

#include "platform/host.hpp"
#include "platform/upstream.hpp"
#include "relay/error_reply.hpp"
#include "relay/local_dialect.hpp"
#include "relay/rewrite.hpp"
#include "relay/stream_writer.hpp"
#include "relay/upstream_url.hpp"
#include "startup/settings.hpp"
#include "text/reply_text.hpp"

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
};

bool relay_block(void* ctx, const char* data, size_t len) {
    auto* relay = static_cast<stream_relay*>(ctx);
    if (relay->got.status >= 400) {
        size_t room = sizeof relay->refusal - relay->refusal_len;
        size_t take = len < room ? len : room;
        std::memcpy(relay->refusal + relay->refusal_len, data, take);
        relay->refusal_len += take;
    }
    return send_chunk(relay->client, {data, len});
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
        buf_put(event, words);  // already escaped as the upstream wrote it
    }
    buf_put(event, "\",\"type\":\"zelk_shim_error\"}}\n\n");
    if (!event.failed) send_chunk(client, event.view());
}

bool collect_block(void* ctx, const char* data, size_t len) {
    buf& collected = *static_cast<buf*>(ctx);
    buf_put(collected, data, len);
    return !collected.failed;
}

void write_debug_copy(std::string_view body) {
    const char* wanted = env_value("ZELK_SHIM_DEBUG");
    if (!wanted || !*wanted) return;
    char path[512];
    debug_copy_path(path, sizeof path);
    error_text ignored;  // a copy that cannot be written is skipped
    replace_file_atomically(path, body, ignored);
}

// The three header lines of every upstream request.
bool format_upstream_headers(char (&out)[768], error_text& err) {
    // A line break in the key would smuggle extra header lines upstream.
    if (std::strpbrk(CFG_KEY, "\r\n")) {
        set_error(err, "bad ZELK_SHIM_KEY: it holds a line break");
        return false;
    }
    bformat(out, "Content-Type: application/json\r\nAuthorization: Bearer %s\r\nAccept: text/event-stream\r\n", CFG_KEY);
    return true;
}

void finish_stream(const socket_handle& client, const upstream_outcome& got, const error_text& before,
                   std::string_view refusal) {
    if (got.stopped) return;  // the caller has gone
    if (!before.empty()) {
        send_error_event(client, before.s);
    } else if (!got.error.empty()) {
        send_error_event(client, got.error.s);
    } else if (!got.received_body) {
        error_text empty;
        set_error(empty, "empty upstream response (status %lu)", got.status);
        send_error_event(client, empty.s);
    } else if (got.status >= 400) {
        send_refusal_event(client, got.status, refusal);
    }
    send_last_chunk(client);
}

void send_collected(const socket_handle& client, unsigned long status, const buf& collected) {
    char header[256];
    int code = static_cast<int>(status);
    size_t header_len = format_reply_header(header, code, reason_phrase(code), "application/json", collected.len);
    std::string_view parts[] = {{header, header_len}, collected.view()};
    sock_send_gather(client, parts);
}

}  // namespace

void relay_chat(const socket_handle& client, std::string_view body, bool local_dialect) {
    buf upstream_body;
    int stream = 0;
    if (local_dialect) {
        buf converted;
        convert_local_request(body, CFG_MODEL, converted);
        stream = rebuild_request(converted.view(), CFG_MODEL, upstream_body);
        upstream_body.failed |= converted.failed;
    } else {
        stream = rebuild_request(body, CFG_MODEL, upstream_body);
    }
    if (upstream_body.failed) {
        send_error_reply(client, 502, "Internal", "out of memory");
        return;
    }

    write_debug_copy(upstream_body.view());
    if (stream) sock_send_all(client, stream_header);

    error_text failure;
    upstream_target target;
    char headers[768];
    upstream_outcome got;
    buf collected;
    bool ready = split_upstream_url(CFG_URL, target, failure) && format_upstream_headers(headers, failure);
    if (stream) {
        stream_relay relay{client, got, {}, 0};
        if (ready) call_upstream(target, headers, upstream_body.view(), relay_block, &relay, got);
        finish_stream(client, got, failure, {relay.refusal, relay.refusal_len});
        return;
    }
    if (ready) call_upstream(target, headers, upstream_body.view(), collect_block, &collected, got);
    if (failure.empty() && collected.failed) set_error(failure, "upstream response too large to hold");
    if (failure.empty() && !got.error.empty()) failure = got.error;
    if (failure.empty() && collected.len == 0) set_error(failure, "empty upstream response (status %lu)", got.status);
    if (!failure.empty()) {
        send_error_reply(client, 502, "Internal", failure.s);
    } else if (local_dialect) {
        convert_local_reply(client, got.status, collected.view());
    } else {
        send_collected(client, got.status, collected);
    }
}
