// What every system shares: the temporary names, telling files apart, and
// closing an archive.
#include <chrono>
#include <cstdio>

#include "system/files_platform.h"

void make_temporary_name(int attempt, char (&name)[temporary_name_size]) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto token = (static_cast<std::uint64_t>(ticks) + static_cast<std::uint64_t>(attempt)) *
                           0x9E3779B97F4A7C15u ^
                       reinterpret_cast<std::uintptr_t>(&ticks);
    std::snprintf(name, sizeof name, ".mapdown-%016llx.tmp",
                  static_cast<unsigned long long>(token));
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.device == b.device && a.file == b.file;
}

void close_input(InputFile& input) {
    if (input.reader.descriptor >= 0) {
        close_input_descriptor(input.reader.descriptor);
        input.reader.descriptor = -1;
    }
}
