// How the program gives up: one fixed line on standard error, exit status 1.
#pragma once

#include <cstdio>
#include <cstdlib>

// Writes message (a complete line, as it stands) to standard error, unbuffered and so in one
// write, and ends the process with status 1; exit closes the streams. An output file that is not
// complete has no name yet, or a temporary one the caller removed first.
[[noreturn]] inline void fatal(const char* message)
{
    std::fputs(message, stderr);
    std::exit(EXIT_FAILURE);
}
