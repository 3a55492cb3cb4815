#include "system/temporary_name.h"

#include <cstdint>

namespace {

constexpr std::string_view prefix = ".mapdown-";
constexpr std::string_view suffix = ".tmp";
constexpr std::size_t token_digits = 16;

// Callers rule out an empty tag.
bool is_tag(std::string_view tag) {
    if (tag.size() > most_tag_size) {
        return false;
    }
    for (const char c : tag) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
            return false;
        }
    }
    return true;
}

// The token's length is its place in the name; only its digits are in doubt.
bool is_token(std::string_view token) {
    return token.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

bool make_temporary_name(std::uint64_t seed, std::string_view tag,
                         char (&name)[temporary_name_size]) {
    if (!tag.empty() && !is_tag(tag)) {
        return false;
    }
    const std::uint64_t token = seed * 0x9E3779B97F4A7C15u;  // close seeds, far tokens
    // ".mapdown-" [tag "-"] token ".tmp", NUL: at most 9 + 17 + 16 + 4 + 1.
    char* at = name;
    const auto put = [&at](std::string_view text) {
        for (const char c : text) {
            *at++ = c;
        }
    };
    put(prefix);
    if (!tag.empty()) {
        put(tag);
        put("-");
    }
    for (int shift = 60; shift >= 0; shift -= 4) {
        *at++ = "0123456789abcdef"[(token >> shift) & 0xF];
    }
    put(suffix);
    *at = '\0';
    return true;
}

std::string_view tag_of_temporary_name(std::string_view name) {
    // Views cut by hand: substr() would bring exceptions into the page's module.
    const std::size_t size = name.size();
    if (size <= prefix.size() + 1 + token_digits + suffix.size() ||
        std::string_view(name.data(), prefix.size()) != prefix ||
        std::string_view(name.data() + size - suffix.size(), suffix.size()) != suffix) {
        return {};
    }
    const std::size_t dash = size - suffix.size() - token_digits - 1;
    const std::string_view tag(name.data() + prefix.size(), dash - prefix.size());
    if (name[dash] != '-' || !is_token(std::string_view(name.data() + dash + 1, token_digits)) ||
        !is_tag(tag)) {
        return {};
    }
    return tag;
}
