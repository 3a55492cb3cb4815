// How the program writes on shared, protected and interrupted systems: runs
// as an unprivileged user, against a hostile second user, with signals and
// with system calls made to fail. Every case checks that no file but the
// output changed and that nothing was left behind.
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <climits>
#include <cstring>

#include "fault_injection.h"
#include "program_run.h"

namespace {

class SafeWrites : public ProgramTest {
  protected:
    // Two archives: the first replaces an older output (another user's, where
    // the tests run as root), the second makes a new one.
    void put_pair() const {
        put("a.rtlx", sample_archive(rxl, 3, 200000));
        put("a.rtl", "the previous output");
        // Another's, and readable by all: the new file has an owner, a group
        // and a mode to be given (whatever the tests' umask).
        (void)!chown((folder() / "a.rtl").c_str(), 1, 1);
        for (const char* name : {"a.rtlx", "a.rtl"}) {
            fs::permissions(folder() / name, fs::perms(0644));
        }
        put("b.rtcx", sample_archive(rxc, 2, 6400));
        fs::remove(folder() / "b.rtc");
    }
    bool a_converted() const {
        return read_file(folder() / "a.rtl") == sample_map_file(rxl, 3, 200000);
    }
    bool b_converted() const {
        return read_file(folder() / "b.rtc") == sample_map_file(rxc, 2, 6400);
    }
    std::string faults_fired() const { return read_file(fault_log()); }
    // A command of Windows' cmd.exe (attrib, dir), run in the test's folder
    // by the program's runner.
    std::string windows_command(const std::string& command) const {
        const fs::path shown = scratch / "attrib";
        EXPECT_EQ(std::system(("cd '" + folder().string() + "' && WINEDEBUG=-all " +
                               program_command()[0] + " cmd /c " + command + " >" + shown.string() +
                               " 2>&1")
                                  .c_str()),
                  0);
        return read_file(shown);
    }
};

const std::string for_writing_a = "Warning: Couldn't open \"a.rtl\" for writing!\n";
const std::string not_written_a = "Warning: Couldn't write \"a.rtl\" to disk!\n";
const std::string for_reading_a = "Warning: Couldn't open \"a.rtlx\" for reading!\n";
const std::set<std::string> pair_files = {"a.rtlx", "a.rtl", "b.rtcx", "b.rtc"};

// Owner and group are set only where they change: only root's tests give an
// old output another owner (put_pair), so only there is fchown called.
bool chowns_new_files() {
    return geteuid() == 0;
}

bool can_preload() {
    return runs_natively() && !under_address_sanitizer;
}
const char* const windows_only =
    "runs against the Windows program under Wine (MAPDOWN_COMMAND=\"wine .../mapdown.exe\"): "
    "a Windows matter";
const std::string preload_needs =
    std::string(direct_only) + " and built without AddressSanitizer: it preloads a library into it";
#define REQUIRE(condition, why) \
    if (!(condition)) {         \
        GTEST_SKIP() << why;    \
    }
#define REQUIRE_UNPRIVILEGED_USER()                         \
    if (std::string why; !unprivileged_user_can_run(why)) { \
        GTEST_SKIP() << why;                                \
    }

// Each failed call skips only the file it hits, with that file's warning, and
// leaves the previous output as it was; a failure the program can work around
// costs nothing.
TEST_F(SafeWrites, FailedSystemCallsSkipOnlyTheirFile) {
    REQUIRE(can_preload(), preload_needs);
    struct Case {
        std::string faults, err;
        bool linux_only = false;  // a way around a Linux call that fails
    };
    // The first archive replaces its output: its file is linked to a hidden
    // name, then renamed. The second is new: its file is linked in at once.
    // Linux looks at each archive and the old output through a handle of its
    // own, which it closes too, and asks about it with fstat; elsewhere each
    // is asked about with fstatat, the archive first.
    const auto nth_close = [](int linux, int posix) {
        return "close:" + std::to_string(uses_linux_calls ? linux : posix) + ":EIO";
    };
    const std::string look_at_old_output = uses_linux_calls ? "fstat:2" : "fstatat:2";
    const Case cases[] = {
        // Ways around: a named file, a name taken, no owner or mode to keep.
        {"tmpfile:1-2:EOPNOTSUPP", ""},
        {"access:1-2:ENOENT", ""},
        {"tmpfile:1-2:EOPNOTSUPP,create:1-3:EEXIST", ""},
        {"tmpfile:1-2:EOPNOTSUPP,create:1:PLANT", ""},  // never opened, never moved
        {"linkat:1-7:EEXIST", ""},
        {"linkat:2:EEXIST", ""},  // someone made the second output meanwhile
        {"fchown:1:EPERM", ""},
        {"fchown:1-2:ENOSYS,fchmod:1:ENOSYS", ""},  // FAT through FUSE
        {"fchown:1-2:EOPNOTSUPP,fchmod:1:EOPNOTSUPP", ""},
        {"fchmod:1:EPERM", ""},
        {"write:1-2:EINTR", ""},
        {"read:1-2:EINTR", ""},
        {"write:1-999:SHORT", ""},  // every read and write delivers half of what was asked
        {"read:1-999:SHORT", ""},
        // Failures that skip the file.
        {"tmpfile:1:EOPNOTSUPP,create:1-8:EEXIST", for_writing_a},
        {"linkat:1-8:EEXIST", for_writing_a},
        {"tmpfile:1:EOPNOTSUPP,create:1:EACCES", for_writing_a},
        {look_at_old_output + ":EACCES", for_writing_a},
        {"faccessat:1:ENOENT", for_writing_a, true},  // gone since it was looked at
        {"faccessat:1:EACCES", for_writing_a},        // an output its user may not write
        {"linkat:1:EIO", for_writing_a},
        {"renameat:1:EIO", for_writing_a},
        {"fchmod:1:EIO", not_written_a},
        {"getxattr:3:EIO", not_written_a, true},  // whether the folder gave it an ACL, unknown
        {"write:1:ENOSPC", not_written_a},
        {"write:2:ENOSPC", not_written_a},
        {nth_close(4, 2), not_written_a},
        {"tmpfile:1:EOPNOTSUPP," + nth_close(4, 2), not_written_a},
        {nth_close(8, 5), "Warning: Couldn't write \"b.rtc\" to disk!\n"},
        {"fstat:1:EIO", "Warning: Couldn't open \"a.rtlx\" for reading!\n"},
        {"reopen:1:ENOENT", "Warning: Couldn't open \"a.rtlx\" for reading!\n", true},
        {"fcntl:1:EIO", "Warning: Couldn't open \"a.rtlx\" for reading!\n"},
        {"reopen:1:EACCES", "Warning: Couldn't open \"a.rtlx\" for reading!\n", true},
        {"getxattr:1:EIO", not_written_a, true},  // who may read the archive, unknown
        // A folder that may not be read: held as the working folder where no
        // folder can be held open without reading it; one not left again
        // lets no later relative name be taken from the wrong folder.
        {"folder:1:EACCES", uses_linux_calls ? for_reading_a : ""},
        {"folder:1-2:EACCES",  // nor, there, the working folder held to go back to
         for_reading_a +
             (uses_linux_calls ? "Warning: Couldn't open \"b.rtcx\" for reading!\n" : "")},
        {"folder:1:EACCES,fchdir:1:EIO",
         uses_linux_calls ? for_reading_a : "Warning: Couldn't open \"b.rtcx\" for reading!\n"},
        {uses_linux_calls ? "fstat:3:EIO" : "fstat:2:EIO", not_written_a},  // whose the new file is
        {"tmpfile:1:EOPNOTSUPP,write:1:ENOSPC", not_written_a},  // the hidden file emptied, removed
        {"read:1:EIO", not_valid("a.rtlx")},                     // the magic and version
        {"read:3:EIO", not_valid("a.rtlx")},                     // the directory
        {"read:4:EIO", not_valid("a.rtlx")},                     // the map array
    };
    for (const Case& c : cases) {
        if (!uses_linux_calls &&
            (c.linux_only ||
             std::regex_match(c.faults, std::regex("((tmpfile|access|linkat):[^,]*,?)+")))) {
            continue;  // calls that only nameless files make
        }
        if (!chowns_new_files() && c.faults.rfind("fchown:1:", 0) == 0) {
            continue;
        }
        put_pair();
        RunOptions options;
        options.faults = c.faults;
        const Result result = run({"a.rtlx", "b.rtcx"}, options);
        SCOPED_TRACE(c.faults);
        EXPECT_FALSE(faults_fired().empty());
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, c.err);
        const bool a_skipped = c.err.find("\"a.rtl") != std::string::npos;
        const bool b_skipped = c.err.find("\"b.rtc") != std::string::npos;
        EXPECT_EQ(result.out,
                  (a_skipped ? "" : success("a.rtl")) + (b_skipped ? "" : success("b.rtc")));
        EXPECT_EQ(a_converted(), !a_skipped);
        if (a_skipped) {
            EXPECT_TRUE(bytes_match(read_file(folder() / "a.rtl"), "the previous output"));
        }
        EXPECT_EQ(b_converted(), !b_skipped);
        std::size_t planted = 0;
        for (const std::string& name : listing()) {
            if (read_file(folder() / name) == planted_content) {
                planted += fs::remove(folder() / name);
            }
        }
        EXPECT_EQ(planted, c.faults.find("PLANT") == std::string::npos ? 0u : 1u);
        std::set<std::string> expected = pair_files;
        if (b_skipped) {
            expected.erase("b.rtc");
        }
        EXPECT_EQ(listing(), expected);
        fs::remove(fault_log());
    }
}

