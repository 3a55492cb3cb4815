// A map file written to memory, through the same interface as a file: for
// the fuzz target and the tests, which look at the bytes directly.
#pragma once

#include <string>

#include "formats/byte_sink.h"

struct ByteSink {
    std::string bytes;
};
