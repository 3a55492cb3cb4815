#include "system/memory.h"

#include <cstdint>
#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

#ifdef __linux__
// Linux backs a block with transparent huge pages only where a whole,
// aligned 2 MiB page lies inside it, and (in its default mode) only where
// the program asks for them.
constexpr std::size_t huge_page_size = 2u << 20;

unsigned char* allocate_for_huge_pages(std::size_t size) {
    if (size > SIZE_MAX - huge_page_size) {
        return nullptr;  // rounding up would wrap around
    }
    const std::size_t rounded = (size + huge_page_size - 1) / huge_page_size * huge_page_size;
    void* block = std::aligned_alloc(huge_page_size, rounded);
    if (block != nullptr) {
        madvise(block, rounded, MADV_HUGEPAGE);  // only advice: without it, ordinary pages
    }
    return static_cast<unsigned char*>(block);
}
#endif

}  // namespace

void BlockRelease::operator()(unsigned char* block) const noexcept {
    std::free(block);
}

MemoryBlock allocate_block(std::size_t size) {
#ifdef __linux__
    if (size >= huge_page_threshold) {
        return MemoryBlock(allocate_for_huge_pages(size));
    }
#endif
    return MemoryBlock(static_cast<unsigned char*>(std::malloc(size)));
}
