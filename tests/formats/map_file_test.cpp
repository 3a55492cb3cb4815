#include "formats/map_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "file_bytes.h"
#include "sample_archive.h"

namespace fs = std::filesystem;

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
        std::ostringstream out;
        EXPECT_TRUE(write_map_file(out, kind, reinterpret_cast<const unsigned char*>(array.data()),
                                   static_cast<std::uint32_t>(array.size())));
        const char* magic = kind == ArchiveKind::rtcx ? "RTC" : "RTL";
        EXPECT_TRUE(bytes_match(
            out.str(), std::string(magic) + '\0' + std::string("\x01\x01\0\0", 4) + array));
    }
}

class SaveMapFile : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("save_map_file_" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    SaveStatus save(const fs::path& output) {
        return save_map_file(output.string(), ArchiveKind::rtlx,
                             reinterpret_cast<const unsigned char*>(array.data()),
                             static_cast<std::uint32_t>(array.size()));
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
    }

    fs::path folder;
    const std::string array = sample_map_array(8, 2, 6400);
};

TEST_F(SaveMapFile, ReplacesAnExistingFileWithTheCompleteOne) {
    std::ofstream(folder / "e1.rtl") << "an older, longer file of some other content entirely";
    ASSERT_EQ(save(folder / "e1.rtl"), SaveStatus::saved);
    EXPECT_TRUE(
        bytes_match(read_file(folder / "e1.rtl"), std::string("RTL\0\x01\x01\0\0", 8) + array));
    EXPECT_EQ(entries(), 1u);
}

TEST_F(SaveMapFile, LeavesNothingBehindWhenTheNameCannotBeUsed) {
    fs::create_directory(folder / "taken.rtl");
    std::ofstream(folder / "taken.rtl" / "inside") << "kept";
    EXPECT_EQ(save(folder / "taken.rtl"), SaveStatus::cannot_open);
    EXPECT_EQ(save(folder / "missing" / "e1.rtl"), SaveStatus::cannot_open);
    EXPECT_TRUE(bytes_match(read_file(folder / "taken.rtl" / "inside"), "kept"));
    EXPECT_EQ(entries(), 1u);
}

}  // namespace
