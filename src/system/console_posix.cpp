// The command line and the console on POSIX systems: the arguments come as
// the user typed them (the shell has expanded the wildcards), and lines end in
// a bare \n already.
#include "system/console.h"

void use_utf8_command_line(int&, char**&) {}

void prepare_console() {}
