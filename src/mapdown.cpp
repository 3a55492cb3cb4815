// mapdown: converts extended map archives (RTLX and RTCX files) into classic
// map files (RTL and RTC files) written beside them, one file at a time, with
// one console line for each.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "formats/map_archive.h"
#include "formats/map_file.h"
#include "system/console.h"
#include "system/files.h"

[[noreturn]] void print_help() {
    print_message(stdout, "\nUsage: mapdown file.rtlx file.rtcx ...\n\n");
    std::exit(0);
}

// The output's name is the input's less the final x of its ending. A name
// with neither ending ends the whole run: the program cannot tell where to
// write, and the files converted so far stay on disk.
std::string get_output_filename(const std::string& input_name) {
    const auto ends_with = [&](const char* ending) {
        const std::size_t length = std::strlen(ending);
        return input_name.size() >= length &&
               input_name.compare(input_name.size() - length, length, ending) == 0;
    };
    if (!ends_with(".rtlx") && !ends_with(".rtcx")) {
        print_message(stderr,
                      "Error: Input filename doesn't end in .rtlx or .rtcx so I'm stupid and don't "
                      "know what to do!\n");
        std::exit(1);
    }
    return input_name.substr(0, input_name.size() - 1);
}

namespace {

// A name as a message shows it: each control character (bytes 0x01 to 0x1F
// and 0x7F, and the characters U+0080 to U+009F) as an escape, so that no
// name can add a line or reach the terminal as a command; every other byte as
// it stands.
std::string shown_name(std::string_view name) {
    std::string shown;
    for (std::size_t at = 0; at < name.size(); ++at) {
        const auto byte = static_cast<unsigned char>(name[at]);
        const auto next = at + 1 < name.size() ? static_cast<unsigned char>(name[at + 1]) : 0;
        char escape[8];
        if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F in UTF-8
            std::snprintf(escape, sizeof escape, "\\u%04x", next);
            shown += escape;
            ++at;
        } else {
            shown += name[at];
        }
    }
    return shown;
}

// Prints a message about a file, its name shown safely; should there be no
// memory to show it, a question mark stands in its place.
void report(std::FILE* stream, const char* format, std::string_view name) {
    try {
        print_message(stream, format, shown_name(name).c_str());
    } catch (const std::bad_alloc&) {
        print_message(stream, format, "?");
    }
}

void report_not_enough_memory(const char* input_name) {
    report(stderr, "Warning: Not enough memory to convert \"%s\"!\n", input_name);
}

void report_archive_problem(ArchiveStatus status, const char* input_name) {
    if (status == ArchiveStatus::no_map_array) {
        report(stderr, "Warning: Couldn't determine map array offset in \"%s\"!\n", input_name);
    } else if (status == ArchiveStatus::out_of_memory) {
        report_not_enough_memory(input_name);
    } else {
        report(stderr, "Warning: \"%s\" is not a valid RTLX or RTCX file!\n", input_name);
    }
}

void report_save_problem(SaveStatus status, const std::string& output_name) {
    if (status == SaveStatus::cannot_open) {
        report(stderr, "Warning: Couldn't open \"%s\" for writing!\n", output_name);
    } else {
        report(stderr, "Warning: Couldn't write \"%s\" to disk!\n", output_name);
    }
}

// Writes the classic map file through a new file that takes the output's
// name only once it is complete: the output appears whole or not at all, and
// an existing file is replaced only by a complete one.
SaveStatus save_map_file(const std::string& output_name, const FileIdentity& archive_only_copy,
                         ArchiveKind kind, const unsigned char* map_array, std::uint32_t size) {
    NewFile file;
    const SaveStatus created = create_output(output_name, archive_only_copy, file);
    if (created != SaveStatus::saved) {
        return created;
    }
    const MapFileHeader header = map_file_header(kind);
    if (!write_output(file, header.data(), header.size()) || !write_output(file, map_array, size)) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    return commit_output(file);
}

// One turn of the run: every failure is reported and skips this file only.
void convert_archive(const char* input_name) {
    InputFile input;
    const InputStatus opened = open_input(input_name, input);
    if (opened == InputStatus::cannot_open) {
        report(stderr, "Warning: Couldn't open \"%s\" for reading!\n", input_name);
        return;
    }
    if (opened == InputStatus::not_regular_file) {
        report_archive_problem(ArchiveStatus::not_an_archive, input_name);
        return;
    }

    MapArchiveHeader header;
    MapArrayLocation location;
    MapArrayBuffer map_array;
    const ArchiveStatus status =
        read_map_array(input.stream, input.size, header, location, map_array);
    // All that is needed is in memory now. Closing the archive also lets an
    // output name that links to it be replaced where open files are locked.
    close_input(input);
    if (status != ArchiveStatus::ok) {
        report_archive_problem(status, input_name);
        return;
    }

    rebase_map_array(map_array.get(), location.offset);
    const std::string output_name = get_output_filename(input_name);
    const SaveStatus saved =
        save_map_file(output_name, input.only_copy, header.kind, map_array.get(), location.size);
    if (saved != SaveStatus::saved) {
        report_save_problem(saved, output_name);
        return;
    }
    report(stdout, "Successfully wrote \"%s\" to disk.\n", output_name);
}

}  // namespace

int main(int argc, char** argv) {
    use_utf8_command_line(argc, argv);
    prepare_console();
    remove_unfinished_output_on_interrupt();
    if (argc < 2) {
        print_help();
    }
    for (int index = 1; index < argc; ++index) {
        // Should even a small allocation fail (a stream's buffer, a name), the
        // file is skipped like one whose map array does not fit in memory.
        try {
            convert_archive(argv[index]);
        } catch (const std::bad_alloc&) {
            report_not_enough_memory(argv[index]);
        }
    }
    return 0;
}
