// The growable byte buffer that holds every text the shim assembles or
// receives in pieces, and JSON string escaping into it.
#pragma once
#include <cstddef>
#include <string_view>

// Always NUL-terminated after the first put, so `data` can be handed to C
// APIs; the content itself may hold NUL bytes. A buffer that could not grow
// stays `failed`: later puts are ignored and the owner ends its work cleanly
// instead of sending a truncated text.
struct buf {
    char* data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool failed = false;

    buf() = default;
    buf(const buf&) = delete;
    buf& operator=(const buf&) = delete;
    buf(buf&& other) noexcept;
    buf& operator=(buf&& other) noexcept;
    ~buf();

    std::string_view view() const { return {data ? data : "", len}; }
    void clear();  // frees the block, back to the empty state
};

// Appends n bytes; grows the block to twice the size needed when it must.
// Returns the (possibly moved) data pointer, or nullptr when growing failed.
char* buf_put(buf& b, const void* src, size_t n);
inline char* buf_put(buf& b, std::string_view s) { return buf_put(b, s.data(), s.size()); }

// Appends a whole number in decimal.
void buf_put_int(buf& b, long long v);

// Makes room for `n` more bytes at once (at least doubling the block when it
// must grow), so a text whose size is known is not copied again and again
// as it grows. False when growing failed.
bool buf_reserve(buf& b, size_t n);

// Counts `n` bytes that the caller wrote straight into the room made by
// buf_reserve (at data + len) as content.
void buf_commit(buf& b, size_t n);

// Appends `text` as JSON string content (no surrounding quotes). Control
// bytes use the short escapes where JSON has them, else \u00XX; bytes from
// 0x20 up pass unchanged where they are UTF-8, and each byte that is not
// becomes U+FFFD, so the result is always valid JSON.
// (Written with the JSON reader, which escapes the same way.)
void json_escape(buf& b, std::string_view text);
