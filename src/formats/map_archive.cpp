#include "formats/map_archive.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "formats/little_endian.h"

namespace {

constexpr std::size_t entry_name_size = 16;
constexpr char map_array_entry_name[] = "MAPS";  // its NUL must match too

// The directory is read this many entries (64 KiB) at a time: few reads for
// any archive, and little memory for one that claims millions of entries.
constexpr std::size_t entries_per_read = 2048;

// Whether `count` items of `item_size` bytes from `offset` lie inside an
// archive `length` bytes long; written so that no sum or product can overflow.
bool lies_inside(std::uint64_t length, std::uint64_t offset, std::uint64_t count,
                 std::uint64_t item_size) {
    return offset <= length && count <= (length - offset) / item_size;
}

}  // namespace

ArchiveStatus read_archive_header(ArchiveReader& archive, std::uint64_t archive_size,
                                  MapArchiveHeader& header) {
    header = MapArchiveHeader{};
    // Nothing is read from a file too small to hold a header: what says it is
    // empty but blocks, or is used up by reading, is never touched.
    unsigned char bytes[archive_header_size];
    if (archive_size < archive_header_size || !read_archive_bytes(archive, 0, bytes, 8)) {
        return ArchiveStatus::not_an_archive;
    }
    header.magic = load_le<std::uint32_t>(bytes);
    header.version = load_le<std::uint32_t>(bytes + 4);
    if (header.magic == rtlx_magic) {
        header.kind = ArchiveKind::rtlx;
    } else if (header.magic == rtcx_magic) {
        header.kind = ArchiveKind::rtcx;
    } else {
        return ArchiveStatus::not_an_archive;
    }
    // The rest of the header is read only once the magic and version pass.
    if (header.version > max_archive_version ||
        !read_archive_bytes(archive, 8, bytes + 8, archive_header_size - 8)) {
        return ArchiveStatus::not_an_archive;
    }
    header.directory_offset = load_le<std::uint64_t>(bytes + 8);
    header.directory_count = load_le<std::uint64_t>(bytes + 16);
    // An empty directory has nothing to point at; the caller reports it as a
    // missing map array.
    if (header.directory_count != 0 && !lies_inside(archive_size, header.directory_offset,
                                                    header.directory_count, directory_entry_size)) {
        return ArchiveStatus::not_an_archive;
    }
    return ArchiveStatus::ok;
}

ArchiveStatus find_map_array(ArchiveReader& archive, const MapArchiveHeader& header,
                             MapArrayLocation& location) {
    location = MapArrayLocation{};
    std::uint64_t found_offset = 0;
    std::uint32_t found_size = 0;
    // On the heap: a small stack (a thread's, the page's) has no 64 KiB to spare.
    const std::size_t most = header.directory_count < entries_per_read
                                 ? static_cast<std::size_t>(header.directory_count)
                                 : entries_per_read;
    const std::unique_ptr<unsigned char[]> entries(
        new (std::nothrow) unsigned char[most * directory_entry_size]);
    if (!entries) {
        return ArchiveStatus::out_of_memory;
    }
    for (std::uint64_t index = 0; index < header.directory_count; index += entries_per_read) {
        // Entries wholly inside a hole of a sparse file read as zeros, which
        // name nothing: the scan goes on where data begins, so that its cost
        // follows the bytes on disk, not the size the directory claims.
        const std::uint64_t at = header.directory_offset + index * directory_entry_size;
        const std::uint64_t data = data_at_or_after(archive, at);
        if (data > at) {
            const std::uint64_t hole_entries = (data - at) / directory_entry_size;
            if (hole_entries >= header.directory_count - index) {
                break;
            }
            index += hole_entries;
        }
        const std::uint64_t left = header.directory_count - index;
        const std::size_t count =
            left < entries_per_read ? static_cast<std::size_t>(left) : entries_per_read;
        if (!read_archive_bytes(archive, header.directory_offset + index * directory_entry_size,
                                entries.get(), count * directory_entry_size)) {
            return ArchiveStatus::not_an_archive;
        }
        const unsigned char* const end = entries.get() + count * directory_entry_size;
        for (const unsigned char* entry = entries.get(); entry < end;
             entry += directory_entry_size) {
            // A later "MAPS" entry replaces an earlier one.
            if (std::memcmp(entry, map_array_entry_name, sizeof map_array_entry_name) == 0) {
                found_offset = load_le<std::uint64_t>(entry + entry_name_size);
                found_size =
                    static_cast<std::uint32_t>(load_le<std::uint64_t>(entry + entry_name_size + 8));
            }
        }
    }
    if (found_offset == 0) {
        return ArchiveStatus::no_map_array;
    }
    location.offset = found_offset;
    location.size = found_size;
    return ArchiveStatus::ok;
}

ArchiveStatus load_map_array(ArchiveReader& archive, std::uint64_t archive_size,
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
    if (!read_archive_bytes(archive, location.offset, buffer.get(), location.size)) {
        return ArchiveStatus::not_an_archive;
    }
    map_array = std::move(buffer);
    return ArchiveStatus::ok;
}

ArchiveStatus read_map_array(ArchiveReader& archive, std::uint64_t archive_size,
                             MapArchiveHeader& header, MapArrayLocation& location,
                             MapArrayBuffer& map_array) {
    ArchiveStatus status = read_archive_header(archive, archive_size, header);
    if (status != ArchiveStatus::ok) {
        return status;
    }
    if (header.directory_count == 0) {
        return ArchiveStatus::no_map_array;
    }
    status = find_map_array(archive, header, location);
    if (status != ArchiveStatus::ok) {
        return status;
    }
    return load_map_array(archive, archive_size, location, map_array);
}
