// The browser's file interface: an archive is a File the page was given,
// read in the page's worker, where a File can be read synchronously. The
// page saves the outputs itself.
#include <emscripten.h>

#include <algorithm>

#include "system/files.h"

namespace {

// At most this much is read at once, so that a large map array is never held
// twice over, in the worker's memory and in the module's.
constexpr std::size_t largest_read = 16u << 20;

// The page's worker defines Module.readArchive: it copies `count` bytes at
// `offset` of its File number `file` to `bytes`, and says whether all came.
EM_JS(int, read_from_file, (int file, double offset, unsigned char* bytes, std::size_t count),
      { return Module.readArchive(file, offset, bytes, count) ? 1 : 0; });

}  // namespace

bool read_archive_bytes(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                        std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        const std::size_t part = std::min(count - done, largest_read);
        if (read_from_file(archive.descriptor, static_cast<double>(offset + done), bytes + done,
                           part) == 0) {
            return false;
        }
        done += part;
    }
    return true;
}
