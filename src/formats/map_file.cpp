#include "formats/map_file.h"

#include "formats/little_endian.h"

namespace {

// Fields of a map header record that the rebasing touches.
constexpr std::uint32_t record_used_field = 0;
constexpr std::uint32_t record_data_offsets_field = 16;
constexpr std::uint32_t record_data_offset_count = 3;

}  // namespace

void rebase_map_array(unsigned char* map_array, std::uint64_t map_array_offset) {
    // A byte at position P of the archive stands at P - offset + 8 in the
    // classic file. The offsets are 32-bit, so the shift is taken modulo 2^32
    // and may wrap.
    const std::uint32_t delta = static_cast<std::uint32_t>(map_file_header_size) -
                                static_cast<std::uint32_t>(map_array_offset);
    for (std::uint32_t index = 0; index < map_record_count; ++index) {
        unsigned char* record = map_array + index * map_record_size;
        if (load_le<std::uint32_t>(record + record_used_field) == 0) {
            continue;  // an empty slot: its offsets mean nothing
        }
        for (std::uint32_t block = 0; block < record_data_offset_count; ++block) {
            unsigned char* data_offset = record + record_data_offsets_field + 4 * block;
            store_le<std::uint32_t>(data_offset, load_le<std::uint32_t>(data_offset) + delta);
        }
    }
}

bool write_map_file(ByteSink& sink, ArchiveKind kind, const unsigned char* map_array,
                    std::uint32_t size) {
    const char* magic = kind == ArchiveKind::rtcx ? rtc_magic : rtl_magic;
    return write_bytes(sink, magic, sizeof rtl_magic) &&
           write_bytes(sink, rtl_version, sizeof rtl_version) && write_bytes(sink, map_array, size);
}
