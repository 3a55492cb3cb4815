// The records of the file interface on POSIX systems: Linux, macOS and the
// BSDs. Each is a descriptor or what was read through one.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

// How an archive's folder is held for its turn: open (with O_PATH, O_SEARCH
// or for reading), or AT_FDCWD while it is held as the working folder (a
// folder its user may pass through but not read, on a system that can hold
// none open), with the working folder before held open to go back to.
struct HeldFolder {
    int descriptor = -1;
    int previous_working_folder = -1;
};

// The archive, open for reading.
struct ArchiveReader {
    int descriptor = -1;
};

// The new file, open for writing, and which file it is once it is complete
// (to empty it, should its hidden name stay).
constexpr std::uint32_t unknown_mode = ~0u;

struct OpenNewFile {
    int descriptor = -1;
    std::uint64_t device = 0, inode = 0;
    std::uint32_t mode = unknown_mode;  // its permission bits, where known
};

// A file's access ACL as the file system stores it (Linux's extended
// attribute), to hand on; empty where it has none.
struct KeptMetadata {
    std::string access_acl;
};

// The signals blocked while the unfinished file's name changes.
struct InterruptsHeld {
    sigset_t previous;
};
