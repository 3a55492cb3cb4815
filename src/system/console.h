// The command line and the console, as the operating system hands them over.
// On Windows the file names come in UTF-16 and are passed on in UTF-8, so that
// every name a user can make works, and a console is written in UTF-16;
// elsewhere both are taken as they are.
#pragma once

#include <cstdio>

// On Windows, replaces the arguments by those of the UTF-16 command line, in
// UTF-8, with wildcard patterns expanded as a Unix shell would; they last as
// long as the process. Elsewhere the arguments are already as the user typed
// them and stay.
void use_utf8_command_line(int& argc, char**& argv);

// Lines end in a bare \n on every system, also when redirected.
void prepare_console();

// Prints one message, `format` with `argument` put in for its "%s", on
// `stream` (standard output or standard error), at once, so that the lines of
// both keep their order when they go to one file. Redirected, the bytes are
// the same on every system; a Windows console gets the text in UTF-16
// through its own call, so that names in every script show as they are.
void print_message(std::FILE* stream, const char* format, const char* argument = "");

// On Windows, when this program is alone on its console (a window that
// Explorer opened for it, on a double-click, a drop onto it or Send To, and
// that closes as it ends), and `something_to_read` says the run printed a
// problem or the usage, shows `prompt` and waits for a key, so that the lines
// can be read. Never when started from a console window or a script, nor with
// its input not a console: nothing automated may wait. Elsewhere it does
// nothing.
void keep_window_open(bool something_to_read, const char* prompt);
