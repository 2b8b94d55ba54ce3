// UTF-8 well-formedness, for the texts we build from other parties' bytes:
// a JSON text must be UTF-8, so anything else is replaced before it goes out.
#pragma once
#include <cstddef>
#include <string_view>

inline constexpr std::string_view utf8_replacement = "\xef\xbf\xbd";  // U+FFFD

// Length of the well-formed UTF-8 sequence that starts at s[i] (a byte from
// 0x80 up), or 0 when it is not one: no overlong forms, no surrogates,
// nothing beyond U+10FFFF, nothing cut off by the end of the text.
inline size_t utf8_sequence(std::string_view s, size_t i) {
    auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = at(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if ((at(i + k) & 0xc0) != 0x80) return 0;
    return n;
}

// A hexadecimal digit's value, or -1.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at s[i] (of a \uXXXX escape), or -1.
inline long hex4(std::string_view s, size_t i) {
    if (i + 4 > s.size()) return -1;
    long v = 0;
    for (size_t k = 0; k < 4; ++k) {
        int d = hex_digit(s[i + k]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Writes code point `cp` as UTF-8 into `out` (room for 4); returns its length.
inline size_t put_utf8(char* out, long cp) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xc0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3f));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xe0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out[2] = static_cast<char>(0x80 | (cp & 0x3f));
        return 3;
    }
    out[0] = static_cast<char>(0xf0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out[3] = static_cast<char>(0x80 | (cp & 0x3f));
    return 4;
}
