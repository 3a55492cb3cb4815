// The file interface on POSIX systems: Linux, and (without Linux's nameless
// files, O_PATH, /proc and extended attributes) macOS and the BSDs.
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
// Linux looks at a name through an O_PATH handle, which reads nothing and
// runs no device's open, and reaches the file it holds through /proc.
#if defined(O_PATH) && !defined(MAPDOWN_POSIX_ONLY)
#define MAPDOWN_PATH_HANDLES 1
#include <sys/xattr.h>
#endif

namespace {

// How the output's folder is held open. O_PATH and O_SEARCH need no
// permission to read the folder, only to pass through it, as writing a file
// there does; a system with neither needs both, or holds the folder as its
// working folder.
#if defined(MAPDOWN_PATH_HANDLES)
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int folder_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#define MAPDOWN_FOLDER_NEEDS_READ 1
#endif

// The hidden name of the file being written, while it has one, for the
// signal handler to remove: the only state that outlives a call, because a
// signal can come at any instant. It is changed only while the handled
// signals are blocked.
struct Unfinished {
    int folder = -1;
    bool named = false;
    char name[temporary_name_size] = {};
};
Unfinished unfinished;

const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int signal_number) {
    if (unfinished.named) {
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

// The name under /proc by which the file open as `descriptor` is reached.
void descriptor_path(int descriptor, char (&path)[32]) {
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
}

#ifdef MAPDOWN_FOLDER_NEEDS_READ
// Set once the run could not go back to the working folder it began in: no
// relative name is then taken from the wrong folder.
bool working_folder_lost = false;

bool taken_from_lost_working_folder(const std::string& name) {
    return working_folder_lost && name[0] != '/';
}

// A folder its user may pass through and write but not read (a drop box), on
// a system that can hold such a folder open neither with O_PATH nor with
// O_SEARCH: it becomes the working folder, which needs only permission to
// pass through it, until the output is written. The working folder before is
// held open, to go back to; where it cannot be, the output is refused.
bool hold_as_working_folder(const std::string& path, OutputFolder& folder) {
    int previous = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (previous < 0 || chdir(path.c_str()) != 0) {
        close_descriptor(previous);
        return false;
    }
    folder.descriptor = AT_FDCWD;
    folder.previous_working_folder = previous;
    return true;
}
#endif

// Holds the output's folder, so that every later step acts in it, whatever
// is renamed meanwhile.
bool hold_folder(const std::string& path, OutputFolder& folder) {
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (taken_from_lost_working_folder(path)) {
        return false;
    }
#endif
    folder.descriptor = open(path.c_str(), folder_flags);
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (folder.descriptor < 0 && errno == EACCES) {
        return hold_as_working_folder(path, folder);
    }
#endif
    return folder.descriptor >= 0;
}

void release_folder(OutputFolder& folder) {
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (folder.previous_working_folder >= 0) {
        working_folder_lost = fchdir(folder.previous_working_folder) != 0 || working_folder_lost;
        close_descriptor(folder.previous_working_folder);
        folder.descriptor = -1;
    }
#endif
    close_descriptor(folder.descriptor);
}

// What stands at the output's name, looked at without following a link. On
// Linux it is held by an O_PATH handle, so that each later question is asked
// of that very file; elsewhere of the name in the folder held.
struct OldOutput {
    int handle = -1;
    char path[32] = {};  // the handle's name under /proc
    struct stat status {};
};

bool look_at_output(const NewFile& file, OldOutput& old) {
#ifdef MAPDOWN_PATH_HANDLES
    old.handle =
        openat(file.folder.descriptor, file.output_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    descriptor_path(old.handle, old.path);
    return old.handle >= 0 && fstat(old.handle, &old.status) == 0;
#else
    return fstatat(file.folder.descriptor, file.output_name.c_str(), &old.status,
                   AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

// Whether this user could write the old file directly, as the system decides
// it (permissions, ACLs, a read-only mount).
bool may_write(const NewFile& file, const OldOutput& old) {
#ifdef MAPDOWN_PATH_HANDLES
    const int asked = faccessat(AT_FDCWD, old.path, W_OK, AT_EACCESS);
    if (asked == 0 || errno != ENOENT) {
        return asked == 0;
    }
    // Without /proc the name is asked about, in the folder held.
#else
    (void)old;
#endif
    return faccessat(file.folder.descriptor, file.output_name.c_str(), W_OK, AT_EACCESS) == 0;
}

#ifdef MAPDOWN_PATH_HANDLES
constexpr char access_acl_attribute[] = "system.posix_acl_access";
#endif

// What the old file hands on. Its access ACL is read from the handle that was
// checked; a file system without ACLs (or a system without /proc) has none.
void hand_on(const OldOutput& old, ReplacedOutput& replaced) {
    replaced.present = true;
    replaced.owner = old.status.st_uid;
    replaced.group = old.status.st_gid;
    replaced.mode = old.status.st_mode & 07777;
#ifdef MAPDOWN_PATH_HANDLES
    const ssize_t size =
        getxattr(old.path, access_acl_attribute, replaced.access_acl, sizeof replaced.access_acl);
    replaced.access_acl_size = size > 0 ? static_cast<std::size_t>(size) : 0;
#endif
}

// What stands at the output's name decides whether it may be replaced, and
// what the new file inherits from it.
SaveStatus check_existing_output(NewFile& file, const FileIdentity& archive_only_copy) {
    OldOutput old;
    SaveStatus status = SaveStatus::saved;
    if (!look_at_output(file, old)) {
        status = errno == ENOENT ? SaveStatus::saved : SaveStatus::cannot_open;
    } else if (S_ISLNK(old.status.st_mode)) {
        // The link is replaced, never written through.
    } else if (S_ISDIR(old.status.st_mode) ||
               same_file(identity_of(old.status), archive_only_copy) || !may_write(file, old)) {
        status = SaveStatus::cannot_open;
    } else if (S_ISREG(old.status.st_mode)) {
        hand_on(old, file.replaced);
    }
    close_descriptor(old.handle);
    return status;
}

// Linux can create a file with no name at all, to be linked in once complete:
// nothing is left if the process dies before. Linking it needs /proc, which
// is asked about once a run.
bool create_nameless_file(NewFile& file, mode_t mode) {
#ifdef MAPDOWN_NAMELESS_FILES
    static int proc_reaches_descriptors = -1;  // not known yet
    if (proc_reaches_descriptors == 0) {
        return false;
    }
    file.descriptor = openat(file.folder.descriptor, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (file.descriptor < 0) {
        return false;
    }
    if (proc_reaches_descriptors < 0) {
        char self[32];
        descriptor_path(file.descriptor, self);
        proc_reaches_descriptors = access(self, F_OK) == 0;
    }
    if (proc_reaches_descriptors == 1) {
        file.name = NewFileName::nameless;
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
    return linkat(AT_FDCWD, self, file.folder.descriptor, name, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the file a hidden name of its own beside the output, the first free
// one of a few tries, and records it for removal: a file not made yet is
// created under it, a nameless one linked to it. Anyone who may change the
// output's folder may rename or remove the name meanwhile, as they may the
// output itself; the file is still written only through its descriptor.
bool take_temporary_name(NewFile& file, mode_t mode) {
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        char name[temporary_name_size];
        const SignalsHeld held = hold_signals();
        make_temporary_name(attempt, name);
        bool claimed = false;
        if (file.name == NewFileName::nameless) {
            claimed = link_nameless_file(file, name);
        } else {
            file.descriptor = openat(file.folder.descriptor, name,
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            claimed = file.descriptor >= 0;
        }
        if (claimed) {
            file.name = NewFileName::temporary;
            std::memcpy(file.temporary_name, name, sizeof name);
            unfinished.folder = file.folder.descriptor;
            std::memcpy(unfinished.name, name, sizeof name);
            unfinished.named = true;
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

// Sets the old file's access ACL on the new one. Where the old file had one,
// the file system keeps ACLs: a failure fails the file rather than widen who
// may use it. Where it had none, none that the new file took from its
// folder's default ACL stays either.
bool carry_over_access_acl(const NewFile& file) {
#ifdef MAPDOWN_PATH_HANDLES
    const ReplacedOutput& old = file.replaced;
    if (old.access_acl_size > 0) {
        return fsetxattr(file.descriptor, access_acl_attribute, old.access_acl, old.access_acl_size,
                         0) == 0;
    }
    return fremovexattr(file.descriptor, access_acl_attribute) == 0 || errno == ENODATA ||
           keeps_no_permissions(errno);
#else
    (void)file;
    return true;
#endif
}

// As a write into the old file would have kept them. The owner may be kept
// only by root; the group, by any of its members. A set-id bit carries over
// only with the owner or the group it belongs to, as `cp -p` does: another
// user's set-uid bit must never land on a file of ours. The mode comes after
// the owner, whose change clears the set-id bits; the ACL last, since it sets
// the permission bits it covers.
bool hand_on_to_new_file(const NewFile& file) {
    const ReplacedOutput& old = file.replaced;
    if (!old.present) {
        return true;
    }
    const bool both_kept = fchown(file.descriptor, old.owner, old.group) == 0;
    const bool group_kept =
        both_kept || fchown(file.descriptor, static_cast<uid_t>(-1), old.group) == 0;
    const bool owner_kept = both_kept || old.owner == geteuid();
    const mode_t dropped = (owner_kept ? 0 : S_ISUID) | (group_kept ? 0 : S_ISGID);
    return (fchmod(file.descriptor, old.mode & ~dropped) == 0 || keeps_no_permissions(errno)) &&
           carry_over_access_acl(file);
}

// Reads a regular file as a blocking descriptor: some network and FUSE file
// systems pass O_NONBLOCK on to their reads, which may then come back short.
// F_SETFL changes only the status flags, and of those the input was opened
// with O_NONBLOCK alone.
bool read_blocking(int descriptor) {
    return fcntl(descriptor, F_SETFL, 0) == 0;
}

// Whether a name leads to something that may be read as an archive.
InputStatus kind_of(const struct stat& status) {
    if (S_ISDIR(status.st_mode)) {
        return InputStatus::cannot_open;
    }
    return S_ISREG(status.st_mode) ? InputStatus::opened : InputStatus::not_regular_file;
}

// Opens the file that `name` led to when it was looked at, `status`, and only
// that file: without waiting, should a pipe be put there meanwhile.
int open_file_looked_at(const std::string& name, struct stat& status) {
    int descriptor = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened {};
    // fstat fails on the -1 of a failed open.
    if (fstat(descriptor, &opened) != 0 || !same_file(identity_of(opened), identity_of(status)) ||
        !read_blocking(descriptor)) {
        close_descriptor(descriptor);
        return -1;
    }
    status = opened;
    return descriptor;
}

// Opens the regular file that `name` leads to for reading, `status` its own.
// Linux holds the name by an O_PATH handle, checks it, and opens only a
// regular file for reading, through /proc: the very file that was checked.
// Elsewhere, and without /proc, the name is looked at first, and only a
// regular file is opened.
InputStatus open_regular_file(const std::string& name, struct stat& status, int& descriptor) {
#ifdef MAPDOWN_PATH_HANDLES
    const int handle = open(name.c_str(), O_PATH | O_CLOEXEC);
    if (handle < 0) {
        return InputStatus::cannot_open;
    }
    InputStatus kind = fstat(handle, &status) == 0 ? kind_of(status) : InputStatus::cannot_open;
    if (kind == InputStatus::opened) {
        char self[32];
        descriptor_path(handle, self);
        descriptor = open(self, O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (descriptor < 0 && errno == ENOENT) {  // no /proc
            descriptor = open_file_looked_at(name, status);
        }
        kind = descriptor >= 0 ? kind : InputStatus::cannot_open;
    }
    close(handle);
    return kind;
#else
    InputStatus kind =
        stat(name.c_str(), &status) == 0 ? kind_of(status) : InputStatus::cannot_open;
    if (kind == InputStatus::opened && (descriptor = open_file_looked_at(name, status)) < 0) {
        kind = InputStatus::cannot_open;
    }
    return kind;
#endif
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
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (taken_from_lost_working_folder(name)) {
        return InputStatus::cannot_open;
    }
#endif
    struct stat status {};
    int descriptor = -1;
    const InputStatus kind = open_regular_file(name, status, descriptor);
    if (kind != InputStatus::opened) {
        return kind;
    }
    input.size = static_cast<std::uint64_t>(status.st_size);
    input.only_copy = status.st_nlink == 1 ? identity_of(status) : FileIdentity{};
    input.reader.descriptor = descriptor;
    return InputStatus::opened;
}

bool read_archive_bytes(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                        std::size_t count) {
    // Offsets lie inside a file's size, so they fit off_t; a read that ends
    // early (the file shrank) or fails leaves the bytes incomplete.
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(archive.descriptor, bytes + done, count - done,
                                  static_cast<off_t>(offset + done));
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

void close_input_descriptor(int descriptor) {
    close(descriptor);
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    std::string folder;
    split_path(output_name, folder, file.output_name);
    if (!hold_folder(folder, file.folder)) {
        return SaveStatus::cannot_open;
    }
    SaveStatus status = check_existing_output(file, archive_only_copy);
    // While it is written, only its creator may read a file that replaces
    // another; it takes the old file's mode at the end. A new output gets
    // 0666 less the umask, as any new file does.
    const mode_t mode = file.replaced.present ? 0600 : 0666;
    if (status == SaveStatus::saved && !create_nameless_file(file, mode) &&
        !take_temporary_name(file, mode)) {
        status = SaveStatus::cannot_open;
    }
    if (status != SaveStatus::saved) {
        release_folder(file.folder);
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
    if (!hand_on_to_new_file(file)) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    if (file.name == NewFileName::nameless) {
        // Nothing at the output's name yet: the complete file simply appears
        // there.
        if (!file.replaced.present && link_nameless_file(file, file.output_name.c_str())) {
            const bool closed = close(file.descriptor) == 0;
            file.descriptor = -1;
            file.name = NewFileName::none;
            if (!closed) {
                unlinkat(file.folder.descriptor, file.output_name.c_str(), 0);
            }
            release_folder(file.folder);
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
    const bool renamed = renameat(file.folder.descriptor, file.temporary_name,
                                  file.folder.descriptor, file.output_name.c_str()) == 0;
    if (renamed) {
        file.name = NewFileName::none;
        unfinished.named = false;
    }
    release_signals(held);
    discard_output(file);  // removes the temporary name if it is still there
    return renamed ? SaveStatus::saved : SaveStatus::cannot_open;
}

void discard_output(NewFile& file) {
    close_descriptor(file.descriptor);
    if (file.name == NewFileName::temporary) {
        const SignalsHeld held = hold_signals();
        unlinkat(file.folder.descriptor, file.temporary_name, 0);
        unfinished.named = false;
        release_signals(held);
    }
    file.name = NewFileName::none;
    release_folder(file.folder);
}
