#include "formats/archive_in_memory.h"

#include <cstring>

bool read_archive_bytes(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                        std::size_t count) {
    // A file that shrank since it was measured ends early, as one in memory
    // shorter than the size its caller gave does here.
    if (offset > archive.bytes.size() || count > archive.bytes.size() - offset) {
        return false;
    }
    std::memcpy(bytes, archive.bytes.data() + offset, count);
    return true;
}

std::uint64_t data_at_or_after(ArchiveReader&, std::uint64_t offset) {
    return offset;  // memory has no holes
}
