// The file interface on POSIX systems: Linux, and (without Linux's nameless
// files, O_PATH, /proc and extended attributes) macOS and the BSDs. It
// reports what it sees and carries out what safe_write.cpp and
// new_file_access.cpp decide.
//
//   beyond POSIX ....... Linux's own calls, where the system has them
//   what it can do ..... the abilities probed once, and helpers of every part
//   interruptions ...... the ending signals, their handler, holding them back
//   folders ............ holding an archive's folder for its turn
//   facts .............. a file's owners, bits and ACL, the user's groups
//   archives ........... opening an archive within its folder, reading it
//   the old output ..... looking at it, whether its name is its own
//   the new file ....... creating, naming, writing and handing on to it
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats/little_endian.h"
#include "system/read_some.h"
#include "system/safe_write_steps.h"

// ---- Beyond POSIX -----------------------------------------------------------

// Built with MAPDOWN_POSIX_ONLY, the program uses only what every POSIX
// system has, as it would on macOS or a BSD; the tests run it so on Linux.
// Elsewhere the ACL calls fail as on a file system without ACLs. Each
// function stands once, whatever the system, the calls it makes inside it.
#if defined(__linux__) && !defined(MAPDOWN_POSIX_ONLY)
#define MAPDOWN_LINUX_CALLS 1
#include <sys/xattr.h>
constexpr int path_handle_flag = O_PATH;  // looks at a name; reads nothing, runs no device's open
constexpr int nameless_flag = O_TMPFILE;
#else
constexpr int path_handle_flag = 0, nameless_flag = 0;
#endif
#ifdef O_SEARCH
constexpr int search_flag = O_SEARCH;
#else
constexpr int search_flag = 0;
#endif

