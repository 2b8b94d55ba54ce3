// The browser origins the user lets call the shim besides pages on loopback:
// the "origins" setting, checked and split once at start-up.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

enum class origin_pattern : uint8_t {
    exact,          // "https://app.example", "http://tool.test:8000"
    any_of_scheme,  // "chrome-extension://*": every origin with that scheme
    null_origin,    // "null": sandboxed frames, file pages, https pages posting to http
    any,            // "*": every origin (unsafe: any web page may spend the key)
};

struct origin_entry {
    origin_pattern kind = origin_pattern::exact;
    uint16_t at = 0;   // the origin, or the scheme for any_of_scheme, in origin_list::text
    uint16_t len = 0;
};

struct origin_list {
    static constexpr size_t max_entries = 32;
    char text[1024] = {};
    size_t text_len = 0;
    origin_entry entries[max_entries];
    size_t count = 0;

    std::string_view entry_text(const origin_entry& e) const { return {text + e.at, e.len}; }
};

// Comma-separated entries, blanks around them ignored. False when an entry
// is none of the accepted forms (or does not fit): `bad` is that entry.
bool parse_origin_list(std::string_view setting, origin_list& out, std::string_view& bad);

// scheme "://" host [":" port], as a browser serializes a tuple origin.
bool is_origin_syntax(std::string_view origin);
