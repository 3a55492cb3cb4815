// The order of a safe write, the same on every system: look at what stands
// at the output's name and decide whether it may be replaced; create the new
// file without a name, or under a hidden one; write it; hand on what the old
// output kept; give it the output's name in one step; and, on any failure or
// interruption, leave the output's name as it was and nothing behind.
//
//   the unfinished file ... register/forget, the interrupt handler's record
//   the old output ........ check_existing_output
//   the new file .......... create_output, write_bytes, commit_output,
//                           discard_output
#include <chrono>
#include <cstdio>
#include <cstring>

#include "system/safe_write_steps.h"

namespace {

// ---- The unfinished file ----------------------------------------------------

// The one record that outlives a call, because an interruption can come at
// any instant: the file that has its temporary name. It says so exactly while
// the name exists, and changes only while interruptions are held.
const NewFile* unfinished = nullptr;

// The file has just taken its temporary name (interruptions held).
void register_unfinished(NewFile& file, const char (&name)[temporary_name_size]) {
    std::memcpy(file.temporary_name, name, sizeof name);
    file.name = NewFileName::temporary;
    unfinished = &file;
}

// The file has just lost its temporary name (interruptions held).
void forget_unfinished(NewFile& file) {
    file.name = NewFileName::none;
    unfinished = nullptr;
}

// Gives the file a hidden name of its own beside the output, the first free
// one of a few tries, and records it for removal: a file not made yet is
// created under it, a nameless one linked to it. Anyone who may change the
// folder may rename or remove the name meanwhile, as they may the output
// itself; the file is still written only through its own handle.
bool take_temporary_name(NewFile& file) {
    // A name already taken is tried again with another a few times; a folder
    // where every try collides is treated as unwritable.
    constexpr int attempts = 8;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        char name[temporary_name_size];
        make_temporary_name(attempt, name);
        const InterruptsHeld held = hold_interrupts();
        const Claim claim = claim_name(file, name);
        if (claim == Claim::claimed) {
            register_unfinished(file, name);
        }
        release_interrupts(held);
        if (claim != Claim::taken) {
            return claim == Claim::claimed;
        }
    }
    return false;
}

// Renames the complete file into place, and forgets it in the same step.
bool put_in_place(NewFile& file) {
    const InterruptsHeld held = hold_interrupts();
    const bool renamed = rename_into_place(file);
    if (renamed) {
        forget_unfinished(file);
    }
    release_interrupts(held);
    return renamed;
}

// ---- The old output ---------------------------------------------------------

// What stands at the output's name decides whether it may be replaced, and
// what the new file takes over from it. The archive itself is never replaced
// by its own output, whatever names it has.
SaveStatus check_existing_output(NewFile& file) {
    OldOutput old;
    FileIdentity identity;
    SaveStatus status = SaveStatus::cannot_create;
    const Standing standing = look_at_output(file, old, identity);
    switch (standing) {
        case Standing::nothing:
        case Standing::link:
            status = SaveStatus::saved;
            break;
        case Standing::file:
        case Standing::other:
            if (same_file(identity, file.archive->identity) || !may_replace(file, old)) {
                break;
            }
            file.replaces_output = standing == Standing::file;
            status = !file.replaces_output || keep_metadata(file, old, file.kept)
                         ? SaveStatus::saved
                         : SaveStatus::cannot_write;
            break;
        case Standing::folder:
        case Standing::unknown:
            break;
    }
    stop_looking(old);
    return status;
}

}  // namespace

// ---- The new file -------------------------------------------------------------

void make_temporary_name(int attempt, char (&name)[temporary_name_size]) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto token = (static_cast<std::uint64_t>(ticks) + static_cast<std::uint64_t>(attempt)) *
                           0x9E3779B97F4A7C15u ^
                       reinterpret_cast<std::uintptr_t>(&ticks);
    std::snprintf(name, sizeof name, ".mapdown-%016llx.tmp",
                  static_cast<unsigned long long>(token));
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.file == b.file;
}

const NewFile* unfinished_file() {
    return unfinished;
}

SaveStatus create_output(const InputFile& archive, const std::string& output_name, NewFile& file) {
    std::string folder;
    split_path(output_name, folder, file.output_name);
    file.archive = &archive;
    SaveStatus status = check_existing_output(file);
    if (status == SaveStatus::saved && !create_nameless_file(file) && !take_temporary_name(file)) {
        status = SaveStatus::cannot_create;
    }
    if (status != SaveStatus::saved) {
        discard_output(file);  // what was kept of the old output goes too
    }
    return status;
}

bool write_bytes(ByteSink& sink, const void* bytes, std::size_t count) {
    for (const char* next = static_cast<const char*>(bytes); count > 0;) {
        const std::size_t written = write_some(sink.file, next, count);
        if (written == 0) {
            return false;
        }
        next += written;
        count -= written;
    }
    return true;
}

SaveStatus commit_output(NewFile& file) {
    SaveStatus status = SaveStatus::saved;
    if (!hand_on_metadata(file)) {
        status = SaveStatus::cannot_write;
    } else if (file.name == NewFileName::nameless && !file.replaces_output &&
               link_at_output_name(file)) {
        // Nothing stood at the output's name: the complete file simply
        // appears there, and goes again should its last bytes fail.
        file.name = NewFileName::none;
        if (!finish_writing(file)) {
            remove_output_name(file);
            status = SaveStatus::cannot_write;
        }
    } else if (file.name == NewFileName::nameless && !take_temporary_name(file)) {
        status = SaveStatus::cannot_put_in_place;
    } else if (!finish_writing(file)) {
        status = SaveStatus::cannot_write;
    } else if (!put_in_place(file)) {
        status = SaveStatus::cannot_put_in_place;
    }
    discard_output(file);  // whatever is left: the temporary name, the handle
    return status;
}

void discard_output(NewFile& file) {
    if (file.name == NewFileName::temporary) {
        const InterruptsHeld held = hold_interrupts();
        remove_temporary_name(file);
        forget_unfinished(file);
        release_interrupts(held);
    }
    file.name = NewFileName::none;
    close_new_file(file);
}
