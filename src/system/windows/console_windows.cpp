// The command line and the console on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "system/console.h"
#include "system/windows/utf16_windows.h"

// cmd.exe passes wildcard patterns on as they stand; this asks the MinGW-w64
// start-up code to expand them into the matching names, as a Unix shell
// would. A pattern that matches nothing is left as it is.
extern "C" {
int _dowildcard = -1;

// The C runtime's own splitting of the UTF-16 command line, wildcards
// expanded as _dowildcard asks.
struct _startupinfo;
int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expand_wildcards,
                   _startupinfo* start_info);
}

namespace {

std::string to_utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    return utf8;
}

// A console shows what it is given in UTF-16 as it is, whatever its code
// page; given bytes, it would read them in that code page.
bool write_to_console(std::FILE* stream, const std::string& text) {
    const HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) {
        return false;  // a file or a pipe
    }
    const std::wstring wide = widen(text);
    DWORD written = 0;
    return WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written,
                         nullptr) != 0;
}

}  // namespace

void use_utf8_command_line(int& argc, char**& argv) {
    int count = 0;
    wchar_t** arguments = nullptr;
    wchar_t** environment = nullptr;
    int new_mode = 0;
    if (__wgetmainargs(&count, &arguments, &environment, _dowildcard,
                       reinterpret_cast<_startupinfo*>(&new_mode)) < 0) {
        return;
    }
    static std::vector<std::string> names;
    static std::vector<char*> pointers;
    try {
        for (int index = 0; index < count; ++index) {
            names.push_back(to_utf8(arguments[index]));
        }
        for (std::string& name : names) {
            pointers.push_back(name.data());
        }
        pointers.push_back(nullptr);
    } catch (const std::bad_alloc&) {
        return;  // no memory even for the names: the runtime's own arguments must do
    }
    argc = count;
    argv = pointers.data();
}

void prepare_console() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void print_message(std::FILE* stream, const char* format, const char* argument) {
    try {
        std::string text(static_cast<std::size_t>(std::snprintf(nullptr, 0, format, argument)),
                         ' ');
        std::snprintf(text.data(), text.size() + 1, format, argument);
        if (write_to_console(stream, text)) {
            return;
        }
    } catch (const std::bad_alloc&) {
        // No memory to convert the line: its bytes must do.
    }
    std::fprintf(stream, format, argument);
    std::fflush(stream);
}

void keep_window_open(bool something_to_read, const char* prompt) {
    DWORD processes[2];
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    // Started from a console window, cmd.exe or PowerShell is on it too.
    if (!something_to_read || GetConsoleProcessList(processes, 2) != 1 ||
        !GetConsoleMode(input, &mode)) {
        return;
    }
    print_message(stderr, prompt);
    // A key, not a line: no echo, no waiting for Enter, and no key pressed
    // before the prompt counts.
    SetConsoleMode(input, 0);
    FlushConsoleInputBuffer(input);
    for (;;) {
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &record, 1, &read) || read == 0 ||
            (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
            break;
        }
    }
    SetConsoleMode(input, mode);
}
