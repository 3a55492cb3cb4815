// Reading files whole, and comparing their contents without printing them:
// binary data makes unreadable failure messages, so only the sizes and the
// first difference are shown.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

// In one block: a byte at a time is slow in unoptimised builds.
inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    if (in.peek() != std::ifstream::traits_type::eof()) {
        bytes << in.rdbuf();
    }
    return bytes.str();
}

inline ::testing::AssertionResult bytes_match(const std::string& actual,
                                              const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    const std::size_t common = std::min(actual.size(), expected.size());
    const auto difference =
        std::mismatch(actual.begin(), actual.begin() + common, expected.begin());
    return ::testing::AssertionFailure()
           << actual.size() << " bytes where " << expected.size()
           << " were expected, first difference at byte " << (difference.first - actual.begin());
}
