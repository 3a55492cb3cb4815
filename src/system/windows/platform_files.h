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

// Who may read the archive: a new output takes its folder's inherited access
// control list, as any new file there does.
struct ArchiveAccess {};

// The new file, open for writing and shared with nobody.
struct OpenNewFile {
    void* handle = nullptr;
};

// What a replaced output hands on, as a file that Windows itself replaces
// keeps them: its attributes, and its own access control list (a security
// descriptor of the system's allocation, or nullptr where none may be read).
struct KeptMetadata {
    unsigned attributes = 0;
    void* security = nullptr;
};

// What stands at the output's name while it is looked at.
struct OldOutput {
    void* handle = nullptr;
    unsigned attributes = 0;
};

// The console handler is kept out by a lock, which this holds.
struct InterruptsHeld {};