// Fails each allocation of a small batch in turn, until a run has none left
// to fail: the program never crashes, each file is converted or skipped with
// a warning, and no temporary file stays. A name too long to be shown
// without memory shows as a question mark.
TEST_F(SafeWrites, EveryFailedAllocationSkipsOnlyItsFile) {
    REQUIRE(can_preload(), preload_needs);
    // A long name is one more allocation, in the archive's turn too.
    const std::string long_name = "c-an-archive-named-longer-than-a-short-string";
    const std::vector<std::string> arguments = {"a.rtlx",
                                                "missing-and-longer-than-a-short-string.rtlx",
                                                "b.rtcx", long_name + ".rtlx", "a.rtlx"};
    std::set<std::string> files = pair_files;
    files.insert({long_name + ".rtlx", long_name + ".rtl"});
    int fired_runs = 0;
    for (int allocation = 1; allocation < 1000; ++allocation) {
        put_pair();
        put(long_name + ".rtlx", sample_archive(rxl, 1, 6400));
        fs::remove(folder() / (long_name + ".rtl"));
        RunOptions options;
        options.faults = "new:" + std::to_string(allocation);
        // The standard three, the archive's folder and, at most, the archive
        // looked at and opened (or the new file and the fault log): a
        // descriptor leaked on a failure shows.
        options.open_files = 6;
        const Result result = run(arguments, options);
        SCOPED_TRACE("allocation " + std::to_string(allocation));
        ASSERT_EQ(result.status, 0) << result.err;
        std::istringstream warnings(result.err);
        for (std::string line; std::getline(warnings, line);) {
            EXPECT_TRUE(std::regex_match(
                line,
                std::regex(
                    R"re(Warning: (Not enough memory to convert "[\w-]+\.rt[lc]x"!|Couldn't open "(missing-and-longer-than-a-short-string\.rtlx|\?)" for reading!))re")))
                << line;
        }
        EXPECT_TRUE(a_converted() || read_file(folder() / "a.rtl") == "the previous output");
        EXPECT_TRUE(b_converted() || !fs::exists(folder() / "b.rtc"));
        for (const std::string& name : listing()) {
            EXPECT_TRUE(files.count(name)) << name;
        }
        if (faults_fired().empty()) {
            EXPECT_EQ(result.out, success("a.rtl") + success("b.rtc") +
                                      success(long_name + ".rtl") + success("a.rtl"));
            break;
        }
        ++fired_runs;
        fs::remove(fault_log());
    }
    // At least the long name's copies: as the name opened, and as shown.
    EXPECT_GE(fired_runs, 2);
}

// A signal that ends the process (Ctrl-C, Ctrl-\\, a timer, one a user
// sends) in the middle of a large write: the previous output stays, the
// unfinished file goes, and the program ends by that signal.
TEST_F(SafeWrites, AnInterruptedWriteLeavesNothingAndEndsByItsSignal) {
    REQUIRE(can_preload(), preload_needs);
    const std::pair<int, std::string> signals[] = {
        {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},   {SIGQUIT, "SIGQUIT"},
        {SIGUSR1, "SIGUSR1"}, {SIGALRM, "SIGALRM"}, {SIGXCPU, "SIGXCPU"}, {SIGRTMIN, "SIGRTMIN"}};
    for (const auto& [number, name] : signals) {
        for (const std::string named : {"", "tmpfile:1:EOPNOTSUPP,"}) {
            put_pair();
            RunOptions options;
            options.faults = named + "write:2:" + name;
            const Result result = run({"a.rtlx", "b.rtcx"}, options);
            SCOPED_TRACE(options.faults);
            EXPECT_EQ(result.signal, number);
            EXPECT_EQ(result.out, "");
            EXPECT_TRUE(bytes_match(read_file(folder() / "a.rtl"), "the previous output"));
            EXPECT_EQ(listing(), (std::set<std::string>{"a.rtlx", "a.rtl", "b.rtcx"}));
        }
    }
    // Just after each call that makes, names or changes the new file, with
    // the archives in a folder of their own (so that the handler must act in
    // the folder held, not the working one): the hidden file made, linked or
    // handed on, then renamed into place.
    fs::create_directory(folder() / "maps");
    for (const std::string faults :
         {"tmpfile:1:SIGINT", "tmpfile:1-9:EOPNOTSUPP,create:1:SIGINT", "linkat:1:SIGINT",
          "fchown:1:SIGINT", "fchmod:1:SIGINT", "renameat:1:SIGINT"}) {
        if (!uses_linux_calls &&
            (faults.rfind("tmpfile:1:", 0) == 0 || faults.rfind("linkat", 0) == 0)) {
            continue;
        }
        if (!chowns_new_files() && faults.rfind("fchown", 0) == 0) {
            continue;
        }
        for (const std::string name : {"a.rtlx", "a.rtl"}) {
            fs::rename(folder() / name, folder() / "maps" / name);
        }
        put("maps/a.rtl", "the previous output");
        RunOptions options;
        options.faults = faults;
        const Result result = run({"maps/a.rtlx"}, options);
        SCOPED_TRACE(faults);
        EXPECT_EQ(result.signal, SIGINT);
        const bool renamed = faults == "renameat:1:SIGINT";
        EXPECT_TRUE(bytes_match(read_file(folder() / "maps/a.rtl"),
                                renamed ? sample_map_file(rxl, 3, 200000) : "the previous output"));
        EXPECT_EQ(std::distance(fs::directory_iterator(folder() / "maps"), {}), 2);
        for (const std::string name : {"a.rtlx", "a.rtl"}) {
            fs::rename(folder() / "maps" / name, folder() / name);
        }
    }
}

// Where no nameless file can be made, the hidden file that will replace a
// 0600 output is its owner's alone from the moment it exists, whatever the
// umask would let others have.
TEST_F(SafeWrites, AHiddenFileIsItsOwnersAloneWhileItIsWritten) {
    REQUIRE(can_preload(), preload_needs);
    put("a.rtlx", sample_archive(rxl, 3, 200000));
    put("a.rtl", "the previous output");
    fs::permissions(folder() / "a.rtl", fs::perms::owner_read | fs::perms::owner_write);
    const fs::path seen = scratch / "seen";
    RunOptions options;
    options.umask = 0;
    options.faults = "tmpfile:1-9:EOPNOTSUPP,write:1:RUN";
    options.fault_command = "stat -c %a .mapdown-*.tmp >" + seen.string();
    EXPECT_EQ(run({"a.rtlx"}, options).out, success("a.rtl"));
    EXPECT_EQ(read_file(seen), "600\n");
}

// Started under nohup, a hangup is no interruption: the write goes on.
TEST_F(SafeWrites, AHangupIgnoredByWhoeverStartedItIsIgnored) {
    REQUIRE(can_preload(), preload_needs);
    put_pair();
    RunOptions options;
    options.faults = "write:2:SIGHUP";
    options.hangup_ignored = true;
    const Result result = run({"a.rtlx", "b.rtcx"}, options);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.out, success("a.rtl") + success("b.rtc"));
    EXPECT_TRUE(a_converted());
    EXPECT_TRUE(b_converted());
}

TEST_F(SafeWrites, AFileSizeLimitFailsTheWriteAndTheRunGoesOn) {
    REQUIRE(runs_natively(), direct_only << ": limits set here apply to it alone");
    put("large.rtlx", sample_archive(rxl, 3, 200000));
    put("small.rtlx", sample_archive(rxl, 1, 6400));
    RunOptions options;
    options.file_size = 65536;  // SIGXFSZ is left at its default, which ends a process
    const Result result = run({"large.rtlx", "small.rtlx"}, options);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.err, "Warning: Couldn't write \"large.rtl\" to disk!\n");
    EXPECT_EQ(result.out, success("small.rtl"));
    EXPECT_EQ(listing(), (std::set<std::string>{"large.rtlx", "small.rtlx", "small.rtl"}));
}

