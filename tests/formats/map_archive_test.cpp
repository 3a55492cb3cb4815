#include "formats/map_archive.h"

#include "formats/archive_in_memory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "file_bytes.h"
#include "sample_archive.h"

namespace {

const std::string valid_archive = sample_archive(rxl_magic_bytes, 2, 6400);

ArchiveStatus header_status(const std::string& bytes, MapArchiveHeader& header) {
    ArchiveReader archive{bytes};
    return read_archive_header(archive, bytes.size(), header);
}

// An archive whose directory, at the end, holds `entries`.
ArchiveStatus scan(const std::vector<std::string>& entries, MapArrayLocation& location) {
    std::string directory;
    for (const std::string& entry : entries) {
        directory += entry;
    }
    const std::string bytes = archive_header(rxl_magic_bytes, 0, 24, entries.size()) + directory;
    ArchiveReader archive{bytes};
    MapArchiveHeader header;
    EXPECT_EQ(read_archive_header(archive, bytes.size(), header), ArchiveStatus::ok);
    return find_map_array(archive, header, location);
}

TEST(ReadArchiveHeader, AcceptsOnlyTheTwoMagicsUpToVersion512) {
    struct Case {
        std::string magic;
        std::uint32_t version;
        ArchiveStatus status;
    };
    const Case cases[] = {
        {rxl_magic_bytes, 0, ArchiveStatus::ok},
        {rxl_magic_bytes, 512, ArchiveStatus::ok},
        {rxc_magic_bytes, 1, ArchiveStatus::ok},
        {rxl_magic_bytes, 513, ArchiveStatus::not_an_archive},
        {rxc_magic_bytes, 0xFFFFFFFF, ArchiveStatus::not_an_archive},
        {"RXLX", 1, ArchiveStatus::not_an_archive},
        {std::string("RTL\0", 4), 1, ArchiveStatus::not_an_archive},
        {std::string("rxl\0", 4), 1, ArchiveStatus::not_an_archive},
    };
    for (const Case& c : cases) {
        MapArchiveHeader header;
        std::string bytes = valid_archive;
        bytes.replace(0, 8, c.magic + u32_le(c.version));
        EXPECT_EQ(header_status(bytes, header), c.status) << c.magic << " " << c.version;
        if (c.status == ArchiveStatus::ok) {
            EXPECT_EQ(header.kind,
                      c.magic == rxc_magic_bytes ? ArchiveKind::rtcx : ArchiveKind::rtlx);
            EXPECT_EQ(header.directory_count, 2u);
        }
    }
}

TEST(ReadArchiveHeader, RejectsEveryTruncatedHeaderWithoutKeepingOldFields) {
    for (std::size_t length = 0; length < 24; ++length) {
        MapArchiveHeader header;
        header.directory_count = 7;  // as if left over from another file
        EXPECT_EQ(header_status(valid_archive.substr(0, length), header),
                  ArchiveStatus::not_an_archive)
            << length;
        EXPECT_EQ(header.directory_count, 0u);
    }
}

TEST(ReadArchiveHeader, RequiresANonEmptyDirectoryInsideTheFile) {
    struct Case {
        std::uint64_t offset, count;
        ArchiveStatus status;
    };
    const std::uint64_t end = 24 + 64;  // two entries fit after the header
    const Case cases[] = {
        {24, 2, ArchiveStatus::ok},
        {24, 3, ArchiveStatus::not_an_archive},
        {25, 2, ArchiveStatus::not_an_archive},
        {end, 0, ArchiveStatus::ok},  // empty: reported later as no map array
        {~0ull, 0, ArchiveStatus::ok},
        {end + 1, 1, ArchiveStatus::not_an_archive},
        {24, ~0ull, ArchiveStatus::not_an_archive},
        {~0ull - 31, 1, ArchiveStatus::not_an_archive},
        {24, (~0ull / 32) + 1, ArchiveStatus::not_an_archive},  // 32 x count wraps to 0
    };
    for (const Case& c : cases) {
        MapArchiveHeader header;
        const std::string bytes =
            archive_header(rxl_magic_bytes, 1, c.offset, c.count) + std::string(end - 24, 'x');
        EXPECT_EQ(header_status(bytes, header), c.status) << c.offset << " " << c.count;
    }
}

TEST(FindMapArray, TakesTheLastEntryNamedExactlyMaps) {
    const std::string maps_with_tail = std::string("MAPS\0", 5) + "eleven byte";
    struct Case {
        std::vector<std::string> entries;
        ArchiveStatus status;
        std::uint64_t offset;
        std::uint32_t size;
    };
    const Case cases[] = {
        {{directory_entry("maps", 100, 6400), directory_entry("MAPS1", 100, 6400),
          directory_entry("MAP", 100, 6400)},
         ArchiveStatus::no_map_array,
         0,
         0},
        {{directory_entry(maps_with_tail, 100, 6400)}, ArchiveStatus::ok, 100, 6400},
        {{directory_entry("MAPS", 100, 7000), directory_entry("INFO", 9, 9),
          directory_entry("MAPS", 200, 6400)},
         ArchiveStatus::ok,
         200,
         6400},
        {{directory_entry("MAPS", 100, 6400), directory_entry("MAPS", 0, 6400)},
         ArchiveStatus::no_map_array,
         0,
         0},
        {{directory_entry("MAPS", 1ull << 40, (1ull << 32) | 6400)},
         ArchiveStatus::ok,
         1ull << 40,
         6400},
    };
    for (const Case& c : cases) {
        MapArrayLocation location;
        EXPECT_EQ(scan(c.entries, location), c.status);
        EXPECT_EQ(location.offset, c.offset);
        EXPECT_EQ(location.size, c.size);
    }
}

TEST(LoadMapArray, LoadsOnlyWholeMapArraysInsideTheFile) {
    const std::string array = sample_map_array(8, 3, 6500);
    const std::string file = std::string(8, 'h') + array;
    struct Case {
        std::uint64_t offset;
        std::uint32_t size;
        ArchiveStatus status;
    };
    const Case cases[] = {
        {8, 6500, ArchiveStatus::ok},
        {8, 6400, ArchiveStatus::ok},
        {8, 6399, ArchiveStatus::not_an_archive},  // too short for its records
        {9, 6500, ArchiveStatus::not_an_archive},
        {~0ull, 6400, ArchiveStatus::not_an_archive},
        {file.size(), 6400, ArchiveStatus::not_an_archive},
    };
    for (const Case& c : cases) {
        ArchiveReader archive{file};
        MapArrayBuffer buffer;
        ASSERT_EQ(load_map_array(archive, file.size(), {c.offset, c.size}, buffer), c.status)
            << c.offset;
        if (c.status == ArchiveStatus::ok) {
            EXPECT_TRUE(bytes_match(std::string(reinterpret_cast<char*>(buffer.get()), c.size),
                                    array.substr(0, c.size)));
        } else {
            EXPECT_EQ(buffer, nullptr);
        }
    }
}

// The archive's length is the opened file's size, which bounds every position
// whatever the file holds: a file that shrank after it was measured ends
// early, and one that grew shows nothing past its size.
TEST(ReadMapArray, TurnsAwayArchivesThatEndEarly) {
    // The directory comes first here, and the map array, at 200, last.
    const std::string directory_first =
        archive_header(rxc_magic_bytes, 1, 24, 2) + directory_entry("INFO", 24, 32) +
        directory_entry("MAPS", 200, 6400) + std::string(112, '-') + sample_map_array(200, 2, 6400);
    const std::string directory_last = sample_archive(rxl_magic_bytes, 2, 6400);
    struct Case {
        const std::string& archive;
        std::size_t kept;  // the bytes that are really there
    };
    const Case cases[] = {
        {directory_last, 2},      // in the magic
        {directory_last, 6},      // in the version
        {directory_last, 12},     // in the directory's offset
        {directory_last, 20},     // in the directory's count
        {directory_last, 100},    // before the directory
        {directory_first, 60},    // in an entry's name
        {directory_first, 76},    // in an entry's offset
        {directory_first, 84},    // in an entry's size
        {directory_first, 100},   // before the map array
        {directory_first, 3000},  // in the map array
    };
    MapArchiveHeader header;
    MapArrayLocation location;
    MapArrayBuffer buffer;
    for (const Case& c : cases) {
        const std::string kept = c.archive.substr(0, c.kept);
        ArchiveReader shrunk{kept};
        EXPECT_EQ(read_map_array(shrunk, c.archive.size(), header, location, buffer),
                  ArchiveStatus::not_an_archive)
            << c.kept;
    }
    for (const std::string& archive : {directory_first, directory_last}) {
        ArchiveReader grown{archive}, whole{archive};
        EXPECT_EQ(read_map_array(grown, archive.size() - 1, header, location, buffer),
                  ArchiveStatus::not_an_archive);
        EXPECT_EQ(read_map_array(whole, archive.size(), header, location, buffer),
                  ArchiveStatus::ok);
    }
}

}  // namespace
