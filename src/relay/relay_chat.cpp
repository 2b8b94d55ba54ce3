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

bool relay_block(void* ctx, const char* data, size_t len) {
    return send_chunk(*static_cast<const socket_handle*>(ctx), {data, len});
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

void finish_stream(const socket_handle& client, const upstream_outcome& got, const error_text& before) {
    if (got.stopped) return;  // the caller has gone
    if (!before.empty()) {
        send_error_event(client, before.s);
    } else if (!got.error.empty()) {
        send_error_event(client, got.error.s);
    } else if (!got.received_body) {
        error_text empty;
        set_error(empty, "empty upstream response (status %lu)", got.status);
        send_error_event(client, empty.s);
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
    if (split_upstream_url(CFG_URL, target, failure) && format_upstream_headers(headers, failure)) {
        if (stream) {
            call_upstream(target, headers, upstream_body.view(), relay_block, const_cast<socket_handle*>(&client), got);
        } else {
            call_upstream(target, headers, upstream_body.view(), collect_block, &collected, got);
        }
    }

    if (stream) {
        finish_stream(client, got, failure);
        return;
    }
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