// Named pipes, devices and folders named like archives are never read, so
// none can make the run wait; run directly, a pipe or a device is not even
// opened, since opening one may be harm enough (it allocates a terminal, arms
// a watchdog, rewinds a tape). On Windows a device is reached by a name such as
// COM1.rtlx or NUL.rtlx, whatever its ending; the emulator shows a named pipe
// of the host as a pipe.
TEST_F(SafeWrites, PipesDevicesAndFoldersNamedLikeArchivesNeverBlock) {
    REQUIRE(runs_natively() || runs_windows_program(),
            "runs against the program run directly or against the Windows program under Wine");
    ASSERT_EQ(mkfifo((folder() / "pipe.rtlx").c_str(), 0644), 0);
    fs::create_directory(folder() / "folder.rtcx");
    put("good.rtlx", sample_archive(rxl, 1, 6400));
    std::vector<std::string> arguments = {"pipe.rtlx", "folder.rtcx"};
    std::string warnings =
        not_valid("pipe.rtlx") + "Warning: Couldn't open \"folder.rtcx\" for reading!\n";
    // A serial port waits for input that never comes; Wine reaches the
    // host's first one as COM1.
    std::vector<std::string> devices = {runs_windows_program() ? "NUL.rtlx" : "/dev/null"};
    if (access("/dev/ttyS0", R_OK) == 0) {
        devices.push_back(runs_windows_program() ? "COM1.rtlx" : "/dev/ttyS0");
    }
    for (const std::string& device : devices) {
        arguments.push_back(device);
        warnings += not_valid(device);
    }
    // A device of the folder's own, as root may make it: what /dev/null is.
    const int watch = inotify_init1(IN_NONBLOCK);
    if (runs_natively() && geteuid() == 0 &&
        mknod((folder() / "null.rtlx").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        arguments.push_back("null.rtlx");
        warnings += not_valid("null.rtlx");
    }
    ASSERT_GE(inotify_add_watch(watch, folder().c_str(), IN_OPEN), 0);
    arguments.push_back("good.rtlx");
    RunOptions options;
    if (runs_natively()) {
        // Each refusal closes what it opened: with room for the standard
        // three, a folder, a look and an open, the good archive after many
        // refusals still converts.
        for (int again = 0; again < 8; ++again) {
            arguments.insert(arguments.begin(), {"pipe.rtlx", "folder.rtcx"});
            warnings = not_valid("pipe.rtlx") +
                       "Warning: Couldn't open \"folder.rtcx\" for reading!\n" + warnings;
        }
        options.open_files = 6;
    }
    const Result result = run(arguments, options);
    EXPECT_EQ(result.err, warnings);
    EXPECT_EQ(result.out, success("good.rtl"));
    alignas(inotify_event) char events[4096];
    const ssize_t length = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < length && runs_natively();) {
        const auto* opened = reinterpret_cast<const inotify_event*>(events + at);
        const std::string name = opened->len ? opened->name : "";
        EXPECT_TRUE(name != "pipe.rtlx" && name != "null.rtlx") << name;
        at += static_cast<ssize_t>(sizeof(inotify_event) + opened->len);
    }
    close(watch);
    if (!runs_natively()) {
        return;
    }

    // A pipe at the output's name is replaced, never written into.
    fs::remove(folder() / "good.rtl");
    ASSERT_EQ(mkfifo((folder() / "good.rtl").c_str(), 0644), 0);
    EXPECT_EQ(run({"good.rtlx"}).out, success("good.rtl"));
    EXPECT_TRUE(bytes_match(read_file(folder() / "good.rtl"), sample_map_file(rxl, 1, 6400)));
}

// Nothing is read from a file too small to be an archive, whatever it says
// or holds: some (in /proc) say they are empty, then block, or hand out what
// reading uses up, the kernel's log among them.
TEST_F(SafeWrites, NothingIsReadFromAFileTooSmallToBeAnArchive) {
    REQUIRE(can_preload(), preload_needs);
    put("empty.rtlx", "");
    put("short.rtlx", sample_archive(rxl, 1, 6400).substr(0, 23));   // the header less a byte
    fs::create_symlink("/proc/kmsg", folder() / "kernel_log.rtlx");  // read by root alone
    RunOptions options;
    options.faults = "read:1-99:EIO";
    const Result result = run({"empty.rtlx", "short.rtlx", "kernel_log.rtlx"}, options);
    EXPECT_EQ(result.err, not_valid("empty.rtlx") + not_valid("short.rtlx") +
                              (access("/proc/kmsg", R_OK) == 0
                                   ? not_valid("kernel_log.rtlx")
                                   : "Warning: Couldn't open \"kernel_log.rtlx\" for reading!\n"));
    EXPECT_EQ(faults_fired(), "");

    // Of a file long enough whose magic is wrong, only the magic and the
    // version are read: 8 bytes, which reads that each deliver half of what
    // they are asked bring in four (4, 2, 1, 1).
    put("notes.rtlx", "These are my notes, and far more than a header's worth of them.");
    options.faults = "read:1-99:SHORT";
    EXPECT_EQ(run({"notes.rtlx"}, options).err, not_valid("notes.rtlx"));
    EXPECT_EQ(faults_fired(), "read:1\nread:2\nread:3\nread:4\n");
}

// Another program's lease on an archive would hold every open of it for the
// system's lease-break time (45 s): the archive is skipped at once instead.
TEST_F(SafeWrites, AnArchiveUnderAnotherProgramsLeaseIsSkippedAtOnce) {
    REQUIRE(!runs_windows_program(), "Linux's leases, which Windows does not have");
    put("leased.rtlx", sample_archive(rxl, 1, 6400));
    put("free.rtlx", sample_archive(rxl, 1, 6400));
    signal(SIGIO, SIG_IGN);  // how the holder hears that its lease is wanted
    const int held = open((folder() / "leased.rtlx").c_str(), O_RDWR);
    if (fcntl(held, F_SETLEASE, F_WRLCK) != 0) {
        close(held);
        GTEST_SKIP() << "the temporary folder's file system gives no leases";
    }
    // Waiting would end in the lease's break and an archive read.
    const Result result = run({"leased.rtlx", "free.rtlx"});
    close(held);
    EXPECT_EQ(result.err, "Warning: Couldn't open \"leased.rtlx\" for reading!\n");
    EXPECT_EQ(result.out, success("free.rtl"));
}

