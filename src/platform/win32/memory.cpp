#include "text/large_block.hpp"

#include <windows.h>

#include <cstring>

// Large pages need a privilege a desktop user does not hold: plain pages,
// which are at least returned to the system at once.
void* large_block_alloc(size_t size) { return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void* large_block_grow(void* block, size_t old_size, size_t new_size) {
    void* p = large_block_alloc(new_size);
    if (!p) return nullptr;
    std::memcpy(p, block, old_size);
    large_block_free(block, old_size);
    return p;
}

void large_block_free(void* block, size_t) { VirtualFree(block, 0, MEM_RELEASE); }
