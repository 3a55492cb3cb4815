#include "formats/map_archive.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "formats/little_endian.h"

namespace {

constexpr std::size_t entry_name_size = 16;
constexpr char map_array_entry_name[] = "MAPS";  // its NUL must match too

bool read_bytes(std::istream& archive, unsigned char* bytes, std::uint64_t count) {
    archive.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(count));
    return static_cast<std::uint64_t>(archive.gcount()) == count;
}

// Reads a little-endian integer as wide as `value`.
template <typename Unsigned>
bool read_le(std::istream& archive, Unsigned& value) {
    unsigned char bytes[sizeof value];
    if (!read_bytes(archive, bytes, sizeof bytes)) {
        return false;
    }
    value = load_le<Unsigned>(bytes);
    return true;
}

// Whether `count` items of `item_size` bytes from `offset` lie inside an
// archive `length` bytes long; written so that no sum or product can overflow.
bool lies_inside(std::uint64_t length, std::uint64_t offset, std::uint64_t count,
                 std::uint64_t item_size) {
    return offset <= length && count <= (length - offset) / item_size;
}

// Positions are full 64-bit values; callers check them against the archive's
// length first, so they always fit a stream offset. A stream that cannot seek
// never passes for an archive.
bool move_to(std::istream& archive, std::uint64_t offset) {
    return static_cast<bool>(archive.seekg(static_cast<std::streamoff>(offset)));
}

}  // namespace

ArchiveStatus read_archive_header(std::istream& archive, std::uint64_t archive_size,
                                  MapArchiveHeader& header) {
    header = MapArchiveHeader{};
    // Nothing is read from a file too small to hold a header: what says it is
    // empty but blocks, or is used up by reading, is never touched.
    if (archive_size < archive_header_size || !read_le(archive, header.magic) ||
        !read_le(archive, header.version)) {
        return ArchiveStatus::not_an_archive;
    }
    if (header.magic == rtlx_magic) {
        header.kind = ArchiveKind::rtlx;
    } else if (header.magic == rtcx_magic) {
        header.kind = ArchiveKind::rtcx;
    } else {
        return ArchiveStatus::not_an_archive;
    }
    if (header.version > max_archive_version) {
        return ArchiveStatus::not_an_archive;
    }
    if (!read_le(archive, header.directory_offset) || !read_le(archive, header.directory_count)) {
        return ArchiveStatus::not_an_archive;
    }
    // An empty directory has nothing to point at; the caller reports it as a
    // missing map array.
    if (header.directory_count == 0) {
        return ArchiveStatus::ok;
    }
    if (!lies_inside(archive_size, header.directory_offset, header.directory_count,
                     directory_entry_size) ||
        !move_to(archive, header.directory_offset)) {
        return ArchiveStatus::not_an_archive;
    }
    return ArchiveStatus::ok;
}

ArchiveStatus find_map_array(std::istream& archive, std::uint64_t directory_count,
                             MapArrayLocation& location) {
    location = MapArrayLocation{};
    std::uint64_t found_offset = 0;
    std::uint32_t found_size = 0;
    for (std::uint64_t index = 0; index < directory_count; ++index) {
        unsigned char name[entry_name_size];
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
        if (!read_bytes(archive, name, sizeof name) || !read_le(archive, offset) ||
            !read_le(archive, size)) {
            return ArchiveStatus::not_an_archive;
        }
        // A later "MAPS" entry replaces an earlier one.
        if (std::memcmp(name, map_array_entry_name, sizeof map_array_entry_name) == 0) {
            found_offset = offset;
            found_size = static_cast<std::uint32_t>(size);
        }
    }
    if (found_offset == 0) {
        return ArchiveStatus::no_map_array;
    }
    location.offset = found_offset;
    location.size = found_size;
    return ArchiveStatus::ok;
}

ArchiveStatus load_map_array(std::istream& archive, std::uint64_t archive_size,
                             const MapArrayLocation& location, MapArrayBuffer& map_array) {
    map_array.reset();
    if (location.size < map_record_table_size ||
        !lies_inside(archive_size, location.offset, location.size, 1)) {
        return ArchiveStatus::not_an_archive;
    }
    // Left uninitialised: every byte is about to be read from the file.
    MapArrayBuffer buffer = allocate_block(location.size, location.offset);
    if (!buffer) {
        return ArchiveStatus::out_of_memory;
    }
    if (!move_to(archive, location.offset) || !read_bytes(archive, buffer.get(), location.size)) {
        return ArchiveStatus::not_an_archive;
    }
    map_array = std::move(buffer);
    return ArchiveStatus::ok;
}

ArchiveStatus read_map_array(std::istream& archive, std::uint64_t archive_size,
                             MapArchiveHeader& header, MapArrayLocation& location,
                             MapArrayBuffer& map_array) {
    ArchiveStatus status = read_archive_header(archive, archive_size, header);
    if (status != ArchiveStatus::ok) {
        return status;
    }
    if (header.directory_count == 0) {
        return ArchiveStatus::no_map_array;
    }
    status = find_map_array(archive, header.directory_count, location);
    if (status != ArchiveStatus::ok) {
        return status;
    }
    return load_map_array(archive, archive_size, location, map_array);
}