// A sparse archive of a few KiB on disk whose directory claims a terabyte:
// its holes read as zeros, which name no entry, so the scan passes over them
// and reaches the map array's entry at the directory's end at once, rather
// than reading zeros for hours.
TEST_F(SafeWrites, ASparseArchiveCostsWhatItHoldsOnDisk) {
    REQUIRE(!runs_windows_program(),
            "holes as Linux reports them, which this Windows build does not ask about");
    const std::uint64_t entries = std::uint64_t{1} << 35, array_at = 24 + entries * 32;
    const std::string tail =
        directory_entry("MAPS", array_at, 6400) + sample_map_array(array_at, 1, 6400);
    const std::string head = archive_header(rxl_magic_bytes, 1, 24, entries);
    const int file = open((folder() / "sparse.rtlx").c_str(), O_WRONLY | O_CREAT, 0644);
    const bool written =
        pwrite(file, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
        pwrite(file, tail.data(), tail.size(), static_cast<off_t>(array_at - 32)) ==
            static_cast<ssize_t>(tail.size());
    const bool holes = written && lseek(file, 1 << 20, SEEK_DATA) > (1 << 20);
    close(file);
    if (!holes) {
        GTEST_SKIP() << "the temporary folder's file system keeps no sparse files";
    }
    // And one whose directory holds the map array's entry first, then ends
    // in a hole as large, where nothing follows.
    const std::string first = archive_header(rxl_magic_bytes, 1, 24, entries) +
                              directory_entry("MAPS", 56, 6400) + sample_map_array(56, 1, 6400);
    put("hole.rtlx", first);
    fs::resize_file(folder() / "hole.rtlx", array_at);
    const Result result = run({"sparse.rtlx", "hole.rtlx"});
    EXPECT_EQ(result.out, success("sparse.rtl") + success("hole.rtl"));
    for (const std::string name : {"sparse.rtl", "hole.rtl"}) {
        EXPECT_TRUE(bytes_match(read_file(folder() / name), std::string("RTL\0\x01\x01\0\0", 8) +
                                                                sample_map_array(8, 1, 6400)));
    }
}

// d.rtlx is a link to d.rtl, the real archive: converting would replace the
// archive with its own conversion. It is kept, whatever names it has (on
// NTFS through FUSE, a file with a short name counts two links).
TEST_F(SafeWrites, AnArchiveReachedThroughALinkAtItsOutputNameIsKept) {
    const std::string archive = sample_archive(rxl, 2, 6400);
    put("d.rtl", archive);
    fs::create_symlink("d.rtl", folder() / "d.rtlx");
    const Result result = run({"d.rtlx"});
    EXPECT_EQ(result.err, "Warning: Couldn't open \"d.rtl\" for writing!\n");
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(bytes_match(read_file(folder() / "d.rtl"), archive));
    EXPECT_EQ(listing(), (std::set<std::string>{"d.rtl", "d.rtlx"}));

    fs::create_hard_link(folder() / "d.rtl", folder() / "backup");
    EXPECT_EQ(run({"d.rtlx"}).err, result.err);
    EXPECT_TRUE(bytes_match(read_file(folder() / "d.rtl"), archive));
}

// Ctrl-C typed in a console window while a file is written: the unfinished
// file goes, and the program ends at once, with the status of a program that
// Ctrl-C ends (STATUS_CONTROL_C_EXIT, of which Wine passes on the low byte).
TEST_F(SafeWrites, CtrlCInAConsoleEndsTheRunAtOnce) {
    REQUIRE(runs_windows_program(), windows_only);
    constexpr std::uint32_t size = 256u << 20;  // long to write, so that Ctrl-C lands meanwhile
    put("m0.rtlx", sample_archive(rxl, 3, size));
    std::vector<std::string> arguments;
    for (int index = 0; index < 4; ++index) {
        arguments.push_back("m" + std::to_string(index) + ".rtlx");
        if (index > 0) {
            fs::create_hard_link(folder() / "m0.rtlx", folder() / arguments.back());
        }
    }
    RunOptions options;
    options.terminal = true;
    options.interrupt_when = ".mapdown-";
    const Result result = run(arguments, options);
    EXPECT_EQ(result.status, 0xC000013A & 0xFF);
    const std::string converted = sample_map_file(rxl, 3, size);
    std::size_t outputs = 0;
    for (const std::string& name : listing()) {
        EXPECT_NE(name.rfind(".rtl"), std::string::npos) << name;  // nothing hidden stays
        if (name.back() == 'l') {
            EXPECT_TRUE(bytes_match(read_file(folder() / name), converted));
            ++outputs;
        }
    }
    EXPECT_LT(outputs, arguments.size());  // the run ended there
}

// Another Windows program, while a large output is written, renames the
// hidden file away and puts its own in its place, or moves the output's
// folder away and makes another in its place. Neither changes the outcome:
// the output is mapdown's, wherever its folder is, or the file is skipped with
// a warning; no other file changes, and nothing hidden stays.
TEST_F(SafeWrites, AnotherWindowsProgramCannotRedirectTheWrite) {
    REQUIRE(runs_windows_program() && *WINDOWS_RIVAL_PATH != '\0',
            windows_only << ", with the second program that MinGW-w64 builds");
    const std::string archive = sample_archive(rxl, 3, 256u << 20);
    for (const std::string action : {"replace-temporary", "move-folder"}) {
        SCOPED_TRACE(action);
        fs::remove_all(folder());
        fs::create_directories(folder() / "out");
        put("out/big.rtlx", archive);
        const std::string rival_command = "cd '" + folder().string() + "' && WINEDEBUG=-all " +
                                          program_command()[0] + " " + WINDOWS_RIVAL_PATH + " " +
                                          action + " out";
        std::FILE* rival = popen(rival_command.c_str(), "r");
        char said[16] = {}, did[16] = {};
        ASSERT_TRUE(std::fgets(said, sizeof said, rival));  // ready
        const Result result = run({"out/big.rtlx"});
        EXPECT_TRUE(std::fgets(did, sizeof did, rival) && pclose(rival) == 0);
        SCOPED_TRACE(did);
        const fs::path out =
            fs::exists(folder() / "out.moved") ? folder() / "out.moved" : folder() / "out";
        EXPECT_TRUE(
            result.out == success("out/big.rtl")
                ? bytes_match(read_file(out / "big.rtl"), sample_map_file(rxl, 3, 256u << 20))
                : result.err == "Warning: Couldn't open \"out/big.rtl\" for writing!\n");
        for (const auto& entry : fs::recursive_directory_iterator(folder())) {
            EXPECT_TRUE(std::regex_match(entry.path().filename().string(),
                                         std::regex("out(\\.moved)?|big\\.rtlx?")))
                << entry.path();
        }
        EXPECT_TRUE(bytes_match(read_file(out / "big.rtlx"), archive));
    }
}

// A named pipe named as an archive, served by another program with the bytes
// of a valid archive, is refused without a read, however much it offers.
TEST_F(SafeWrites, AServedNamedPipeIsRefusedWithoutARead) {
    REQUIRE(runs_windows_program() && *WINDOWS_RIVAL_PATH != '\0',
            windows_only << ", with the second program that MinGW-w64 builds");
    put("served", sample_archive(rxl, 1, 6400));
    std::FILE* rival =
        popen(("cd '" + folder().string() + "' && WINEDEBUG=-all " + program_command()[0] + " " +
               WINDOWS_RIVAL_PATH + " serve-pipe mapdown-test.rtlx served")
                  .c_str(),
              "r");
    char said[16] = {}, served[32] = {};
    ASSERT_TRUE(std::fgets(said, sizeof said, rival));  // ready
    const Result result = run({"\\\\.\\pipe\\mapdown-test.rtlx"});
    EXPECT_TRUE(std::fgets(served, sizeof served, rival) && pclose(rival) == 0);
    EXPECT_STRNE(served, "served 0\n");  // the pipe was there to be opened
    EXPECT_EQ(result.err, not_valid("\\\\.\\pipe\\mapdown-test.rtlx"));
    EXPECT_EQ(result.out, "");
}

// On Windows the read-only attribute protects an output; the emulator shows a
// file without write permission so.
TEST_F(SafeWrites, OldOutputsAndDeviceNamesOnWindows) {
    REQUIRE(runs_windows_program(), windows_only);
    put("e1.rtlx", sample_archive(rxl, 1, 6400));
    put("e1.rtl", "the previous output");
    fs::permissions(folder() / "e1.rtl", fs::perms::owner_read | fs::perms::group_read);
    const Result result = run({"e1.rtlx"});
    EXPECT_EQ(result.err, "Warning: Couldn't open \"e1.rtl\" for writing!\n");
    EXPECT_TRUE(bytes_match(read_file(folder() / "e1.rtl"), "the previous output"));
    EXPECT_EQ(listing(), (std::set<std::string>{"e1.rtlx", "e1.rtl"}));

    // A replaced output keeps its attributes, as Windows keeps those of a file
    // it replaces: a hidden one stays hidden.
    put("h.rtlx", sample_archive(rxl, 1, 6400));
    put("h.rtl", "the previous output");
    EXPECT_EQ(windows_command("attrib +h h.rtl"), "");
    EXPECT_EQ(run({"h.rtlx"}).out, success("h.rtl"));
    const std::string shown = windows_command("attrib h.rtl");
    EXPECT_NE(shown.substr(0, shown.find(':')).find('H'), std::string::npos) << shown;
    // One with no attributes at all does not keep the hidden file's.
    put("n.rtlx", sample_archive(rxl, 1, 6400));
    put("n.rtl", "the previous output");
    EXPECT_EQ(windows_command("attrib -a n.rtl"), "");
    EXPECT_EQ(run({"n.rtlx"}).out, success("n.rtl"));
    const std::string plain = windows_command("attrib n.rtl");
    EXPECT_EQ(plain.substr(0, plain.find(':')).find('H'), std::string::npos) << plain;

    // An old output whose name differs only in letter case is the output.
    put("c.rtlx", sample_archive(rxl, 2, 6400));
    put("C.RTL", "the previous output");
    EXPECT_EQ(run({"c.rtlx"}).out, success("c.rtl"));
    for (const std::string& name : listing()) {
        if (name == "c.rtl" || name == "C.RTL") {
            EXPECT_TRUE(bytes_match(read_file(folder() / name), sample_map_file(rxl, 2, 6400)));
        }
    }
    EXPECT_EQ(listing().count("c.rtl") + listing().count("C.RTL"), 1u);

    // A DOS device's name, with any ending, spaces or dots, is no file to
    // Windows programs: never converted, nor written.
    for (const std::string name : {"CON.rtlx", "aux.rtlx", "nul.rtcx", "COM1.rtlx", "LPT1.x.rtlx",
                                   "con .rtlx", "CONIN$.rtlx"}) {
        SCOPED_TRACE(name);
        put(name, sample_archive(rxl, 1, 6400));
        const Result result = run({name});
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err, "");
        EXPECT_FALSE(fs::exists(folder() / name.substr(0, name.size() - 1)));
        fs::remove(folder() / name);
    }
}

// Windows gives a long name a short 8.3 alias of its own (EPIS~E3Q.RTL for
// episode_one.rtlx, keeping three letters of the ending), which an archive
// named after it would reach as its output: the other file is never replaced.
TEST_F(SafeWrites, AnOutputNameThatIsAnotherFilesShortAliasIsRefused) {
    REQUIRE(runs_windows_program(), windows_only);
    const std::string other = sample_archive(rxl, 1, 6400);
    put("episode_one.rtlx", other);
    std::smatch alias;
    const std::string listed = windows_command("dir /x episode_one.rtlx");
    ASSERT_TRUE(std::regex_search(listed, alias, std::regex(R"((\S+~\S+)\.RTL )"))) << listed;
    const std::string archive = alias[1].str() + ".rtlx";
    put(archive, sample_archive(rxl, 2, 6400));
    const Result result = run({archive});
    EXPECT_EQ(result.err, "Warning: Couldn't open \"" + alias[1].str() + ".rtl\" for writing!\n");
    EXPECT_TRUE(bytes_match(read_file(folder() / "episode_one.rtlx"), other));
    EXPECT_EQ(listing(), (std::set<std::string>{"episode_one.rtlx", archive}));
}

struct Owner {
    uid_t user;
    gid_t group;
    mode_t mode;
};
Owner owner_of(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return {status.st_uid, status.st_gid, status.st_mode & 07777};
}

