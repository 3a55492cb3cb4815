#include "system/files.h"

#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A temporary name that is already taken is tried again with another name a
// few times; a folder where every try collides is treated as unwritable.
constexpr int temporary_name_attempts = 8;

// A hidden, short name that differs from call to call and process to process.
// It needs no allocation: it is made while a new file is open.
void make_temporary_name(int attempt, char (&name)[40]) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto token = (static_cast<std::uint64_t>(ticks) + static_cast<std::uint64_t>(attempt)) *
                           0x9E3779B97F4A7C15u ^
                       reinterpret_cast<std::uintptr_t>(&ticks);
    std::snprintf(name, sizeof name, ".mapdown-%016llx.tmp",
                  static_cast<unsigned long long>(token));
}

// Reads through a descriptor already opened and checked. The buffer owns it
// and closes it when the stream is closed, or when its making fails.
void attach_stream(InputFile& input, int descriptor) {
    input.buffer.reset(new (std::nothrow) __gnu_cxx::stdio_filebuf<char>(
        descriptor, std::ios::in | std::ios::binary));
    if (!input.buffer) {
        close(descriptor);  // never handed over
        throw std::bad_alloc();
    }
    input.stream.rdbuf(input.buffer.get());
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.file == b.file;
}

}  // namespace

void close_input(InputFile& input) {
    input.stream.rdbuf(nullptr);
    input.buffer.reset();
}

#ifndef _WIN32

namespace {

// The hidden name of the file being written, if it has one yet, for the
// signal handler to remove: the only state that outlives a call, because a
// signal can come at any instant. It is changed only while the handled
// signals are blocked.
struct Unfinished {
    int folder = -1;
    char name[40] = {};
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

// Splits "maps/e1.rtl" into the folder "maps" and the name "e1.rtl".
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
#ifdef O_TMPFILE
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

// Gives the file `name` in the output's folder, only if nothing stands there:
// a file not made yet is created under it, a nameless one is linked to it.
bool claim_name(NewFile& file, const char* name, mode_t mode) {
    if (file.descriptor >= 0) {
        char self[32];
        descriptor_path(file.descriptor, self);
        return linkat(AT_FDCWD, self, file.folder, name, AT_SYMLINK_FOLLOW) == 0;
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
        char name[40];
        make_temporary_name(attempt, name);
        const SignalsHeld held = hold_signals();
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

// Gives the nameless file the output's name, in one step; fails when
// anything stands there.
bool link_at_final_name(const NewFile& file) {
    char self[32];
    descriptor_path(file.descriptor, self);
    return linkat(AT_FDCWD, self, file.folder, file.final_name.c_str(), AT_SYMLINK_FOLLOW) == 0;
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
bool read_blocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    return flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

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
    // O_NONBLOCK: opening a named pipe would otherwise wait for a writer.
    const int descriptor = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    input.only_copy = opened.st_nlink == 1 ? identity_of(opened) : FileIdentity{};
    attach_stream(input, descriptor);
    return InputStatus::opened;
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    std::string folder;
    split_path(output_name, folder, file.final_name);
#ifdef O_PATH
    file.folder = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    file.folder = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (file.folder < 0) {
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
        if (!file.keeps_old_owner && link_at_final_name(file)) {
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

#else  // Windows

namespace {

// The names come in UTF-8 (see console.h); Windows' own calls take UTF-16.
std::wstring widen(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

// The temporary file being written, for the console handler to remove. The
// handler runs on a thread of its own; the lock keeps it and the main thread
// from changing the record, or the output's name, at the same time.
CRITICAL_SECTION unfinished_lock;
std::wstring unfinished_path;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&unfinished_lock);  // held until the process ends
    if (!unfinished_path.empty()) {
        DeleteFileW(unfinished_path.c_str());  // gone once the handle closes at exit
    }
    return FALSE;  // the default handler then ends the process as interrupted
}

// The file behind `handle`, and how many names it has.
FileIdentity identity_of(HANDLE handle, DWORD& names) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return {};
    }
    names = information.nNumberOfLinks;
    return {information.dwVolumeSerialNumber,
            (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow, true};
}

// The file that stands at `path` itself, a link not followed.
FileIdentity identity_at(const std::wstring& path) {
    const HANDLE handle = CreateFileW(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    DWORD names = 0;
    const FileIdentity identity = identity_of(handle, names);
    CloseHandle(handle);
    return identity;
}

}  // namespace

void remove_unfinished_output_on_interrupt() {
    InitializeCriticalSection(&unfinished_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

InputStatus open_input(const std::string& name, InputFile& input) {
    const std::wstring path = widen(name);
    const int descriptor = _wopen(path.c_str(), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        return InputStatus::cannot_open;  // a folder cannot be opened as a file here
    }
    DWORD names = 0;
    const FileIdentity opened =
        identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), names);
    input.only_copy = names == 1 ? opened : FileIdentity{};
    attach_stream(input, descriptor);
    return InputStatus::opened;
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    file.final_path = widen(output_name);
    const DWORD attributes = GetFileAttributesW(file.final_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
         same_file(identity_at(file.final_path), archive_only_copy))) {
        return SaveStatus::cannot_open;
    }
    const std::size_t folder_end = file.final_path.find_last_of(L"/\\:");
    const std::wstring folder =
        folder_end == std::wstring::npos ? L"" : file.final_path.substr(0, folder_end + 1);
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        char name[40];
        make_temporary_name(attempt, name);
        file.temporary_path = folder + widen(name);
        EnterCriticalSection(&unfinished_lock);
        file.handle = CreateFileW(file.temporary_path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.handle != INVALID_HANDLE_VALUE) {
            unfinished_path = file.temporary_path;
        }
        LeaveCriticalSection(&unfinished_lock);
        if (file.handle != INVALID_HANDLE_VALUE) {
            return SaveStatus::saved;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    file.handle = nullptr;
    return SaveStatus::cannot_open;
}

bool write_output(NewFile& file, const void* bytes, std::size_t count) {
    const char* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.handle, next, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        count -= written;
    }
    return true;
}

SaveStatus commit_output(NewFile& file) {
    const bool closed = CloseHandle(file.handle) != 0;
    file.handle = nullptr;
    if (!closed) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    EnterCriticalSection(&unfinished_lock);
    const bool moved = MoveFileExW(file.temporary_path.c_str(), file.final_path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING) != 0;
    if (moved) {
        unfinished_path.clear();
    }
    LeaveCriticalSection(&unfinished_lock);
    if (!moved) {
        discard_output(file);
        return SaveStatus::cannot_open;
    }
    return SaveStatus::saved;
}

void discard_output(NewFile& file) {
    if (file.handle != nullptr) {
        CloseHandle(file.handle);
        file.handle = nullptr;
    }
    EnterCriticalSection(&unfinished_lock);
    DeleteFileW(file.temporary_path.c_str());
    unfinished_path.clear();
    LeaveCriticalSection(&unfinished_lock);
}

#endif
