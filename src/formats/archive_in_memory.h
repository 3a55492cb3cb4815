// An archive held in memory, read through the same interface as a file: for
// the fuzz target and the tests, which hand the format code bytes directly.
#pragma once

#include <cstdint>
#include <string_view>

#include "formats/archive_reader.h"

struct ArchiveReader {
    std::string_view bytes;  // the archive, which outlives the reader
};
