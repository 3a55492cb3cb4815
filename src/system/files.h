// The operating system's file interface: opening an archive without ever
// blocking and reading it through the descriptor that was checked, and
// writing a new file so that it takes its name only once it is complete,
// through the one descriptor that created it, and never leaves a partial
// file behind, even when the run is interrupted.
//
// files.cpp holds what every system shares; files_posix.cpp and
// files_windows.cpp each hold one system's own calls. Nothing here prints;
// every outcome is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>

// Which file a name leads to, as the file system tells files apart.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool known = false;
};

// An archive opened for reading. `stream` reads through the descriptor that
// was opened and checked, never through the name again.
struct InputFile {
    std::unique_ptr<std::streambuf> buffer;
    std::istream stream{nullptr};
    // The opened file's size, as the system gives it: no position read lies
    // beyond it.
    std::uint64_t size = 0;
    // The archive's file when it has no other name: replaced by an output
    // (its name given through a link), the archive would be lost.
    FileIdentity only_copy;
};

enum class InputStatus {
    opened,
    cannot_open,       // missing, unreadable, or a folder
    not_regular_file,  // a named pipe, a device: never read, so never waited on
};

// Opens `name` for reading without blocking, whatever stands there.
InputStatus open_input(const std::string& name, InputFile& input);

// Closes the archive and its stream.
void close_input(InputFile& input);

// Room for a temporary name, its final NUL included, with the path of its
// folder before it where the folder cannot be held open.
constexpr std::size_t temporary_name_room = 40;  // for all but the folder's path
constexpr std::size_t temporary_name_size = 4096 + temporary_name_room;

// A new file being written beside the output, through one descriptor.
struct NewFile {
    std::string final_name;  // within `folder` where one is held open; else the whole name
    int folder = -1;         // the output's folder, where the system can hold it open
    // Where it cannot (POSIX: a folder its user may enter but not list, on a
    // system without O_SEARCH), the folder's path and a slash, which begins
    // every name; else empty.
    std::string folder_path;
    int descriptor = -1;
    // The hidden name the file has beside the output until it takes the
    // output's own; empty while it has none. Held without allocating, so that
    // nothing can fail between making it and recording it for removal.
    char temporary_name[temporary_name_size] = {};
    // Replacing a file: its owner, group and mode carry over, where the
    // system keeps them (on Windows, `old_mode` holds its attributes).
    bool keeps_old_owner = false;
    unsigned old_owner = 0, old_group = 0, old_mode = 0;
};

enum class SaveStatus {
    saved,
    cannot_open,   // not created, not put in place, or an output that must not be replaced
    cannot_write,  // a write or the close failed
};

// Makes SIGXFSZ a failed write rather than the end of the run, and has SIGINT,
// SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break, closing the console)
// remove an unfinished output before the process ends by that same signal.
void remove_unfinished_output_on_interrupt();

// Creates the new file for `output_name`, without touching what stands at that
// name. An output that its user could not write directly, a folder, or the
// archive's only copy (`archive_only_copy`) gives cannot_open.
SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file);

// Writes all `count` bytes, or fails.
bool write_output(NewFile& file, const void* bytes, std::size_t count);

// Gives the complete file the output's name, with the old file's mode, owner
// and group where one is replaced and the file system keeps them. On failure
// the new file is gone.
SaveStatus commit_output(NewFile& file);

// Removes the unfinished file; the output's name is left as it was.
void discard_output(NewFile& file);
