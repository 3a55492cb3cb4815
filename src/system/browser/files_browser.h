// The browser's records: an archive is a File the page's worker was given,
// and a map file is handed to the worker as the parts it is made of, each
// left where it lies in the module's memory, for the worker to save.
#pragma once

#include <cstddef>

struct ArchiveReader {
    int file = -1;  // the worker's number for the File
};

struct ByteSink {
    // The magic, the version and the map array: a classic map file's parts.
    static constexpr int most_parts = 3;
    const void* part[most_parts] = {};
    std::size_t size[most_parts] = {};
    int parts = 0;
};
