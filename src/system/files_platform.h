// What the shared part of the file interface (files.cpp) and each system's
// own part (files_posix.cpp, files_windows.cpp) ask of each other. Only those
// three files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "system/files.h"

// A temporary name that is already taken is tried again with another name a
// few times; a folder where every try collides is treated as unwritable.
constexpr int temporary_name_attempts = 8;

// A hidden, short name that differs from call to call and process to process.
// It needs no allocation: it is made while a new file is open.
void make_temporary_name(int attempt, char (&name)[temporary_name_size]);

bool same_file(const FileIdentity& a, const FileIdentity& b);

// Lets `input.stream` read through a descriptor already opened and checked,
// which it then owns, never past `input.size`. Throws std::bad_alloc, the descriptor closed, when
// memory is short.
void attach_stream(InputFile& input, int descriptor);

// Each system's own reading of a descriptor, for the stream: up to `count`
// bytes, 0 at the end, -1 on failure.
std::int64_t read_descriptor(int descriptor, char* bytes, std::size_t count);

// Moves the descriptor to `offset`; the new position, or -1.
std::int64_t seek_descriptor(int descriptor, std::int64_t offset);

void close_input_descriptor(int descriptor);

// Splits "maps/e1.rtl" into the folder "maps", which is held open, and the
// name "e1.rtl" within it; a bare name's folder is ".", and "/e1.rtl"'s is
// "/". On Windows a backslash separates too, "C:\\e1.rtl"'s folder is "C:\\",
// and "C:e1.rtl"'s "C:.", the drive's working folder.
void split_path(const std::string& path, std::string& folder, std::string& name);
