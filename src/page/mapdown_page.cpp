// The page's side of the conversion, called by its worker: one archive at a
// time is converted and held here, in the module's memory, until the worker
// has saved it. The worker reads the result through these few functions and
// shows the lines made here, the same as the command line prints.
#include <emscripten.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "conversion.h"
#include "formats/map_file.h"
#include "system/browser/files_browser.h"
#include "system/temporary_name.h"

namespace {

// The archive converted last, and its output's name: the one thing the page
// keeps between the worker's calls.
ConvertedArchive converted;
ByteSink output;  // the map file's parts, written by the program's own writer
std::string output_name;
std::string line;
char temporary_name[temporary_name_size];
char temporary_tag[most_tag_size + 1];

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void page_release();

// The number of the outcome called `name` ("written", "cannot_read", ...),
// as the worker knows the outcomes; -1 for none.
EMSCRIPTEN_KEEPALIVE int page_outcome(const char* name) {
    for (const NamedOutcome& outcome : every_outcome) {
        if (std::string_view(outcome.name) == name) {
            return static_cast<int>(outcome.outcome);
        }
    }
    return -1;
}

// Converts the archive of `size` bytes that the worker knows as File number
// `file`, named `name` (its path within what was dropped or picked). Gives
// Outcome::written once the map file is ready to save, or the outcome that
// skips it: Outcome::wrong_ending ends the batch.
EMSCRIPTEN_KEEPALIVE int page_convert(int file, double size, const char* name) {
    converted = ConvertedArchive{};
    output = ByteSink{};
    output_name.clear();
    ArchiveReader archive{file};
    const ArchiveStatus status =
        convert_map_archive(archive, static_cast<std::uint64_t>(size), converted);
    if (status != ArchiveStatus::ok) {
        return static_cast<int>(outcome_of(status));
    }
    std::optional<std::string> output_name_found = output_name_for(name);
    if (!output_name_found) {
        converted = ConvertedArchive{};
        return static_cast<int>(Outcome::wrong_ending);
    }
    output_name = *output_name_found;
    if (!write_map_file(output, converted.header.kind, converted.map_array.get(),
                        converted.location.size)) {
        page_release();
        return static_cast<int>(Outcome::cannot_write);
    }
    return static_cast<int>(Outcome::written);
}

// The map file ready to save: its name, then its parts in order, each where
// it lies in the module's memory.
EMSCRIPTEN_KEEPALIVE const char* page_output_name() {
    return output_name.c_str();
}
EMSCRIPTEN_KEEPALIVE int page_output_parts() {
    return output.parts;
}
EMSCRIPTEN_KEEPALIVE const void* page_output_part(int part) {
    return output.part[part];
}
EMSCRIPTEN_KEEPALIVE double page_output_part_size(int part) {
    return static_cast<double>(output.size[part]);
}

// Gives the map array's memory back once it is saved.
EMSCRIPTEN_KEEPALIVE void page_release() {
    converted = ConvertedArchive{};
    output = ByteSink{};
}

// The line that reports `outcome` about the file `name`, as the command line
// prints it.
EMSCRIPTEN_KEEPALIVE const char* page_line(int outcome, const char* name) {
    line = outcome_line(static_cast<Outcome>(outcome), name);
    return line.c_str();
}

// A hidden name for an output written in place, tagged with the tab's `tag`
// (the name of the lock the tab holds), as the program names its own, from
// a `seed` the worker draws; "" for a tag that is not one.
EMSCRIPTEN_KEEPALIVE const char* page_temporary_name(const char* tag, double seed) {
    return make_temporary_name(static_cast<std::uint64_t>(seed), tag, temporary_name)
               ? temporary_name
               : "";
}

// The tag of the tab that wrote the hidden file `name`; "" where the name
// is not a tab's hidden name.
EMSCRIPTEN_KEEPALIVE const char* page_temporary_tag(const char* name) {
    const std::string_view tag = tag_of_temporary_name(name);
    std::memcpy(temporary_tag, tag.data(), tag.size());
    temporary_tag[tag.size()] = '\0';
    return temporary_tag;
}

// Whether the outcome is a problem, which the page counts as skipped.
EMSCRIPTEN_KEEPALIVE int page_is_problem(int outcome) {
    return outcome_is_problem(static_cast<Outcome>(outcome)) ? 1 : 0;
}
}
