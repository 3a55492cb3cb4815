// The operating system's file interface: opening an archive without ever
// blocking and reading it, at the offsets the format code asks for, through
// the descriptor that was checked; and writing a new file so that it takes
// its name only once it is complete, through the one descriptor that created
// it, and never leaves a partial file behind, even when the run is
// interrupted.
//
// files.cpp holds what every system shares; files_posix.cpp and
// files_windows.cpp each hold one system's own calls. In the browser,
// files_browser.cpp reads archives from the page's Files and nothing more:
// the page saves its outputs itself. Nothing here prints; every outcome is
// returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/archive_reader.h"

// Which file a name leads to, as the file system tells files apart.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    bool known = false;
};

// The open archive, for the format code's reads: a descriptor on POSIX, a C
// runtime descriptor of its handle on Windows, and in the page the number of
// the File it was given. Every read goes through what was opened and
// checked, never through the name again.
struct ArchiveReader {
    int descriptor = -1;
};

// An archive opened for reading.
struct InputFile {
    ArchiveReader reader;
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

// Opens `name` for reading, only if a regular file stands there: nothing else
// (a device, a pipe) is ever opened, so no open can do harm or wait.
InputStatus open_input(const std::string& name, InputFile& input);

// Closes the archive.
void close_input(InputFile& input);

// Room for a hidden temporary name, its final NUL included. Every name is
// taken within the output's folder, which is held for the whole write.
constexpr std::size_t temporary_name_size = 40;

// How the output's folder is held from its check to the end of the write, so
// that every later step, the signal handler's included, acts in the folder
// that was checked, whatever is renamed meanwhile.
struct OutputFolder {
    // POSIX: the folder open (with O_PATH, O_SEARCH or for reading), or
    // AT_FDCWD while it is held as the working folder. Windows: a descriptor
    // of its handle, which nobody may move or remove it past. -1 while not
    // held.
    int descriptor = -1;
    // POSIX, held as the working folder (a folder its user may pass through
    // but not read, on a system that can hold none open): the working folder
    // before, held open, to go back to. Else -1.
    int previous_working_folder = -1;
};

// What the file being written is called in the output's folder.
enum class NewFileName {
    none,       // no file: not made yet, or gone (put in place or removed)
    nameless,   // open, with no name at all (Linux), until it takes the output's
    temporary,  // under `NewFile::temporary_name`, hidden beside the output
};

// What an output that is replaced hands on to the file that takes its place,
// as writing into it would have kept them: read from the very file that was
// checked.
struct ReplacedOutput {
    bool present = false;  // a file (not a link) stands at the output's name
    // POSIX: its owner, group and permission bits, set-id bits included; the
    // bits carry over only with the owner or group they belong to.
    unsigned owner = 0, group = 0, mode = 0;
    // Linux: its access ACL, as the file system stores it (none where
    // `access_acl_size` is 0), held without allocating in room for the
    // largest the system allows.
    char access_acl[65536];
    std::size_t access_acl_size = 0;
    // Windows: its attributes.
    unsigned attributes = 0;
};

// A new file being written beside the output, through one descriptor.
struct NewFile {
    OutputFolder folder;
    std::string output_name;  // within `folder`
    int descriptor = -1;
    NewFileName name = NewFileName::none;
    // Held without allocating, so that nothing can fail between making the
    // name and recording it for removal.
    char temporary_name[temporary_name_size] = {};
    ReplacedOutput replaced;
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

// Gives the complete file the output's name, with what the replaced output
// hands on where the file system keeps it. On failure the new file is gone
// and the output's name is left as it was.
SaveStatus commit_output(NewFile& file);

// Removes the unfinished file; the output's name is left as it was.
void discard_output(NewFile& file);
