// How the format code reads an archive: "these bytes at this offset", from
// whatever the archive was opened as. Each program links the one reader it
// needs: the command line an open file, the page a browser's File, the fuzz
// target and the tests bytes in memory. Each defines ArchiveReader its own
// way; the format code only ever holds one by reference.
#pragma once

#include <cstddef>
#include <cstdint>

struct ArchiveReader;

// Reads `count` bytes at `offset` into `bytes`: whether every one of them
// came. The caller asks only for bytes inside the archive's size as it was
// when opened, so nothing past it is ever read, whatever the file does since.
bool read_archive_bytes(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                        std::size_t count);

// The first offset at or after `offset` where the archive may hold bytes
// other than zeros: past a hole in a sparse file, which reads as zeros. It is
// `offset` itself where the system cannot tell, and UINT64_MAX where no data
// follows at all.
std::uint64_t data_at_or_after(ArchiveReader& archive, std::uint64_t offset);
