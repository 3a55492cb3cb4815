// Times mapdown against two baselines on inputs it makes itself:
//   mapdown_bench MAPDOWN WHOLE_FILE_COPY ROUNDS [EARLIER_MAPDOWN]
// With an earlier build of mapdown, that one runs in every round too, and
// the median of the rounds' ratios of mapdown to it is printed.
// A batch of 500 archives of about 1 MiB (converted to new outputs, then
// again replacing them) and two archives with 512 MiB and 1 GiB map arrays
// are written on disk (the temporary folder) and in memory
// (/dev/shm), and removed at the end. Each round runs, on each workload,
// mapdown, the whole-file copy (read each file into one buffer, write it out)
// and cp, each as one process. It prints the median wall and CPU time of
// each, the median of the rounds' ratios of mapdown to the whole-file copy and
// to cp, and each one's peak resident memory. Dirty pages are written back
// before every run, outside the time measured.
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

struct Workload {
    std::string name;
    std::vector<std::string> files;
    double array_mib;
    bool replacing = false;  // every output exists already, from the run before
};

// Makes the inputs below `root`: the batch and the two large map arrays.
std::vector<Workload> make_workloads(const fs::path& root) {
    constexpr std::uint32_t batch_array_size = (1u << 20) - 64;
    std::vector<Workload> workloads;
    Workload batch{"batch of 500 x 1 MiB", {}, batch_array_size / 1048576.0};
    fs::create_directories(root / "batch");
    for (int index = 0; index < 500; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "a%03d.rtlx", index);
        write_archive(root / "batch" / name, 1 + index % 100, batch_array_size);
        batch.files.push_back((root / "batch" / name).string());
    }
    workloads.push_back(batch);
    batch.name = "the same, replacing outputs";
    batch.replacing = true;
    workloads.push_back(batch);
    for (const std::uint32_t mib : {512u, 1024u}) {
        const fs::path folder = root / ("large" + std::to_string(mib));
        fs::create_directories(folder);
        write_archive(folder / "big.rtlx", 100, mib << 20);
        workloads.push_back({"one " + std::to_string(mib) + " MiB map array",
                             {(folder / "big.rtlx").string()},
                             double(mib)});
    }
    return workloads;
}

// Runs mapdown, the whole-file copy and cp on each workload, paired: each
// round runs all three, each first in turn, from the same files.
void bench_location(const char* where, const fs::path& root, const std::string& mapdown,
                    const std::string& copy, int rounds, const std::string& earlier) {
    const fs::path copies = root / "copies";
    fs::create_directories(copies);
    const std::vector<Workload> workloads = make_workloads(root);
    std::printf("\n==== %s (%s)\n", where, root.c_str());
    for (const Workload& workload : workloads) {
        const fs::path folder = fs::path(workload.files.front()).parent_path();
        struct Contestant {
            const char* name;
            std::vector<std::string> command;
            fs::path outputs;       // the folder it writes to
            const char* extension;  // of the files it writes there; nullptr for all
            std::vector<Timing> timings;
        };
        std::vector<Contestant> contestants = {{"mapdown", {mapdown}, folder, ".rtl", {}},
                                               {"whole-file copy", {copy}, folder, ".copy", {}},
                                               {"cp", {"cp"}, copies, nullptr, {}}};
        if (!earlier.empty()) {
            contestants.push_back({"earlier mapdown", {earlier}, folder, ".rtl", {}});
        }
        const int count = static_cast<int>(contestants.size());
        for (Contestant& contestant : contestants) {
            contestant.command.insert(contestant.command.end(), workload.files.begin(),
                                      workload.files.end());
        }
        contestants[2].command.push_back(copies.string());
        if (workload.replacing) {
            for (Contestant& contestant : contestants) {
                run(contestant.command);  // untimed: makes the outputs to replace
            }
        }
        // Each runs first in turn, and every other round in the reverse
        // order, so that none always follows the same one (and the pages it
        // has just freed).
        for (int round = 0; round < rounds; ++round) {
            for (int turn = 0; turn < count; ++turn) {
                const int place = round % 2 == 0 ? turn : count - 1 - turn;
                Contestant& contestant = contestants[(round + place) % count];
                contestant.timings.push_back(run(contestant.command));
                if (!workload.replacing) {
                    clear(contestant.outputs, contestant.extension);
                }
            }
        }
        for (Contestant& contestant : contestants) {
            clear(contestant.outputs, contestant.extension);
        }
        std::printf("\n%-28s %8s %8s %10s\n", workload.name.c_str(), "wall", "cpu", "peak");
        std::vector<long> peaks(contestants.size());
        for (int index = 0; index < count; ++index) {
            std::vector<double> walls, cpus;
            for (const Timing& timing : contestants[index].timings) {
                walls.push_back(timing.seconds);
                cpus.push_back(timing.cpu_seconds);
                peaks[index] = std::max(peaks[index], timing.peak_kib);
            }
            std::printf("  %-26s %7.3fs %7.3fs %6.1f MiB\n", contestants[index].name, median(walls),
                        median(cpus), peaks[index] / 1024.0);
        }
        // The ratios are medians over the rounds of each round's own ratio,
        // which the machine's ups and downs affect least.
        std::vector<double> to_copy, to_cp, to_earlier;
        for (int round = 0; round < rounds; ++round) {
            const double own = contestants[0].timings[round].seconds;
            to_copy.push_back(own / contestants[1].timings[round].seconds);
            to_cp.push_back(own / contestants[2].timings[round].seconds);
            if (count > 3) {
                to_earlier.push_back(own / contestants[3].timings[round].seconds);
            }
        }
        std::printf(
            "  mapdown / whole-file copy: %.2f; mapdown / cp: %.2f;"
            " mapdown's peak memory: map array (%.1f MiB) + %.1f MiB\n",
            median(to_copy), median(to_cp), workload.array_mib,
            peaks[0] / 1024.0 - workload.array_mib);
        if (count > 3) {
            std::printf("  mapdown / earlier mapdown: %.3f\n", median(to_earlier));
        }
    }
    fs::remove_all(root);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fputs("usage: mapdown_bench MAPDOWN WHOLE_FILE_COPY ROUNDS [EARLIER_MAPDOWN]\n",
                   stderr);
        return 2;
    }
    const std::string earlier = argc == 5 ? fs::absolute(argv[4]).string() : "";
    const std::string mapdown = fs::absolute(argv[1]).string();
    const std::string copy = fs::absolute(argv[2]).string();
    const int rounds = std::atoi(argv[3]);
    const std::string folder = "mapdown_bench_" + std::to_string(getpid());
    std::printf("%d rounds; times are medians, peak memory the largest resident set seen\n",
                rounds);
    bench_location("on disk", fs::temp_directory_path() / folder, mapdown, copy, rounds, earlier);
    if (fs::is_directory("/dev/shm")) {
        bench_location("in memory", fs::path("/dev/shm") / folder, mapdown, copy, rounds, earlier);
    }
    return 0;
}
