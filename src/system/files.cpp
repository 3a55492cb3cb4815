// What every system shares: the temporary names, telling files apart, and
// reading an archive through the descriptor it was opened and checked as.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <streambuf>

#include "system/files_platform.h"

namespace {

// Reads through a descriptor with the standard library alone: small fields
// through a buffer, large blocks (the map array) straight into their memory,
// so that they are copied only once. No read asks for a byte past the size
// the opened file had: some files (in /proc, say) say they are empty and
// then block or hand out something that reading uses up.
class DescriptorBuffer final : public std::streambuf {
  public:
    DescriptorBuffer(int descriptor, std::uint64_t size) : descriptor_(descriptor), size_(size) {}
    DescriptorBuffer(const DescriptorBuffer&) = delete;
    DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;
    ~DescriptorBuffer() override { close_input_descriptor(descriptor_); }

  protected:
    int_type underflow() override {
        const std::int64_t got = read(buffer_, sizeof buffer_);
        if (got <= 0) {
            return traits_type::eof();
        }
        setg(buffer_, buffer_, buffer_ + got);
        return traits_type::to_int_type(buffer_[0]);
    }

    std::streamsize xsgetn(char* bytes, std::streamsize count) override {
        const std::streamsize buffered = std::min<std::streamsize>(count, egptr() - gptr());
        if (count - buffered < static_cast<std::streamsize>(sizeof buffer_)) {
            return std::streambuf::xsgetn(bytes, count);
        }
        std::copy(gptr(), gptr() + buffered, bytes);
        gbump(static_cast<int>(buffered));
        std::streamsize done = buffered;
        while (done < count) {
            const std::int64_t got = read(bytes + done, static_cast<std::size_t>(count - done));
            if (got <= 0) {
                break;
            }
            done += got;
        }
        return done;
    }

    // An archive is read at absolute positions only, checked against the
    // file's size beforehand; a relative move, which nothing needs, fails as
    // the base class's does. A failed move gives -1, which is also how a
    // stream buffer says so.
    pos_type seekpos(pos_type position, std::ios_base::openmode) override {
        setg(nullptr, nullptr, nullptr);
        const std::int64_t moved = seek_descriptor(descriptor_, off_type(position));
        position_ = static_cast<std::uint64_t>(moved);  // after a failed move, nothing is read
        return pos_type(off_type(moved));
    }

  private:
    // Up to `count` bytes from the file's position, none past its size.
    std::int64_t read(char* bytes, std::size_t count) {
        const std::uint64_t left = position_ < size_ ? size_ - position_ : 0;
        const std::int64_t got =
            left == 0
                ? 0
                : read_descriptor(descriptor_, bytes,
                                  static_cast<std::size_t>(std::min<std::uint64_t>(count, left)));
        position_ += got > 0 ? static_cast<std::uint64_t>(got) : 0;
        return got;
    }

    int descriptor_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    char buffer_[8192];
};

}  // namespace

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

void attach_stream(InputFile& input, int descriptor) {
    input.buffer.reset(new (std::nothrow) DescriptorBuffer(descriptor, input.size));
    if (!input.buffer) {
        close_input_descriptor(descriptor);  // never handed over
        throw std::bad_alloc();
    }
    input.stream.rdbuf(input.buffer.get());
}

void close_input(InputFile& input) {
    input.stream.rdbuf(nullptr);
    input.buffer.reset();
}
