// What the preloaded fault injection library (fault_injection.cpp) leaves
// behind for the tests to recognise.
#pragma once

// The contents of a file planted at a name the program is about to create.
inline constexpr char planted_content[] = "another process's file\n";
