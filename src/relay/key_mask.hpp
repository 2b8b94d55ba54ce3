// Keeping the configured key out of everything the upstream says to a
// caller in an error: some gateways quote the key they were given. The key
// is looked for in what a JSON reader reads: inside a JSON text every string
// is decoded first (any \u spelling, "\/", a surrogate pair), and what is
// replaced is whole escapes, so the text stays valid JSON. The key is also
// found as it appears inside one more level of JSON string (escaped as we
// escape, with "/" written "\/" or not), for messages that quote a document.
#pragma once
#include <cstdint>
#include <string_view>

#include "text/buf.hpp"

// What stands in the key's place.
inline constexpr std::string_view key_mask = "***";

// How a text is read.
enum class mask_reading : unsigned char {
    document,        // by its first byte that is not white space: "{" or "[" a JSON text, else plain bytes (an HTML page)
    json,            // a JSON text from its first byte (an event's "data: {...}")
    string_content,  // the content of one JSON string, escapes as written
};

// Masks a text that arrives in blocks: what is safe to send goes to `out` at
// once; the last few units, which may begin an occurrence that the next
// block completes, wait for it (an escape cut by a block's end too).
struct masked_stream {
    explicit masked_stream(std::string_view key, mask_reading reading = mask_reading::document)
        : key(key), reading(reading) {}
    std::string_view key;
    mask_reading reading;

    // The rest is the reader's own state.
    struct forms_t {
        buf escaped, slashed;
        std::string_view form[3];
        size_t count = 0;
        buf fail;  // each form's prefix table, uint32_t per byte, one after another
        size_t state[3] = {};
    } forms;
    bool ready = false;
    bool decided = false;    // document reading: the first byte has been seen
    bool json = false;       // strings are decoded
    bool in_string = false;
    char escape[6] = {};     // an escape begun and not yet whole
    size_t escape_len = 0;
    bool high_surrogate = false;  // the unit before was the first half of a pair,
    long high_cp = 0;             // this one
    // Units held back: their raw bytes, and per unit its raw and decoded lengths.
    buf held_raw;
    buf held_units;
    size_t raw_front = 0, unit_front = 0, held_decoded = 0;
};
void masked_feed(masked_stream& m, std::string_view block, buf& out);
// The text ended: the bytes still waiting go out.
void masked_end(masked_stream& m, buf& out);
// Reads the next text from its start again (the prepared key is kept).
void masked_restart(masked_stream& m);

// One whole text, read as a document: `text` with every occurrence of `key`
// replaced by key_mask. An empty key masks nothing.
void put_masked(buf& out, std::string_view text, std::string_view key);
// The same for the content of one JSON string (escapes as written, and the
// output is string content too).
void put_masked_string(buf& out, std::string_view content, std::string_view key);

// True when a document is an object whose first member is "error": an
// error told under a success status, masked like a refusal.
bool opens_with_error_member(std::string_view doc);

// A successful event stream passes untouched and unscanned but for finding
// where each event starts; an event whose data is a JSON object whose first
// member is "error" (the in-band error event) is masked from that member on,
// until the event ends. Nothing of a normal event is held back. `send`
// receives the bytes for the caller in order; false from it is returned.
using mask_sink = bool (*)(void* ctx, std::string_view bytes);
struct event_mask {
    explicit event_mask(std::string_view key) : masking(key, mask_reading::json) {}
    masked_stream masking;
    uint8_t head = 0;          // where the reading of an event's start stands
    char first_key[32] = {};   // the first member's key as written
    size_t first_key_len = 0;
    bool key_escape = false;
    bool line_empty = true;    // no byte on the current line yet
    bool after_cr = false;     // a CR ended the last line (a LF may follow it)
    bool in_error = false;     // masking an error event
    buf out;
};
bool event_mask_feed(event_mask& m, std::string_view block, mask_sink send, void* ctx);
// The stream ended: what an error event still held goes out.
bool event_mask_end(event_mask& m, mask_sink send, void* ctx);
