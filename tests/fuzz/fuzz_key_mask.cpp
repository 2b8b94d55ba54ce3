// The key mask over arbitrary upstream bytes: the same output whether the
// text comes whole or cut into blocks anywhere, and no key left in it, as
// plain bytes or as any of the readings a JSON reader makes of it, up to a
// document quoted twice.
//
// Input layout: one byte seeding where the blocks are cut, then the text.
#include <string>

#include "fuzz_check.hpp"
#include "text/key_mask.hpp"
#include "text/utf8.hpp"

namespace {

// One with a quote, a backslash and a slash, whose escaped forms differ from it.
const std::string_view keys_used[] = {"sk-a\"b\\c/d", "k2-k2-k2x"};

const mask_keys& keys() {
    static const mask_keys k = [] {
        mask_keys m;
        for (std::string_view key : keys_used) mask_keys_add(m, key);
        return m;
    }();
    return k;
}

bool append(void* ctx, std::string_view bytes) {
    static_cast<std::string*>(ctx)->append(bytes);
    return true;
}

std::string mask_in_blocks(std::string_view text, uint8_t seed) {
    key_masker m(&keys());
    std::string out;
    size_t at = 0;
    uint32_t state = seed * 2654435761u + 1;
    while (at < text.size()) {
        state = state * 1103515245u + 12345u;
        size_t n = std::min<size_t>(1 + (state >> 16) % 64, text.size() - at);
        exact_copy block(reinterpret_cast<const uint8_t*>(text.data() + at), n);
        mask_feed(m, block.view(), append, &out);
        at += n;
    }
    mask_end(m, append, &out);
    return out;
}

// A lenient JSON reader's reading of every escape, strings or not.
std::string read_escapes(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i++];
            continue;
        }
        char e = s[i + 1];
        long cp = e == 'u' ? hex4(s, i + 2) : -1;
        if (cp < 0) {
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e;
            i += 2;
            continue;
        }
        i += 6;
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < s.size() && s[i] == '\\' && s[i + 1] == 'u') {
            long low = hex4(s, i + 2);
            if (low >= 0xdc00 && low <= 0xdfff) {
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                i += 6;
            }
        }
        if (cp >= 0xd800 && cp <= 0xdfff) cp = 0xfffd;
        char u8[4];
        out.append(u8, put_utf8(u8, cp));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    buf whole;
    put_masked(whole, text, keys());
    check_buf(whole);
    FUZZ_CHECK(mask_in_blocks(text, data[0]) == whole.view());
    FUZZ_CHECK(mask_in_blocks(text, data[0] ^ 0x5a) == whole.view());
    std::string reading(whole.view());
    for (int level = 0; level <= 3; ++level) {
        for (std::string_view key : keys_used) FUZZ_CHECK(reading.find(key) == std::string::npos);
        reading = read_escapes(reading);
    }
    return 0;
}
