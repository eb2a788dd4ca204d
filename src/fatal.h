// How the program gives up: one fixed line on standard error, exit status 1; and the memory it
// can't go on without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include <sys/mman.h>

// Under valgrind, fresh mappings are marked unwritten (see allocate_or_fail); elsewhere, and
// where valgrind's header is missing, the mark is nothing at all.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_UNDEFINED(address, size) ((void)(address), (void)(size))
#endif

// Writes message (a complete line, passed as it stands) to standard error and ends the process
// with status 1. Standard error is unbuffered, so the line leaves in a single write. Open streams
// are flushed and closed by exit; callers remove any output they must not leave behind first.
[[noreturn]] inline void fatal(const char* message)
{
    std::fputs(message, stderr);
    std::exit(EXIT_FAILURE);
}

// Returns size bytes of memory for the rest of the run, their contents unspecified: every caller
// overwrites all of it. The process's end releases it. Ends the run with "out of memory.\n" if the
// memory can't be had.
//
// The pages are mapped in one call with MAP_POPULATE. Left to fault in one by one as they are
// first written, the 1.5 MiB a conversion uses cost about 400 page faults, a fifth of its wall
// time.
inline std::span<std::uint8_t> allocate_or_fail(std::size_t size)
{
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED)
        fatal("out of memory.\n");
    // A mapping reads as zeros, which memcheck takes for data; marked unwritten instead, any
    // byte of the planes or the image that is never written shows up when it reaches a write.
    VALGRIND_MAKE_MEM_UNDEFINED(memory, size);
    return {static_cast<std::uint8_t*>(memory), size};
}
