// What the shared order of a safe write (safe_write.cpp) asks of each
// system's own file calls (posix/files_posix.cpp, windows/files_windows.cpp,
// and the tests' fake system), and what it offers them. The steps report
// what they see and carry out what they are told: every decision is the
// shared order's, or new_file_access.cpp's.
#pragma once

#include <cstddef>
#include <string>

#include "system/files.h"

// ---- Offered by the shared part ----------------------------------------

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

// The user running, as the system tells it.
UserFacts user_facts();

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

// Looks at the output's name: what stands there and, for a file or other,
// the facts of it (identity, whether that name is its own, whether this user
// could write it; for a file its owners, bits and ACL, the ACL kept in
// `file.kept` to hand on).
Standing look_at_output(NewFile& file, FileFacts& facts);

// Whether a hidden name made in the folder held could be removed again
// (false in an append-only folder).
bool folder_lets_names_go(const NewFile& file);

// Creates the new file with no name at all, where the system can (it needs
// none until it is complete), with the permission bits `mode` less the
// umask. False where it cannot: a named file is made.
bool create_nameless(NewFile& file, unsigned mode);

// Creates the new file under `name` in the folder held, shared with nobody;
// or links the nameless file to `name` (a name already taken: Claim::taken).
enum class Claim { claimed, taken, failed };
Claim create_named(NewFile& file, const char* name, unsigned mode);
Claim link_nameless(NewFile& file, const char* name);

// Writes up to `count` bytes (at least one asked) to the new file: how many
// it took, 0 on failure.
std::size_t write_some(NewFile& file, const void* bytes, std::size_t count);

// Gives the new file the owner and group asked for, where it may, and says
// whom it belongs to then, and the permission bits it has (false where that
// cannot be told).
bool set_ownership(NewFile& file, const Ownership& wanted, std::uint32_t& owner,
                   std::uint32_t& group, std::uint32_t& mode);

// Puts the ACL of `source` on the new file (none: removes any it took from
// its folder); false where the file system would not.
bool put_acl(NewFile& file, AclSource source);

// Sets the permission bits, after the ACL (the bits then narrow it), and any
// attributes the system hands on; false on failure.
bool set_mode(NewFile& file, std::uint32_t mode);

// Completes the file's bytes (POSIX closes it, where a network file system
// reports a failed write); false on failure.
bool finish_writing(NewFile& file);

// Lets a file that the system removes when its handle closes (Windows) stay
// once it is renamed into place.
bool keep_when_closed(NewFile& file);

// Renames the new file from its temporary name to the output's name,
// replacing whatever stands there.
bool rename_into_place(const NewFile& file);

// Removes `name` (the temporary one, or the output's just linked) from the
// folder held.
void remove_name(const NewFile& file, const char* name);

// Empties the new file through its handle: all that stays of a name that
// could not be removed.
void empty_file(NewFile& file);

// Closes the new file's handle, if still open, and lets go what it kept.
void close_new_file(NewFile& file);
