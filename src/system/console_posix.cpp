// The command line and the console on POSIX systems: the arguments come as
// the user typed them (the shell has expanded the wildcards), lines end in a
// bare \n already, and a terminal takes the bytes as they are.
#include "system/console.h"

void use_utf8_command_line(int&, char**&) {}

void prepare_console() {}

void print_message(std::FILE* stream, const char* format, const char* argument) {
    std::fprintf(stream, format, argument);
    std::fflush(stream);
}
