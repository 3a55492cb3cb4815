// Where the format code writes a classic map file: bytes appended in order.
// Each program links the one sink it needs, as it links one archive reader:
// the command line a new file, the page the output it hands its worker, the
// fuzz target and the tests memory. Each defines ByteSink its own way; the
// format code only ever holds one by reference.
#pragma once

#include <cstddef>

struct ByteSink;

// Appends all `count` bytes: whether every one was taken. The bytes stay
// where they are until the sink is done with (the page keeps them in place).
bool write_bytes(ByteSink& sink, const void* bytes, std::size_t count);
