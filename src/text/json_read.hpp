// A strict JSON reader (RFC 8259) over the original bytes. json_read checks
// a whole document once and builds nothing: values are spans of the input,
// so a string of several MiB (image data) is never copied by reading it.
// The walking functions below then step through a checked document by
// scanning, and take only values of a document json_read accepted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/buf.hpp"

// Containers nest at most this deep. The check keeps its own small stack
// (no recursion), so the bound is about sane input, not about the thread.
inline constexpr int json_max_depth = 64;

enum class json_kind : uint8_t { missing, null, boolean, number, string, array, object };

// A value as written: a string keeps its quotes, a container its brackets.
// kind missing stands for a member or element that is not there.
struct json_value {
    json_kind kind = json_kind::missing;
    std::string_view text;
    bool is(json_kind k) const { return kind == k; }
    // Neither missing nor null: the sender gave a value.
    bool given() const { return kind != json_kind::missing && kind != json_kind::null; }
};

// Why a document was refused and where: `what` is a fixed text (null when
// the document is fine), `at` the byte offset, `path` the member it lies in
// as keys and indexes were written ("messages[2].content"; empty at the top).
struct json_error {
    const char* what = nullptr;
    size_t at = 0;
    char path[96] = {};
};

struct json_doc {
    json_value root;
    json_error error;
    bool ok() const { return error.what == nullptr; }
};

// Checks `text` as one JSON document: UTF-8 only, no lone surrogate
// escapes, no raw control bytes in strings, numbers as the grammar has them
// (no NaN, Infinity or leading zeros, none beyond the largest double: a
// reader would take 1e999 as infinity), no key twice in any object, nothing
// but white space after the value, at most json_max_depth levels.
json_doc json_read(std::string_view text);

// Steps through the elements of an array or the members of an object. Each
// kind has its own cursor, so an object is never walked as an array: a value
// of another kind gives a cursor with no elements. A cursor stays inside its
// container's brackets and stops ("no more elements") at anything it cannot
// step over, so even a value json_read never checked reads nothing outside
// its text.
struct json_array_cursor {
    std::string_view rest;  // the elements not taken yet, without the closing bracket
};
struct json_object_cursor {
    std::string_view rest;
};
json_array_cursor json_walk_array(json_value array);
json_object_cursor json_walk_object(json_value object);
// The next element; false at the end.
bool json_next(json_array_cursor& c, json_value& element);
// The next member, its key as written between the quotes; false at the end.
bool json_next(json_object_cursor& c, std::string_view& key_raw, json_value& value);

// The member named `key` (keys compared decoded), or a missing value.
json_value json_get(json_value object, std::string_view key);

// Several members in one pass over the object: out[i] for names[i].
void json_get_members(json_value object, const std::string_view* names, json_value* out, size_t count);

// A string's content between its quotes, escapes as written: already valid
// inside any JSON string we build, so it is passed on without decoding.
std::string_view json_raw(json_value string);

// Appends the decoded text of a string (the raw content of a checked
// string works too: `raw` from json_raw or from json_next's keys).
void json_decode(std::string_view raw, buf& out);

// Writes the decoded text of raw string content into `cap` bytes at `out`
// for an error text that names a key or an id, and returns the bytes written
// (always terminated): a quote, a backslash and control bytes become \",
// \\ and \xHH, bytes that are not UTF-8 \xHH too, and the text is cut
// before a character that does not fit, never inside one.
size_t json_put_error_name(char* out, size_t cap, std::string_view raw);

// True when the string decodes to exactly `text`.
bool json_equals(json_value string, std::string_view text);

// A number that is a plain non-negative integer below 2^53, or -1.
long long json_uint(json_value number);
