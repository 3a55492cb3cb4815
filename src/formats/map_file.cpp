#include "formats/map_file.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "formats/little_endian.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace {

// Fields of a map header record that the rebasing touches.
constexpr std::uint32_t record_used_field = 0;
constexpr std::uint32_t record_data_offsets_field = 16;
constexpr std::uint32_t record_data_offset_count = 3;

// A hidden name in the output's folder, so that the final move is a rename
// within one file system. It is short, whatever the output's name, and differs
// from call to call and from process to process.
std::string temporary_name_for(const std::string& output_name) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto token = (static_cast<std::uint64_t>(ticks) * 0x9E3779B97F4A7C15u) ^
                       reinterpret_cast<std::uintptr_t>(&ticks);
    char name[40];
    std::snprintf(name, sizeof name, ".mapdown-%016llx.tmp",
                  static_cast<unsigned long long>(token));
    return std::filesystem::path(output_name).replace_filename(name).string();
}

// Creates `name` as a new, empty file. Whatever already stands there, even a
// dangling link, makes it fail rather than be opened.
bool create_new_file(const std::string& name) {
#ifdef _WIN32
    // The Windows C runtime has no exclusive mode for fopen.
    const int file =
        _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (file < 0) {
        return false;
    }
    _close(file);  // nothing was written through it, so nothing can be lost
    return true;
#else
    std::FILE* file = std::fopen(name.c_str(), "wbx");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);  // nothing was written through it, so nothing can be lost
    return true;
#endif
}

}  // namespace

void rebase_map_array(unsigned char* map_array, std::uint64_t map_array_offset) {
    // A byte at position P of the archive stands at P - offset + 8 in the
    // classic file. The offsets are 32-bit, so the shift is taken modulo 2^32
    // and may wrap.
    const std::uint32_t delta = static_cast<std::uint32_t>(map_file_header_size) -
                                static_cast<std::uint32_t>(map_array_offset);
    for (std::uint32_t index = 0; index < map_record_count; ++index) {
        unsigned char* record = map_array + index * map_record_size;
        if (load_le<std::uint32_t>(record + record_used_field) == 0) {
            continue;  // an empty slot: its offsets mean nothing
        }
        for (std::uint32_t block = 0; block < record_data_offset_count; ++block) {
            unsigned char* data_offset = record + record_data_offsets_field + 4 * block;
            store_le<std::uint32_t>(data_offset, load_le<std::uint32_t>(data_offset) + delta);
        }
    }
}

bool write_map_file(std::ostream& out, ArchiveKind kind, const unsigned char* map_array,
                    std::uint32_t size) {
    out.write(kind == ArchiveKind::rtcx ? rtc_magic : rtl_magic, sizeof rtl_magic);
    out.write(rtl_version, sizeof rtl_version);
    out.write(reinterpret_cast<const char*>(map_array), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

SaveStatus save_map_file(const std::string& output_name, ArchiveKind kind,
                         const unsigned char* map_array, std::uint32_t size) {
    const std::string temporary_name = temporary_name_for(output_name);
    if (!create_new_file(temporary_name)) {
        return SaveStatus::cannot_open;
    }
    // Opened again without truncation (it is empty): truncating a file makes
    // some file systems write it out at once on close, which slows down a
    // batch. A failure to open, to write, to flush or to close leaves the
    // stream failed.
    std::ofstream out(temporary_name, std::ios::binary | std::ios::in | std::ios::out);
    write_map_file(out, kind, map_array, size);
    out.close();
    if (out.fail()) {
        std::remove(temporary_name.c_str());
        return SaveStatus::cannot_write;
    }
    // Only a complete file takes the output's name; whatever stood there
    // before, even a link to the input, is replaced rather than written through.
    std::error_code error;
    std::filesystem::rename(temporary_name, output_name, error);
    if (error) {
        std::remove(temporary_name.c_str());
        return SaveStatus::cannot_open;
    }
    return SaveStatus::saved;
}
