#include "sample_archive.h"

namespace {

constexpr std::uint32_t record_table_size = 100 * 64;

std::string little_endian(std::uint64_t value, int width) {
    std::string bytes;
    for (int index = 0; index < width; ++index) {
        bytes += static_cast<char>(value >> (8 * index) & 0xFF);
    }
    return bytes;
}

}  // namespace

std::string u32_le(std::uint32_t value) {
    return little_endian(value, 4);
}
std::string u64_le(std::uint64_t value) {
    return little_endian(value, 8);
}

std::string archive_header(const std::string& magic, std::uint32_t version,
                           std::uint64_t directory_offset, std::uint64_t directory_count) {
    return magic + u32_le(version) + u64_le(directory_offset) + u64_le(directory_count);
}

std::string directory_entry(const std::string& name, std::uint64_t offset, std::uint64_t size) {
    return name + std::string(16 - name.size(), '\0') + u64_le(offset) + u64_le(size);
}

std::string sample_map_array(std::uint64_t position, unsigned used_maps, std::uint32_t size) {
    std::string array(size, '\0');
    for (std::uint32_t index = record_table_size; index < size; ++index) {
        array[index] = static_cast<char>(index * 7 + 3);  // map data
    }
    const std::uint32_t block_size =
        used_maps == 0 ? 0 : (size - record_table_size) / (3 * used_maps);
    for (unsigned map = 0; map <= used_maps && map < 100; ++map) {
        std::string record = u32_le(map < used_maps ? map + 1 : 0) + "header field";
        for (unsigned block = 0; block < 3; ++block) {
            const std::uint64_t inside = record_table_size + (map * 3 + block) * block_size;
            record += u32_le(map < used_maps ? static_cast<std::uint32_t>(position + inside)
                                             : 0xDEAD0000 + block);
        }
        record += "level name " + std::to_string(map);
        record.resize(64, '.');
        array.replace(map * 64, 64, record);
    }
    return array;
}

std::string sample_archive(const std::string& magic, unsigned used_maps, std::uint32_t size) {
    const std::string info = "made by mapdown.";
    const std::uint64_t directory_offset = sample_map_array_position + size;
    return archive_header(magic, 1, directory_offset, 2) + info +
           sample_map_array(sample_map_array_position, used_maps, size) +
           directory_entry("INFO", 24, info.size()) +
           directory_entry("MAPS", sample_map_array_position, size);
}

std::string sample_map_file(const std::string& magic, unsigned used_maps, std::uint32_t size) {
    const std::string classic_magic = magic == rxc_magic_bytes ? "RTC" : "RTL";
    return classic_magic + std::string(1, '\0') + u32_le(0x101) +
           sample_map_array(8, used_maps, size);
}
