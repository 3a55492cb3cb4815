// Times mapdown against two baselines on inputs it makes itself:
//   mapdown_bench MAPDOWN WHOLE_FILE_COPY ROUNDS
// A batch of 500 archives of about 1 MiB and one archive with a 512 MiB map
// array are written to a temporary folder (removed at the end). Each round
// runs, on each input set, mapdown, the whole-file copy (read each file into
// one buffer, write it out) and cp, each as one process. It prints the median
// wall time of each, the ratios, and each one's peak resident memory. Dirty
// pages are written back before every run, outside the time measured.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sample_archive.h"

namespace fs = std::filesystem;

namespace {

struct Timing {
    double seconds;      // wall time
    double cpu_seconds;  // user and system time, less at the mercy of the disk
    long peak_kib;
};

Timing run(const std::vector<std::string>& command) {
    std::fflush(stdout);  // or the child would print what is buffered again
    sync();               // so that no run pays for writing back what an earlier one wrote
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const std::string& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        if (!std::freopen("/dev/null", "w", stdout)) {
            _exit(126);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", command[0].c_str());
        std::exit(1);
    }
    const auto cpu = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
    return {elapsed.count(), cpu(usage.ru_utime) + cpu(usage.ru_stime), usage.ru_maxrss};
}

// An archive whose map array of `size` bytes follows the header directly.
void write_archive(const fs::path& path, unsigned used_maps, std::uint32_t size) {
    constexpr std::uint32_t chunk = 1 << 20;
    std::ofstream out(path, std::ios::binary);
    out << archive_header(rxl_magic_bytes, 1, 24 + std::uint64_t{size}, 1)
        << sample_map_array(24, used_maps, std::min(size, chunk));
    const std::string filler(chunk, 'm');
    for (std::uint64_t written = std::min(size, chunk); written < size; written += chunk) {
        out.write(filler.data(),
                  static_cast<std::streamsize>(std::min<std::uint64_t>(chunk, size - written)));
    }
    out << directory_entry("MAPS", 24, size);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void clear(const fs::path& folder, const char* extension) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (extension == nullptr || entry.path().extension() == extension) {
            fs::remove(entry.path());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: mapdown_bench MAPDOWN WHOLE_FILE_COPY ROUNDS\n", stderr);
        return 2;
    }
    const std::string mapdown = fs::absolute(argv[1]).string();
    const std::string copy = fs::absolute(argv[2]).string();
    const int rounds = std::atoi(argv[3]);
    const fs::path root = fs::temp_directory_path() / ("mapdown_bench_" + std::to_string(getpid()));
    const fs::path batch = root / "batch", large = root / "large", copies = root / "copies";
    for (const fs::path& folder : {batch, large, copies}) {
        fs::create_directories(folder);
    }
    constexpr std::uint32_t batch_array_size = (1u << 20) - 64;
    constexpr std::uint32_t large_array_size = 512u << 20;
    std::vector<std::string> batch_files;
    for (int index = 0; index < 500; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "a%03d.rtlx", index);
        write_archive(batch / name, 1 + index % 100, batch_array_size);
        batch_files.push_back((batch / name).string());
    }
    write_archive(large / "big.rtlx", 100, large_array_size);
    const std::vector<std::string> large_files = {(large / "big.rtlx").string()};

    struct Set {
        const char* name;
        const fs::path& folder;
        const std::vector<std::string>& files;
        double array_mib;
    };
    const Set sets[] = {
        {"batch of 500 x 1 MiB", batch, batch_files, batch_array_size / 1048576.0},
        {"one 512 MiB map array", large, large_files, large_array_size / 1048576.0}};
    std::printf("%d rounds, medians of wall time; peak memory is the largest resident set seen\n",
                rounds);
    for (const Set& set : sets) {
        struct Contestant {
            const char* name;
            std::vector<std::string> command;
            fs::path outputs;       // the folder it writes to
            const char* extension;  // of the files it writes there; nullptr for all
            std::vector<Timing> timings;
        };
        Contestant contestants[] = {{"mapdown", {mapdown}, set.folder, ".rtl", {}},
                                    {"whole-file copy", {copy}, set.folder, ".copy", {}},
                                    {"cp", {"cp"}, copies, nullptr, {}}};
        for (Contestant& contestant : contestants) {
            contestant.command.insert(contestant.command.end(), set.files.begin(), set.files.end());
        }
        contestants[2].command.push_back(copies.string());
        // Each runs first in turn, and every run starts from the same files.
        for (int round = 0; round < rounds; ++round) {
            for (int turn = 0; turn < 3; ++turn) {
                Contestant& contestant = contestants[(round + turn) % 3];
                contestant.timings.push_back(run(contestant.command));
                clear(contestant.outputs, contestant.extension);
            }
        }
        std::printf("\n%-28s %8s %8s %10s\n", set.name, "wall", "cpu", "peak");
        double wall[3], cpu[3];
        for (int index = 0; index < 3; ++index) {
            const std::vector<Timing>& timings = contestants[index].timings;
            std::vector<double> walls, cpus;
            long peak = 0;
            for (const Timing& timing : timings) {
                walls.push_back(timing.seconds);
                cpus.push_back(timing.cpu_seconds);
                peak = std::max(peak, timing.peak_kib);
            }
            wall[index] = median(walls);
            cpu[index] = median(cpus);
            std::printf("  %-26s %7.3fs %7.3fs %6.1f MiB\n", contestants[index].name, wall[index],
                        cpu[index], peak / 1024.0);
        }
        std::printf(
            "  map array: %.1f MiB; mapdown / whole-file copy: wall %.3f, cpu %.3f;"
            " mapdown / cp: wall %.3f, cpu %.3f\n",
            set.array_mib, wall[0] / wall[1], cpu[0] / cpu[1], wall[0] / wall[2], cpu[0] / cpu[2]);
    }
    fs::remove_all(root);
    return 0;
}
