// Preloaded into the program (LD_PRELOAD) to make chosen calls fail, so that
// the tests can run every failure path of the real program.
//
// MAPDOWN_FAULTS lists the faults, separated by commas, each as
//     call:first[-last][:what]
// The calls numbered first to last (counted from 1) of `call` fail with the
// errno `what` (EIO by default); a `what` that names a signal (SIGINT,
// SIGQUIT, SIGRTMIN, ...) instead raises it in the call, after half of a
// write is done, and just after any other call of the list below that
// creates, names or changes a file (create, tmpfile, linkat, renameat,
// fchown, fchmod, close); a `what` of PLANT (for create) first makes a file holding
// planted_content at the name the call is about to create, as another
// process might; a `what` of SHORT (for read and write) has the call take or
// give only half of what it is asked, as any system may; a `what` of RUN
// runs the shell command MAPDOWN_FAULT_COMMAND names just before the call
// goes ahead, as another user might act at that very instant.
// The calls: new (every operator new), tmpfile (openat with O_TMPFILE),
// create (openat with O_CREAT), access, faccessat, fstatat, linkat, renameat, fchown,
// fchmod, write, close, mkdirat, fstat, read (pread), fcntl, reopen (open of a name
// in /proc/self/fd), fsetxattr, fremovexattr, getxattr (getxattr and fgetxattr)
// fdopendir, folder (open of a folder, with O_DIRECTORY, by its name) and fchdir.
//
// Each fault that fires appends a line to the file MAPDOWN_FAULT_LOG names.
// The program's own raise writes a coverage build's counters first (such a
// build exports them), since a signal ends the process before it would.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "fault_injection.h"

namespace {

const char* const call_names[] = {
    "new",    "tmpfile",   "create",       "access",   "faccessat", "fstatat", "linkat", "renameat",
    "fchown", "fchmod",    "write",        "close",    "mkdirat",   "fstat",   "read",   "fcntl",
    "reopen", "fsetxattr", "fremovexattr", "getxattr", "fdopendir", "folder",  "fchdir"};
enum Call {
    call_new,
    tmpfile_call,
    create_call,
    access_call,
    faccessat_call,
    fstatat_call,
    linkat_call,
    renameat_call,
    fchown_call,
    fchmod_call,
    write_call,
    close_call,
    mkdirat_call,
    fstat_call,
    read_call,
    fcntl_call,
    reopen_call,
    fsetxattr_call,
    fremovexattr_call,
    getxattr_call,
    fdopendir_call,
    folder_call,
    fchdir_call,
    call_count
};

struct Fault {
    long first = 0, last = -1;
    int error = EIO;
    int signal_number = 0;
    bool plant = false;
    bool run = false;
    bool short_count = false;
};

struct Faults {
    Fault fault[call_count];
    long calls[call_count] = {};
};

int parse_what(const std::string& what, Fault& fault) {
    struct Name {
        const char* name;
        int value;
    };
    const Name signals[] = {{"SIGINT", SIGINT},   {"SIGTERM", SIGTERM},  {"SIGHUP", SIGHUP},
                            {"SIGQUIT", SIGQUIT}, {"SIGUSR1", SIGUSR1},  {"SIGALRM", SIGALRM},
                            {"SIGXCPU", SIGXCPU}, {"SIGRTMIN", SIGRTMIN}};
    for (const Name& name : signals) {
        if (what == name.name) {
            return fault.signal_number = name.value;
        }
    }
    if (what == "PLANT") {
        return fault.plant = true;
    }
    if (what == "RUN") {
        return fault.run = true;
    }
    if (what == "SHORT") {
        return fault.short_count = true;
    }
    const Name errors[] = {
        {"EIO", EIO},       {"EEXIST", EEXIST}, {"ENOSPC", ENOSPC},         {"EACCES", EACCES},
        {"ENOENT", ENOENT}, {"EPERM", EPERM},   {"EOPNOTSUPP", EOPNOTSUPP}, {"EINTR", EINTR},
        {"ENOSYS", ENOSYS}};
    for (const Name& name : errors) {
        if (what == name.name) {
            return fault.error = name.value;
        }
    }
    std::fprintf(stderr, "fault injection: unknown failure %s\n", what.c_str());
    std::abort();
}

// Read once, on the first intercepted call. Plain static data: constructors
// of a preloaded library may run after the program's first allocations.
Faults& faults() {
    static Faults table;
    static bool read = false;
    if (!read) {
        read = true;
        const char* text = std::getenv("MAPDOWN_FAULTS");
        std::string list = text ? text : "";
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            const std::string item = list.substr(0, comma);
            list = comma == std::string::npos ? "" : list.substr(comma + 1);
            const std::size_t colon = item.find(':');
            int call = 0;
            while (call < call_count && item.compare(0, colon, call_names[call]) != 0) {
                ++call;
            }
            if (call == call_count || colon == std::string::npos) {
                std::fprintf(stderr, "fault injection: cannot read %s\n", item.c_str());
                std::abort();
            }
            Fault& fault = table.fault[call];
            char* end = nullptr;
            fault.first = std::strtol(item.c_str() + colon + 1, &end, 10);
            fault.last = *end == '-' ? std::strtol(end + 1, &end, 10) : fault.first;
            if (*end == ':') {
                parse_what(end + 1, fault);
            }
        }
    }
    return table;
}

