// Feeds arbitrary bytes, as an archive in memory read through the same
// "bytes at an offset" interface as a file, through the conversion the
// program runs: read the header, find and load the map array, rebase it and
// write the classic map file through the program's own writer. Besides crashing, it fails on any
// conversion whose result is not exactly what the formats say it must be.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/archive_in_memory.h"
#include "formats/map_archive.h"
#include "formats/map_file.h"
#include "formats/sink_in_memory.h"

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "conversion is wrong: %s\n", what);
        std::abort();
    }
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int index = 3; index >= 0; --index) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + index]);
    }
    return value;
}

// Whether byte `at` of a map array lies in a data offset of a used record:
// the only bytes the conversion may change.
bool in_rebased_offset(const std::string& map_array, std::size_t at) {
    const std::size_t record = at / 64, field = at % 64;
    return record < 100 && field >= 16 && field < 28 && u32_at(map_array, record * 64) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    ArchiveReader archive{input};
    MapArchiveHeader header;
    MapArrayLocation location;
    MapArrayBuffer map_array;
    if (read_map_array(archive, size, header, location, map_array) != ArchiveStatus::ok) {
        return 0;
    }

    // The map array is a whole slice of the archive, long enough for its records.
    require(location.size >= 6400, "map array shorter than its 100 records");
    require(location.offset <= size && location.size <= size - location.offset,
            "map array outside the archive");
    const std::string original = input.substr(location.offset, location.size);
    require(original.compare(0, std::string::npos, reinterpret_cast<char*>(map_array.get()),
                             location.size) == 0,
            "loaded map array differs from the archive's bytes");

    rebase_map_array(map_array.get(), location.offset);
    ByteSink out;
    require(write_map_file(out, header.kind, map_array.get(), location.size), "write failed");
    const std::string& file = out.bytes;

    require(file.size() == 8 + std::size_t{location.size}, "file is not 8 bytes plus the array");
    const bool rtcx = input.compare(0, 4, std::string("RXC\0", 4)) == 0;
    require(rtcx || input.compare(0, 4, std::string("RXL\0", 4)) == 0, "accepted a wrong magic");
    require(
        file.compare(0, 8, std::string(rtcx ? "RTC\0\x01\x01\0\0" : "RTL\0\x01\x01\0\0", 8)) == 0,
        "classic header does not match the archive's kind");
    const std::uint32_t delta = 8u - static_cast<std::uint32_t>(location.offset);
    for (std::size_t at = 0; at < original.size(); ++at) {
        if (in_rebased_offset(original, at)) {
            if (at % 4 == 0) {
                require(u32_at(file, 8 + at) == u32_at(original, at) + delta,
                        "data offset not moved by 8 minus the array's offset");
            }
        } else {
            require(file[8 + at] == original[at], "a byte that must be copied changed");
        }
    }
    return 0;
}
