#include "system/files.h"
#include "system/safe_write_steps.h"

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
        std::ofstream(folder / "archive.rtlx") << "an archive";
    }
    void TearDown() override { fs::remove_all(folder); }

    // Writes an output beside the folder's archive, in two parts.
    SaveStatus save(const std::string& output, const std::string& bytes) {
        InputFile archive;
        EXPECT_EQ(open_input((folder / "archive.rtlx").string(), archive), InputStatus::opened);
        close_archive(archive);
        NewFile file;
        SaveStatus status = create_output(archive, output, file);
        if (status == SaveStatus::saved) {
            ByteSink sink{file};
            EXPECT_TRUE(write_bytes(sink, bytes.data(), bytes.size() / 2));
            EXPECT_TRUE(write_bytes(sink, bytes.data() + bytes.size() / 2,
                                    bytes.size() - bytes.size() / 2));
            status = commit_output(file);
        }
        close_input(archive);
        return status;
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
    }

    fs::path folder;
};

TEST_F(NewOutput, ReplacesAnExistingFileWithTheCompleteOne) {
    std::ofstream(folder / "e1.rtl") << "an older, longer file of some other content entirely";
    ASSERT_EQ(save("e1.rtl", "the new one"), SaveStatus::saved);
    ASSERT_EQ(save("e2.rtl", "a new file"), SaveStatus::saved);
    EXPECT_TRUE(bytes_match(read_file(folder / "e1.rtl"), "the new one"));
    EXPECT_TRUE(bytes_match(read_file(folder / "e2.rtl"), "a new file"));
    EXPECT_EQ(entries(), 3u);
}

TEST_F(NewOutput, LeavesNothingBehindWhenTheNameCannotBeUsed) {
    fs::create_directory(folder / "taken.rtl");
    std::ofstream(folder / "taken.rtl" / "inside") << "kept";
    EXPECT_EQ(save("taken.rtl", "new"), SaveStatus::cannot_create);
    EXPECT_EQ(save("archive.rtlx", "new"), SaveStatus::cannot_create);  // the archive itself
    EXPECT_TRUE(bytes_match(read_file(folder / "taken.rtl" / "inside"), "kept"));
    EXPECT_TRUE(bytes_match(read_file(folder / "archive.rtlx"), "an archive"));
    EXPECT_EQ(entries(), 2u);
}

// An archive is read at the offsets asked for, in blocks of any size, and a
// read that the file cannot fill (it shrank since it was opened) fails.
TEST_F(NewOutput, AnArchiveIsReadAtOffsetsAndNotPastItsEnd) {
    const fs::path archive = folder / "archive.rtlx";
    std::string bytes(3u << 20, '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] = static_cast<char>(at * 7 / 3);
    }
    std::ofstream(archive, std::ios::binary) << bytes;
    InputFile input;
    ASSERT_EQ(open_input(archive.string(), input), InputStatus::opened);
    EXPECT_EQ(input.size, bytes.size());
    std::string read(bytes.size(), '\0');
    auto* into = reinterpret_cast<unsigned char*>(read.data());
    EXPECT_TRUE(read_archive_bytes(input.reader, 0, into, read.size()));
    EXPECT_TRUE(bytes_match(read, bytes));
    EXPECT_TRUE(read_archive_bytes(input.reader, 12345, into, 10));
    EXPECT_EQ(read.substr(0, 10), bytes.substr(12345, 10));
    fs::resize_file(archive, 1000);
    EXPECT_FALSE(read_archive_bytes(input.reader, 990, into, 20));
    EXPECT_FALSE(read_archive_bytes(input.reader, 5000, into, 1));
    close_input(input);
    EXPECT_EQ(input.reader.descriptor, -1);
    EXPECT_EQ(input.folder.descriptor, -1);
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
