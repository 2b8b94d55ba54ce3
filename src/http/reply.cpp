#include "http/reply.hpp"

#include "text/bounded.hpp"
#include "text/json_scan.hpp"

namespace {

void finish(reply_bytes& out, size_t head_len, const reply_head& head, std::string_view body) {
    out.parts[0] = {out.head, head_len};
    out.parts[1] = head.extra_lines;
    out.parts[2] = "\r\n";
    out.parts[3] = body;
    out.count = 4;
}

// Every status line the shim sends is made here.
size_t format_status_line(char* out, size_t cap, int status, const char* reason) {
    return bformat_at(out, cap, "HTTP/1.1 %d %s\r\n", status, reason ? reason : reason_phrase(status));
}

constexpr std::string_view chunked_line = "Transfer-Encoding: chunked\r\n";

// Everything up to the caller's extra lines; returns its length.
size_t format_start(reply_bytes& out, const reply_head& head, std::string_view framing) {
    out.status = head.status;
    size_t n = format_status_line(out.head, sizeof out.head, head.status, head.reason);
    std::string_view type = head.content_type;
    n += bformat_at(out.head + n, sizeof out.head - n, "%s%.*s%s%.*s", type.empty() ? "" : "Content-Type: ",
                    static_cast<int>(type.size()), type.data(), type.empty() ? "" : "\r\n",
                    static_cast<int>(head.route_lines.size()), head.route_lines.data());
    size_t framing_at = n;
    n += bformat_at(out.head + n, sizeof out.head - n, "%.*sConnection: close\r\n", static_cast<int>(framing.size()),
                    framing.data());
    out.chunked_at = framing == chunked_line && n - framing_at > framing.size() ? framing_at : 0;
    return n;
}

}  // namespace

void build_reply(reply_bytes& out, const reply_head& head, std::string_view body) {
    char framing[48] = "";
    size_t framing_len = 0;
    // A 204 has no body and must not announce one.
    if (head.status != 204) framing_len = bformat(framing, "Content-Length: %zu\r\n", body.size());
    finish(out, format_start(out, head, {framing, framing_len}), head, body);
}

void build_chunked_head(reply_bytes& out, const reply_head& head) {
    finish(out, format_start(out, head, chunked_line), head, {});
}

bool send_bytes(client_conn& client, const reply_bytes& bytes) {
    client.reply_status = bytes.status;
    size_t count = client.head_only && bytes.count > reply_head_parts ? reply_head_parts : bytes.count;
    std::span<const std::string_view> parts(bytes.parts, count);
    constexpr size_t room = sizeof bytes.parts / sizeof bytes.parts[0];
    if (!client.http10 || bytes.chunked_at == 0 || count + 1 > room)
        return sock_send_gather(client.socket, parts, client.bytes_out);
    // The head without its Transfer-Encoding line, then the rest as it is.
    std::string_view head = bytes.parts[0];
    std::string_view split[room];
    split[0] = head.substr(0, bytes.chunked_at);
    split[1] = head.substr(bytes.chunked_at + chunked_line.size());
    for (size_t i = 1; i < count; ++i) split[i + 1] = bytes.parts[i];
    return sock_send_gather(client.socket, std::span<const std::string_view>(split, count + 1), client.bytes_out);
}

bool send_reply(client_conn& client, const reply_head& head, std::string_view body) {
    reply_bytes bytes;
    build_reply(bytes, head, body);
    return send_bytes(client, bytes);
}

const char* reason_phrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 413: return "Content Too Large";
        case 415: return "Unsupported Media Type";
        case 422: return "Unprocessable Content";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

namespace {

void put_error_text(buf& body, std::string_view message, std::string_view their_words) {
    json_escape(body, message);
    if (!message.empty() && !their_words.empty()) buf_put(body, ": ");
    json_put_string_content(body, their_words);  // their escapes kept; raw line breaks would end an event
}

}  // namespace

void put_error_body(buf& body, std::string_view message, std::string_view their_words) {
    buf_put(body, "{\"error\":{\"message\":\"");
    put_error_text(body, message, their_words);
    buf_put(body, "\",\"type\":\"zelk_shim_error\"}}");
}

void put_plain_error_body(buf& body, std::string_view message, std::string_view their_words) {
    buf_put(body, "{\"error\":\"");
    put_error_text(body, message, their_words);
    buf_put(body, "\"}");
}

bool send_error_reply(client_conn& client, int status, std::string_view message, const char* reason,
                      std::string_view route_lines, std::string_view extra_lines) {
    buf body;
    put_error_body(body, message);
    if (body.failed) return false;
    return send_reply(client, {status, reason, "application/json", route_lines, extra_lines}, body.view());
}

bool send_continue(client_conn& client) {
    if (client.http10) return false;
    char line[32];
    size_t n = format_status_line(line, sizeof line, 100, nullptr);
    std::string_view parts[] = {{line, n}, "\r\n"};
    return sock_send_gather(client.socket, parts, client.bytes_out);
}

void build_stream_head(reply_bytes& out, std::string_view extra_lines) {
    build_chunked_head(out, {200, nullptr, "text/event-stream", "Cache-Control: no-cache\r\n", extra_lines});
}

bool send_chunk(client_conn& client, std::string_view bytes) {
    if (bytes.empty() || client.head_only) return true;  // an empty chunk would end the stream
    if (client.http10) return sock_send_all(client.socket, bytes, client.bytes_out);
    char size_line[24];
    size_t n = bformat(size_line, "%zx\r\n", bytes.size());
    std::string_view parts[] = {{size_line, n}, bytes, "\r\n"};
    return sock_send_gather(client.socket, parts, client.bytes_out);
}

bool send_last_chunk(client_conn& client) {
    if (client.head_only) return true;
    if (!client.http10) return sock_send_all(client.socket, "0\r\n\r\n", client.bytes_out);
    sock_shutdown_send(client.socket);  // the caller reads to the end of the connection
    return true;
}

bool send_error_event(client_conn& client, std::string_view message, std::string_view their_words,
                      std::string_view lead) {
    buf event;
    buf_put(event, lead);
    buf_put(event, "data: ");
    put_error_body(event, message, their_words);
    buf_put(event, "\n\n");
    if (event.failed) return false;
    return send_chunk(client, event.view());
}
