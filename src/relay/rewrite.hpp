// Rewriting a chat request body for the upstream: the fixed system message
// goes in front of the caller's messages and the configured model replaces
// the caller's. Only members of the top-level object count, and the new
// text is spliced into the original bytes, so everything else reaches the
// upstream byte for byte.
#pragma once
#include <string_view>

#include "settings/persona.hpp"
#include "text/bounded.hpp"
#include "text/buf.hpp"
#include "text/json_scan.hpp"

// The built-in system prompt as it goes out: control bytes removed, at most
// 2047 bytes, JSON-escaped. Computed once.
std::string_view system_text_escaped();

// 1 when the top-level "stream" member's value is the literal true, else 0.
int detect_stream_flag(std::string_view body);

// The top-level members a chat body is rewritten by, found in one pass over
// it that reads the whole body by JSON's grammar (keys compared decoded).
struct chat_members {
    json_member stream;
    json_member messages;
    json_member model;
    // Lists of other models that some gateways fall back to: the caller's
    // choice of model by another name, so they never go upstream.
    json_member models;
    json_member fallbacks;
    // One of stream, messages and model that occurs more than once, else
    // empty: readers disagree on which of two equal keys counts.
    std::string_view repeated;
    // Where the body stops being one JSON object. A reader more lenient than
    // the grammar (NaN, a byte order mark, comments, a second document) could
    // find another model or another "messages" in such a body than we would.
    json_fault fault;
    unsigned char fault_byte = 0;  // the byte there, when the body has one
    bool streaming(std::string_view body) const { return stream.found && stream.value(body) == "true"; }
};
chat_members find_chat_members(std::string_view body);

// Why a chat body is refused instead of rewritten; nothing goes upstream.
struct body_refusal {
    error_text words;           // the error text for the caller; empty when the body is taken
    std::string_view repeated;  // the key given more than once, when that is why
    bool empty() const { return words.empty(); }
};
// True (with the reason in `out`) when the members say the body must be
// refused: it is not one JSON object, or it repeats a key the rewrite decides on.
bool refuse_chat_body(const chat_members& found, body_refusal& out);

// The rewritten body as a few pieces in order: spans of the caller's bytes
// with the new texts between them, so a large body is never copied to be
// sent. The pieces point into the caller's body, into `model_member` and
// into the persona's text; they stay valid while the body and this
// record live.
struct rewritten_body {
    static constexpr size_t max_pieces = 8;
    std::string_view piece[max_pieces];
    size_t count = 0;
    size_t size = 0;  // bytes in all pieces
    buf model_member;
    bool failed = false;  // the model text could not be held
    body_refusal refused;  // set, with no pieces, when the body is not sent at all
};

// Fills `out` with the rewritten body and returns the stream flag. A body
// that is not one JSON object (white space around it is fine), without
// "messages" or whose "messages" is not an array, or that holds one of the
// top-level keys the rewrite decides on (model, messages, stream, models,
// fallbacks; compared decoded) more than once is refused, not guessed at:
// `out.refused` says why and no piece is made. Top-level "models" and
// "fallbacks" are dropped. The persona's system message goes first in
// "messages"; without one the caller's messages stay as they came.
int rebuild_pieces(std::string_view body, std::string_view model, rewritten_body& out,
                   const persona_text& persona = built_in_persona());

// Appends the pieces to `out` in order: the body as one text, for the debug
// copy.
void join_pieces(const rewritten_body& body, buf& out);

// Appends the rewritten body to `out` and returns the stream flag; a refused
// body as in rebuild_pieces (nothing appended, the reason in `refused`).
int rebuild_request(std::string_view body, std::string_view model, buf& out, body_refusal* refused = nullptr,
                    const persona_text& persona = built_in_persona());
