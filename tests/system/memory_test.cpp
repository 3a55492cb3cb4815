#include "system/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The kilobytes of huge pages backing the mapping that holds `address`, as
// the kernel reports them; -1 where it does not say.
long huge_page_kib_at(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= at && at < end;
        } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
            return std::stol(line.substr(14));
        }
    }
    return -1;
}

bool system_offers_huge_pages() {
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(setting, modes);
    return modes.find("[always]") != std::string::npos ||
           modes.find("[madvise]") != std::string::npos;
}

TEST(AllocateBlock, LargeBlocksAreBackedByHugePages) {
    if (!system_offers_huge_pages()) {
        GTEST_SKIP() << "this system offers no transparent huge pages";
    }
    const std::size_t size = 3 * huge_page_threshold + 100;
    const MemoryBlock block = allocate_block(size);
    ASSERT_TRUE(block);
    std::memset(block.get(), 'm', size);
    // The kernel may fall back to small pages when memory is fragmented, but
    // never for a whole block of this size on a machine with memory to spare.
    EXPECT_GT(huge_page_kib_at(block.get()), 0);
    EXPECT_EQ(block[size - 1], 'm');
}

TEST(AllocateBlock, SmallAndImpossibleBlocks) {
    const MemoryBlock small = allocate_block(6400);
    ASSERT_TRUE(small);
    std::memset(small.get(), 0, 6400);
    EXPECT_FALSE(allocate_block(~std::size_t{0} - 4096));
}

}  // namespace
