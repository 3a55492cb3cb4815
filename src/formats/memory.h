// Memory for map arrays: one block of the map array's size. Large blocks are
// placed where the system may back them with huge pages, so that filling them
// costs one page fault per 2 MiB instead of one per 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Gives a block back to the system.
struct BlockRelease {
    void operator()(unsigned char* block) const noexcept;
};

using MemoryBlock = std::unique_ptr<unsigned char[], BlockRelease>;

// Blocks from this size up are offered huge pages, where the system has them.
constexpr std::size_t huge_page_threshold = 4u << 20;

// A block of `size` bytes, its contents undefined, for the bytes that stand at
// `position` in a file: it begins at the same place within a page, where the
// system copies them in fastest. Empty when memory is short.
MemoryBlock allocate_block(std::size_t size, std::uint64_t position = 0);
