#include "text/large_block.hpp"

#include <sys/mman.h>

#include <cstring>

namespace {

// Huge pages only where asked for on many systems (transparent huge pages in
// "madvise" mode): ask.
void want_huge_pages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
    madvise(block, size, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

// Mappings are whole huge pages: the kernel then places them on a huge-page
// boundary, and a 1 MiB body takes one fault instead of 256.
constexpr size_t huge_page = 2u << 20;

size_t mapped_size(size_t size) { return (size + huge_page - 1) / huge_page * huge_page; }

}  // namespace

void* large_block_alloc(size_t size) {
    size = mapped_size(size);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    want_huge_pages(p, size);
    return p;
}

void* large_block_grow(void* block, size_t old_size, size_t new_size) {
#ifdef MREMAP_MAYMOVE
    // The pages move with the mapping: nothing is copied.
    old_size = mapped_size(old_size);
    new_size = mapped_size(new_size);
    if (new_size == old_size) return block;
    void* p = mremap(block, old_size, new_size, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return nullptr;
    want_huge_pages(p, new_size);
    return p;
#else
    void* p = large_block_alloc(new_size);
    if (!p) return nullptr;
    std::memcpy(p, block, old_size);
    large_block_free(block, old_size);
    return p;
#endif
}

void large_block_free(void* block, size_t size) { munmap(block, mapped_size(size)); }
