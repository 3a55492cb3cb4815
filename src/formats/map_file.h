// Writing a classic map file (RTL or RTC): an 8-byte header followed by the
// map array, whose data offsets are first rebased to their new position.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>

#include "formats/map_archive.h"

constexpr char rtl_magic[4] = {'R', 'T', 'L', '\0'};
constexpr char rtc_magic[4] = {'R', 'T', 'C', '\0'};
constexpr char rtl_version[4] = {0x01, 0x01, 0x00, 0x00};  // 0x101, for both kinds

constexpr std::uint64_t map_file_header_size = 8;

// Shifts the three data offsets of every used record so that they point at
// the same bytes once the map array starts at byte 8 of a classic map file.
// `map_array` must hold at least map_record_table_size bytes.
void rebase_map_array(unsigned char* map_array, std::uint64_t map_array_offset);

using MapFileHeader = std::array<char, map_file_header_size>;

// The header that opens a classic map file made from an archive of `kind`:
// its magic, then the version.
MapFileHeader map_file_header(ArchiveKind kind);

// Writes the header matching `kind`, then the map array. Returns whether the
// stream took every byte.
bool write_map_file(std::ostream& out, ArchiveKind kind, const unsigned char* map_array,
                    std::uint32_t size);
