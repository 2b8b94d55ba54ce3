// The one writer of every reply the shim sends: the status line, the header
// lines, the framing and the body, in one gather write. Every reply closes
// its connection, so every header block says so.
//
// A header block comes out as: status line, Content-Type, the route's own
// lines, Content-Length or Transfer-Encoding, "Connection: close", the
// caller's extra lines, and the empty line. With no extra lines every reply
// is byte for byte what callers have always received.
#pragma once
#include <cstddef>
#include <string_view>

#include "http/connection.hpp"
#include "text/buf.hpp"

struct reply_head {
    int status = 200;
    const char* reason = nullptr;   // the standard phrase when null
    std::string_view content_type;  // no Content-Type line when empty
    std::string_view route_lines;   // lines this reply always carries, each ending in CR LF
    std::string_view extra_lines;   // lines for this caller (cross-origin access), each ending in CR LF
};

// A reply's bytes as they go out: the formatted head, the extra lines, the
// empty line and the body, in order. To an HTTP/1.0 caller a chunked head
// goes without its Transfer-Encoding line, and the chunk writers below send
// plain bytes: its stream ends where the connection does.
struct reply_bytes {
    int status = 0;
    char head[512];
    std::string_view parts[5];  // room for one trailing part
    size_t count = 0;
    size_t chunked_at = 0;  // where the Transfer-Encoding line begins in `head`; 0 when there is none
};
// parts[0..2] are the header block; the rest is the body.
inline constexpr size_t reply_head_parts = 3;

// Content-Length framing around `body`.
void build_reply(reply_bytes& out, const reply_head& head, std::string_view body);
// The head of a chunked reply; the body follows as chunks.
void build_chunked_head(reply_bytes& out, const reply_head& head);

// To a HEAD request (client.head_only) only the header block goes out, from
// this and from the chunk writers below: the same status and lines,
// Content-Length included, and no body, whatever the reply.
bool send_bytes(client_conn& client, const reply_bytes& bytes);
bool send_reply(client_conn& client, const reply_head& head, std::string_view body);

// The standard reason phrase of a status code ("Not Found"), or "Unknown".
const char* reason_phrase(int status);

// {"error":{"message":"<escaped text>","type":"zelk_shim_error"}}, the one
// error document the shim writes. Another party's own words (JSON string
// content as it wrote them) may follow the message after ": ".
void put_error_body(buf& body, std::string_view message, std::string_view their_words = {});
// {"error":"<escaped text>"}: the error document of the local-model dialect,
// with the same message and words.
void put_plain_error_body(buf& body, std::string_view message, std::string_view their_words = {});

// The JSON error reply under `status`; relay failures pass the reason
// "Internal" with 502, which callers have always seen.
bool send_error_reply(client_conn& client, int status, std::string_view message, const char* reason = nullptr,
                      std::string_view route_lines = {}, std::string_view extra_lines = {});

// Tells a client that waits ("Expect: 100-continue") to send its body, or
// probes a half-closed one. An HTTP/1.0 caller is never sent one (it may not
// be sent an interim answer): false then, as when the send fails.
bool send_continue(client_conn& client);

// The event stream: its head, each relayed block as one chunk (size line,
// bytes, CR LF in one gather write; false once the caller has gone), the
// last chunk that tells the caller the stream ended whole (to an HTTP/1.0
// caller: the end of our sending side), and the in-band
// error event for a stream whose upstream exchange failed:
// data: {"error":{"message":"...","type":"zelk_shim_error"}} and a blank line.
void build_stream_head(reply_bytes& out, std::string_view extra_lines);
bool send_chunk(client_conn& client, std::string_view bytes);
bool send_last_chunk(client_conn& client);
// `lead` goes first: the blank line that ends whatever line the upstream's
// bytes left open, so the event starts on a line of its own.
bool send_error_event(client_conn& client, std::string_view message, std::string_view their_words = {},
                      std::string_view lead = {});
