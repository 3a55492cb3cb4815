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

void close_input_descriptor(int descriptor);

// Splits "maps/e1.rtl" into the folder "maps", which is held open, and the
// name "e1.rtl" within it; a bare name's folder is ".", and "/e1.rtl"'s is
// "/". On Windows a backslash separates too, "C:\\e1.rtl"'s folder is "C:\\",
// and "C:e1.rtl"'s "C:.", the drive's working folder.
void split_path(const std::string& path, std::string& folder, std::string& name);
