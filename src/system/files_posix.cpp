// The file interface on POSIX systems: Linux, and (without Linux's nameless
// files, O_PATH and /proc) macOS and the BSDs.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "system/files_platform.h"

// Built with MAPDOWN_POSIX_ONLY, the program uses only what every POSIX
// system has, as it would on macOS or a BSD; the tests run it so on Linux.
#if defined(O_TMPFILE) && !defined(MAPDOWN_POSIX_ONLY)
#define MAPDOWN_NAMELESS_FILES 1
#endif

namespace {

// How the output's folder is held open. O_PATH and O_SEARCH need no
// permission to read the folder, only to pass through it, as writing a file
// there does; a system with neither needs both.
#if defined(O_PATH) && !defined(MAPDOWN_POSIX_ONLY)
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int folder_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#define MAPDOWN_FOLDER_NEEDS_READ 1
#endif
#if defined(MAPDOWN_FOLDER_NEEDS_READ) && defined(MAPDOWN_NAMELESS_FILES)
#error "a nameless file is made in a folder held open"
#endif

// The hidden name of the file being written, if it has one yet, for the
// signal handler to remove: the only state that outlives a call, because a
// signal can come at any instant. It is changed only while the handled
// signals are blocked.
struct Unfinished {
    int folder = -1;
    char name[temporary_name_size] = {};
};
Unfinished unfinished;

const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int signal_number) {
    if (unfinished.name[0] != '\0') {
        unlinkat(unfinished.folder, unfinished.name, 0);  // async-signal-safe
    }
    // Ends the process by the same signal, so that the shell sees it.
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Holds the interrupt signals back while a name is made or moved and
// recorded, so that the handler never misses a name it should remove.
struct SignalsHeld {
    sigset_t previous;
};
SignalsHeld hold_signals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : interrupt_signals) {
        sigaddset(&held, signal_number);
    }
    SignalsHeld state;
    sigprocmask(SIG_BLOCK, &held, &state.previous);
    return state;
}
void release_signals(const SignalsHeld& state) {
    sigprocmask(SIG_SETMASK, &state.previous, nullptr);
}

FileIdentity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            true};
}

void close_descriptor(int& descriptor) {
    if (descriptor >= 0) {
        close(descriptor);
        descriptor = -1;
    }
}

// A folder this user may write but not list, on a system that cannot hold
// such a folder open (no O_PATH, no O_SEARCH): every name is then taken from
// its path afresh. Whoever could move the folder meanwhile could move the
// output too, and a hidden name can be renamed only from the folder it was
// made in. Nameless files, which need the folder held open, are not used.
bool use_folder_by_path(NewFile& file, const std::string& folder) {
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (errno == EACCES && folder.size() < temporary_name_size - temporary_name_room &&
        faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
        file.folder = AT_FDCWD;
        file.folder_path = folder == "/" ? folder : folder + "/";
        file.final_name = file.folder_path + file.final_name;
        return true;
    }
#else
    (void)file;
    (void)folder;
#endif
    return false;
}

