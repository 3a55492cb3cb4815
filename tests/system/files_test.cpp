#include "system/files.h"
#include "system/files_platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "file_bytes.h"

namespace fs = std::filesystem;

namespace {

class NewOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("new_output_" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                  "_" + std::to_string(getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    SaveStatus save(const fs::path& output, const std::string& bytes) {
        NewFile file;
        const SaveStatus created = create_output(output.string(), FileIdentity{}, file);
        if (created != SaveStatus::saved) {
            return created;
        }
        EXPECT_TRUE(write_output(file, bytes.data(), bytes.size() / 2));
        EXPECT_TRUE(
            write_output(file, bytes.data() + bytes.size() / 2, bytes.size() - bytes.size() / 2));
        return commit_output(file);
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
    }

    fs::path folder;
};

TEST_F(NewOutput, ReplacesAnExistingFileWithTheCompleteOne) {
    std::ofstream(folder / "e1.rtl") << "an older, longer file of some other content entirely";
    ASSERT_EQ(save(folder / "e1.rtl", "the new one"), SaveStatus::saved);
    ASSERT_EQ(save(folder / "e2.rtl", "a new file"), SaveStatus::saved);
    EXPECT_TRUE(bytes_match(read_file(folder / "e1.rtl"), "the new one"));
    EXPECT_TRUE(bytes_match(read_file(folder / "e2.rtl"), "a new file"));
    EXPECT_EQ(entries(), 2u);
}

TEST_F(NewOutput, LeavesNothingBehindWhenTheNameCannotBeUsed) {
    fs::create_directory(folder / "taken.rtl");
    std::ofstream(folder / "taken.rtl" / "inside") << "kept";
    EXPECT_EQ(save(folder / "taken.rtl", "new"), SaveStatus::cannot_open);
    EXPECT_EQ(save(folder / "missing" / "e1.rtl", "new"), SaveStatus::cannot_open);
    EXPECT_TRUE(bytes_match(read_file(folder / "taken.rtl" / "inside"), "kept"));
    EXPECT_EQ(entries(), 1u);
}

// An archive is read no further than the size it had when it was opened,
// whatever is added to it meanwhile.
TEST_F(NewOutput, AnArchiveIsReadNoFurtherThanItsSizeWhenOpened) {
    const fs::path archive = folder / "growing.rtlx";
    std::ofstream(archive, std::ios::binary) << std::string(10000, 'a');
    InputFile input;
    ASSERT_EQ(open_input(archive.string(), input), InputStatus::opened);
    EXPECT_EQ(input.size, 10000u);
    std::ofstream(archive, std::ios::binary | std::ios::app) << std::string(10000, 'b');
    std::string read(30000, '\0');
    input.stream.read(read.data(), 100);
    input.stream.read(read.data() + 100, 29900);  // past the buffer, straight into memory
    EXPECT_EQ(input.stream.gcount() + 100, 10000);
    input.stream.clear();
    EXPECT_TRUE(input.stream.seekg(9990));
    EXPECT_EQ(input.stream.read(read.data(), 20).gcount(), 10);
    close_input(input);
}

TEST(SplitPath, FolderAndNameOfAnOutput) {
    struct Case {
        std::string path, folder, name;
    };
    const Case cases[] = {{"e1.rtl", ".", "e1.rtl"},
                          {"maps/e1.rtl", "maps", "e1.rtl"},
                          {"/e1.rtl", "/", "e1.rtl"},
                          {"/srv/maps/.rtl", "/srv/maps", ".rtl"}};
    for (const Case& c : cases) {
        std::string folder, name;
        split_path(c.path, folder, name);
        EXPECT_EQ(folder + " " + name, c.folder + " " + c.name) << c.path;
    }
}

}  // namespace
