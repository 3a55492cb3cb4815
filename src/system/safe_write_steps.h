// What the shared order of a safe write (safe_write.cpp) asks of each
// system's own file calls (posix/files_posix.cpp, windows/files_windows.cpp),
// and what it offers them. Only those three files include it.
#pragma once

#include <cstddef>
#include <string>

#include "system/files.h"

// ---- Offered by the shared part ----------------------------------------

// A hidden, short name that differs from call to call and process to process.
// It needs no allocation: it is made while a new file is open.
void make_temporary_name(int attempt, char (&name)[temporary_name_size]);

bool same_file(const FileIdentity& a, const FileIdentity& b);

// The file that still has its temporary name, for the platform's interrupt
// handler to remove; none (nullptr) at every other time. It changes only while
// interruptions are held.
const NewFile* unfinished_file();

// ---- Provided by each system --------------------------------------------

// Splits "maps/e1.rtlx" into the folder "maps" and the name "e1.rtlx" within
// it; a bare name's folder is ".", and "/e1.rtlx"'s is "/". On Windows a
// backslash separates too, "C:\\e1.rtlx"'s folder is "C:\\", and
// "C:e1.rtlx"'s "C:.", the drive's working folder.
void split_path(const std::string& path, std::string& folder, std::string& name);

// Keeps the interrupt handler from running (POSIX: the signals blocked;
// Windows: the lock that the handler takes) until release_interrupts.
InterruptsHeld hold_interrupts();
void release_interrupts(const InterruptsHeld& held);

// What stands at the output's name, looked at within the folder held and
// without following a link.
enum class Standing {
    nothing,  // no such name
    link,     // replaced as it stands, never written through
    folder,
    file,     // a regular file, checked and replaced
    other,    // a device, a pipe: replaced, with nothing handed on
    unknown,  // could not be looked at: kept
};

// Looks at the output's name: what stands there, and which file it is. The
// platform's record of it, `old`, is let go by stop_looking.
Standing look_at_output(const NewFile& file, OldOutput& old, FileIdentity& identity);

// Whether this user could write the old file directly, as the system decides
// it (permissions, ACLs, a read-only attribute or mount), and it is the file
// its name says (not another one's short alias).
bool may_replace(const NewFile& file, const OldOutput& old);

// Reads what the old file hands on to the new one; false where a fact that
// must be kept cannot be read (the output is then refused).
bool keep_metadata(const NewFile& file, const OldOutput& old, KeptMetadata& kept);

void stop_looking(OldOutput& old);

// Creates the new file with no name at all, where the system can: it needs
// none until it is complete. False where it cannot (a named file is made).
bool create_nameless_file(NewFile& file);

// Gives the new file `name` within the folder held: a nameless file is linked
// to it, else the file is created under it, shared with nobody.
enum class Claim { claimed, taken, failed };
Claim claim_name(NewFile& file, const char* name);

// Writes up to `count` bytes (at least one asked) to the new file: how many
// it took, 0 on failure.
std::size_t write_some(NewFile& file, const void* bytes, std::size_t count);

// Sets what the old output handed on (or a new output's defaults) on the
// complete file, before it takes the output's name.
bool hand_on_metadata(const NewFile& file);

// Gives a nameless file the output's name, where nothing stands there.
bool link_at_output_name(const NewFile& file);
// Takes the output's name away from the new file again.
void remove_output_name(const NewFile& file);

// Completes the file's bytes before it is put in place (POSIX closes it,
// where a network file system reports a failed write); false on failure.
bool finish_writing(NewFile& file);

// Renames the new file from its temporary name to the output's name,
// replacing whatever stands there.
bool rename_into_place(const NewFile& file);

// Removes the temporary name from the folder held.
void remove_temporary_name(const NewFile& file);

// Closes the new file's handle, if still open.
void close_new_file(NewFile& file);
