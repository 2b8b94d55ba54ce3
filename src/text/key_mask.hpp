// Keeping the keys the shim holds out of everything the upstream says to a
// caller: some gateways quote the key they were given, in an error document,
// an event, a plain text page or a header. Every byte of the upstream's
// answer passes one mask before anything else reads it, whatever its status
// and shape; nothing is recognised as an error first.
//
// A key is found as plain bytes and in every spelling a JSON reader decodes,
// up to a document quoted in a string quoted once more: \u escapes (pairs
// included), short escapes, "\/", and lenient readers' "\x" read as "x".
// Decoding ignores where strings begin and end, so a top-level string, a
// byte order mark or a text that is no JSON at all is read the same way.
// What is replaced is whole escapes, so a JSON text stays valid JSON.
//
// Every spelling of a key is a run of bytes drawn from the key's own bytes,
// the backslash, "u" and the hex digits. The mask looks only at such runs
// that hold a key's bytes or a backslash, and holds back only the end of a
// run that a block ends in (a key's length at most, unless escapes are near
// the end): a block that ends at a line's end is passed on whole.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/buf.hpp"

// What stands in a key's place.
inline constexpr std::string_view key_mask = "***";

inline constexpr size_t mask_keys_max = 4;
// Keys shorter than this are placeholders (none, x, sk-1) that local
// gateways take, not secrets; masking them would cut every answer that
// holds the word.
inline constexpr size_t mask_key_min = 8;

// The keys to mask, prepared once at start-up and only read afterwards.
struct mask_keys {
    struct prepared {
        std::string_view text;
        uint16_t skip[256];  // how far a search may move past a window whose last byte is this one
    };
    prepared key[mask_keys_max];
    size_t count = 0;
    size_t shortest = 0, longest = 0;
    bool alphabet[256] = {};  // every byte that can be part of a spelling of some key
};
// Adds a key (one shorter than mask_key_min, or one already there, changes nothing). The text
// must outlive the set. False when the set is full.
bool mask_keys_add(mask_keys& keys, std::string_view key);

// Masks a text that arrives in blocks.
struct key_masker {
    explicit key_masker(const mask_keys* keys) : keys(keys) {}
    const mask_keys* keys;
    // The reader's own state.
    buf held;  // the start of a run the last block ended in
    buf out;   // what goes out when it is not a span of the block as it came
    // One run as each deeper reading decodes it: its bytes, and per byte the
    // raw range it was read from; then the ranges to mask.
    buf level_bytes[3], level_units[3];
    buf ranges;
    buf found;  // the ranges to mask in the text at hand
};
// Receives the bytes for the caller in order; false ends the feeding.
using mask_emit = bool (*)(void* ctx, std::string_view bytes);
// Passes `block` on masked: one call of `emit` at most. False when emit said so.
bool mask_feed(key_masker& m, std::string_view block, mask_emit emit, void* ctx);
// The text ended: what was held back goes out.
bool mask_end(key_masker& m, mask_emit emit, void* ctx);

// One whole text masked, appended to `out`.
void put_masked(buf& out, std::string_view text, const mask_keys& keys);
