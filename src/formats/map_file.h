// Writing a classic map file (RTL or RTC): an 8-byte header followed by the
// map array, whose data offsets are first rebased to their new position.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "formats/map_archive.h"

constexpr char rtl_magic[4] = {'R', 'T', 'L', '\0'};
constexpr char rtc_magic[4] = {'R', 'T', 'C', '\0'};
constexpr char rtl_version[4] = {0x01, 0x01, 0x00, 0x00};  // 0x101, for both kinds

constexpr std::uint64_t map_file_header_size = 8;

enum class SaveStatus {
    saved,
    cannot_open,   // the file could not be created, or not put in place
    cannot_write,  // a write, the flush or the close failed
};

// Shifts the three data offsets of every used record so that they point at
// the same bytes once the map array starts at byte 8 of a classic map file.
// `map_array` must hold at least map_record_table_size bytes.
void rebase_map_array(unsigned char* map_array, std::uint64_t map_array_offset);

// Writes the header matching `kind`, then the map array. Returns whether the
// stream took every byte.
bool write_map_file(std::ostream& out, ArchiveKind kind, const unsigned char* map_array,
                    std::uint32_t size);

// Writes the classic map file to a new temporary file beside `output_name` and
// moves it onto that name only once it is complete, so that the output appears
// whole or not at all and an existing file is replaced only by a complete one.
SaveStatus save_map_file(const std::string& output_name, ArchiveKind kind,
                         const unsigned char* map_array, std::uint32_t size);
