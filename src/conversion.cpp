#include "conversion.h"

#include <cstdio>

#include "formats/map_file.h"

Outcome outcome_of(ArchiveStatus status) {
    switch (status) {
        case ArchiveStatus::no_map_array:
            return Outcome::no_map_array;
        case ArchiveStatus::out_of_memory:
            return Outcome::out_of_memory;
        case ArchiveStatus::ok:  // not a problem: never asked
        case ArchiveStatus::not_an_archive:
            break;
    }
    return Outcome::not_an_archive;
}

Outcome outcome_of(InputStatus status) {
    return status == InputStatus::not_regular_file ? Outcome::not_an_archive : Outcome::cannot_read;
}

Outcome outcome_of(SaveStatus status) {
    switch (status) {
        case SaveStatus::saved:
            return Outcome::written;
        case SaveStatus::cannot_create:
        case SaveStatus::cannot_put_in_place:
            return Outcome::cannot_create;
        case SaveStatus::cannot_write:
            break;
    }
    return Outcome::cannot_write;
}

namespace {

// The length of the valid UTF-8 sequence of two bytes or more that begins at
// `at`, or 0 where none does (a stray byte, a sequence cut short, an
// overlong form, a surrogate, a code point past U+10FFFF).
std::size_t utf8_sequence_length(std::string_view name, std::size_t at) {
    const auto byte = [&](std::size_t index) {
        return index < name.size() ? static_cast<unsigned char>(name[index]) : 0u;
    };
    const unsigned lead = byte(at);
    // The lead byte gives the length and the range of the byte after it.
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    for (std::size_t index = 1; index < length; ++index) {
        const unsigned next = byte(at + index);
        if (next < (index == 1 ? low : 0x80) || next > (index == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string shown_name(std::string_view name) {
    std::string shown;
    for (std::size_t at = 0; at < name.size();) {
        const auto byte = static_cast<unsigned char>(name[at]);
        const std::size_t length = byte < 0x80 ? 1 : utf8_sequence_length(name, at);
        char escape[8];
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7F || length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else if (byte == 0xC2 && static_cast<unsigned char>(name[at + 1]) <= 0x9F) {
            // U+0080 to U+009F, the C1 controls
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned char>(name[at + 1]));
            shown += escape;
        } else {
            shown.append(name, at, length);
        }
        at += length == 0 ? 1 : length;
    }
    return shown;
}

std::string outcome_line(Outcome outcome, std::string_view name) {
    const char* format = outcome_format(outcome);
    const std::string shown = shown_name(name);
    std::string line(static_cast<std::size_t>(std::snprintf(nullptr, 0, format, shown.c_str())),
                     '\0');
    std::snprintf(line.data(), line.size() + 1, format, shown.c_str());
    return line;
}

std::optional<std::string> output_name_for(std::string_view input_name) {
    const auto ends_with = [&](std::string_view ending) {
        return input_name.size() >= ending.size() &&
               input_name.substr(input_name.size() - ending.size()) == ending;
    };
    if (!ends_with(".rtlx") && !ends_with(".rtcx")) {
        return std::nullopt;
    }
    return std::string(input_name.substr(0, input_name.size() - 1));
}

ArchiveStatus convert_map_archive(ArchiveReader& archive, std::uint64_t archive_size,
                                  ConvertedArchive& converted) {
    const ArchiveStatus status = read_map_array(archive, archive_size, converted.header,
                                                converted.location, converted.map_array);
    if (status == ArchiveStatus::ok) {
        rebase_map_array(converted.map_array.get(), converted.location.offset);
    }
    return status;
}
