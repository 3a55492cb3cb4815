// The records of the file interface on Windows. Each handle is a HANDLE,
// held as a pointer so that this header needs no system header; nullptr
// stands for none.
#pragma once

// An archive's folder, held open for its turn without sharing it for
// deletion, so that nobody can move, rename or remove it meanwhile.
struct HeldFolder {
    void* handle = nullptr;
};

// The archive, open for reading.
struct ArchiveReader {
    void* handle = nullptr;
};

// The new file, open for writing and shared with nobody; the system removes
// it when the handle closes, until it is put in place.
struct OpenNewFile {
    void* handle = nullptr;
};

// A file's attributes and its own access control list (a security
// descriptor of the system's allocation, or nullptr), to hand on.
struct KeptMetadata {
    unsigned attributes = 0;
    void* security = nullptr;
};

// The console handler is kept out by a lock, which this holds.
struct InterruptsHeld {};
