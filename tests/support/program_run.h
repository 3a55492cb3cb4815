// Runs the built program in a scratch folder, as a user would: with chosen
// limits, as an unprivileged user, or with calls made to fail. The fixture
// keeps the console output, the exit status and every file left behind.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "file_bytes.h"
#include "sample_archive.h"

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool under_address_sanitizer = true;
#elif defined(__has_feature)
inline constexpr bool under_address_sanitizer = __has_feature(address_sanitizer);
#else
inline constexpr bool under_address_sanitizer = false;
#endif

// Not inline: an inline variable may be initialised before the magic bytes.
const std::string rxl = rxl_magic_bytes;
const std::string rxc = rxc_magic_bytes;

inline std::string success(const std::string& output) {
    return "Successfully wrote \"" + output + "\" to disk.\n";
}
inline std::string not_valid(const std::string& input) {
    return "Warning: \"" + input + "\" is not a valid RTLX or RTCX file!\n";
}
inline std::string no_offset(const std::string& input) {
    return "Warning: Couldn't determine map array offset in \"" + input + "\"!\n";
}

// Whether the program may use Linux's own calls (nameless files, /proc,
// O_PATH), or only what every POSIX system has.
#ifdef MAPDOWN_POSIX_ONLY
inline constexpr bool uses_linux_calls = false;
#else
inline constexpr bool uses_linux_calls = true;
#endif

// The user that the permission cases run as.
constexpr uid_t unprivileged_user = 65534;

struct RunOptions {
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    rlim_t open_files = RLIM_INFINITY;
    rlim_t stack = RLIM_INFINITY;
    bool unprivileged = false;    // as unprivileged_user: see unprivileged_user_can_run
    std::vector<gid_t> groups;    // that user's supplementary groups
    int umask = -1;               // -1: the test's own
    std::string faults;           // MAPDOWN_FAULTS for the preloaded fault injection
    std::string fault_command;    // MAPDOWN_FAULT_COMMAND, which a RUN fault runs
    bool hangup_ignored = false;  // started as nohup starts a program
    bool without_proc = false;    // where /proc cannot be reached (see hide_proc)
    bool merged_output = false;   // standard error into standard output, as with 2>&1
    // In a pseudo-terminal (through script), as in a console window: both
    // streams reach `out`, without the terminal's control sequences and \r.
    bool terminal = false;
    // With terminal: Ctrl-C is typed once a file whose name begins so appears.
    std::string interrupt_when;
    // With terminal, for the Windows program: started as in a console window,
    // through cmd.exe, which then shares the console; or with its input
    // redirected from /dev/null.
    bool from_console_window = false;
    bool input_redirected = false;
};

// A terminal's output without its control sequences and \r.
inline std::string terminal_text(const std::string& raw) {
    return std::regex_replace(raw, std::regex("\x1b\\[[?0-9;]*[a-zA-Z]|\r"), "");
}

// What the Windows program shows when its window would close on a problem.
constexpr char close_window_prompt[] = "Press any key to close this window.\n";

// Becomes the unprivileged user, in `groups` besides that user's own.
inline bool become_unprivileged(const std::vector<gid_t>& groups = {}) {
    return setgroups(groups.size(), groups.data()) == 0 && setgid(unprivileged_user) == 0 &&
           setuid(unprivileged_user) == 0;
}

// A mount namespace of the process's own in which /proc is an empty folder,
// as in some containers. Needs root.
// (Only /proc is made private there: in a chroot "/" is no mount.)
inline bool hide_proc() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

// Whether this machine lets a process hide /proc so.
inline bool can_hide_proc() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(hide_proc() ? 0 : 1);
    }
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

inline bool limit(int resource, rlim_t value) {
    const rlimit both{value, value};
    return value == RLIM_INFINITY || setrlimit(resource, &both) == 0;
}

struct Result {
    std::string out, err;
    int status = -1;  // the exit status; -1 when a signal ended the program
    int signal = 0;   // the signal that ended it
    // In a terminal: the program showed close_window_prompt and was still
    // running half a second later, when a key was typed.
    bool waited_for_key = false;
};

// How a skipped test that needs it says so.
constexpr char direct_only[] = "runs against the program run directly (no MAPDOWN_COMMAND)";

// Whether the program runs directly, so that limits set here apply to it alone.
inline bool runs_natively() {
    return std::getenv("MAPDOWN_COMMAND") == nullptr;
}

// Whether the program under test is a Windows build, run through an emulator.
inline bool runs_windows_program() {
    const char* command = std::getenv("MAPDOWN_COMMAND");
    return command != nullptr && std::regex_search(command, std::regex(R"(\.exe\s*$)"));
}

