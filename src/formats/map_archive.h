// Reading an extended map archive (RTLX or RTCX): its 24-byte header, its
// directory of named entries, and the "MAPS" entry that holds the map array.
//
// Every function reads through the caller's ArchiveReader at offsets it has
// first checked against the archive's length, which the caller gives as the
// opened file's own size, checks that each field was read in full, and
// reports what it found as an ArchiveStatus. Nothing here prints or ends the
// process.
#pragma once

#include <cstdint>

#include "formats/archive_reader.h"
#include "formats/memory.h"

enum class ArchiveKind { rtlx, rtcx };

enum class ArchiveStatus {
    ok,
    not_an_archive,  // wrong magic or version, truncated, or pointing outside the file
    no_map_array,    // no directory entry named "MAPS" with a nonzero offset
    out_of_memory,   // the map array buffer could not be allocated
};

// The archive's header, at offset 0.
struct MapArchiveHeader {
    std::uint32_t magic = 0;  // "RXL" NUL or "RXC" NUL, as one little-endian word
    std::uint32_t version = 0;
    std::uint64_t directory_offset = 0;
    std::uint64_t directory_count = 0;
    ArchiveKind kind = ArchiveKind::rtlx;  // follows from the magic alone
};

// Where the map array lies in the archive.
struct MapArrayLocation {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;  // the low 32 bits of the entry's stored size
};

// The loaded map array: exactly MapArrayLocation::size bytes, in one block.
using MapArrayBuffer = MemoryBlock;

constexpr std::uint32_t rtlx_magic = 0x004C5852;  // "RXL" NUL
constexpr std::uint32_t rtcx_magic = 0x00435852;  // "RXC" NUL
constexpr std::uint32_t max_archive_version = 512;
constexpr std::uint64_t archive_header_size = 24;
constexpr std::uint64_t directory_entry_size = 32;

// The map array opens with a fixed table of map header records; one too short
// to hold them all cannot be converted.
constexpr std::uint32_t map_record_count = 100;
constexpr std::uint32_t map_record_size = 64;
constexpr std::uint32_t map_record_table_size = map_record_count * map_record_size;

// Reads and checks the header of an archive `archive_size` bytes long; one too
// small to hold a header is not read at all. When the directory is not empty
// it must lie wholly inside the archive.
ArchiveStatus read_archive_header(ArchiveReader& archive, std::uint64_t archive_size,
                                  MapArchiveHeader& header);

// Reads all the directory's entries, which read_archive_header found inside
// the archive, and picks the last one named "MAPS". An entry whose offset is
// 0 counts as no map array.
ArchiveStatus find_map_array(ArchiveReader& archive, const MapArchiveHeader& header,
                             MapArrayLocation& location);

// Checks that the map array lies inside the archive and can hold its records,
// then allocates `location.size` bytes and reads the map array into them.
ArchiveStatus load_map_array(ArchiveReader& archive, std::uint64_t archive_size,
                             const MapArrayLocation& location, MapArrayBuffer& map_array);

// All of the above in order, stopping at the first problem: an empty
// directory counts as no map array.
ArchiveStatus read_map_array(ArchiveReader& archive, std::uint64_t archive_size,
                             MapArchiveHeader& header, MapArrayLocation& location,
                             MapArrayBuffer& map_array);
