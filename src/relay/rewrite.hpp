// Rewriting a chat request body for the upstream: the fixed system message
// goes in front of the caller's messages and the configured model replaces
// the caller's. Only members of the top-level object count, and the new
// text is spliced into the original bytes, so everything else reaches the
// upstream byte for byte.
#pragma once
#include <string_view>

#include "text/buf.hpp"

// The persona prompt that leads every conversation.
extern const char SYSTEM_PROMPT[];

// The system prompt as it goes out: control bytes removed, at most 2047
// bytes, JSON-escaped. Computed once.
std::string_view system_text_escaped();

// 1 when the top-level "stream" member's value is the literal true, else 0.
int detect_stream_flag(std::string_view body);

// Appends the rewritten body to `out` and returns the stream flag.
int rebuild_request(std::string_view body, std::string_view model, buf& out);
