// Writes the fuzz target's seed corpus: make_corpus FOLDER
// Valid archives of both kinds, and damaged ones of every sort the reader
// must turn away.
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "sample_archive.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_corpus FOLDER\n", stderr);
        return 2;
    }
    const std::string rtlx = sample_archive(rxl_magic_bytes, 3, 7000);
    const std::uint64_t directory = sample_map_array_position + 7000;
    const auto patched = [&](std::uint64_t at, const std::string& bytes) {
        std::string archive = rtlx;
        return archive.replace(at, bytes.size(), bytes);
    };
    // A map array at offset 8: the header's last 16 bytes are its first
    // record's first 16, so that record is in use.
    const std::string overlapping = archive_header(rxl_magic_bytes, 512, 8 + 6400, 1) +
                                    sample_map_array(8, 2, 6400).substr(16) +
                                    directory_entry("MAPS", 8, 6400);
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"valid_rtlx", rtlx},
        {"valid_rtcx", sample_archive(rxc_magic_bytes, 100, 6400)},
        {"valid_overlapping_header", overlapping},
        {"two_maps_entries", patched(16, u64_le(3)) + directory_entry("MAPS", 100, 6400)},
        {"truncated_header", rtlx.substr(0, 20)},
        {"truncated_map_array", rtlx.substr(0, 3000)},
        {"count_too_large", patched(16, u64_le(~0ull))},
        {"directory_past_end", patched(8, u64_le(rtlx.size()))},
        {"maps_past_end", patched(directory + 32 + 16, u64_le(rtlx.size()))},
        {"short_map_array", patched(directory + 32 + 24, u64_le(6399))},
        {"empty_directory", patched(16, u64_le(0))},
        {"no_maps_entry", patched(directory + 32, "maps")},
        {"version_513", patched(4, u32_le(513))},
    };
    for (const auto& [name, bytes] : seeds) {
        std::ofstream(std::string(argv[1]) + "/" + name, std::ios::binary) << bytes;
    }
    return 0;
}
