// The browser's file interface: an archive is a File the page was given,
// read in the page's worker, where a File can be read synchronously; a map
// file is the list of its parts, which the worker saves itself.
#include <emscripten.h>

#include <algorithm>

#include "formats/byte_sink.h"
#include "system/browser/files_browser.h"
#include "system/read_some.h"

namespace {

// At most this much is read at once, so that a large map array is never held
// twice over, in the worker's memory and in the module's.
constexpr std::size_t largest_read = 16u << 20;

// The page's worker defines Module.readArchive: it copies `count` bytes at
// `offset` of its File number `file` to `bytes`, and says whether all came.
EM_JS(int, read_from_file, (int file, double offset, unsigned char* bytes, std::size_t count),
      { return Module.readArchive(file, offset, bytes, count) ? 1 : 0; });

}  // namespace

std::size_t read_some(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                      std::size_t count) {
    const std::size_t part = std::min(count, largest_read);
    return read_from_file(archive.file, static_cast<double>(offset), bytes, part) != 0 ? part : 0;
}

// A browser's File says nothing of holes.
std::uint64_t data_at_or_after(ArchiveReader&, std::uint64_t offset) {
    return offset;
}

bool write_bytes(ByteSink& sink, const void* bytes, std::size_t count) {
    if (sink.parts == ByteSink::most_parts) {
        return false;
    }
    sink.part[sink.parts] = bytes;
    sink.size[sink.parts] = count;
    ++sink.parts;
    return true;
}