// The program, or MAPDOWN_COMMAND's words (a runner and the program) when set.
inline std::vector<std::string> program_command() {
    std::vector<std::string> words;
    if (const char* command = std::getenv("MAPDOWN_COMMAND")) {
        std::istringstream split(command);
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
    } else {
        words.push_back(MAPDOWN_PATH);
    }
    return words;
}

// Wine makes its prefix, noisily, the first time it runs: done once here, its
// messages dropped, so that they never count as the program's.
inline void make_wine_prefix() {
    const char* prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    const fs::path folder = prefix ? fs::path(prefix) : fs::path(home ? home : "") / ".wine";
    if (!fs::exists(folder / "system.reg")) {
        const std::string command = std::getenv("MAPDOWN_COMMAND");
        (void)!std::system(("WINEDEBUG=-all " + command + " >/dev/null 2>&1").c_str());
    }
}

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string suite = info->test_suite_name(), test = info->name();
        // One folder per test and process: runs of other checkouts and users
        // may share the temporary folder. A parameterised test's name has a
        // slash.
        std::string name = "mapdown_test_" + suite + "_" + test + "_" + std::to_string(getpid());
        std::replace(name.begin(), name.end(), '/', '_');
        scratch = fs::temp_directory_path() / name;
        fs::remove_all(scratch);
        fs::create_directories(folder());
    }
    void TearDown() override { fs::remove_all(scratch); }

    fs::path folder() const { return scratch / "work"; }

    // The program, and the fault injection library, copied where the
    // unprivileged user can run them: the build folder may lie where only
    // its owner may go. False, with `why` set, where that user cannot reach
    // the scratch folder either.
    bool unprivileged_user_can_run(std::string& why) const {
        if (!runs_natively() || geteuid() != 0) {
            why =
                "needs root (run the tests as root) and the program run directly (no "
                "MAPDOWN_COMMAND), to run it as another user";
            return false;
        }
        fs::create_directories(unprivileged_bin());
        for (const fs::path& built : {fs::path(MAPDOWN_PATH), fs::path(FAULT_INJECTION_PATH)}) {
            fs::copy_file(built, unprivileged_bin() / built.filename(),
                          fs::copy_options::overwrite_existing);
        }
        fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
        const pid_t child = fork();
        if (child == 0) {
            _exit(become_unprivileged() && access(unprivileged_program().c_str(), X_OK) == 0 ? 0
                                                                                             : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        why = "user " + std::to_string(unprivileged_user) + " cannot reach " + scratch.string() +
              ": give it a temporary folder it can pass through (TMPDIR)";
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    fs::path unprivileged_bin() const { return scratch / "bin"; }
    fs::path unprivileged_program() const {
        return unprivileged_bin() / fs::path(MAPDOWN_PATH).filename();
    }

    void put(const std::string& name, const std::string& bytes) const {
        std::ofstream(folder() / name, std::ios::binary) << bytes;
    }

    // Writes `pieces` at their positions, leaving holes between them.
    void put_sparse(const std::string& name,
                    const std::vector<std::pair<std::uint64_t, std::string>>& pieces) const {
        std::ofstream out(folder() / name, std::ios::binary);
        for (const auto& [position, bytes] : pieces) {
            out.seekp(static_cast<std::streamoff>(position));
            out << bytes;
        }
        ASSERT_TRUE(out.flush());
    }

    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    Result run(const std::vector<std::string>& arguments, const RunOptions& options = {}) const {
        if (runs_windows_program()) {
            make_wine_prefix();
        }
        std::vector<std::string> words = program_command();
        std::string preload = FAULT_INJECTION_PATH;
        if (options.unprivileged) {
            words[0] = unprivileged_program();
            preload = unprivileged_bin() / fs::path(FAULT_INJECTION_PATH).filename();
        }
        words.insert(words.end(), arguments.begin(), arguments.end());
        const fs::path out = scratch / "stdout", err = scratch / "stderr";
        fs::remove(out);  // the last run's lines are not this one's
        // An instrumented build's counter files belong to root: another user
        // writes its own where it may, a new folder each run (the umask may
        // leave them read-only).
        static int unprivileged_runs = 0;
        const fs::path counters =
            scratch / ("unprivileged_counters_" + std::to_string(++unprivileged_runs));
        if (options.unprivileged) {
            fs::create_directories(counters);
            EXPECT_EQ(chown(counters.c_str(), unprivileged_user, unprivileged_user), 0);
        }
        if (options.terminal) {
            if (options.from_console_window) {
                words.insert(words.begin() + 1, {"cmd", "/c"});
            }
            // script hands the line to $SHELL, which may stay between the
            // terminal and the program (dash does) and be what Ctrl-C ends.
            std::string command = "exec ";
            for (const std::string& word : words) {
                command += "'" + std::regex_replace(word, std::regex("'"), "'\\''") + "' ";
            }
            if (options.input_redirected) {
                command += "</dev/null";
            }
            words = {"script", "-qec", command, "/dev/null"};
        }
        int keyboard[2];
        EXPECT_EQ(pipe(keyboard), 0);
        signal(SIGPIPE, SIG_IGN);  // a key typed as the terminal ends fails, no more
        const pid_t child = fork();
        if (child == 0) {
            dup2(keyboard[0], STDIN_FILENO);
            if (options.unprivileged) {
                setenv("GCOV_PREFIX", counters.c_str(), 1);
                setenv("GCOV_PREFIX_STRIP", "100", 1);
            }
            alarm(60);  // a program that hangs is ended, and the test fails
            if (options.hangup_ignored) {
                signal(SIGHUP, SIG_IGN);
            }
            if (!runs_natively()) {
                // A runner's own helpers (an emulator's server) may not expect
                // the file-size limit; the program itself must cope with it.
                signal(SIGXFSZ, SIG_IGN);
            }
            if (runs_windows_program()) {
                // Wine's own messages stay out of the program's output, and
                // names reach the file system in UTF-8, whatever the locale.
                setenv("WINEDEBUG", "-all", 1);
                setenv("LC_ALL", "C.UTF-8", 1);
            }
            if (options.umask >= 0) {
                umask(static_cast<mode_t>(options.umask));
            }
            if (!options.faults.empty()) {
                setenv("LD_PRELOAD", preload.c_str(), 1);
                setenv("MAPDOWN_FAULTS", options.faults.c_str(), 1);
                setenv("MAPDOWN_FAULT_LOG", fault_log().c_str(), 1);
                setenv("MAPDOWN_FAULT_COMMAND", options.fault_command.c_str(), 1);
            }
            // Only the standard three pass on, so that a limit on descriptors
            // counts the program's own.
            close_range(3, ~0u, 0);
            if ((options.without_proc && !hide_proc()) || chdir(folder().c_str()) != 0 ||
                !freopen(out.c_str(), "wb", stdout) ||
                !(options.merged_output ? dup2(fileno(stdout), STDERR_FILENO) >= 0
                                        : freopen(err.c_str(), "wb", stderr) != nullptr) ||
                !limit(RLIMIT_FSIZE, options.file_size) ||
                !limit(RLIMIT_AS, options.address_space) ||
                !limit(RLIMIT_NOFILE, options.open_files) || !limit(RLIMIT_STACK, options.stack) ||
                !limit(RLIMIT_CORE, 0) ||
                (options.unprivileged && !become_unprivileged(options.groups))) {
                _exit(126);
            }
            std::vector<char*> argv;
            for (std::string& word : words) {
                argv.push_back(word.data());
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        close(keyboard[0]);
        // Ctrl-C as asked; a key once the Windows program waits for one.
        bool interrupted = options.interrupt_when.empty(), keyed = false, waited_for_key = false;
        bool ended = !options.terminal && interrupted && waitpid(child, &status, 0) == child;
        for (int wait = 0; !ended; ++wait) {
            if (!interrupted && wait < 30000 && has_file_beginning(options.interrupt_when)) {
                EXPECT_EQ(write(keyboard[1], "\x03", 1), 1);
                interrupted = true;
            }
            if (options.terminal && !keyed &&
                terminal_text(read_file(out)).find(close_window_prompt) != std::string::npos) {
                usleep(500000);
                keyed = true;
                waited_for_key = waitpid(child, &status, WNOHANG) == 0;
                ended = !waited_for_key;  // it ended by itself, and is reaped
                if (waited_for_key) {
                    EXPECT_EQ(write(keyboard[1], "k", 1), 1);
                }
            }
            usleep(1000);
            ended = ended || waitpid(child, &status, WNOHANG) == child;
        }
        close(keyboard[1]);
        const std::string shown = options.terminal ? terminal_text(read_file(out)) : read_file(out);
        return {shown, options.merged_output ? "" : read_file(err),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                WIFSIGNALED(status) ? WTERMSIG(status) : 0, waited_for_key};
    }

    bool has_file_beginning(const std::string& prefix) const {
        const std::set<std::string> names = listing();
        return std::any_of(names.begin(), names.end(),
                           [&](const std::string& name) { return name.rfind(prefix, 0) == 0; });
    }

    // The faults that fired in the last run, a line each.
    fs::path fault_log() const { return scratch / "faults"; }

    fs::path scratch;  // holds the working folder and the captured output
};
