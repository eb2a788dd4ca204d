// How the program gives up: one fixed line on standard error, exit status 1.
#pragma once

#include <cstdio>
#include <cstdlib>

// Writes message (a complete line, passed as it stands) to standard error and ends the process
// with status 1. Standard error is unbuffered, so the line leaves in a single write. Open streams
// are flushed and closed by exit; an output file that is not complete has no name yet, or a
// temporary one the caller removes first.
[[noreturn]] inline void fatal(const char* message)
{
    std::fputs(message, stderr);
    std::exit(EXIT_FAILURE);
}
