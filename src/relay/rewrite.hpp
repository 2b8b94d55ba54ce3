// Rewriting a chat request body for the upstream: the fixed system message
// goes in front of the caller's messages and the configured model replaces
// the caller's. Only members of the top-level object count, and the new
// text is spliced into the original bytes, so everything else reaches the
// upstream byte for byte.
#pragma once
#include <string_view>

#include "text/buf.hpp"
#include "text/json_scan.hpp"

// The persona prompt that leads every conversation.
extern const char SYSTEM_PROMPT[];

// The system prompt as it goes out: control bytes removed, at most 2047
// bytes, JSON-escaped. Computed once.
std::string_view system_text_escaped();

// 1 when the top-level "stream" member's value is the literal true, else 0.
int detect_stream_flag(std::string_view body);

// The top-level members a chat body is rewritten by, found in one pass over
// it (keys compared decoded).
struct chat_members {
    json_member stream;
    json_member messages;
    json_member model;
    // A key among them that occurs more than once, else empty: readers
    // disagree on which of two equal keys counts.
    std::string_view repeated;
    bool streaming(std::string_view body) const { return stream.found && stream.value(body) == "true"; }
};
chat_members find_chat_members(std::string_view body);

// The rewritten body as a few pieces in order: spans of the caller's bytes
// with the new texts between them, so a large body is never copied to be
// sent. The pieces point into the caller's body, into `model_member` and
// into process-wide constants; they stay valid while the body and this
// record live.
struct rewritten_body {
    static constexpr size_t max_pieces = 7;
    std::string_view piece[max_pieces];
    size_t count = 0;
    size_t size = 0;  // bytes in all pieces
    buf model_member;
    bool failed = false;  // the model text could not be held
};

// Fills `out` with the rewritten body and returns the stream flag.
// When `repeated` is given and the body holds one of the top-level keys the
// rewrite decides on (model, messages, stream; compared decoded) more than
// once, that key is named there and `out` stays empty: readers disagree on
// which of two equal keys counts, so such a body is refused, not guessed at.
int rebuild_pieces(std::string_view body, std::string_view model, rewritten_body& out,
                   std::string_view* repeated = nullptr);

// Appends the pieces to `out` in order: the body as one text, for the debug
// copy.
void join_pieces(const rewritten_body& body, buf& out);

// Appends the rewritten body to `out` and returns the stream flag; a
// repeated key as in rebuild_pieces.
int rebuild_request(std::string_view body, std::string_view model, buf& out, std::string_view* repeated = nullptr);