// Whether the call counted last is one of those the fault is for.
bool targeted(Call call) {
    const Fault& fault = faults().fault[call];
    return faults().calls[call] >= fault.first && faults().calls[call] <= fault.last;
}

// Counts the call and says whether it is to fail; the errno is set already.
bool fails(Call call) {
    Faults& table = faults();
    const long number = ++table.calls[call];
    const Fault& fault = table.fault[call];
    if (!targeted(call)) {
        return false;
    }
    if (const char* log = std::getenv("MAPDOWN_FAULT_LOG")) {
        if (std::FILE* file = std::fopen(log, "a")) {
            std::fprintf(file, "%s:%ld\n", call_names[call], number);
            std::fclose(file);
        }
    }
    if (fault.run) {
        // Without this library: the command's own calls are not the program's.
        unsetenv("LD_PRELOAD");
        (void)!std::system(std::getenv("MAPDOWN_FAULT_COMMAND"));
        return false;
    }
    if (fault.signal_number != 0 || fault.plant || fault.short_count) {
        return false;  // the caller acts at the right moment
    }
    errno = fault.error;
    return true;
}

// The C library's own function. Those that take or give file positions or
// sizes are looked up by their 64-bit names: built with 64-bit positions, a
// 32-bit program calls those, and these definitions take their place (on
// 64-bit systems both names lead to one function).
template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void* allocate(std::size_t size) {
    return fails(call_new) ? nullptr : std::malloc(size ? size : 1);
}

