// Shared helpers of the fuzz targets: a check that aborts with the failed
// invariant (libFuzzer then saves the input), and an exact-size heap copy
// of the input so AddressSanitizer flags any read past its end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "text/buf.hpp"

#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// Owns a heap block of exactly the input's size (at least one byte is
// allocated so an empty input still has a valid pointer, but the view is empty).
struct exact_copy {
    char* p = nullptr;
    size_t n = 0;
    exact_copy(const uint8_t* data, size_t size) : p(static_cast<char*>(std::malloc(size ? size : 1))), n(size) {
        if (size) std::memcpy(p, data, size);
    }
    exact_copy(const exact_copy&) = delete;
    exact_copy& operator=(const exact_copy&) = delete;
    ~exact_copy() { std::free(p); }
    std::string_view view() const { return {p, n}; }
};

// A buffer that received anything holds its text NUL-terminated inside its block.
inline void check_buf(const buf& b) {
    if (!b.data) {
        FUZZ_CHECK(b.len == 0);
        return;
    }
    FUZZ_CHECK(!b.failed);
    FUZZ_CHECK(b.len < b.cap);
    FUZZ_CHECK(b.data[b.len] == '\0');
}

inline bool inside(std::string_view part, std::string_view whole) {
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}
