// A small JSON span scanner. It never builds a document: it finds where
// values start and end in the original bytes, so callers can splice new
// text in and pass everything else on byte for byte. All scans run by
// length, pass NUL bytes like any other byte, and never read past the end.
#pragma once
#include <cstddef>
#include <string_view>

#include "text/buf.hpp"
#include "text/span.hpp"

inline constexpr size_t json_npos = std::string_view::npos;

// JSON's white space: space, tab, CR, LF.
constexpr bool json_is_ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Position of the first byte at or after `pos` that is not JSON white space
// (space, tab, CR, LF), or s.size().
size_t json_skip_ws(std::string_view s, size_t pos);

// `pos` is at an opening double quote: position just past the closing one,
// or json_npos when the text ends first. A backslash steps over the next byte.
size_t json_string_end(std::string_view s, size_t pos);

// `pos` is at a "[": position of the bracket that closes it, or json_npos.
// Brackets and braces count alike; strings are stepped over.
size_t find_array_end(std::string_view s, size_t pos);

// `pos` is at the first byte of a value: position just past it, or json_npos
// when it is not a value or the text ends inside it.
size_t json_value_end(std::string_view s, size_t pos);

// True when a key as written between its quotes (escapes as the sender
// wrote them) spells `name`: "mod\u0065l" is the key model to every JSON
// reader, so it must be to us too.
bool json_key_is(std::string_view raw, std::string_view name);

// One member of an object, as positions in the scanned text.
struct json_member {
    bool found = false;
    bool repeated = false;         // the key occurs more than once (decoded)
    size_t key_pos = json_npos;    // the key's opening quote
    size_t value_pos = json_npos;  // first byte of the value
    size_t value_end = json_npos;  // just past the value; json_npos if the text ended inside it
    std::string_view value(std::string_view s) const {
        return value_end == json_npos ? tail_span(s, value_pos) : sub_span(s, value_pos, value_end - value_pos);
    }
};

// Looks for `key` among the members of the object whose "{" is at `obj_pos`
// (members of nested values never count). Keys compare decoded. When the
// key occurs twice the last one wins, as in common JSON parsers, and the
// member says it was repeated. The scan stops at the first
// syntax fault; members before it are still found, and a value cut off by
// the end of the text is reported with value_end json_npos.
json_member json_object_member(std::string_view s, size_t obj_pos, std::string_view key);

// The same for the top-level object of a document (leading white space allowed).
json_member json_top_member(std::string_view s, std::string_view key);

// Several members of the top-level object in one pass: out[i] for keys[i].
void json_top_members(std::string_view s, const std::string_view* keys, json_member* out, size_t count);

// Position of the first element of the array whose "[" is at `arr_pos`, or
// json_npos when the array is empty or malformed.
size_t json_array_first(std::string_view s, size_t arr_pos);

// The raw bytes between the quotes of a string value (escapes as written),
// or nullopt-like empty with ok=false when the value is not a complete string.
struct json_raw_string {
    bool ok = false;
    std::string_view raw;
};
json_raw_string json_string_at(std::string_view s, size_t pos);

// The first member named `key` anywhere in the document, at any depth,
// whose value is a complete string.
json_raw_string json_first_string_member(std::string_view s, std::string_view key);

// A value that is a plain non-negative integer, or -1.
long long json_uint_at(std::string_view s, size_t pos, size_t end);

// Appends raw JSON string content from another party (escapes as it wrote
// them) so that it stays valid inside our own string: escapes it wrote are
// kept (but half a surrogate pair becomes \ufffd), a broken escape or a
// bare quote is escaped, control bytes become
// escapes and bytes that are not UTF-8 become U+FFFD.
void json_put_string_content(buf& out, std::string_view raw);
