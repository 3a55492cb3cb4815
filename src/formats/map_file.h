// Writing a classic map file (RTL or RTC): an 8-byte header followed by the
// map array, whose data offsets are first rebased to their new position.
#pragma once

#include <cstdint>

#include "formats/byte_sink.h"
#include "formats/map_archive.h"

constexpr char rtl_magic[4] = {'R', 'T', 'L', '\0'};
constexpr char rtc_magic[4] = {'R', 'T', 'C', '\0'};
constexpr char rtl_version[4] = {0x01, 0x01, 0x00, 0x00};  // 0x101, for both kinds

constexpr std::uint64_t map_file_header_size = 8;

// Shifts the three data offsets of every used record so that they point at
// the same bytes once the map array starts at byte 8 of a classic map file.
// `map_array` must hold at least map_record_table_size bytes.
void rebase_map_array(unsigned char* map_array, std::uint64_t map_array_offset);

// Writes the classic map file: the magic matching `kind`, the version, then
// the `size` bytes of the rebased map array, each as it stands (the magic and
// the version from constant storage). Returns whether the sink took them all.
bool write_map_file(ByteSink& sink, ArchiveKind kind, const unsigned char* map_array,
                    std::uint32_t size);
