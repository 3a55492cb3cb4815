// The conversion every front end runs, the command line and the page alike:
// an archive's map array read and rebased, the output's name, and the one
// line that reports what became of each file. Nothing here prints.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "formats/map_archive.h"
#include "system/file_status.h"

// What became of one archive; each outcome has its own line.
enum class Outcome {
    written,         // the output is complete, under its name
    cannot_read,     // missing, unreadable, or a folder
    not_an_archive,  // not an RTLX or RTCX archive, or a device or pipe
    no_map_array,
    out_of_memory,
    cannot_create,  // the output could not be made or must not be replaced
    cannot_write,   // a write failed: any old output is as it was
    wrong_ending,   // a valid archive whose name has neither ending: the run ends
};

// Each outcome, by the name the page's worker knows it by, and its line, with
// "%s" where the file's name goes: the archive's, or the output's from
// cannot_create on. Every line ends in \n.
struct NamedOutcome {
    Outcome outcome;
    const char* name;
    const char* format;
};
constexpr NamedOutcome every_outcome[] = {
    {Outcome::written, "written", "Successfully wrote \"%s\" to disk.\n"},
    {Outcome::cannot_read, "cannot_read", "Warning: Couldn't open \"%s\" for reading!\n"},
    {Outcome::not_an_archive, "not_an_archive",
     "Warning: \"%s\" is not a valid RTLX or RTCX file!\n"},
    {Outcome::no_map_array, "no_map_array",
     "Warning: Couldn't determine map array offset in \"%s\"!\n"},
    {Outcome::out_of_memory, "out_of_memory", "Warning: Not enough memory to convert \"%s\"!\n"},
    {Outcome::cannot_create, "cannot_create", "Warning: Couldn't open \"%s\" for writing!\n"},
    {Outcome::cannot_write, "cannot_write", "Warning: Couldn't write \"%s\" to disk!\n"},
    {Outcome::wrong_ending, "wrong_ending",
     "Error: Input filename doesn't end in .rtlx or .rtcx so I'm stupid and don't know what to "
     "do!\n"},
};
constexpr bool every_outcome_in_order() {
    int index = 0;
    for (const NamedOutcome& named : every_outcome) {
        if (static_cast<int>(named.outcome) != index++) {
            return false;
        }
    }
    return index == static_cast<int>(Outcome::wrong_ending) + 1;
}
static_assert(every_outcome_in_order(), "every outcome has its name and its line, in order");

// The usage line, shown when no file is named.
constexpr char usage_text[] = "\nUsage: mapdown file.rtlx file.rtcx ...\n\n";

// Shown before the window a run from Explorer had closes, once it has
// something to read.
constexpr char close_window_prompt[] = "Press any key to close this window.\n";

// The line for `outcome`, as every_outcome gives it.
inline const char* outcome_format(Outcome outcome) {
    return every_outcome[static_cast<int>(outcome)].format;
}

// Whether the line tells of a file skipped or the run's end, as standard
// error does, rather than of an output written.
inline bool outcome_is_problem(Outcome outcome) {
    return outcome != Outcome::written;
}

// The outcome each status is reported as: a problem of the archive's own, an
// archive that could not be opened, an output saved or not.
Outcome outcome_of(ArchiveStatus status);
Outcome outcome_of(InputStatus status);
Outcome outcome_of(SaveStatus status);

// A name as a line shows it: each control character (bytes 0x01 to 0x1F and
// 0x7F, and the characters U+0080 to U+009F) as an escape, and each byte
// that is not part of valid UTF-8 as \xHH (a lone 0x9B is a command to an
// 8-bit terminal), so that no name can add a line or reach a terminal as a
// command; valid UTF-8 stands as it is.
std::string shown_name(std::string_view name);

// The line for `outcome`, `name` shown safely.
std::string outcome_line(Outcome outcome, std::string_view name);

// The output's name: the input's less the final x of its ending, beside it
// ("maps/e1.rtlx" gives "maps/e1.rtl"). None when the name ends in neither
// ".rtlx" nor ".rtcx", compared byte for byte.
std::optional<std::string> output_name_for(std::string_view input_name);

// An archive converted in memory: its kind, where its map array lay, and the
// map array rebased for byte 8 of the classic map file.
struct ConvertedArchive {
    MapArchiveHeader header;
    MapArrayLocation location;
    MapArrayBuffer map_array;
};

// Reads the archive's map array and rebases it.
ArchiveStatus convert_map_archive(ArchiveReader& archive, std::uint64_t archive_size,
                                  ConvertedArchive& converted);
