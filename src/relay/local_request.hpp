// The local-model dialect in full, the caller's side: its request read as
// JSON and converted into a chat-completions body with every field's meaning
// kept. Pure: no socket.
#pragma once
#include <string_view>

#include "text/bounded.hpp"
#include "text/buf.hpp"

// ---- Request ----------------------------------------------------------------

struct full_request {
    bool ok = false;
    bool stream = true;  // the dialect streams unless told otherwise
    error_text error;    // when !ok: the 400 reply's text, naming the field
};

// Converts a local-model chat body into a chat-completions body in `out`:
// the configured model, the system message first, the caller's messages
// (images as data-URL content parts, tool calls with string arguments and
// the caller's ids, or generated ones "call_0", "call_1", ..., tool results
// tied to their call by tool_call_id, else by order and name), tools,
// tool_choice, format as response_format, sampling options as top-level
// fields, and usage asked for on a stream. Malformed JSON, a body nested too
// deep, a number beyond the largest double or a field of the wrong type
// (tools entries must be objects, counts positive whole numbers) gives !ok
// and leaves `out` unusable.
full_request convert_full_request(std::string_view body, std::string_view model, buf& out);
