// The page's side of the conversion, called by its worker: one archive at a
// time is converted and held here, in the module's memory, until the worker
// has saved it. The worker reads the result through these few functions and
// shows the lines made here, the same as the command line prints.
#include <emscripten.h>

#include <optional>
#include <string>

#include "conversion.h"
#include "formats/map_file.h"
#include "system/files.h"

namespace {

// The archive converted last, and its output's name: the one thing the page
// keeps between the worker's calls.
ConvertedArchive converted;
MapFileHeader header;
std::string output_name;
std::string line;

}  // namespace

extern "C" {

// The outcomes the worker tells apart or reports itself, in this order:
// written, cannot_read, cannot_create, cannot_write, wrong_ending.
EMSCRIPTEN_KEEPALIVE const int* page_outcomes() {
    static const int outcomes[] = {
        static_cast<int>(Outcome::written), static_cast<int>(Outcome::cannot_read),
        static_cast<int>(Outcome::cannot_create), static_cast<int>(Outcome::cannot_write),
        static_cast<int>(Outcome::wrong_ending)};
    return outcomes;
}

// Converts the archive of `size` bytes that the worker knows as File number
// `file`, named `name` (its path within what was dropped or picked). Gives
// Outcome::written once the map file is ready to save, or the outcome that
// skips it: Outcome::wrong_ending ends the batch.
EMSCRIPTEN_KEEPALIVE int page_convert(int file, double size, const char* name) {
    converted = ConvertedArchive{};
    output_name.clear();
    ArchiveReader archive{file};
    const ArchiveStatus status =
        convert_map_archive(archive, static_cast<std::uint64_t>(size), converted);
    if (status != ArchiveStatus::ok) {
        return static_cast<int>(outcome_of(status));
    }
    std::optional<std::string> output = output_name_for(name);
    if (!output) {
        converted = ConvertedArchive{};
        return static_cast<int>(Outcome::wrong_ending);
    }
    output_name = *output;
    header = map_file_header(converted.header.kind);
    return static_cast<int>(Outcome::written);
}

// The map file ready to save: its name, its 8-byte header, then its map array.
EMSCRIPTEN_KEEPALIVE const char* page_output_name() {
    return output_name.c_str();
}
EMSCRIPTEN_KEEPALIVE const char* page_output_header() {
    return header.data();
}
EMSCRIPTEN_KEEPALIVE const unsigned char* page_map_array() {
    return converted.map_array.get();
}
EMSCRIPTEN_KEEPALIVE double page_map_array_size() {
    return converted.location.size;
}

// Gives the map array's memory back once it is saved.
EMSCRIPTEN_KEEPALIVE void page_release() {
    converted = ConvertedArchive{};
}

// The line that reports `outcome` about the file `name`, as the command line
// prints it.
EMSCRIPTEN_KEEPALIVE const char* page_line(int outcome, const char* name) {
    line = outcome_line(static_cast<Outcome>(outcome), name);
    return line.c_str();
}

// Whether the outcome is a problem, which the page counts as skipped.
EMSCRIPTEN_KEEPALIVE int page_is_problem(int outcome) {
    return outcome_is_problem(static_cast<Outcome>(outcome)) ? 1 : 0;
}
}
