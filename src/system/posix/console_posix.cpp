// The command line and the console on POSIX systems: the arguments come as
// the user typed them (the shell has expanded the wildcards), lines end in a
// bare \n already, a terminal takes the bytes as they are, and it stays open
// when the program ends.
#include "system/console.h"

void use_utf8_command_line(int&, char**&) {}

void prepare_console() {}

// A terminal stays open when a program ends.
void keep_window_open(bool, const char*) {}

void print_message(std::FILE* stream, const char* format, const char* argument) {
    std::fprintf(stream, format, argument);
    std::fflush(stream);
}
