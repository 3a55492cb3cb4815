// Every system's archive reads, completed: a read that delivers less than
// was asked is followed by another for the rest.
#include "system/read_some.h"

bool read_archive_bytes(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                        std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        const std::size_t got = read_some(archive, offset + done, bytes + done, count - done);
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}
