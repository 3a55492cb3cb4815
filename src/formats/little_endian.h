// Little-endian integers as both map formats store them, independent of the
// host's byte order.
#pragma once

#include <cstdint>

inline std::uint32_t load_u32_le(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

inline std::uint64_t load_u64_le(const unsigned char* bytes) {
    return std::uint64_t{load_u32_le(bytes)} | std::uint64_t{load_u32_le(bytes + 4)} << 32;
}

inline void store_u32_le(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}
