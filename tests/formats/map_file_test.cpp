#include "formats/map_file.h"
#include "formats/sink_in_memory.h"

#include <gtest/gtest.h>

#include <string>

#include "file_bytes.h"
#include "sample_archive.h"

namespace {

std::string rebased(std::string array, std::uint64_t offset) {
    rebase_map_array(reinterpret_cast<unsigned char*>(array.data()), offset);
    return array;
}

std::string record(std::uint32_t used, std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return u32_le(used) + "twelve bytes" + u32_le(a) + u32_le(b) + u32_le(c) + std::string(36, '*');
}

TEST(RebaseMapArray, ShiftsTheOffsetsOfUsedRecordsOnly) {
    struct Case {
        std::uint32_t used;
        std::uint64_t array_offset;
        std::uint32_t a, b, c;  // offsets expected after rebasing 200, 300, 400
    };
    const Case cases[] = {
        {1, 100, 108, 208, 308},
        {2, 100, 108, 208, 308},
        {0xFFFFFFFF, 100, 108, 208, 308},
        {0, 100, 200, 300, 400},
        {1, 8, 200, 300, 400},
        {1, (5ull << 32) | 100, 108, 208, 308},  // only the low 32 bits count
        {1, 300, 0xFFFFFFA4, 8, 108},            // wraps modulo 2^32
    };
    const std::string tail = "carried through unchanged";
    for (const Case& c : cases) {
        const std::string rest = std::string(99 * 64, '\0') + tail;
        const std::string result = rebased(record(c.used, 200, 300, 400) + rest, c.array_offset);
        EXPECT_EQ(result.substr(0, 64), record(c.used, c.a, c.b, c.c)) << c.array_offset;
        EXPECT_TRUE(bytes_match(result.substr(64), rest));
    }
}

TEST(RebaseMapArray, VisitsAllHundredRecords) {
    const std::string archive_array = sample_map_array(1000, 100, 6400 + 300 * 4);
    EXPECT_TRUE(
        bytes_match(rebased(archive_array, 1000), sample_map_array(8, 100, 6400 + 300 * 4)));
}

TEST(WriteMapFile, WritesTheClassicHeaderOfTheKindThenTheArray) {
    const std::string array = sample_map_array(8, 1, 6401);
    for (ArchiveKind kind : {ArchiveKind::rtlx, ArchiveKind::rtcx}) {
        ByteSink out;
        EXPECT_TRUE(write_map_file(out, kind, reinterpret_cast<const unsigned char*>(array.data()),
                                   static_cast<std::uint32_t>(array.size())));
        const char* magic = kind == ArchiveKind::rtcx ? "RTC" : "RTL";
        EXPECT_TRUE(bytes_match(
            out.bytes, std::string(magic) + '\0' + std::string("\x01\x01\0\0", 4) + array));
    }
}

}  // namespace