// Raises the signal a fault names for `call`, just after the call was made.
template <typename Result>
Result then_raise(Call call, Result result) {
    if (const int signal_number = faults().fault[call].signal_number;
        signal_number != 0 && targeted(call)) {
        const int saved = errno;
        real<int (*)(int)>("raise")(signal_number);
        errno = saved;
    }
    return result;
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

extern "C" {

int openat(int folder, const char* name, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    const auto real_openat = real<int (*)(int, const char*, int, ...)>("openat64");
    if (((flags & O_TMPFILE) == O_TMPFILE && fails(tmpfile_call)) ||
        ((flags & O_CREAT) != 0 && fails(create_call))) {
        return -1;
    }
    if ((flags & O_CREAT) != 0 && faults().fault[create_call].plant && targeted(create_call)) {
        const int planted = real_openat(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        (void)!real<ssize_t (*)(int, const void*, size_t)>("write")(planted, planted_content,
                                                                    std::strlen(planted_content));
        real<int (*)(int)>("close")(planted);
    }
    const int opened = real_openat(folder, name, flags, mode);
    return (flags & O_TMPFILE) == O_TMPFILE ? then_raise(tmpfile_call, opened)
           : (flags & O_CREAT) != 0         ? then_raise(create_call, opened)
                                            : opened;
}

int access(const char* name, int mode) {
    return fails(access_call) ? -1 : real<int (*)(const char*, int)>("access")(name, mode);
}

int faccessat(int folder, const char* name, int mode, int flags) {
    return fails(faccessat_call)
               ? -1
               : real<int (*)(int, const char*, int, int)>("faccessat")(folder, name, mode, flags);
}

int fstatat(int folder, const char* name, struct stat* status, int flags) {
    return fails(fstatat_call) ? -1
                               : real<int (*)(int, const char*, struct stat*, int)>("fstatat64")(
                                     folder, name, status, flags);
}

int linkat(int old_folder, const char* old_name, int new_folder, const char* new_name, int flags) {
    return fails(linkat_call)
               ? -1
               : then_raise(linkat_call,
                            real<int (*)(int, const char*, int, const char*, int)>("linkat")(
                                old_folder, old_name, new_folder, new_name, flags));
}

int renameat(int old_folder, const char* old_name, int new_folder, const char* new_name) {
    return fails(renameat_call)
               ? -1
               : then_raise(renameat_call,
                            real<int (*)(int, const char*, int, const char*)>("renameat")(
                                old_folder, old_name, new_folder, new_name));
}

int fchown(int descriptor, uid_t owner, gid_t group) {
    return fails(fchown_call) ? -1
                              : then_raise(fchown_call, real<int (*)(int, uid_t, gid_t)>("fchown")(
                                                            descriptor, owner, group));
}

int fchmod(int descriptor, mode_t mode) {
    return fails(fchmod_call)
               ? -1
               : then_raise(fchmod_call, real<int (*)(int, mode_t)>("fchmod")(descriptor, mode));
}

ssize_t write(int descriptor, const void* bytes, size_t count) {
    const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    if (fails(write_call)) {
        return -1;
    }
    if (const int signal_number = faults().fault[write_call].signal_number;
        signal_number != 0 && targeted(write_call)) {
        const ssize_t half = real_write(descriptor, bytes, count / 2);
        real<int (*)(int)>("raise")(signal_number);
        return half;  // reached only if the signal does not end the process
    }
    if (faults().fault[write_call].short_count && targeted(write_call)) {
        count = count > 1 ? count / 2 : count;
    }
    return real_write(descriptor, bytes, count);
}

// A process that ends by a signal never writes a coverage build's counters;
// the program's own raise, which ends it, writes them first.
int raise(int signal_number) {
    if (const auto dump = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "__gcov_dump"))) {
        dump();
    }
    return real<int (*)(int)>("raise")(signal_number);
}

int mkdirat(int folder, const char* name, mode_t mode) {
    return fails(mkdirat_call)
               ? -1
               : real<int (*)(int, const char*, mode_t)>("mkdirat")(folder, name, mode);
}

int fstat(int descriptor, struct stat* status) {
    return fails(fstat_call) ? -1 : real<int (*)(int, struct stat*)>("fstat64")(descriptor, status);
}

// An archive is read at offsets; with 64-bit file positions, pread is
// pread64, which a 64-bit system also exports as pread.
ssize_t pread64(int descriptor, void* bytes, size_t count, off64_t offset) {
    if (fails(read_call)) {
        return -1;
    }
    if (faults().fault[read_call].short_count && targeted(read_call)) {
        count = count > 1 ? count / 2 : count;
    }
    return real<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(descriptor, bytes, count,
                                                                     offset);
}

// Its third argument, where it has one, is an int or a pointer: forwarded as
// the widest of them.
int fcntl(int descriptor, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    const auto argument = va_arg(arguments, std::uintptr_t);
    va_end(arguments);
    return fails(fcntl_call)
               ? -1
               : real<int (*)(int, int, std::uintptr_t)>("fcntl64")(descriptor, command, argument);
}

// Only the opens of a file through /proc count, as `reopen`.
int open(const char* name, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    if (std::strncmp(name, "/proc/self/fd/", 14) == 0
            ? fails(reopen_call)
            : (flags & O_DIRECTORY) != 0 && fails(folder_call)) {
        return -1;
    }
    return real<int (*)(const char*, int, ...)>("open64")(name, flags, mode);
}

int fsetxattr(int descriptor, const char* attribute, const void* value, size_t size, int flags) {
    return fails(fsetxattr_call) ? -1
                                 : real<int (*)(int, const char*, const void*, size_t, int)>(
                                       "fsetxattr")(descriptor, attribute, value, size, flags);
}

int fremovexattr(int descriptor, const char* attribute) {
    return fails(fremovexattr_call)
               ? -1
               : real<int (*)(int, const char*)>("fremovexattr")(descriptor, attribute);
}

ssize_t getxattr(const char* path, const char* attribute, void* value, size_t size) {
    return fails(getxattr_call) ? -1
                                : real<ssize_t (*)(const char*, const char*, void*, size_t)>(
                                      "getxattr")(path, attribute, value, size);
}

ssize_t fgetxattr(int descriptor, const char* attribute, void* value, size_t size) {
    return fails(getxattr_call) ? -1
                                : real<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr")(
                                      descriptor, attribute, value, size);
}

DIR* fdopendir(int descriptor) {
    return fails(fdopendir_call) ? nullptr : real<DIR* (*)(int)>("fdopendir")(descriptor);
}

int fchdir(int descriptor) {
    return fails(fchdir_call) ? -1 : real<int (*)(int)>("fchdir")(descriptor);
}

int close(int descriptor) {
    return fails(close_call) ? -1 : then_raise(close_call, real<int (*)(int)>("close")(descriptor));
}
}
