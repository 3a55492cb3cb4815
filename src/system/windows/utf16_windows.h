// Text as Windows' own calls take it. The program works in UTF-8 (names and
// messages alike); the file and console calls of Windows take UTF-16.
#pragma once

#include <string>

// `text`, in UTF-8, as UTF-16.
std::wstring widen(const std::string& text);
