#include "text/buf.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mutex>

#include "text/large_block.hpp"

namespace {

// One freed large block of at most this size is kept for the next one: a
// body of a few MiB then lands in pages that are mapped already, with no
// faults and no zeroing. Small enough that a process at rest stays near its
// base.
constexpr size_t kept_block_max = 4u << 20;

struct kept_block {
    std::mutex lock;
    char* data = nullptr;
    size_t cap = 0;
};
kept_block g_kept;

// A large block of at least `cap` bytes; `cap` becomes its real capacity.
char* large_alloc(size_t& cap) {
    {
        std::lock_guard<std::mutex> hold(g_kept.lock);
        if (g_kept.data && g_kept.cap >= cap) {
            char* p = g_kept.data;
            cap = g_kept.cap;
            g_kept.data = nullptr;
            return p;
        }
    }
    return static_cast<char*>(large_block_alloc(cap));
}

// Which allocator holds a block follows from its capacity alone.
void release(char* data, size_t cap) {
    if (!data) return;
    if (cap < large_block_min) {
        std::free(data);
        return;
    }
    if (cap <= kept_block_max) {
        std::lock_guard<std::mutex> hold(g_kept.lock);
        if (!g_kept.data) {
            g_kept.data = data;
            g_kept.cap = cap;
            return;
        }
    }
    large_block_free(data, cap);
}

}  // namespace

buf::buf(buf&& other) noexcept
    : data(other.data), len(other.len), cap(other.cap), failed(other.failed) {
    other.data = nullptr;
    other.len = other.cap = 0;
    other.failed = false;
}

buf& buf::operator=(buf&& other) noexcept {
    if (this != &other) {
        release(data, cap);
        data = other.data;
        len = other.len;
        cap = other.cap;
        failed = other.failed;
        other.data = nullptr;
        other.len = other.cap = 0;
        other.failed = false;
    }
    return *this;
}

buf::~buf() { release(data, cap); }

void buf::clear() {
    release(data, cap);
    data = nullptr;
    len = cap = 0;
    failed = false;
}

namespace {

bool grow_to(buf& b, size_t cap) {
    char* moved = nullptr;
    if (cap < large_block_min) {
        moved = static_cast<char*>(std::realloc(b.data, cap));
    } else if (b.cap >= large_block_min) {
        moved = static_cast<char*>(large_block_grow(b.data, b.cap, cap));
    } else {
        moved = large_alloc(cap);
        if (moved && b.data) {
            std::memcpy(moved, b.data, b.len + 1);
            std::free(b.data);
        }
    }
    if (!moved) {
        b.failed = true;
        return false;
    }
    b.data = moved;
    b.cap = cap;
    return true;
}

}  // namespace

bool buf_reserve(buf& b, size_t n) {
    if (b.failed) return false;
    if (n > SIZE_MAX / 4 - b.len) {
        b.failed = true;
        return false;
    }
    size_t need = b.len + n + 1;
    if (b.cap >= need) return true;
    // Reserving piece by piece must not copy the content each time.
    if (!grow_to(b, need > b.cap * 2 ? need : b.cap * 2)) return false;
    b.data[b.len] = '\0';
    return true;
}

void buf_commit(buf& b, size_t n) {
    if (b.failed || b.len + n >= b.cap) return;  // more than was reserved: not ours to count
    b.len += n;
    b.data[b.len] = '\0';
}

void buf_put_int(buf& b, long long v) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%lld", v);
    if (n > 0) buf_put(b, digits, static_cast<size_t>(n));
}

char* buf_put(buf& b, const void* src, size_t n) {
    if (b.failed) return nullptr;
    if (n > SIZE_MAX / 4 - b.len) {  // doubling below must not overflow
        b.failed = true;
        return nullptr;
    }
    size_t need = b.len + n + 1;
    if (b.cap < need && !grow_to(b, need * 2)) return nullptr;
    if (n) std::memcpy(b.data + b.len, src, n);
    b.len += n;
    b.data[b.len] = '\0';
    return b.data;
}