// As an unprivileged user with the umask 222: a new output is made read-only,
// a read-only output is refused as a direct write would be, and a replaced
// output keeps its mode, sticky bit included, and the group of someone else's
// file where the user is a member. A set-id bit stays only with the owner or
// group it belongs to: another user's set-uid file in a shared folder never
// becomes a set-uid file of the user's, and a group not kept takes its
// rights with it. Root replaces even a read-only output,
// and it keeps its owner, group and mode.
TEST_F(SafeWrites, PermissionsOwnersAndProtectedOutputs) {
    REQUIRE_UNPRIVILEGED_USER();
    constexpr uid_t user = unprivileged_user;
    constexpr gid_t shared_group = 100;  // one the unprivileged user is in
    constexpr gid_t no_group = static_cast<gid_t>(-1);
    struct Case {
        std::string name;
        mode_t mode;  // of the existing output; 0 for none
        uid_t owner;
        gid_t group;  // of the existing output, and of the output after
        bool unprivileged;
        bool replaced;
        mode_t mode_after;
        gid_t group_after = no_group;  // where the group is not kept: the output's after
    };
    constexpr uid_t other = 2000;  // another user, in no group of the user's
    const Case cases[] = {
        {"new", 0, user, user, true, true, 0444},
        {"read_only", 0444, user, user, true, false, 0444},
        {"group_only", 0464, user, user, true, false, 0464},
        {"Kept", 07604, user, user, true, true, 07604},
        {"shared", 0664, 1, shared_group, true, true, 0664},             // another user's
        {"others_set_id", 06777, other, other, true, true, 0707, user},  // the group's rights go
        {"others_set_gid_kept", 06775, other, shared_group, true, true, 02775},
        {"root_read_only", 0440, user, shared_group, false, true, 0440},
        {"root_set_id", 06755, other, other, false, true, 06755},
    };
    const std::string old = "the previous output";
    for (const Case& c : cases) {
        put(c.name + ".rtlx", sample_archive(rxl, 1, 6400));
        if (c.mode != 0) {
            put(c.name + ".rtl", old);
            ASSERT_EQ(chown((folder() / (c.name + ".rtl")).c_str(), c.owner, c.group), 0);
            fs::permissions(folder() / (c.name + ".rtl"), static_cast<fs::perms>(c.mode));
        }
        ASSERT_EQ(chown(folder().c_str(), user, user), 0);
        RunOptions options;
        options.unprivileged = c.unprivileged;
        options.groups = {shared_group};
        options.umask = 0222;
        const Result result = run({c.name + ".rtlx"}, options);
        SCOPED_TRACE(c.name);
        const fs::path output = folder() / (c.name + ".rtl");
        if (c.replaced) {
            EXPECT_EQ(result.out, success(c.name + ".rtl"));
            EXPECT_EQ(result.err, "");
            EXPECT_TRUE(bytes_match(read_file(output), sample_map_file(rxl, 1, 6400)));
        } else {
            EXPECT_EQ(result.err, "Warning: Couldn't open \"" + c.name + ".rtl\" for writing!\n");
            EXPECT_TRUE(bytes_match(read_file(output), old));
        }
        const Owner after = owner_of(output);
        EXPECT_EQ(after.mode, c.mode_after);
        EXPECT_EQ(after.user, c.unprivileged ? user : c.owner);
        EXPECT_EQ(after.group, c.group_after == no_group ? c.group : c.group_after);
    }
    EXPECT_EQ(listing().size(), 2 * std::size(cases));

    // A drop box, which its user may enter and write but not list: a new
    // output, then a replacement; a name after it is still found from the
    // folder the run began in.
    fs::create_directory(folder() / "drop");
    put("drop/d.rtlx", sample_archive(rxl, 2, 6400));
    put("after.rtlx", sample_archive(rxl, 1, 6400));
    fs::permissions(folder() / "drop", static_cast<fs::perms>(0733));
    RunOptions options;
    options.unprivileged = true;
    for (int turn = 0; turn < 2; ++turn) {
        EXPECT_EQ(run({"drop/d.rtlx", "after.rtlx"}, options).out,
                  success("drop/d.rtl") + success("after.rtl"));
    }
    EXPECT_TRUE(bytes_match(read_file(folder() / "drop/d.rtl"), sample_map_file(rxl, 2, 6400)));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder() / "drop"), {}), 2);
}

// No output lets in more than its archive did: group and others may use a
// new output only where they may read the archive, whatever the umask gives,
// and a replaced one is narrowed the same way; the user's own read and write
// stay. A planted link to the user's own 0600 archive makes a 0600 output.
TEST_F(SafeWrites, NoOutputShowsMoreThanItsArchive) {
    REQUIRE(!runs_windows_program(), "Unix permissions, which Windows does not have");
    struct Case {
        std::string name;
        mode_t archive, old_output, after;  // old_output 0: none; after 0: not converted
        uid_t link_owner = 0;
    };
    // A link that another user planted is not followed: it may lead into a
    // folder that kept them out, as the kernel's rule for shared sticky
    // folders has it.
    const Case cases[] = {
        {"private", 0600, 0, 0600},
        {"group", 0640, 0, 0640},
        {"others", 0604, 0, 0604},
        {"public", 0644, 0, 0644},
        {"read_only", 0400, 0, 0600},
        {"Narrowed", 0600, 0666, 0600},
        {"kept", 0644, 0660, 0660},
        {"planted/link", 0600, 0, 0600},
        {"planted/others_link", 0644, 0, 0, 2000},
    };
    fs::create_directories(folder() / "planted" / "private");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool linked = c.name.rfind("planted/", 0) == 0;
        const std::string archive =
            linked ? "planted/private/" + c.name.substr(8) + ".rtlx" : c.name + ".rtlx";
        put(archive, sample_archive(rxl, 1, 6400));
        fs::permissions(folder() / archive, static_cast<fs::perms>(c.archive));
        if (linked) {
            // The user's own link (link_owner 0), or one that only root may
            // give another user.
            if (c.link_owner != 0 && geteuid() != 0) {
                continue;
            }
            const fs::path link = folder() / (c.name + ".rtlx");
            fs::create_symlink(fs::path(archive).lexically_relative("planted"), link);
            if (c.link_owner != 0) {
                ASSERT_EQ(lchown(link.c_str(), c.link_owner, c.link_owner), 0);
            }
        }
        if (c.old_output != 0) {
            put(c.name + ".rtl", "the previous output");
            fs::permissions(folder() / (c.name + ".rtl"), static_cast<fs::perms>(c.old_output));
        }
        RunOptions options;
        options.umask = 022;
        const Result result = run({c.name + ".rtlx"}, options);
        if (c.after == 0) {
            EXPECT_EQ(result.err, "Warning: Couldn't open \"" + c.name + ".rtlx\" for reading!\n");
            EXPECT_FALSE(fs::exists(folder() / (c.name + ".rtl")));
            continue;
        }
        EXPECT_EQ(result.out, success(c.name + ".rtl"));
        EXPECT_EQ(owner_of(folder() / (c.name + ".rtl")).mode, c.after);
    }  // A link that is not the one looked at once its text is read is not followed.
    if (can_preload()) {
        RunOptions options;
        options.faults = "fstatat:2:EIO";
        fs::remove(folder() / "planted/link.rtl");
        EXPECT_EQ(run({"planted/link.rtlx"}, options).err,
                  "Warning: Couldn't open \"planted/link.rtlx\" for reading!\n");
    }
}

// Whether `user`, in `groups`, may open `path` for reading: asked as that
// user, by the system.
bool reads_as(uid_t user, const std::vector<gid_t>& groups, const fs::path& path) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(setgroups(groups.size(), groups.data()) == 0 && setgid(groups[0]) == 0 &&
                      setuid(user) == 0 && open(path.c_str(), O_RDONLY) >= 0
                  ? 0
                  : 1);
    }
    int status = -1;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Who may read a new output, asked of the system as real users: one who
