// Keeping the configured key out of everything the upstream says to a
// caller in an error: some gateways quote the key they were given.
#pragma once
#include <string_view>

#include "text/buf.hpp"

// What stands in the key's place.
inline constexpr std::string_view key_mask = "***";

// Appends `text` with every occurrence of `key` replaced by key_mask: the
// key as it is, and as it appears inside a JSON string (escaped as we
// escape, and with "/" written "\/"). An empty key masks nothing.
void put_masked(buf& out, std::string_view text, std::string_view key);

// The same for a text that arrives in blocks: what is safe to send goes to
// `out` at once; the last few bytes, which may begin an occurrence that the
// next block completes, wait for it.
struct masked_stream {
    std::string_view key;
    buf carry;
    buf joined;  // carry + block, the text one step looks at
};
void masked_feed(masked_stream& m, std::string_view block, buf& out);
// The text ended: the bytes still waiting go out.
void masked_end(masked_stream& m, buf& out);
