// What each system provides for reading an archive, which read_in_full.cpp
// completes: one read, which may deliver less than was asked (Linux returns
// at most 2 GiB less 4 KiB a call; any system may return less).
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/archive_reader.h"

// Reads up to `count` bytes (at least one asked) at `offset`: how many came,
// 0 where the file ends there (it shrank since it was opened) or the read
// failed.
std::size_t read_some(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                      std::size_t count);
