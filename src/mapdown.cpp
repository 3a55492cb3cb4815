// mapdown: converts extended map archives (RTLX and RTCX files) into classic
// map files (RTL and RTC files) written beside them, one file at a time, with
// one console line for each.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "conversion.h"
#include "formats/map_file.h"
#include "system/console.h"
#include "system/files.h"

namespace {

// Ends the run with `status`, once whoever started it alone in a window that
// closes with it could read why (see keep_window_open).
[[noreturn]] void end_run(int status, bool something_to_read) {
    keep_window_open(something_to_read, close_window_prompt);
    std::exit(status);
}

// Prints the line for `outcome` about the file `name`: standard output for an
// output written, standard error for a problem. Should there be no memory to
// show the name, a question mark stands in its place.
void report(Outcome outcome, std::string_view name) {
    std::FILE* stream = outcome_is_problem(outcome) ? stderr : stdout;
    try {
        print_message(stream, outcome_format(outcome), shown_name(name).c_str());
    } catch (const std::bad_alloc&) {
        print_message(stream, outcome_format(outcome), "?");
    }
}

}  // namespace

[[noreturn]] void print_help() {
    print_message(stdout, usage_text);
    end_run(0, true);
}

// A name with neither ending ends the whole run: the program cannot tell
// where to write, and the files converted so far stay on disk.
std::string get_output_filename(const std::string& input_name) {
    std::optional<std::string> output_name = output_name_for(input_name);
    if (!output_name) {
        report(Outcome::wrong_ending, "");
        end_run(1, true);
    }
    return *output_name;
}

namespace {

// Writes the classic map file beside its archive, through a new file that
// takes the output's name only once it is complete: the output appears whole
// or not at all, and an existing file is replaced only by a complete one.
Outcome save_map_file(const InputFile& archive, const std::string& output_name,
                      const ConvertedArchive& converted) {
    NewFile file;
    const SaveStatus created = create_output(archive, output_name, file);
    if (created != SaveStatus::saved) {
        return outcome_of(created);
    }
    ByteSink sink{file};
    if (!write_map_file(sink, converted.header.kind, converted.map_array.get(),
                        converted.location.size)) {
        discard_output(file);
        return Outcome::cannot_write;
    }
    return outcome_of(commit_output(file));
}

// Converts the open archive and saves its output: whether that ended in a
// problem, which is reported.
bool convert_opened_archive(InputFile& input, const char* input_name) {
    ConvertedArchive converted;
    const ArchiveStatus status = convert_map_archive(input.reader, input.size, converted);
    // All that is needed is in memory now. Closing the archive also lets an
    // output name that links to it be replaced where open files are locked.
    close_archive(input);
    if (status != ArchiveStatus::ok) {
        report(outcome_of(status), input_name);
        return true;
    }
    const std::string output_name = get_output_filename(input_name);
    const Outcome saved = save_map_file(input, output_name, converted);
    report(saved, output_name);
    return outcome_is_problem(saved);
}

// One turn of the run: every failure is reported and skips this file only.
// The archive's folder is held for the whole turn. Whether it ended in a
// problem.
bool convert_archive(const char* input_name) {
    InputFile input;
    try {
        const InputStatus opened = open_input(input_name, input);
        if (opened != InputStatus::opened) {
            report(outcome_of(opened), input_name);
            return true;
        }
        const bool problem = convert_opened_archive(input, input_name);
        close_input(input);
        return problem;
    } catch (const std::bad_alloc&) {
        close_input(input);  // whatever it holds, however far it came
        throw;
    }
}

}  // namespace

int main(int argc, char** argv) {
    use_utf8_command_line(argc, argv);
    prepare_console();
    remove_unfinished_output_on_interrupt();
    if (argc < 2) {
        print_help();
    }
    bool problems = false;
    for (int index = 1; index < argc; ++index) {
        // Should even a small allocation fail (a name, say), the file is
        // skipped like one whose map array does not fit in memory.
        try {
            problems |= convert_archive(argv[index]);
        } catch (const std::bad_alloc&) {
            report(Outcome::out_of_memory, argv[index]);
            problems = true;
        }
    }
    end_run(0, problems);
}
