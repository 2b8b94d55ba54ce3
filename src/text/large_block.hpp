// Large blocks for `buf`, straight from the system's page allocator. They
// go back to the system the moment they are freed (the heap would keep a
// burst of large requests resident), and where the system offers it they
// are backed by huge pages, so filling one takes a fault per 2 MiB rather
// than per 4 KiB.
//
// Declared here, below every other floor, and defined by each system's
// platform code (platform/*/memory.cpp): the buffer needs the pages, but
// the text floor knows no system.
#pragma once
#include <cstddef>

// Blocks from this size up come from here; smaller ones from the heap.
inline constexpr size_t large_block_min = 1u << 20;

// A block of `size` bytes, or nullptr.
void* large_block_alloc(size_t size);

// The block grown from `old_size` to `new_size` bytes with its content kept
// (it may move); nullptr when it cannot grow, the old block then unchanged.
void* large_block_grow(void* block, size_t old_size, size_t new_size);

void large_block_free(void* block, size_t size);