// shares the user's group 100, one in the archive's group 2000, one in the
// set-gid folder's group 3000, one the old output's ACL names (1000), the
// one who planted an old output (2005), and one in no group of these.
// Nobody reads the output who could not read the archive and the old
// output; the group is the archive's where the user may give it.
TEST_F(SafeWrites, NobodyReadsAnOutputWhomItsArchiveKeptOut) {
    REQUIRE_UNPRIVILEGED_USER();
    struct Case {
        std::string name;
        mode_t archive;
        gid_t archive_group;
        mode_t old;  // 0: none
        uid_t old_owner;
        gid_t folder_group;  // of a set-gid folder; 0: none
        bool as_root;
        mode_t after;
        gid_t group_after;
    };
    constexpr uid_t user = unprivileged_user;
    const Case cases[] = {
        {"group", 0640, 100, 0, 0, 0, false, 0640, 100},
        {"others_group", 0640, 2000, 0, 0, 0, false, 0600, user},
        {"anyone", 0644, 2000, 0, 0, 0, false, 0644, user},
        {"set_gid_kept", 0640, 100, 0, 0, 3000, false, 0640, 100},
        {"set_gid_not_ours", 0640, 2000, 0, 0, 3000, false, 0600, 3000},
        {"narrowed", 0600, 100, 0664, user, 0, false, 0600, 100},
        {"acl_narrowed", 0600, 100, 0644, user, 0, false, 0600, 100},
        {"planted", 0600, 0, 0666, 2005, 0, true, 0600, 2005},
    };
    const std::vector<std::pair<uid_t, std::vector<gid_t>>> readers = {
        {2001, {100}},  {2002, {2000}}, {2004, {3000}},
        {1000, {1000}}, {2005, {2005}}, {2003, {2003}}};
    // The owner reads; user 1000 reads, through a mask that lets the group read.
    const std::string acl = u32_le(2) + u32_le(0x01 | 6 << 16) + u32_le(~0u) +
                            u32_le(0x02 | 4 << 16) + u32_le(1000) + u32_le(0x04 | 4 << 16) +
                            u32_le(~0u) + u32_le(0x10 | 4 << 16) + u32_le(~0u) +
                            u32_le(0x20 | 4 << 16) + u32_le(~0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = this->folder() / c.name;
        fs::create_directory(folder);
        ASSERT_EQ(chown(folder.c_str(), 0, c.folder_group), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folder_group != 0 ? 02777 : c.as_root ? 01777 : 0777), 0);
        const fs::path archive = folder / "e1.rtlx", output = folder / "e1.rtl";
        put(c.name + "/e1.rtlx", sample_archive(rxl, 1, 6400));
        ASSERT_EQ(chown(archive.c_str(), c.as_root ? 0 : user, c.archive_group), 0);
        ASSERT_EQ(chmod(archive.c_str(), c.archive), 0);
        if (c.old != 0) {
            put(c.name + "/e1.rtl", "the previous output");
            ASSERT_EQ(chown(output.c_str(), c.old_owner, c.old_owner == user ? 100 : c.old_owner),
                      0);
            ASSERT_EQ(chmod(output.c_str(), c.old), 0);
            if (c.name == "acl_narrowed" && setxattr(output.c_str(), "system.posix_acl_access",
                                                     acl.data(), acl.size(), 0) != 0) {
                continue;  // a file system without ACLs
            }
        }
        std::vector<bool> could_read;
        for (const auto& [reader, groups] : readers) {
            could_read.push_back(reads_as(reader, groups, archive) &&
                                 (c.old == 0 || reads_as(reader, groups, output)));
        }
        RunOptions options;
        options.unprivileged = !c.as_root;
        options.groups = {100};
        options.umask = 022;
        EXPECT_EQ(run({c.name + "/e1.rtlx"}, options).out, success(c.name + "/e1.rtl"));
        EXPECT_EQ(owner_of(output).mode, c.after);
        EXPECT_EQ(owner_of(output).group, c.group_after);
        EXPECT_EQ(owner_of(output).user, c.as_root ? 0 : user);
        for (std::size_t index = 0; index < readers.size(); ++index) {
            const auto& [reader, groups] = readers[index];
            EXPECT_TRUE(could_read[index] || !reads_as(reader, groups, output))
                << "user " << reader;
        }
    }
}

// A replaced output keeps its access ACL, as root and as its owner: one that
// lets one other user in and shuts the owning group out must not become a
// mode that lets the whole group in; nor may a file without one take the
// folder's default ACL. Where the ACL cannot be set, the old output stays.
TEST_F(SafeWrites, AReplacedOutputKeepsItsAccessAcl) {
    REQUIRE_UNPRIVILEGED_USER();
    REQUIRE(uses_linux_calls, "needs Linux's extended attributes, which this build does not use");
    // The named entry is a user's (0x02) or a group's (0x08).
    const auto acl = [](std::uint32_t user, std::uint32_t named, std::uint32_t group,
                        std::uint32_t named_tag = 0x02) {
        const auto entry = [](std::uint32_t tag, std::uint32_t permissions, std::uint32_t id) {
            return u32_le(tag | permissions << 16) + u32_le(id);
        };
        // In the order of their tags, as the system takes them.
        const std::string named_entry = entry(named_tag, named, 1000);
        return u32_le(2) + entry(0x01, user, ~0u) + (named_tag < 0x04 ? named_entry : "") +
               entry(0x04, group, ~0u) + (named_tag > 0x04 ? named_entry : "") +
               entry(0x10, named | group, ~0u) + entry(0x20, 0, ~0u);
    };
    put("e1.rtlx", sample_archive(rxl, 1, 6400));
    const std::string folder_default = acl(7, 7, 5);
    if (setxattr(folder().c_str(), "system.posix_acl_default", folder_default.data(),
                 folder_default.size(), 0) != 0) {
        GTEST_SKIP() << "the temporary folder's file system keeps no ACLs";
    }
    ASSERT_EQ(chown(folder().c_str(), unprivileged_user, unprivileged_user), 0);
    const fs::path output = folder() / "e1.rtl";
    const std::pair<std::string, std::string> cases[] = {
        {acl(6, 6, 0), ""},
        {"", ""},
        {acl(6, 6, 0), "fsetxattr:1:EOPNOTSUPP"},
        {acl(6, 6, 0, 0x08), ""},  // a named group
        {acl(6, 0, 0), ""}};       // a mask that lets nobody in
    for (const auto& [old_acl, faults] : cases) {
        for (const bool unprivileged : {false, true}) {
            SCOPED_TRACE(faults + (unprivileged ? " as the owner" : " as root") +
                         (old_acl.empty() ? ", no ACL" : ""));
            put("e1.rtl", "the previous output");
            ASSERT_EQ(chown(output.c_str(), unprivileged_user, unprivileged_user), 0);
            ASSERT_EQ(old_acl.empty() ? removexattr(output.c_str(), "system.posix_acl_access")
                                      : setxattr(output.c_str(), "system.posix_acl_access",
                                                 old_acl.data(), old_acl.size(), 0),
                      0);
            const mode_t mode = owner_of(output).mode;
            RunOptions options;
            options.unprivileged = unprivileged;
            options.faults = can_preload() ? faults : "";
            EXPECT_EQ(run({"e1.rtlx"}, options).out,
                      options.faults.empty() ? success("e1.rtl") : "");
            EXPECT_EQ(read_file(output) == "the previous output", !options.faults.empty());
            std::string acl_after(256, '\0');
            acl_after.resize(std::max<ssize_t>(
                getxattr(output.c_str(), "system.posix_acl_access", acl_after.data(), 256), 0));
            EXPECT_EQ(acl_after, old_acl);
            EXPECT_EQ(owner_of(output).mode, mode);
            EXPECT_EQ(listing(), (std::set<std::string>{"e1.rtlx", "e1.rtl"}));
        }
    }
    // A new output takes its archive's own ACL, with the users it names.
    const std::string archive_acl = acl(6, 4, 0);
    ASSERT_EQ(setxattr((folder() / "e1.rtlx").c_str(), "system.posix_acl_access",
                       archive_acl.data(), archive_acl.size(), 0),
              0);
    fs::remove(output);
    EXPECT_EQ(run({"e1.rtlx"}).out, success("e1.rtl"));
    std::string acl_after(256, '\0');
    acl_after.resize(std::max<ssize_t>(
        getxattr(output.c_str(), "system.posix_acl_access", acl_after.data(), 256), 0));
    EXPECT_EQ(acl_after, archive_acl);
}

// Without /proc (some containers) nothing is taken on trust: the old
// output's ACL is read through the old output itself, opened again without
// waiting and only if it is the file checked, and one that cannot be read so
// (here under another program's lease) stays; an archive is opened again only
// if it is the file looked at, never through a link.
TEST_F(SafeWrites, WithoutProcNothingIsTakenOnTrust) {
    REQUIRE(runs_natively() && geteuid() == 0 && !under_address_sanitizer && can_hide_proc(),
            "runs as root, in a mount namespace of its own without /proc (which the sanitizers "
            "need), where the machine lets it make one");
    REQUIRE(uses_linux_calls, "needs /proc and extended attributes, which this build does not use");
    // The owner reads and writes, user 1000 and the group read.
    const std::string acl = u32_le(2) + u32_le(0x01 | 6 << 16) + u32_le(~0u) +
                            u32_le(0x02 | 4 << 16) + u32_le(1000) + u32_le(0x04 | 4 << 16) +
                            u32_le(~0u) + u32_le(0x10 | 4 << 16) + u32_le(~0u) + u32_le(0x20) +
                            u32_le(~0u);
    const std::string old = "the previous output";
    for (const std::string name : {"a", "b"}) {
        put(name + ".rtlx", sample_archive(rxl, 1, 6400));
        put(name + ".rtl", old);
    }
    if (setxattr((folder() / "a.rtl").c_str(), "system.posix_acl_access", acl.data(), acl.size(),
                 0) != 0) {
        GTEST_SKIP() << "the temporary folder's file system keeps no ACLs";
    }
    signal(SIGIO, SIG_IGN);  // how the holder hears that its lease is wanted
    const int leased = open((folder() / "b.rtl").c_str(), O_RDWR);
    ASSERT_EQ(fcntl(leased, F_SETLEASE, F_WRLCK), 0);
    fs::create_symlink("a.rtlx", folder() / "link.rtlx");
    RunOptions options;
    options.without_proc = true;
    const Result result = run({"a.rtlx", "b.rtlx", "link.rtlx"}, options);
    close(leased);
    EXPECT_EQ(result.out, success("a.rtl"));
    EXPECT_EQ(result.err,
              "Warning: Couldn't write \"b.rtl\" to disk!\n"
              "Warning: Couldn't open \"link.rtlx\" for reading!\n");
    std::string acl_after(256, '\0');
    acl_after.resize(std::max<ssize_t>(
        getxattr((folder() / "a.rtl").c_str(), "system.posix_acl_access", acl_after.data(), 256),
        0));
    EXPECT_EQ(acl_after, acl);
    EXPECT_TRUE(bytes_match(read_file(folder() / "b.rtl"), old));
    EXPECT_EQ(listing(),
              (std::set<std::string>{"a.rtlx", "a.rtl", "b.rtlx", "b.rtl", "link.rtlx"}));

    // Another file put at the archive's name once it was looked at is not
    // opened in its place.
    if (can_preload()) {
        put("c.rtlx", sample_archive(rxl, 1, 6400));
        put("d.rtlx", sample_archive(rxl, 2, 6400));
        options.faults = "fstat:1:RUN";
        options.fault_command = "mv d.rtlx c.rtlx";
        const Result swapped = run({"c.rtlx"}, options);
        EXPECT_EQ(swapped.err, "Warning: Couldn't open \"c.rtlx\" for reading!\n");
        EXPECT_FALSE(fs::exists(folder() / "c.rtl"));
    }
}

