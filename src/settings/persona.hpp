// The persona: the system message that goes in front of every chat's
// messages, in every dialect. Built in, replaced by the text of a file
// ("persona"), or none at all; worked out once at start-up and only read
// after that.
#pragma once
#include <cstddef>
#include <string_view>

#include "text/bounded.hpp"
#include "text/buf.hpp"

// The built-in persona prompt.
extern const char SYSTEM_PROMPT[];

// The persona as it goes out. Views into texts that live as long as the
// process's settings.
struct persona_text {
    // "messages":[{"role":"system","content":" and the text JSON-escaped,
    // up to where its closing quote goes; empty when there is no persona.
    std::string_view lead;
    // The text alone, JSON-escaped: the end of `lead`.
    std::string_view escaped;
    bool none() const { return lead.empty(); }
};

// The built-in prompt, control bytes removed and cut to 2047 bytes (which
// leaves this prompt as it is), escaped once for the process.
persona_text built_in_persona();

// A persona file larger than this is refused: the system message goes with
// every request, so a file this long is almost surely the wrong file.
inline constexpr size_t persona_file_limit = 64 * 1024;

// The persona from a file's bytes, built into `storage`, which must outlive
// `out`. A byte order mark in front and the line ends at the end are left
// out (editors add them); the rest goes as it is, line breaks included.
// False with `why` when no text is left or the bytes are not UTF-8.
bool persona_from_file_text(std::string_view bytes, buf& storage, persona_text& out, error_text& why);
