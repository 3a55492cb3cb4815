// The file interface on POSIX systems: Linux, and (without Linux's nameless
// files, O_PATH, /proc and extended attributes) macOS and the BSDs.
//
//   interruptions ..... the ending signals, their handler, holding them back
//   folders ........... holding an archive's folder for its turn
//   archives .......... opening an archive within it, reading it
//   the old output .... looking at it, whether it may go, what it hands on
//   the new file ...... creating, naming, writing and handing on to it
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "system/read_some.h"
#include "system/safe_write_steps.h"

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

FileIdentity identity_of(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            true};
}

// ---- Interruptions ----------------------------------------------------------

// Every signal whose default action ends the process and that can be caught.
// SIGXFSZ is ignored instead: a write past the file-size limit then fails.
const int ending_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// The ending signals, the real-time ones (which also end a process) included.
sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : ending_signals) {
        sigaddset(&set, signal_number);
    }
#ifdef SIGRTMIN
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        sigaddset(&set, signal_number);
    }
#endif
    return set;
}

void on_ending_signal(int signal_number) {
    if (const NewFile* file = unfinished_file()) {
        unlinkat(file->archive->folder.descriptor, file->temporary_name, 0);  // async-signal-safe
    }
    // Ends the process by the same signal, so that the shell sees it.
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// ---- Folders --------------------------------------------------------------------

// How a folder is held open. O_PATH and O_SEARCH need no permission to read
// the folder, only to pass through it, as writing a file there does; a system
// with neither needs both, or holds the folder as its working folder.
#if defined(MAPDOWN_PATH_HANDLES)
constexpr int folder_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int folder_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#define MAPDOWN_FOLDER_NEEDS_READ 1
#endif

#ifdef MAPDOWN_FOLDER_NEEDS_READ
// Set once the run could not go back to the working folder it began in: no
// relative name is then taken from the wrong folder.
bool working_folder_lost = false;

// A folder its user may pass through and write but not read (a drop box), on
// a system that can hold such a folder open neither with O_PATH nor with
// O_SEARCH: it becomes the working folder, which needs only permission to
// pass through it, for the archive's turn. The working folder before is held
// open, to go back to; where it cannot be, the archive is skipped.
bool hold_as_working_folder(const std::string& path, HeldFolder& folder) {
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

// Holds the archive's folder, so that every later step acts in it, whatever
// is renamed meanwhile.
bool hold_folder(const std::string& path, HeldFolder& folder) {
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (working_folder_lost && path[0] != '/') {
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

void release_folder(HeldFolder& folder) {
#ifdef MAPDOWN_FOLDER_NEEDS_READ
    if (folder.previous_working_folder >= 0) {
        working_folder_lost = fchdir(folder.previous_working_folder) != 0 || working_folder_lost;
        close_descriptor(folder.previous_working_folder);
        folder.descriptor = -1;
    }
#endif
    close_descriptor(folder.descriptor);
}

// ---- Archives ---------------------------------------------------------------------

// Reads a regular file as a blocking descriptor: some network and FUSE file
// systems pass O_NONBLOCK on to their reads, which may then come back short.
// F_SETFL changes only the status flags, and of those the input was opened
// with O_NONBLOCK alone.
bool read_blocking(int descriptor) {
    return fcntl(descriptor, F_SETFL, 0) == 0;
}

// Whether a file of this kind may be read as an archive.
InputStatus input_status_of(const struct stat& status) {
    if (S_ISDIR(status.st_mode)) {
        return InputStatus::cannot_open;
    }
    return S_ISREG(status.st_mode) ? InputStatus::opened : InputStatus::not_regular_file;
}

// Opens `name` in the folder held for reading, without waiting (should a
// pipe be put there, or another program hold a lease on it), and only if it
// is still the file looked at, `status`.
int open_file_looked_at(const HeldFolder& folder, const std::string& name, int follow,
                        struct stat& status) {
    int descriptor = openat(folder.descriptor, name.c_str(),
                            O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | follow);
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

// Opens the regular file that `name` leads to in the folder held, `status`
// its own. Linux holds the name by an O_PATH handle, checks it, and opens
// only a regular file for reading, through /proc: the very file that was
// checked. Without /proc it opens the name again, but never through a link.
// Elsewhere the name is looked at first, and only a regular file is opened.
InputStatus open_regular_file(const HeldFolder& folder, const std::string& name,
                              struct stat& status, int& descriptor) {
#ifdef MAPDOWN_PATH_HANDLES
    const int handle = openat(folder.descriptor, name.c_str(), O_PATH | O_CLOEXEC);
    if (handle < 0) {
        return InputStatus::cannot_open;
    }
    InputStatus kind =
        fstat(handle, &status) == 0 ? input_status_of(status) : InputStatus::cannot_open;
    if (kind == InputStatus::opened) {
        char self[32];
        descriptor_path(handle, self);
        descriptor = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (descriptor < 0 && errno == ENOENT) {  // no /proc
            descriptor = open_file_looked_at(folder, name, O_NOFOLLOW, status);
        } else if (descriptor >= 0 && !read_blocking(descriptor)) {
            close_descriptor(descriptor);
        }
        kind = descriptor >= 0 ? kind : InputStatus::cannot_open;
    }
    close(handle);
    return kind;
#else
    InputStatus kind = fstatat(folder.descriptor, name.c_str(), &status, 0) == 0
                           ? input_status_of(status)
                           : InputStatus::cannot_open;
    if (kind == InputStatus::opened &&
        (descriptor = open_file_looked_at(folder, name, 0, status)) < 0) {
        kind = InputStatus::cannot_open;
    }
    return kind;
#endif
}

// ---- The old output -----------------------------------------------------------------

#ifdef MAPDOWN_PATH_HANDLES
constexpr char access_acl_attribute[] = "system.posix_acl_access";
#endif

// ---- The new file -------------------------------------------------------------------

// A file system without Unix permissions or owners (FAT, exFAT, NTFS through
// FUSE, many network mounts) refuses to change them: it decides them itself.
bool keeps_no_permissions(int error) {
    return error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

// The permission bits of group and others that no output may have: all of
// a class that may not read the archive. No output shows more than its
// archive did.
mode_t withheld_by_archive(const NewFile& file) {
    const unsigned archive = file.archive->access.mode;
    return ((archive & S_IRGRP) != 0 ? 0 : S_IRGRP | S_IWGRP) |
           ((archive & S_IROTH) != 0 ? 0 : S_IROTH | S_IWOTH);
}

// The permission bits a new file is created with. While it is written, only
// its creator may read a file that replaces another: it takes the old file's
// bits at the end. A new output gets 0666 less the umask, as any new file
// does, less what the archive withholds.
mode_t creation_mode(const NewFile& file) {
    return file.replaces_output ? 0600 : 0666 & ~withheld_by_archive(file);
}

// Sets the old file's access ACL on the new one. Where the old file had one,
// the file system keeps ACLs: a failure fails the file rather than widen who
// may use it. Where it had none, none that the new file took from its
// folder's default ACL stays either.
bool carry_over_access_acl(const NewFile& file) {
#ifdef MAPDOWN_PATH_HANDLES
    const KeptMetadata& old = file.kept;
    if (old.access_acl_size > 0) {
        return fsetxattr(file.open.descriptor, access_acl_attribute, old.access_acl,
                         old.access_acl_size, 0) == 0;
    }
    return fremovexattr(file.open.descriptor, access_acl_attribute) == 0 || errno == ENODATA ||
           keeps_no_permissions(errno);
#else
    (void)file;
    return true;
#endif
}

// Gives the nameless file `name` in the output's folder, in one step; fails
// when anything stands there.
bool link_nameless_file(const NewFile& file, const char* name) {
    char self[32];
    descriptor_path(file.open.descriptor, self);
    return linkat(AT_FDCWD, self, file.archive->folder.descriptor, name, AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

// ---- Interruptions ----------------------------------------------------------

void remove_unfinished_output_on_interrupt() {
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    action.sa_mask = ending_signal_set();
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction previous {};
        // A signal ignored by whoever started us (nohup, say) stays ignored.
        if (sigismember(&action.sa_mask, signal_number) == 1 &&
            sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

InterruptsHeld hold_interrupts() {
    const sigset_t held = ending_signal_set();
    InterruptsHeld state;
    sigprocmask(SIG_BLOCK, &held, &state.previous);
    return state;
}

void release_interrupts(const InterruptsHeld& held) {
    sigprocmask(SIG_SETMASK, &held.previous, nullptr);
}

// ---- Folders and archives -------------------------------------------------------

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

InputStatus open_input(const std::string& name, InputFile& input) {
    std::string folder, name_in_folder;
    split_path(name, folder, name_in_folder);
    if (!hold_folder(folder, input.folder)) {
        return InputStatus::cannot_open;
    }
    struct stat status {};
    int descriptor = -1;
    const InputStatus kind = open_regular_file(input.folder, name_in_folder, status, descriptor);
    if (kind != InputStatus::opened) {
        release_folder(input.folder);
        return kind;
    }
    input.size = static_cast<std::uint64_t>(status.st_size);
    input.identity = identity_of(status);
    input.access.mode = status.st_mode & 0777;
    input.reader.descriptor = descriptor;
    return InputStatus::opened;
}

std::size_t read_some(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                      std::size_t count) {
    // Offsets lie inside a file's size, so they fit off_t.
    for (;;) {
        const ssize_t got = pread(archive.descriptor, bytes, count, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) {
            return got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }
}

std::uint64_t data_at_or_after(ArchiveReader& archive, std::uint64_t offset) {
#ifdef SEEK_DATA
    // ENXIO: nothing but a hole from there to the end; any other failure:
    // the file system cannot tell.
    const off_t data = lseek(archive.descriptor, static_cast<off_t>(offset), SEEK_DATA);
    if (data < 0 && errno == ENXIO) {
        return UINT64_MAX;
    }
    return data >= 0 ? static_cast<std::uint64_t>(data) : offset;
#else
    (void)archive;
    return offset;
#endif
}

void close_archive(InputFile& input) {
    close_descriptor(input.reader.descriptor);
}

void close_input(InputFile& input) {
    close_archive(input);
    release_folder(input.folder);
}

// ---- The old output -----------------------------------------------------------------

Standing look_at_output(const NewFile& file, OldOutput& old, FileIdentity& identity) {
    const int folder = file.archive->folder.descriptor;
#ifdef MAPDOWN_PATH_HANDLES
    old.handle = openat(folder, file.output_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    descriptor_path(old.handle, old.path);
    const bool looked = old.handle >= 0 && fstat(old.handle, &old.status) == 0;
#else
    const bool looked =
        fstatat(folder, file.output_name.c_str(), &old.status, AT_SYMLINK_NOFOLLOW) == 0;
#endif
    if (!looked) {
        return errno == ENOENT ? Standing::nothing : Standing::unknown;
    }
    identity = identity_of(old.status);
    const mode_t kind = old.status.st_mode;
    return S_ISLNK(kind)   ? Standing::link
           : S_ISDIR(kind) ? Standing::folder
           : S_ISREG(kind) ? Standing::file
                           : Standing::other;
}

bool may_replace(const NewFile& file, const OldOutput& old) {
#ifdef MAPDOWN_PATH_HANDLES
    const int asked = faccessat(AT_FDCWD, old.path, W_OK, AT_EACCESS);
    if (asked == 0 || errno != ENOENT) {
        return asked == 0;
    }
    // Without /proc the name is asked about, in the folder held.
#else
    (void)old;
#endif
    return faccessat(file.archive->folder.descriptor, file.output_name.c_str(), W_OK, AT_EACCESS) ==
           0;
}

// The old file's access ACL is read from the handle that was checked; a file
// system without ACLs has none. Without /proc it is read through the old
// file opened again, never through a link, without waiting, and only if it
// is still the file checked; where that cannot be, the old file, which may
// have an ACL, is not replaced.
bool keep_metadata(const NewFile& file, const OldOutput& old, KeptMetadata& kept) {
    kept.owner = old.status.st_uid;
    kept.group = old.status.st_gid;
    kept.mode = old.status.st_mode & 07777;
#ifdef MAPDOWN_PATH_HANDLES
    ssize_t size =
        getxattr(old.path, access_acl_attribute, kept.access_acl, sizeof kept.access_acl);
    if (size < 0 && errno == ENOENT) {  // no /proc
        struct stat status = old.status;
        int descriptor =
            open_file_looked_at(file.archive->folder, file.output_name, O_NOFOLLOW, status);
        if (descriptor < 0) {
            return false;
        }
        size = fgetxattr(descriptor, access_acl_attribute, kept.access_acl, sizeof kept.access_acl);
        close_descriptor(descriptor);
    }
    kept.access_acl_size = size > 0 ? static_cast<std::size_t>(size) : 0;
    return true;
#else
    (void)file;
    return true;
#endif
}

void stop_looking(OldOutput& old) {
    close_descriptor(old.handle);
}

// ---- The new file -------------------------------------------------------------------

// Linux can create a file with no name at all, to be linked in once complete:
// nothing is left if the process dies before. Linking it needs /proc, which
// is asked about once a run.
bool create_nameless_file(NewFile& file) {
#ifdef MAPDOWN_NAMELESS_FILES
    static int proc_reaches_descriptors = -1;  // not known yet
    if (proc_reaches_descriptors == 0) {
        return false;
    }
    int& descriptor = file.open.descriptor;
    descriptor = openat(file.archive->folder.descriptor, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC,
                        creation_mode(file));
    if (descriptor < 0) {
        return false;
    }
    if (proc_reaches_descriptors < 0) {
        char self[32];
        descriptor_path(descriptor, self);
        proc_reaches_descriptors = access(self, F_OK) == 0;
    }
    if (proc_reaches_descriptors == 1) {
        file.name = NewFileName::nameless;
        return true;
    }
    close_descriptor(descriptor);
#else
    (void)file;
#endif
    return false;
}

Claim claim_name(NewFile& file, const char* name) {
    bool claimed = false;
    if (file.name == NewFileName::nameless) {
        claimed = link_nameless_file(file, name);
    } else {
        file.open.descriptor =
            openat(file.archive->folder.descriptor, name,
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, creation_mode(file));
        claimed = file.open.descriptor >= 0;
    }
    return claimed ? Claim::claimed : errno == EEXIST ? Claim::taken : Claim::failed;
}

std::size_t write_some(NewFile& file, const void* bytes, std::size_t count) {
    for (;;) {
        const ssize_t written = write(file.open.descriptor, bytes, count);
        if (written >= 0 || errno != EINTR) {
            return written > 0 ? static_cast<std::size_t>(written) : 0;
        }
    }
}

// As a write into the old file would have kept them. The owner may be kept
// only by root; the group, by any of its members. A set-id bit carries over
// only with the owner or the group it belongs to, as `cp -p` does: another
// user's set-uid bit must never land on a file of ours; and the group's
// rights go with a group not kept, so that no other group gains them. The
// archive's readers bound the rest. The mode comes after the owner, whose
// change clears the set-id bits; the ACL last, since it sets the permission
// bits it covers.
bool hand_on_metadata(const NewFile& file) {
    if (!file.replaces_output) {
        return true;
    }
    const KeptMetadata& old = file.kept;
    const int descriptor = file.open.descriptor;
    const bool both_kept = fchown(descriptor, old.owner, old.group) == 0;
    const bool group_kept = both_kept || fchown(descriptor, static_cast<uid_t>(-1), old.group) == 0;
    const bool owner_kept = both_kept || old.owner == geteuid();
    const mode_t dropped = (owner_kept ? 0 : S_ISUID) | (group_kept ? 0 : S_ISGID | S_IRWXG) |
                           withheld_by_archive(file);
    return (fchmod(descriptor, old.mode & ~dropped) == 0 || keeps_no_permissions(errno)) &&
           carry_over_access_acl(file);
}

bool link_at_output_name(const NewFile& file) {
    return link_nameless_file(file, file.output_name.c_str());
}

void remove_output_name(const NewFile& file) {
    unlinkat(file.archive->folder.descriptor, file.output_name.c_str(), 0);
}

// Closing is where some network file systems report a write that failed.
bool finish_writing(NewFile& file) {
    const bool closed = close(file.open.descriptor) == 0;
    file.open.descriptor = -1;
    return closed;
}

bool rename_into_place(const NewFile& file) {
    const int folder = file.archive->folder.descriptor;
    return renameat(folder, file.temporary_name, folder, file.output_name.c_str()) == 0;
}

void remove_temporary_name(const NewFile& file) {
    unlinkat(file.archive->folder.descriptor, file.temporary_name, 0);
}

void close_new_file(NewFile& file) {
    close_descriptor(file.open.descriptor);
}