// The owner of a drop box, who also owns the folder it is in, swaps the box
// for a link to a folder of the user's own at the very instant the program
// has read the archive, makes its file, or renames it into place: every step
// still acts in the box the archive was read from, and the user's own files
// are never touched.
TEST_F(SafeWrites, ADropBoxSwappedDuringTheWriteKeepsEveryStepInIt) {
    REQUIRE_UNPRIVILEGED_USER();
    REQUIRE(can_preload(), preload_needs);
    const fs::path box = folder() / "drop", moved = folder() / "moved", own = folder() / "own";
    const fs::path reached = scratch / "reached";
    ASSERT_EQ(mkfifo(reached.c_str(), 0644), 0);
    fs::create_directories(own);
    put("own/d.rtl", "the user's own");
    fs::permissions(own / "d.rtl", fs::perms::owner_read | fs::perms::owner_write);
    for (const fs::path& path : {own, own / "d.rtl"}) {
        ASSERT_EQ(chown(path.c_str(), unprivileged_user, unprivileged_user), 0);
    }
    fs::create_directory(box);
    put("drop/d.rtlx", sample_archive(rxl, 2, 6400));
    fs::permissions(box, static_cast<fs::perms>(0733));
    // A new output, then a replacement, and one more with the box swapped
    // once the archive is read, before anything is written.
    for (const std::string faults :
         {uses_linux_calls ? "tmpfile:1:RUN" : "create:1:RUN", "renameat:1:RUN",
          uses_linux_calls ? "close:2:RUN" : "close:1:RUN"}) {
        SCOPED_TRACE(faults);
        // The box's owner waits for the program to reach the call, swaps, and
        // lets it go on.
        const pid_t owner = fork();
        if (owner == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const bool swapped = open(reached.c_str(), O_WRONLY) >= 0 &&
                                 rename(box.c_str(), moved.c_str()) == 0 &&
                                 symlink("own", box.c_str()) == 0;
            _exit(swapped ? 0 : 1);
        }
        RunOptions options;
        options.unprivileged = true;
        options.faults = faults;
        options.fault_command = "cat " + reached.string();
        const Result result = run({"drop/d.rtlx"}, options);
        int swapped = 0;
        waitpid(owner, &swapped, 0);
        EXPECT_EQ(swapped, 0);
        EXPECT_EQ(result.out, success("drop/d.rtl")) << result.err;
        EXPECT_TRUE(bytes_match(read_file(moved / "d.rtl"), sample_map_file(rxl, 2, 6400)));
        EXPECT_EQ(std::distance(fs::directory_iterator(moved), {}), 2);  // nothing left hidden
        EXPECT_TRUE(bytes_match(read_file(own / "d.rtl"), "the user's own"));
        EXPECT_EQ(std::distance(fs::directory_iterator(own), {}), 1);
        fs::remove(box);
        fs::rename(moved, box);  // with its output, for the second turn to replace
    }
}