// What stands at the output's name decides whether it may be replaced, and
// what the new file inherits from it.
SaveStatus check_existing_output(NewFile& file, const FileIdentity& archive_only_copy) {
    struct stat existing;
    if (fstatat(file.folder, file.final_name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? SaveStatus::saved : SaveStatus::cannot_open;
    }
    if (S_ISLNK(existing.st_mode)) {
        return SaveStatus::saved;  // the link is replaced, never written through
    }
    if (S_ISDIR(existing.st_mode) || same_file(identity_of(existing), archive_only_copy) ||
        faccessat(file.folder, file.final_name.c_str(), W_OK, AT_EACCESS) != 0) {
        return SaveStatus::cannot_open;
    }
    if (S_ISREG(existing.st_mode)) {
        file.keeps_old_owner = true;
        file.old_owner = existing.st_uid;
        file.old_group = existing.st_gid;
        file.old_mode = existing.st_mode & 07777;
    }
    return SaveStatus::saved;
}

// The name under /proc by which a file open as `descriptor` can be linked.
void descriptor_path(int descriptor, char (&path)[32]) {
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
}

// Linux can create a file with no name at all, to be linked in once complete:
// nothing is left if the process dies before. Linking it needs /proc.
bool create_nameless_file(NewFile& file, mode_t mode) {
#ifdef MAPDOWN_NAMELESS_FILES
    file.descriptor = openat(file.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (file.descriptor < 0) {
        return false;
    }
    char self[32];
    descriptor_path(file.descriptor, self);
    if (access(self, F_OK) == 0) {
        return true;
    }
    close_descriptor(file.descriptor);
#else
    (void)file;
    (void)mode;
#endif
    return false;
}

// Gives the nameless file `name` in the output's folder, in one step; fails
// when anything stands there.
bool link_nameless_file(const NewFile& file, const char* name) {
    char self[32];
    descriptor_path(file.descriptor, self);
    return linkat(AT_FDCWD, self, file.folder, name, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the file `name` in the output's folder, only if nothing stands there:
// a file not made yet is created under it, a nameless one is linked to it.
bool claim_name(NewFile& file, const char* name, mode_t mode) {
    if (file.descriptor >= 0) {
        return link_nameless_file(file, name);
    }
    file.descriptor =
        openat(file.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    return file.descriptor >= 0;
}

// Gives the file a hidden name of its own beside the output, the first free
// one of a few tries, and records it for removal. Anyone who may change the
// output's folder may rename or remove the name meanwhile, as they may the
// output itself; the file is still written only through its descriptor.
bool take_temporary_name(NewFile& file, mode_t mode) {
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        char name[temporary_name_size];
        const SignalsHeld held = hold_signals();
        make_temporary_name(file.folder_path, attempt, name);
        const bool claimed = claim_name(file, name, mode);
        if (claimed) {
            std::memcpy(file.temporary_name, name, sizeof name);
            unfinished.folder = file.folder;
            std::memcpy(unfinished.name, name, sizeof name);
        }
        release_signals(held);
        if (claimed) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// A file system without Unix permissions or owners (FAT, exFAT, NTFS through
// FUSE, many network mounts) refuses to change them: it decides them itself.
bool keeps_no_permissions(int error) {
    return error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

// As a write into the old file would have kept them. The owner may be kept
// only by root; the group, by any of its members. Mode last: a change of
// owner clears the set-id bits.
bool carry_over_owner_and_mode(const NewFile& file) {
    if (!file.keeps_old_owner) {
        return true;
    }
    if (fchown(file.descriptor, file.old_owner, file.old_group) != 0) {
        (void)!fchown(file.descriptor, static_cast<uid_t>(-1), file.old_group);
    }
    return fchmod(file.descriptor, file.old_mode) == 0 || keeps_no_permissions(errno);
}

// Reads a regular file as a blocking descriptor: some network and FUSE file
// systems pass O_NONBLOCK on to their reads, which may then come back short.
// F_SETFL changes only the status flags, and of those the input was opened
// with O_NONBLOCK alone.
bool read_blocking(int descriptor) {
    return fcntl(descriptor, F_SETFL, 0) == 0;
}

}  // namespace

void split_path(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

void remove_unfinished_output_on_interrupt() {
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the file-size limit then fails with EFBIG
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : interrupt_signals) {
        sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : interrupt_signals) {
        struct sigaction previous {};
        // A signal ignored by whoever started us (nohup, say) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

InputStatus open_input(const std::string& name, InputFile& input) {
    // O_NONBLOCK: opening a named pipe would otherwise wait for a writer (and
    // a serial port for its line); O_NOCTTY: a terminal never becomes ours.
    const int descriptor = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return InputStatus::cannot_open;
    }
    struct stat opened;
    if (fstat(descriptor, &opened) != 0 || S_ISDIR(opened.st_mode) ||
        (S_ISREG(opened.st_mode) && !read_blocking(descriptor))) {
        close(descriptor);
        return InputStatus::cannot_open;
    }
    if (!S_ISREG(opened.st_mode)) {
        close(descriptor);
        return InputStatus::not_regular_file;
    }
    input.size = static_cast<std::uint64_t>(opened.st_size);
    input.only_copy = opened.st_nlink == 1 ? identity_of(opened) : FileIdentity{};
    attach_stream(input, descriptor);
    return InputStatus::opened;
}

std::int64_t read_descriptor(int descriptor, char* bytes, std::size_t count) {
    for (;;) {
        const ssize_t got = read(descriptor, bytes, count);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

std::int64_t seek_descriptor(int descriptor, std::int64_t offset) {
    return lseek(descriptor, static_cast<off_t>(offset), SEEK_SET);
}

void close_input_descriptor(int descriptor) {
    close(descriptor);
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    std::string folder;
    split_path(output_name, folder, file.final_name);
    file.folder = open(folder.c_str(), folder_flags);
    if (file.folder < 0 && !use_folder_by_path(file, folder)) {
        return SaveStatus::cannot_open;
    }
    SaveStatus status = check_existing_output(file, archive_only_copy);
    // While it is written, only its creator may read a file that replaces
    // another; it takes the old file's mode at the end. A new output gets
    // 0666 less the umask, as any new file does.
    const mode_t mode = file.keeps_old_owner ? 0600 : 0666;
    if (status == SaveStatus::saved && !create_nameless_file(file, mode) &&
        !take_temporary_name(file, mode)) {
        status = SaveStatus::cannot_open;
    }
    if (status != SaveStatus::saved) {
        close_descriptor(file.folder);
    }
    return status;
}

bool write_output(NewFile& file, const void* bytes, std::size_t count) {
    const char* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t written = write(file.descriptor, next, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        next += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

SaveStatus commit_output(NewFile& file) {
    if (!carry_over_owner_and_mode(file)) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    if (file.temporary_name[0] == '\0') {
        // Nameless so far. Nothing at the output's name yet: the complete
        // file simply appears there.
        if (!file.keeps_old_owner && link_nameless_file(file, file.final_name.c_str())) {
            const bool closed = close(file.descriptor) == 0;
            file.descriptor = -1;
            if (!closed) {
                unlinkat(file.folder, file.final_name.c_str(), 0);
            }
            close_descriptor(file.folder);
            return closed ? SaveStatus::saved : SaveStatus::cannot_write;
        }
        if (!take_temporary_name(file, 0)) {
            discard_output(file);
            return SaveStatus::cannot_open;
        }
    }
    const bool closed = close(file.descriptor) == 0;
    file.descriptor = -1;
    if (!closed) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    const SignalsHeld held = hold_signals();
    const bool renamed =
        renameat(file.folder, file.temporary_name, file.folder, file.final_name.c_str()) == 0;
    if (renamed) {
        file.temporary_name[0] = '\0';
        unfinished.name[0] = '\0';
    }
    release_signals(held);
    discard_output(file);  // removes the temporary name if it is still there
    return renamed ? SaveStatus::saved : SaveStatus::cannot_open;
}

void discard_output(NewFile& file) {
    close_descriptor(file.descriptor);
    if (file.temporary_name[0] != '\0') {
        const SignalsHeld held = hold_signals();
        unlinkat(file.folder, file.temporary_name, 0);
        unfinished.name[0] = '\0';
        release_signals(held);
        file.temporary_name[0] = '\0';
    }
    close_descriptor(file.folder);
}
