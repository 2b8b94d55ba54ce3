// Bounded formatting into fixed-size character areas: the text is cut to fit
// and always terminated.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Checked as the C99 printf family ("%zu" included) on every compiler; the
// Windows cross build would otherwise check against the old Microsoft one.
#if defined(__clang__)
#define ZELK_PRINTF_FORMAT printf
#else
#define ZELK_PRINTF_FORMAT gnu_printf
#endif

// Formats into `cap` bytes at `out`; returns the number of characters
// actually stored (never more than cap - 1).
inline size_t vbformat_at(char* out, size_t cap, const char* fmt, va_list ap) {
    if (cap == 0) return 0;
    int n = std::vsnprintf(out, cap, fmt, ap);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

// Into a fixed-size array.
template <size_t N>
__attribute__((format(ZELK_PRINTF_FORMAT, 2, 3))) size_t bformat(char (&out)[N], const char* fmt, ...) {
    static_assert(N > 0);
    va_list ap;
    va_start(ap, fmt);
    size_t n = vbformat_at(out, N, fmt, ap);
    va_end(ap);
    return n;
}

// Into `cap` bytes at `out`, for a text assembled in steps.
__attribute__((format(ZELK_PRINTF_FORMAT, 3, 4))) inline size_t bformat_at(char* out, size_t cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    size_t n = vbformat_at(out, cap, fmt, ap);
    va_end(ap);
    return n;
}

// An error text as it travels from the failing step to the reply.
struct error_text {
    char s[256] = {};
    bool empty() const { return s[0] == '\0'; }
};

template <typename... Args>
void set_error(error_text& e, const char* fmt, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        bformat(e.s, "%s", fmt);
    } else {
        bformat(e.s, fmt, args...);
    }
}