// Another user who may write into the output's folder swaps every temporary
// name the program makes for a link to a file of root's, as soon as it
// appears. Root's file and the archives are never written; what that user
// leaves at an output's name is theirs to leave, as they may rename or remove
// any name in that folder anyway.
TEST_F(SafeWrites, ALinkSwappedInDuringTheWriteIsNeverWrittenThrough) {
    REQUIRE_UNPRIVILEGED_USER();
    const fs::path victim = scratch / "root_only";
    std::ofstream(victim) << "root's own";
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(folder(), fs::perms::all);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t attacker = fork();
    if (attacker == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
        const int watch = inotify_init();
        if (!become_unprivileged() ||
            inotify_add_watch(watch, folder().c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
            _exit(1);
        }
        (void)!write(ready[1], "r", 1);
        alignas(inotify_event) char events[4096];
        std::set<std::string> swapped;  // its own links raise events too
        for (;;) {
            const ssize_t length = read(watch, events, sizeof events);
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                const std::string name = event->len ? event->name : "";
                if (name.rfind(".mapdown-", 0) == 0 && swapped.insert(name).second) {
                    const fs::path path = folder() / name;
                    if (unlink(path.c_str()) == 0) {
                        (void)!symlink(victim.c_str(), path.c_str());
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    // Many files, half of them replacing an older output: the race is won or
    // lost in microseconds.
    const std::string archive = sample_archive(rxl, 5, 2u << 20);
    for (const std::string faults : {"", "tmpfile:1-40:EOPNOTSUPP"}) {
        if (!faults.empty() && !can_preload()) {
            continue;
        }
        std::vector<std::string> arguments;
        for (int index = 0; index < 40; ++index) {
            const std::string name = "e" + std::to_string(index) + ".rtlx";
            const std::string output = name.substr(0, name.size() - 1);
            put(name, archive);
            fs::remove(folder() / output);  // may be a link the other user left
            if (index % 2 == 0) {
                put(output, "the previous output");
            }
            arguments.push_back(name);
        }
        RunOptions options;
        options.faults = faults;
        const Result result = run(arguments, options);
        SCOPED_TRACE(faults);
        EXPECT_EQ(result.status, 0);
        for (const std::string& name : arguments) {
            EXPECT_TRUE(bytes_match(read_file(folder() / name), archive)) << name;
        }
        EXPECT_TRUE(bytes_match(read_file(victim), "root's own"));
    }
    kill(attacker, SIGKILL);
    waitpid(attacker, nullptr, 0);
    EXPECT_EQ(owner_of(victim).mode, 0600u);
}

// Makes nested folders of the given name lengths below `top` without ever
// naming a path longer than the system allows, and returns the deepest one's
// path relative to `top`, with a final slash.
std::string make_deep_folders(const fs::path& top, const std::vector<std::size_t>& lengths) {
    std::string relative;
    int folder = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (const std::size_t length : lengths) {
        const std::string name(length, static_cast<char>('a' + relative.size() % 26));
        EXPECT_EQ(mkdirat(folder, name.c_str(), 0755), 0);
        const int inner = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(folder);
        folder = inner;
        relative += name + "/";
    }
    close(folder);
    return relative;
}

// The archive's path is as long as the system allows, and the output's folder
// is too deep to hold a temporary name longer than the output's own: the
// folder is named once, and every later name is relative to it.
TEST_F(SafeWrites, AnOutputNearThePathLimitIsWritten) {
    REQUIRE(runs_natively(), direct_only << ": path limits differ elsewhere");
    std::vector<std::size_t> lengths(20, 200);
    lengths.push_back(PATH_MAX - 1 - 20 * 201 - 6 - 1);
    const std::string input = make_deep_folders(folder(), lengths) + "e.rtlx";
    const std::string output = input.substr(0, input.size() - 1);
    ASSERT_EQ(input.size(), static_cast<std::size_t>(PATH_MAX - 1));
    ASSERT_EQ(chdir(folder().c_str()), 0);
    std::ofstream(input, std::ios::binary) << sample_archive(rxl, 1, 6400);
    const Result result = run({input});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, success(output));
    EXPECT_TRUE(bytes_match(read_file(output), sample_map_file(rxl, 1, 6400)));
    ASSERT_EQ(std::system(("rm -rf " + input.substr(0, 200)).c_str()), 0);
    ASSERT_EQ(chdir(scratch.c_str()), 0);
}

// Real file systems, mounted from small images: the kernel's own through loop
// devices, and FAT, exFAT and NTFS through FUSE, which keep no Unix owners or
// permissions. On each, as root and as an unprivileged user, a new output and
// a replacement convert, nothing is left beside them, and an interrupted
// write leaves the previous output as it was.
struct FileSystem {
    const char* name;
    const char* needs;  // a device that mounting it needs, or ""
    const char* make;   // IMAGE stands for the image's path
    const char* mount;  // IMAGE as above, FOLDER for where it is mounted
    const char* tools;  // the Debian packages that make and mount it
};
void PrintTo(const FileSystem& system, std::ostream* out) {
    *out << system.name;
}

const char* const loop = "/dev/loop-control";
const FileSystem file_systems[] = {
    {"tmpfs", "", "true", "mount -t tmpfs tmpfs FOLDER", "mount"},
    {"overlay", "", "mkdir IMAGE.lower IMAGE.upper IMAGE.work",
     "mount -t overlay overlay -o lowerdir=IMAGE.lower,upperdir=IMAGE.upper,workdir=IMAGE.work "
     "FOLDER",
     "mount"},
    {"ext4", loop, "mkfs.ext4 -q -F IMAGE", "mount -o loop IMAGE FOLDER", "e2fsprogs"},
    {"xfs", loop, "mkfs.xfs -q IMAGE", "mount -o loop IMAGE FOLDER", "xfsprogs"},
    {"btrfs", loop, "mkfs.btrfs -q IMAGE", "mount -o loop IMAGE FOLDER", "btrfs-progs"},
    {"fat", "/dev/fuse", "mkfs.vfat IMAGE", "fusefat -o rw+,allow_other,umask=0 IMAGE FOLDER",
     "dosfstools fusefat"},
    {"exfat", "/dev/fuse", "mkfs.exfat IMAGE", "mount -o loop -t exfat-fuse IMAGE FOLDER",
     "exfatprogs exfat-fuse"},
    {"ntfs", "/dev/fuse", "mkntfs -F -f -q IMAGE", "ntfs-3g IMAGE FOLDER", "ntfs-3g"},
    // As Windows sees NTFS: blind to letter case, with short names.
    {"ntfs_ignore_case", "/dev/fuse", "mkntfs -F -f -q IMAGE",
     "lowntfs-3g -o ignore_case IMAGE FOLDER", "ntfs-3g"},
};

class RealFileSystems : public SafeWrites, public ::testing::WithParamInterface<FileSystem> {};

// Runs a shell command; its output lands in `output`.
int shell(std::string command, const fs::path& image, const fs::path& folder, std::string& output) {
    for (const auto& [word, path] : {std::pair{"IMAGE", image}, std::pair{"FOLDER", folder}}) {
        for (std::size_t at; (at = command.find(word)) != std::string::npos;) {
            command.replace(at, std::strlen(word), path.string());
        }
    }
    const fs::path log = image.string() + ".log";
    const int status = std::system((command + " >" + log.string() + " 2>&1").c_str());
    output = read_file(log);
    return status;
}

// Unmounts at the end of the test, whatever happened.
struct Mounted {
    fs::path folder;
    ~Mounted() {
        if (!folder.empty()) {
            (void)!std::system(("umount " + folder.string()).c_str());
        }
    }
};

TEST_P(RealFileSystems, ConvertAndReplaceAsRootAndAsAnyUser) {
    const FileSystem& system = GetParam();
    // CI sets MAPDOWN_REQUIRE_MOUNTS, where a skip would hide a failure.
    const bool required = std::getenv("MAPDOWN_REQUIRE_MOUNTS") != nullptr;
    std::string why, output;
    const bool has_device = *system.needs == '\0' || fs::exists(system.needs);
    if (!unprivileged_user_can_run(why) || !has_device) {
        why = has_device ? why
                         : std::string("needs ") + system.needs + ", as root on the machine itself";
        ASSERT_FALSE(required) << why;
        GTEST_SKIP() << why;
    }
    const fs::path image = scratch / (std::string(system.name) + ".img");
    std::ofstream(image).close();
    fs::resize_file(image, 320u << 20);  // sparse; as small as xfs allows
    if (shell(system.make, image, folder(), output) != 0 ||
        shell(system.mount, image, folder(), output) != 0) {
        ASSERT_FALSE(required) << output;
        GTEST_SKIP() << "cannot make or mount " << system.name << " (it needs Debian's "
                     << system.tools << "): " << output.substr(0, output.find('\n'));
    }
    Mounted mounted{folder()};
    fs::remove(folder() / "lost+found");
    // Where the file system keeps owners, the folder is the other user's.
    (void)!chown(folder().c_str(), unprivileged_user, unprivileged_user);

    const std::string archive = sample_archive(rxl, 3, 4u << 20);
    const std::string converted = sample_map_file(rxl, 3, 4u << 20);
    put("e1.rtlx", archive);
    for (const bool unprivileged : {false, true}) {
        SCOPED_TRACE(unprivileged ? "as an unprivileged user" : "as root");
        RunOptions options;
        options.unprivileged = unprivileged;
        fs::remove(folder() / "e1.rtl");
        for (const char* turn : {"new", "replacing"}) {
            SCOPED_TRACE(turn);
            const Result result = run({"e1.rtlx"}, options);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.out, success("e1.rtl"));
            EXPECT_TRUE(bytes_match(read_file(folder() / "e1.rtl"), converted));
            EXPECT_EQ(listing(), (std::set<std::string>{"e1.rtlx", "e1.rtl"}));
        }
        if (can_preload()) {
            fs::remove(folder() / "e1.rtl");  // fusefat does not truncate
            put("e1.rtl", "the previous output");
            (void)!chown((folder() / "e1.rtl").c_str(), unprivileged_user, unprivileged_user);
            options.faults = "write:2:SIGINT";
            const Result result = run({"e1.rtlx"}, options);
            EXPECT_EQ(result.signal, SIGINT);
            EXPECT_TRUE(bytes_match(read_file(folder() / "e1.rtl"), "the previous output"));
            EXPECT_EQ(listing(), (std::set<std::string>{"e1.rtlx", "e1.rtl"}));
        }
    }
    EXPECT_TRUE(bytes_match(read_file(folder() / "e1.rtlx"), archive));

    // Where letter case makes no difference, an old output named in other
    // letters is the output; a short alias (as Windows gives long names on
    // NTFS and FAT) is another file's, never replaced.
    if (fs::exists(folder() / "E1.RTLX")) {
        fs::remove(folder() / "e1.rtl");
        put("E1.RTL", "the previous output");
        put("e2.rtl", "another output, whose name is as long");
        EXPECT_EQ(run({"e1.rtlx"}).out, success("e1.rtl"));
        EXPECT_TRUE(bytes_match(read_file(folder() / "e1.rtl"), converted));
        EXPECT_EQ(listing().size(), 3u);
        fs::remove(folder() / "e2.rtl");
        put("longmapname.rtlx", archive);
        (void)!setxattr((folder() / "longmapname.rtlx").c_str(), "system.ntfs_dos_name",
                        "LONGMA~1.RTL", 12, 0);
        EXPECT_EQ(fs::exists(folder() / "longma~1.rtl"),
                  std::string(system.name) == "ntfs_ignore_case");
        put("longma~1.rtlx", archive);
        const Result result = run({"longma~1.rtlx"});
        EXPECT_TRUE(bytes_match(read_file(folder() / "longmapname.rtlx"), archive));
        EXPECT_EQ(result.err, fs::exists(folder() / "longma~1.rtl") && result.out.empty()
                                  ? "Warning: Couldn't open \"longma~1.rtl\" for writing!\n"
                                  : "");
        EXPECT_EQ(listing().size(), result.out.empty() ? 4u : 5u);
        // Where that folder cannot be listed, the name cannot be shown to be
        // the file's own. (FAT and exFAT through FUSE number a file anew for
        // each way of writing its name: as told apart by case, they are not
        // asked for a listing, and have no short aliases to find.)
        if (can_preload() && std::string(system.name) == "ntfs_ignore_case") {
            RunOptions options;
            options.faults = "fdopendir:1:EACCES";
            EXPECT_EQ(run({"e1.rtlx"}, options).err,
                      "Warning: Couldn't open \"e1.rtl\" for writing!\n");
        }
    }
    // An append-only folder keeps every name made in it: no hidden one is.
    fs::create_directory(folder() / "kept");
    put("kept/e1.rtlx", archive);
    put("kept/e1.rtl", "the previous output");
    const int kept = open((folder() / "kept").c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (ioctl(kept, FS_IOC_GETFLAGS, &flags) == 0 &&
        ioctl(kept, FS_IOC_SETFLAGS, &(flags |= FS_APPEND_FL)) == 0) {
        const Result result = run({"kept/e1.rtlx"});
        EXPECT_EQ(result.err, "Warning: Couldn't open \"kept/e1.rtl\" for writing!\n");
        EXPECT_TRUE(bytes_match(read_file(folder() / "kept/e1.rtl"), "the previous output"));
        // A build that cannot ask (POSIX alone, on Linux) leaves an empty one.
        for (const auto& entry : fs::directory_iterator(folder() / "kept")) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "e1.rtlx" || name == "e1.rtl" ||
                        (!uses_linux_calls && fs::file_size(entry.path()) == 0))
                << name;
        }
        flags &= ~FS_APPEND_FL;
        ioctl(kept, FS_IOC_SETFLAGS, &flags);
    }
    close(kept);
}

INSTANTIATE_TEST_SUITE_P(, RealFileSystems, ::testing::ValuesIn(file_systems),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
