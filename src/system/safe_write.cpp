// The order of a safe write, the same on every system: look at what stands
// at the output's name and decide whether it may be replaced and who the new
// file is for; create it without a name, or under a hidden one; write it;
// give it its owners and readers; give it the output's name in one step;
// and, on any failure or interruption, leave the output's name as it was
// and nothing behind.
//
//   the unfinished file ... the interrupt handler's record, the hidden name
//   the old output ........ check_existing_output
//   the new file .......... create_output, write_bytes, commit_output,
//                           discard_output
//
// The new file takes one of two roads. Where nothing stood at the output's
// name and the system makes nameless files: nameless, written, handed its
// readers, linked in. Otherwise: under a hidden name (made at once, or given
// to the nameless file once complete), written, handed its readers and what
// the old output kept, renamed over the output's name.
#include <chrono>
#include <cstdint>
#include <cstring>

#include "system/safe_write_steps.h"

namespace {

// ---- The unfinished file ----------------------------------------------------

// The one record that outlives a call, because an interruption can come at
// any instant: the file that has its temporary name. It says so exactly while
// the name exists, and changes only while interruptions are held.
const NewFile* unfinished = nullptr;

// The file has just taken its temporary name (interruptions held).
void now_temporary(NewFile& file, const char (&name)[temporary_name_size]) {
    std::memcpy(file.temporary_name, name, sizeof name);
    file.state = NewFileState::temporary;
    unfinished = &file;
}

// The file has just lost its temporary name (interruptions held).
void no_longer_temporary(NewFile& file, NewFileState state) {
    file.state = state;
    unfinished = nullptr;
}

const FileFacts* old_output(const NewFile& file) {
    return file.replaces_file ? &file.old : nullptr;
}

// Differs from call to call (the clock, the try) and process to process
// (where the stack lies).
std::uint64_t temporary_name_seed(int attempt) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return (static_cast<std::uint64_t>(ticks) + static_cast<std::uint64_t>(attempt)) ^
           reinterpret_cast<std::uintptr_t>(&ticks);
}

// Gives the file a hidden name of its own beside the output, the first free
// one of a few tries, and records it for removal: a file not made yet is
// created under it, a nameless one linked to it. Anyone who may change the
// folder may rename or remove the name meanwhile, as they may the output
// itself; the file is still written only through its own handle. A folder
// that would keep the name for good (append-only) is not written in.
bool take_temporary_name(NewFile& file) {
    if (!folder_lets_names_go(file)) {
        return false;
    }
    // A name already taken is tried again with another a few times; a folder
    // where every try collides is treated as unwritable.
    constexpr int attempts = 8;
    const unsigned mode = creation_mode(file.archive->facts, old_output(file), file.plan);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        char name[temporary_name_size];
        make_temporary_name(temporary_name_seed(attempt), "", name);
        const InterruptsHeld held = hold_interrupts();
        const Claim claim = file.state == NewFileState::nameless ? link_nameless(file, name)
                                                                 : create_named(file, name, mode);
        if (claim == Claim::claimed) {
            now_temporary(file, name);
        }
        release_interrupts(held);
        if (claim != Claim::taken) {
            return claim == Claim::claimed;
        }
    }
    return false;
}

// Where nothing stood at the output's name, the complete nameless file
// simply appears there, and goes again should its last bytes fail. Taken:
// something came since, and the file goes the other road.
Claim link_into_place(NewFile& file, SaveStatus& status) {
    const Claim claim = link_nameless(file, file.output_name.c_str());
    if (claim == Claim::claimed) {
        file.state = NewFileState::in_place;
        if (!finish_writing(file)) {
            remove_name(file, file.output_name.c_str());
            file.state = NewFileState::nothing_made;
            status = SaveStatus::cannot_write;
        }
    }
    return claim;
}

// Any other file is renamed from its hidden name over the output's, and
// forgotten in the same step.
SaveStatus rename_over_output(NewFile& file) {
    if (file.state == NewFileState::nameless && !take_temporary_name(file)) {
        return SaveStatus::cannot_put_in_place;
    }
    if (!finish_writing(file)) {
        return SaveStatus::cannot_write;
    }
    if (!keep_when_closed(file)) {
        return SaveStatus::cannot_put_in_place;
    }
    const InterruptsHeld held = hold_interrupts();
    const bool renamed = rename_into_place(file);
    if (renamed) {
        no_longer_temporary(file, NewFileState::in_place);
    }
    release_interrupts(held);
    return renamed ? SaveStatus::saved : SaveStatus::cannot_put_in_place;
}

// Gives the complete file its owner and group, then the ACL, then the
// permission bits, which narrow the ACL: each step after the one that would
// undo it.
bool hand_on_access(NewFile& file) {
    std::uint32_t owner = 0, group = 0, mode = 0;
    return set_ownership(file, file.plan.ownership, owner, group, mode) &&
           put_acl(file, file.plan.acl) &&
           set_mode(file, final_mode(file.archive->facts, old_output(file), file.plan, owner, group,
                                     mode));
}

// ---- The old output ---------------------------------------------------------

// What stands at the output's name decides whether it may be replaced. The
// archive itself is never replaced by its own output, whatever names it has.
SaveStatus check_existing_output(NewFile& file) {
    switch (look_at_output(file, file.old)) {
        case Standing::nothing:
        case Standing::link:
            return SaveStatus::saved;
        case Standing::file:
            file.replaces_file = true;
            [[fallthrough]];
        case Standing::other:
            return may_replace(file.archive->facts, file.old) ? SaveStatus::saved
                                                              : SaveStatus::cannot_create;
        case Standing::folder:
        case Standing::unknown:
            break;
    }
    return SaveStatus::cannot_create;
}

}  // namespace

// ---- The new file -------------------------------------------------------------

const NewFile* unfinished_file() {
    return unfinished;
}

SaveStatus create_output(const InputFile& archive, const std::string& output_name, NewFile& file) {
    std::string folder;
    split_path(output_name, folder, file.output_name);
    file.archive = &archive;
    SaveStatus status = check_existing_output(file);
    if (status == SaveStatus::saved) {
        // A fact that bounds who may read it, unread: no file is made.
        file.plan = plan_access(archive.facts, old_output(file), user_facts());
        status = file.plan.refused ? SaveStatus::cannot_write : SaveStatus::saved;
    }
    if (status == SaveStatus::saved &&
        !create_nameless(file, creation_mode(archive.facts, old_output(file), file.plan)) &&
        !take_temporary_name(file)) {
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
    if (!hand_on_access(file)) {
        status = SaveStatus::cannot_write;
    } else if (file.state != NewFileState::nameless || file.replaces_file) {
        status = rename_over_output(file);
    } else if (const Claim claim = link_into_place(file, status); claim == Claim::taken) {
        status = rename_over_output(file);
    } else if (claim == Claim::failed) {
        status = SaveStatus::cannot_put_in_place;
    }
    discard_output(file);  // whatever is left: the temporary name, the handle
    return status;
}

void discard_output(NewFile& file) {
    if (file.state == NewFileState::temporary) {
        // Should the name stay (the folder made read-only meanwhile), it
        // holds nothing of the map.
        empty_file(file);
        const InterruptsHeld held = hold_interrupts();
        remove_name(file, file.temporary_name);
        no_longer_temporary(file, NewFileState::nothing_made);
        release_interrupts(held);
    }
    close_new_file(file);
}
