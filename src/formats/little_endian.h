// Little-endian integers, as both map formats store them, whatever the host's
// byte order.
#pragma once

#include <cstddef>

template <typename Unsigned>
Unsigned load_le(const unsigned char* bytes) {
    Unsigned value = 0;
    for (std::size_t index = 0; index < sizeof(Unsigned); ++index) {
        value |= static_cast<Unsigned>(bytes[index]) << (8 * index);
    }
    return value;
}

template <typename Unsigned>
void store_le(unsigned char* bytes, Unsigned value) {
    for (std::size_t index = 0; index < sizeof(Unsigned); ++index) {
        bytes[index] = static_cast<unsigned char>(value >> (8 * index));
    }
}
