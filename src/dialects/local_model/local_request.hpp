// The local-model dialect in full, the caller's side: its request read as
// JSON and converted into a chat-completions body with every field's meaning
// kept. Pure: no socket.
#pragma once
#include <string_view>

#include "settings/persona.hpp"
#include "text/bounded.hpp"
#include "text/buf.hpp"

// ---- Request ----------------------------------------------------------------

// The caller's endpoint: /api/chat sends messages and reads "message"
// objects, /api/generate sends a prompt and reads "response" texts.
enum class local_shape : unsigned char { chat, generate };

struct full_request {
    bool ok = false;
    bool stream = true;  // the dialect streams unless told otherwise
    // A chat without messages or a generate without a prompt asks for the
    // model to be loaded (unloaded, with keep_alive 0): answered at once,
    // nothing goes upstream and `out` stays empty.
    bool load = false;
    bool unload = false;
    error_text error;  // when !ok: the 400 reply's text, naming the field
};

// Converts a local-model chat body into a chat-completions body in `out`:
// the configured model, the persona's system message first (none without
// one), the caller's messages
// (images as data-URL content parts, tool calls with string arguments and
// the caller's ids, or generated ones "call_0", "call_1", ... where it gave
// none or one another call of the request already has, so that no two calls
// share an id upstream; tool results tied to their call by tool_call_id,
// else by order and name), tools,
// tool_choice, format as response_format, sampling options as top-level
// fields, and usage asked for on a stream. Malformed JSON, a body nested too
// deep, a number beyond the largest double or a field of the wrong type
// (tools entries must be objects, counts positive whole numbers) gives !ok
// and leaves `out` unusable.
// A generate body becomes the same chat: its `system` as a system message
// after the persona's, its `prompt` (with `images`) as the user
// message, the other fields as for chat. `suffix`, `template`, `raw: true`
// and a non-empty `context` ask for what a chat-completions upstream cannot
// do (fill in the middle, a prompt template of the caller's, a prompt
// without one, token-level memory) and are refused, naming the field.
full_request convert_full_request(std::string_view body, std::string_view model, buf& out,
                                  local_shape shape = local_shape::chat,
                                  const persona_text& persona = built_in_persona());
