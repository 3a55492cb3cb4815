// Builds map archives and classic map files byte by byte, independently of the
// program's own code, for the tests and the examples.
#pragma once

#include <cstdint>
#include <string>

std::string u32_le(std::uint32_t value);
std::string u64_le(std::uint64_t value);

const std::string rxl_magic_bytes = std::string("RXL\0", 4);
const std::string rxc_magic_bytes = std::string("RXC\0", 4);

std::string archive_header(const std::string& magic, std::uint32_t version,
                           std::uint64_t directory_offset, std::uint64_t directory_count);

// `name` is padded with NUL bytes to 16.
std::string directory_entry(const std::string& name, std::uint64_t offset, std::uint64_t size);

// A map array of `size` bytes that will stand at `position` in its file. The
// first `used_maps` records describe maps whose three data blocks lie after
// the record table; the next record is an empty slot with stale offsets. Built
// for position 8, it is the map array of the matching classic map file.
std::string sample_map_array(std::uint64_t position, unsigned used_maps, std::uint32_t size);

// A complete archive: header, a small "INFO" entry, the map array, then the
// directory listing both entries.
constexpr std::uint64_t sample_map_array_position = 40;
std::string sample_archive(const std::string& magic, unsigned used_maps, std::uint32_t size);

// The classic map file that `sample_archive` converts to.
std::string sample_map_file(const std::string& magic, unsigned used_maps, std::uint32_t size);