namespace {

constexpr char access_acl_name[] = "system.posix_acl_access";

// Through `path` where there is one, else through `descriptor`.
ssize_t get_access_acl(const char* path, int descriptor, char* bytes, std::size_t size) {
#ifdef MAPDOWN_LINUX_CALLS
    return path != nullptr ? getxattr(path, access_acl_name, bytes, size)
                           : fgetxattr(descriptor, access_acl_name, bytes, size);
#else
    (void)path, (void)descriptor, (void)bytes, (void)size;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// Sets `acl` as the file's access ACL; an empty one removes it, where the
// file has one (removing none still rewrites the file's status on disk).
int put_access_acl(int descriptor, const std::string& acl) {
#ifdef MAPDOWN_LINUX_CALLS
    if (acl.empty()) {
        return fgetxattr(descriptor, access_acl_name, nullptr, 0) < 0
                   ? -1
                   : fremovexattr(descriptor, access_acl_name);
    }
    return fsetxattr(descriptor, access_acl_name, acl.data(), acl.size(), 0);
#else
    (void)descriptor, (void)acl;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// Linux tells the attribute through statx, the BSDs and macOS in the
// status; elsewhere it is not known.
bool is_append_only(int folder) {
#if defined(MAPDOWN_LINUX_CALLS)
    struct statx status {};
    return statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) == 0 &&
           (status.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#elif defined(UF_APPEND)
    struct stat status {};
    return fstatat(folder, ".", &status, 0) == 0 &&
           (status.st_flags & (UF_APPEND | SF_APPEND | UF_IMMUTABLE | SF_IMMUTABLE)) != 0;
#else
    (void)folder;
    return false;
#endif
}

}  // namespace

// ---- What it can do ---------------------------------------------------------

namespace {

// What the build's system has, known when it is built.
constexpr bool path_handles = path_handle_flag != 0;  // O_PATH
// O_PATH or O_SEARCH need only permission to pass through a folder; a system
// with neither needs read too, or holds a drop box as the working folder.
constexpr int passing_flag = path_handles ? path_handle_flag : search_flag;
constexpr int folder_flags =
    (passing_flag != 0 ? passing_flag : O_RDONLY) | O_DIRECTORY | O_CLOEXEC;
constexpr bool folders_read = passing_flag == 0;

// What the running system has, probed once, before the run.
struct Abilities {
    bool proc;      // /proc/self/fd reaches the file a descriptor holds
    bool nameless;  // O_TMPFILE, linked in through /proc
};

Abilities probe_abilities() {
    Abilities found{};
    found.proc = path_handles && access("/proc/self/fd", F_OK) == 0;
    found.nameless = nameless_flag != 0 && found.proc;
    return found;
}

const Abilities abilities = probe_abilities();

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

// A file system without Unix permissions or owners (FAT, exFAT, NTFS through
// FUSE, many network mounts) refuses to change them: it decides them itself.
bool keeps_no_permissions(int error) {
    return error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
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

}  // namespace

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

// ---- Folders --------------------------------------------------------------------

namespace {

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

// Holds the archive's folder, so that every later step acts in it, whatever
// is renamed meanwhile.
bool hold_folder(const std::string& path, HeldFolder& folder) {
    if (working_folder_lost && path[0] != '/') {
        return false;
    }
    folder.descriptor = open(path.c_str(), folder_flags);
    if constexpr (folders_read) {
        if (folder.descriptor < 0 && errno == EACCES) {
            return hold_as_working_folder(path, folder);
        }
    }
    return folder.descriptor >= 0;
}

void release_folder(HeldFolder& folder) {
    if (folder.previous_working_folder >= 0) {
        working_folder_lost = fchdir(folder.previous_working_folder) != 0 || working_folder_lost;
        close_descriptor(folder.previous_working_folder);
        folder.descriptor = -1;
    }
    close_descriptor(folder.descriptor);
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

// ---- Facts ------------------------------------------------------------------------

namespace {

void note_status(const struct stat& status, FileFacts& facts) {
    facts.identity = identity_of(status);
    facts.has_owners = true;
    facts.owner = status.st_uid;
    facts.group = status.st_gid;
    facts.mode = status.st_mode & 07777;
    facts.owner_reads = (status.st_mode & S_IRUSR) != 0;
    facts.group_reads = (status.st_mode & S_IRGRP) != 0;
    facts.others_read = (status.st_mode & S_IROTH) != 0;
}

// What an access ACL, as Linux stores it, says beyond the bits: whether the
// owning group may read through the mask, and whether it names anyone who
// may. Version 2, then entries of a tag, permissions and an id.
void note_acl(const std::string& acl, FileFacts& facts) {
    constexpr unsigned named_user = 0x02, owning_group = 0x04, named_group = 0x08, mask = 0x10;
    constexpr unsigned read = 4;
    bool group_reads = false, named_read = false, mask_reads = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(acl.data());
    for (std::size_t at = 4; at + 8 <= acl.size(); at += 8) {
        const unsigned tag = load_le<std::uint16_t>(bytes + at);
        const bool reads = (load_le<std::uint16_t>(bytes + at + 2) & read) != 0;
        group_reads |= tag == owning_group && reads;
        named_read |= (tag == named_user || tag == named_group) && reads;
        mask_reads = tag == mask ? reads : mask_reads;
    }
    facts.acl = AclFact::present;
    facts.group_reads = group_reads && mask_reads;
    facts.names_readers = named_read && mask_reads;
}

// Reads a file's access ACL into `acl`, through `path` or `descriptor`, and
// notes it: a file system without ACLs has none; any other failure leaves it
// unread, and the file's readers unknown.
void read_acl(const char* path, int descriptor, std::string& acl, FileFacts& facts) {
    ssize_t size = get_access_acl(path, descriptor, nullptr, 0);
    if (size > 0) {
        acl.resize(static_cast<std::size_t>(size));
        size = get_access_acl(path, descriptor, &acl[0], acl.size());
    }
    if (size > 0) {
        acl.resize(static_cast<std::size_t>(size));
        note_acl(acl, facts);
    } else if (size < 0 && errno != ENODATA && errno != EOPNOTSUPP) {
        facts.acl = AclFact::unreadable;
    }
}

}  // namespace

// Read once: a run's user and groups stay as they were when it started.
UserFacts user_facts() {
    static const UserFacts facts = [] {
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
        groups.resize(static_cast<std::size_t>(
            std::max(getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
        UserFacts user{geteuid(), geteuid() == 0, {getegid()}};
        user.groups.insert(user.groups.end(), groups.begin(), groups.end());
        return user;
    }();
    return facts;
}

// ---- Archives ---------------------------------------------------------------------

namespace {

// Reads a regular file as a blocking descriptor: some network and FUSE file
// systems pass O_NONBLOCK on to their reads, which may then come back short.
// F_SETFL changes only the status flags, and of those the input was opened
// with O_NONBLOCK alone.
bool read_blocking(int descriptor) {
    return fcntl(descriptor, F_SETFL, 0) == 0;
}

// Whether a file of this kind may be read as an archive.
InputStatus input_status_of(const struct stat& status) {
    if (S_ISDIR(status.st_mode) || S_ISLNK(status.st_mode)) {
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

// Where `name` in the folder held leads: to itself (never through a link put
// there meanwhile: `follow` is O_NOFOLLOW), or, for a link of the user's own
// or root's, to what it names (`target`). A link that another user made is
// not followed, as the kernel follows none in a shared sticky folder: its
// archive may lie in a folder that kept them out. `status` is what the name
// leads to.
bool resolve_link(const HeldFolder& folder, const std::string& name, std::string& target,
                  int& follow, struct stat& status) {
    struct stat link {};
    if (fstatat(folder.descriptor, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    target = name;
    follow = O_NOFOLLOW;
    status = link;
    if (!S_ISLNK(link.st_mode)) {
        return true;
    }
    if (link.st_uid != geteuid() && link.st_uid != 0) {
        return false;
    }
    char text[PATH_MAX];
    const ssize_t length = readlinkat(folder.descriptor, name.c_str(), text, sizeof text);
    struct stat again {};
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text ||
        fstatat(folder.descriptor, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(identity_of(again), identity_of(link))) {
        return false;
    }
    target.assign(text, static_cast<std::size_t>(length));
    follow = 0;
    return fstatat(folder.descriptor, target.c_str(), &status, 0) == 0;
}

// Opens the regular file that `name` leads to in the folder held, `status`
// its own. Linux holds it by an O_PATH handle, checks it, and opens only a
// regular file for reading, through /proc: the very file that was checked;
// without /proc it opens the name again, but never through a link.
// Elsewhere the name is looked at first, and only a regular file is opened.
InputStatus open_regular_file(const HeldFolder& folder, const std::string& name,
                              struct stat& status, int& descriptor) {
    std::string target;
    int follow = O_NOFOLLOW;
    if (!resolve_link(folder, name, target, follow, status)) {
        return InputStatus::cannot_open;
    }
    if constexpr (!path_handles) {
        InputStatus kind = input_status_of(status);
        if (kind == InputStatus::opened &&
            (descriptor = open_file_looked_at(folder, target, follow, status)) < 0) {
            kind = InputStatus::cannot_open;
        }
        return kind;
    } else {
        int handle =
            openat(folder.descriptor, target.c_str(), path_handle_flag | O_CLOEXEC | follow);
        InputStatus kind = handle >= 0 && fstat(handle, &status) == 0 ? input_status_of(status)
                                                                      : InputStatus::cannot_open;
        if (kind == InputStatus::opened && abilities.proc) {
            char self[32];
            descriptor_path(handle, self);
            descriptor = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (descriptor >= 0 && !read_blocking(descriptor)) {
                close_descriptor(descriptor);
            }
        } else if (kind == InputStatus::opened) {
            descriptor = open_file_looked_at(folder, name, O_NOFOLLOW, status);
        }
        close_descriptor(handle);
        return kind == InputStatus::opened && descriptor < 0 ? InputStatus::cannot_open : kind;
    }
}

}  // namespace

InputStatus open_input(const std::string& name, InputFile& input) {
    std::string folder, name_in_folder;
    split_path(name, folder, name_in_folder);
    if (!hold_folder(folder, input.folder)) {
        return InputStatus::cannot_open;
    }
    struct stat status {};
    const InputStatus kind =
        open_regular_file(input.folder, name_in_folder, status, input.reader.descriptor);
    if (kind != InputStatus::opened) {
        release_folder(input.folder);
        return kind;
    }
    input.size = static_cast<std::uint64_t>(status.st_size);
    note_status(status, input.facts);
    read_acl(nullptr, input.reader.descriptor, input.acl.access_acl, input.facts);
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

namespace {

// The name with the case of each ASCII letter turned.
std::string other_case(const std::string& name) {
    std::string turned = name;
    for (char& c : turned) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return turned;
}

bool same_up_to_case(const char* a, const std::string& b) {
    return strcasecmp(a, b.c_str()) == 0;
}

// Whether `name` is the file's own name in the folder held, up to letter
// case, and not a short alias that a case-blind file system (FAT, NTFS, SMB)
// gives another file. A folder that tells case apart has no such aliases;
// in one that does not, the name must be in the folder's listing.
bool name_is_own(int folder, const std::string& name, const FileIdentity& identity) {
    struct stat turned {};
    if (fstatat(folder, other_case(name).c_str(), &turned, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (!same_file(identity_of(turned), identity)) {
        return true;
    }
    int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = fdopendir(listing);  // fails on the -1 of a failed open
    if (entries == nullptr) {
        close_descriptor(listing);
        return false;
    }
    bool own = false;
    while (const dirent* entry = readdir(entries)) {
        struct stat listed {};
        if (same_up_to_case(entry->d_name, name) &&
            fstatat(dirfd(entries), entry->d_name, &listed, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(identity_of(listed), identity)) {
            own = true;
            break;
        }
    }
    closedir(entries);
    return own;
}

// Whether this user may write the file, as the system decides it: asked of
// the file held through /proc, else of its name.
bool may_write(const NewFile& file, const char* held) {
    return held != nullptr ? faccessat(AT_FDCWD, held, W_OK, AT_EACCESS) == 0
                           : faccessat(file.archive->folder.descriptor, file.output_name.c_str(),
                                       W_OK, AT_EACCESS) == 0;
}

// The old file's access ACL, read from the handle that was checked. Without
// /proc it is read through the old file opened again, never through a link,
// without waiting, and only if it is still the file checked; where that
// cannot be, it is unread.
void read_old_acl(NewFile& file, const char* held, const struct stat& status, FileFacts& facts) {
    if (!path_handles || held != nullptr) {
        read_acl(held, -1, file.kept.access_acl, facts);
        return;
    }
    struct stat looked = status;
    int descriptor =
        open_file_looked_at(file.archive->folder, file.output_name, O_NOFOLLOW, looked);
    if (descriptor < 0) {
        facts.acl = AclFact::unreadable;
        return;
    }
    read_acl(nullptr, descriptor, file.kept.access_acl, facts);
    close_descriptor(descriptor);
}

}  // namespace

// Linux holds what stands at the name by an O_PATH handle and asks each
// question of that very file, through /proc; elsewhere, of the name in the
// folder held.
Standing look_at_output(NewFile& file, FileFacts& facts) {
    const int folder = file.archive->folder.descriptor;
    struct stat status {};
    int handle = -1;
    bool looked = false;
    if constexpr (path_handles) {
        handle =
            openat(folder, file.output_name.c_str(), path_handle_flag | O_NOFOLLOW | O_CLOEXEC);
        looked = handle >= 0 && fstat(handle, &status) == 0;
    } else {
        looked = fstatat(folder, file.output_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    }
    if (!looked) {
        const bool none = errno == ENOENT;
        close_descriptor(handle);
        return none ? Standing::nothing : Standing::unknown;
    }
    const mode_t kind = status.st_mode;
    const Standing standing = S_ISLNK(kind)   ? Standing::link
                              : S_ISDIR(kind) ? Standing::folder
                              : S_ISREG(kind) ? Standing::file
                                              : Standing::other;
    if (standing == Standing::file || standing == Standing::other) {
        char path[32];
        descriptor_path(handle, path);
        const char* held = abilities.proc ? path : nullptr;
        note_status(status, facts);
        facts.writable = may_write(file, held);
        facts.own_name = name_is_own(folder, file.output_name, facts.identity);
        if (standing == Standing::file) {
            read_old_acl(file, held, status, facts);
        }
    }
    close_descriptor(handle);
    return standing;
}

// A hidden name can be removed from a folder only where it is not
// append-only (nor immutable).
bool folder_lets_names_go(const NewFile& file) {
    return !is_append_only(file.archive->folder.descriptor);
}

// ---- The new file -------------------------------------------------------------------

namespace {

int new_descriptor(const NewFile& file) {
    return file.open.descriptor;
}

}  // namespace

// Linux can create a file with no name at all, to be linked in once complete:
// nothing is left if the process dies before.
bool create_nameless(NewFile& file, unsigned mode) {
    if (!abilities.nameless) {
        return false;
    }
    file.open.descriptor = openat(file.archive->folder.descriptor, ".",
                                  nameless_flag | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
    file.state = file.open.descriptor >= 0 ? NewFileState::nameless : file.state;
    return file.open.descriptor >= 0;
}

Claim create_named(NewFile& file, const char* name, unsigned mode) {
    file.open.descriptor =
        openat(file.archive->folder.descriptor, name,
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    return file.open.descriptor >= 0 ? Claim::claimed
           : errno == EEXIST         ? Claim::taken
                                     : Claim::failed;
}

Claim link_nameless(NewFile& file, const char* name) {
    char self[32];
    descriptor_path(new_descriptor(file), self);
    if (linkat(AT_FDCWD, self, file.archive->folder.descriptor, name, AT_SYMLINK_FOLLOW) == 0) {
        return Claim::claimed;
    }
    return errno == EEXIST ? Claim::taken : Claim::failed;
}

std::size_t write_some(NewFile& file, const void* bytes, std::size_t count) {
    for (;;) {
        const ssize_t written = write(new_descriptor(file), bytes, count);
        if (written >= 0 || errno != EINTR) {
            return written > 0 ? static_cast<std::size_t>(written) : 0;
        }
    }
}

// The owner may be given only by root, the group by any of its members; a
// file system without owners keeps its own. Whatever came of it is read back.
bool set_ownership(NewFile& file, const Ownership& wanted, std::uint32_t& owner,
                   std::uint32_t& group, std::uint32_t& mode) {
    const int descriptor = new_descriptor(file);
    const uid_t user = wanted.set_owner ? wanted.owner : static_cast<uid_t>(-1);
    const gid_t to = wanted.set_group ? wanted.group : static_cast<gid_t>(-1);
    // Asked only where something changes: each change rewrites the file's
    // status on disk.
    struct stat now {};
    bool known = fstat(descriptor, &now) == 0;
    if (known &&
        ((wanted.set_owner && now.st_uid != user) || (wanted.set_group && now.st_gid != to))) {
        if (fchown(descriptor, user, to) != 0 && wanted.set_owner) {
            (void)!fchown(descriptor, static_cast<uid_t>(-1), to);  // the group alone, then
        }
        known = fstat(descriptor, &now) == 0;
    }
    if (!known) {
        return false;
    }
    file.open.mode = now.st_mode & 07777;
    file.open.device = identity_of(now).device;
    file.open.inode = identity_of(now).file;
    owner = now.st_uid;
    group = now.st_gid;
    mode = now.st_mode & 07777;
    return true;
}

// Where the ACL to put was there, the file system keeps ACLs: a failure fails
// the file rather than widen who may use it. Where none is to stay, none
// that the new file took from its folder's default ACL stays either.
bool put_acl(NewFile& file, AclSource source) {
    const std::string none;
    const std::string& acl = source == AclSource::archive ? file.archive->acl.access_acl
                             : source == AclSource::old   ? file.kept.access_acl
                                                          : none;
    if (!acl.empty()) {
        file.open.mode = unknown_mode;  // an ACL sets the group's bits
    }
    return put_access_acl(new_descriptor(file), acl) == 0 ||
           (acl.empty() && (errno == ENODATA || keeps_no_permissions(errno)));
}

bool set_mode(NewFile& file, std::uint32_t mode) {
    return file.open.mode == mode || fchmod(new_descriptor(file), static_cast<mode_t>(mode)) == 0 ||
           keeps_no_permissions(errno);
}

// Closing is where some network file systems report a write that failed.
bool finish_writing(NewFile& file) {
    const bool closed = close(file.open.descriptor) == 0;
    file.open.descriptor = -1;
    return closed;
}

bool keep_when_closed(NewFile&) {
    return true;
}

bool rename_into_place(const NewFile& file) {
    const int folder = file.archive->folder.descriptor;
    return renameat(folder, file.temporary_name, folder, file.output_name.c_str()) == 0;
}

void remove_name(const NewFile& file, const char* name) {
    unlinkat(file.archive->folder.descriptor, name, 0);
}

// Through its handle while it is open; once closed, through its hidden name
// opened again, never through a link, and only if it is still the file.
void empty_file(NewFile& file) {
    if (file.open.descriptor >= 0) {
        (void)!ftruncate(file.open.descriptor, 0);
        return;
    }
    int descriptor = openat(file.archive->folder.descriptor, file.temporary_name,
                            O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status {};
    if (fstat(descriptor, &status) == 0 &&
        same_file(identity_of(status), {file.open.device, file.open.inode, true})) {
        (void)!ftruncate(descriptor, 0);
    }
    close_descriptor(descriptor);
}

void close_new_file(NewFile& file) {
    close_descriptor(file.open.descriptor);
}
