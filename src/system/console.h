// The command line and the console, as the operating system hands them over.
// On Windows the file names come in UTF-16 and are passed on in UTF-8, so that
// every name a user can make works, and messages reach the console in UTF-8;
// elsewhere both are taken as they are.
#pragma once

// On Windows, replaces the arguments by those of the UTF-16 command line, in
// UTF-8, with wildcard patterns expanded as a Unix shell would; they last as
// long as the process. Elsewhere the arguments are already as the user typed
// them and stay.
void use_utf8_command_line(int& argc, char**& argv);

// Lines end in a bare \n on every system, also when redirected. A Windows
// console shows UTF-8 for the run, and gets its own code page back at the end.
void prepare_console();
