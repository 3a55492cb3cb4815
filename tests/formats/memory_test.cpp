#include "formats/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The line of the kernel's report on the mapping that holds `address` that
// begins with `field` ("AnonHugePages:", "VmFlags:"), less the field's name;
// empty where it does not say.
std::string mapping_field_at(const void* address, const std::string& field) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= at && at < end;
        } else if (inside && line.rfind(field, 0) == 0) {
            return line.substr(field.size());
        }
    }
    return "";
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
        GTEST_SKIP() << "this system offers no transparent huge pages (see "
                        "/sys/kernel/mm/transparent_hugepage/enabled)";
    }
    const std::size_t size = 3 * huge_page_threshold + 100;
    const MemoryBlock block = allocate_block(size);
    ASSERT_TRUE(block);
    std::memset(block.get(), 'm', size);
    // The kernel may fall back to small pages when memory is fragmented, but
    // never for a whole block of this size on a machine with memory to spare.
    EXPECT_GT(std::atol(mapping_field_at(block.get(), "AnonHugePages:").c_str()), 0);
    EXPECT_EQ(block[size - 1], 'm');
    // The advice covers whole huge pages to the block's last byte: a block
    // rounded down would leave its tail outside, in memory it does not own.
    EXPECT_NE(mapping_field_at(&block[size - 1], "VmFlags:").find(" hg"), std::string::npos);
}

TEST(AllocateBlock, SmallAndImpossibleBlocks) {
    const MemoryBlock small = allocate_block(6400);
    ASSERT_TRUE(small);
    std::memset(small.get(), 0, 6400);
    EXPECT_FALSE(allocate_block(~std::size_t{0} - 4096));
}

// A block begins where its file position stands within a page, small and
// large blocks alike, and all of it is the caller's.
TEST(AllocateBlock, BeginsAtItsPositionsPlaceWithinAPage) {
    for (const std::size_t size : {std::size_t{6400}, huge_page_threshold + 1}) {
        for (const std::uint64_t position : {0ull, 8ull, 24ull, 4095ull, (5ull << 32) + 40}) {
            const MemoryBlock block = allocate_block(size, position);
            ASSERT_TRUE(block);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.get()) % 4096, position % 4096);
            std::memset(block.get(), 'm', size);
        }
    }
}

}  // namespace
