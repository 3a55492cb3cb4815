// The records of the tests' fake system, which keeps one folder in memory:
// each handle is the number of a file in it.
#pragma once

#include <string>

struct HeldFolder {
    int folder = 0;
};

struct ArchiveReader {
    int file = -1;
};

struct OpenNewFile {
    int file = -1;
};

struct KeptMetadata {
    std::string acl;
};

struct InterruptsHeld {};
