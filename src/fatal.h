// How the program gives up: one fixed line on standard error, exit status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

// Writes message (a complete line, passed as it stands) to standard error and ends the process
// with status 1. Standard error is unbuffered, so the line leaves in a single write. Open streams
// are flushed and closed by exit; callers remove any output they must not leave behind first.
[[noreturn]] inline void fatal(const char* message)
{
    std::fputs(message, stderr);
    std::exit(EXIT_FAILURE);
}

// Returns an uninitialised buffer of size bytes; every caller overwrites all of it, so zeroing it
// first would only cost time. Ends the run with "out of memory.\n" if the memory can't be had.
inline std::unique_ptr<std::uint8_t[]> allocate_or_fail(std::size_t size)
{
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[size]);
    if (!buffer)
        fatal("out of memory.\n");
    return buffer;
}
