#include "formats/memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

// The system copies a file into memory a page at a time, and some processors
// (x86-64 ones, seen here) copy several times slower where the memory lies
// 8 bytes past the place the bytes have within their file's page. A block
// that begins at the very place within a page that its first byte has in the
// file never meets that, whatever the file. Its allocation begins up to a
// page earlier, and its address is kept just before the block.
constexpr std::size_t page_size = 4096;
constexpr std::size_t room = page_size + sizeof(void*);

unsigned char* place_in(void* allocation, std::uint64_t position) {
    if (allocation == nullptr) {
        return nullptr;
    }
    const auto first = reinterpret_cast<std::uintptr_t>(allocation) + sizeof(void*);
    const std::size_t shift = (position - first) % page_size;
    auto* block = reinterpret_cast<unsigned char*>(first + shift);
    std::memcpy(block - sizeof(void*), &allocation, sizeof(void*));
    return block;
}

#ifdef __linux__
// Linux backs a block with transparent huge pages only where a whole,
// aligned 2 MiB page lies inside it, and (in its default mode) only where
// the program asks for them.
constexpr std::size_t huge_page_size = 2u << 20;

void* allocate_for_huge_pages(std::size_t size) {
    const std::size_t rounded = (size + huge_page_size - 1) / huge_page_size * huge_page_size;
    void* allocation = std::aligned_alloc(huge_page_size, rounded);
    if (allocation != nullptr) {
        madvise(allocation, rounded, MADV_HUGEPAGE);  // only advice: without it, ordinary pages
    }
    return allocation;
}
#endif

}  // namespace

void BlockRelease::operator()(unsigned char* block) const noexcept {
    void* allocation = nullptr;
    std::memcpy(&allocation, block - sizeof(void*), sizeof(void*));
    std::free(allocation);
}

MemoryBlock allocate_block(std::size_t size, std::uint64_t position) {
    // More than half the address space is never to be had; below that, no
    // room added or rounding up can wrap around.
    if (size > SIZE_MAX / 2) {
        return MemoryBlock();
    }
#ifdef __linux__
    if (size >= huge_page_threshold) {
        return MemoryBlock(place_in(allocate_for_huge_pages(size + room), position));
    }
#endif
    return MemoryBlock(place_in(std::malloc(size + room), position));
}
