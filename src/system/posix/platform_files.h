// The records of the file interface on POSIX systems: Linux, macOS and the
// BSDs. Each is a descriptor or what was read through one.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <cstddef>

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

// Who may read the archive: its permission bits.
struct ArchiveAccess {
    unsigned mode = 0;
};

// The new file, open for writing.
struct OpenNewFile {
    int descriptor = -1;
};

// What a replaced output hands on to the file that takes its place, as a
// write into it would have kept them: its owner, group and permission bits
// (set-id bits included, which carry over only with the owner or group they
// belong to), and on Linux its access ACL as the file system stores it (none
// where `access_acl_size` is 0), held without allocating in room for the
// largest the system allows.
struct KeptMetadata {
    unsigned owner = 0, group = 0, mode = 0;
    char access_acl[65536];
    std::size_t access_acl_size = 0;
};

// What stands at the output's name while it is looked at: on Linux held by
// an O_PATH handle (reached under /proc by `path`), so that each question is
// asked of that very file; elsewhere asked of the name in the folder held.
struct OldOutput {
    int handle = -1;
    char path[32] = {};
    struct stat status {};
};

// The signals blocked while the unfinished file's name changes.
struct InterruptsHeld {
    sigset_t previous;
};
