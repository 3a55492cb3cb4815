// The operating system's file interface for the command line: opening an
// archive without ever blocking and reading it, at the offsets the format
// code asks for, through the handle that was checked; and writing its output
// so that it takes its name only once it is complete, through the one handle
// that created it, and never leaves a partial file behind, even when the run
// is interrupted.
//
// Each archive's folder is held from the moment its name is looked up to the
// end of its turn: the archive is opened within it, and its output is
// checked, created and named within that same folder, whatever is renamed
// meanwhile.
//
// safe_write.cpp holds the order of a safe write, which every system shares;
// posix/ and windows/ each hold one system's own calls and records (the
// build puts the one folder's platform_files.h on the include path). Nothing
// here prints; every outcome is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/archive_reader.h"
#include "formats/byte_sink.h"
#include "platform_files.h"  // HeldFolder, ArchiveReader, OpenNewFile, KeptMetadata
#include "system/file_status.h"
#include "system/new_file_access.h"
#include "system/temporary_name.h"

// An archive opened for reading, in its folder, which stays held (for its
// output) until close_input.
struct InputFile {
    HeldFolder folder;
    ArchiveReader reader;
    // The opened file's size, as the system gives it: no position read lies
    // beyond it.
    std::uint64_t size = 0;
    // Which file it is (whatever stands at the output's name must not be
    // it), and who may read it: its output lets in nobody else.
    FileFacts facts;
    KeptMetadata acl;  // its ACL, where it has one, for a new output
};

// Opens `name` for reading, only if a regular file stands there: nothing else
// (a device, a pipe) is ever opened, so no open can do harm or wait. Its
// folder is held first, and the file opened within it.
// Should memory run out meanwhile (std::bad_alloc), close_input lets go of
// whatever it holds.
InputStatus open_input(const std::string& name, InputFile& input);

// Closes the archive's file; its folder stays held for the output.
void close_archive(InputFile& input);

// Closes the archive, if still open, and lets its folder go.
void close_input(InputFile& input);

// What exists of the file being written.
enum class NewFileState {
    nothing_made,  // not made yet, or gone (removed)
    nameless,      // open, with no name at all (Linux), until it takes one
    temporary,     // open under `NewFile::temporary_name`, hidden beside the output
    in_place,      // under the output's name: done
};

// A new file being written beside its archive, through one handle.
struct NewFile {
    // The archive it is made from, whose folder it is written in (held
    // until close_input) and whose readers it may have.
    const InputFile* archive = nullptr;
    std::string output_name;  // within the archive's folder
    OpenNewFile open;
    NewFileState state = NewFileState::nothing_made;
    // Held without allocating, so that nothing can fail between making the
    // name and recording it for removal.
    char temporary_name[temporary_name_size] = {};
    // Whether a regular file stood at the output's name, checked, which the
    // new one replaces; what was seen of it; and what it hands on.
    bool replaces_file = false;
    FileFacts old;
    KeptMetadata kept;
    AccessPlan plan;  // who the new file is for
};

// The new file as the map file's writer sees it.
struct ByteSink {
    NewFile& file;
};

// Makes a write past the file-size limit a failed write rather than the end
// of the run, and has every signal that would end the process (on Windows:
// Ctrl-C, Ctrl-Break, closing the console) remove an unfinished output
// before the process ends by that same signal.
void remove_unfinished_output_on_interrupt();

// Creates the new file for `output_name`, which lies in the archive's folder
// (only its last part is used), without touching what stands at that name.
// An output that its user could not write directly, a folder, or the archive
// itself gives cannot_create.
SaveStatus create_output(const InputFile& archive, const std::string& output_name, NewFile& file);

// Gives the complete file the output's name, with what the replaced output
// hands on where the file system keeps it. On failure the new file is gone
// and the output's name is left as it was.
SaveStatus commit_output(NewFile& file);

// Removes the unfinished file; the output's name is left as it was.
void discard_output(NewFile& file);
