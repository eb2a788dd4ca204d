// The run's memory: every buffer of a conversion carved from one region, on one huge page where
// the kernel gives one.
#include "run_memory.h"

#include "fatal.h"

#include <algorithm>
#include <cerrno>

#include <sys/mman.h>
#include <unistd.h>

// Under valgrind, fresh memory is marked unwritten (see allocate_or_fail); elsewhere, and where
// valgrind's header is missing, the mark is nothing at all.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_UNDEFINED(address, size) ((void)(address), (void)(size))
#endif

namespace {

// A conversion's buffers (three planes, the image, the bands and the output stream's buffer)
// come to about 1.6 MiB: one region of this size holds them all, and is the size and alignment
// of a huge page on x86-64 and on arm64 and the others with 4 KiB pages.
constexpr std::size_t region_size = std::size_t{2} << 20;

// Maps a region of at least size bytes, aligned to region_size, and asks for huge pages there.
//
// Fresh memory costs a page fault, an allocation and the zeroing of every page, and on a virtual
// machine often a fault in the host as well: for 1.6 MiB in 4 KiB pages, 400 of each. A 2 MiB
// huge page is allocated, zeroed and mapped in one fault. With transparent huge pages set to
// "madvise" (Debian's default) only a region advised so gets one. If no free 2 MiB block is at
// hand, the fault first compacts memory, and reclaims some where compaction alone can't make a
// block, once each, then settles for 4 KiB pages; after failures the kernel defers compaction
// for later faults. So a run may stall for milliseconds when memory is full and fragmented, but
// never loops; the freed huge page of one run makes the block for the next. Set to "never", or
// with "defrag" set to "defer" or "never", the advice costs no stall.
std::span<std::uint8_t> map_region(std::size_t size)
{
    // Mapped with room to spare, then trimmed to the aligned part: mmap aligns only to pages.
    const std::size_t mapped = size + region_size;
    void* memory =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        fatal("out of memory.\n");
    auto* const start = static_cast<std::uint8_t*>(memory);
    const std::size_t lead =
        (region_size - reinterpret_cast<std::uintptr_t>(start) % region_size) % region_size;
    if (lead != 0)
        munmap(start, lead);
    munmap(start + lead + size, region_size - lead);
    // Advice only: where the kernel has no transparent huge pages, it is refused, and the region
    // gets ordinary pages.
    madvise(start + lead, size, MADV_HUGEPAGE);
    return {start + lead, size};
}

// Brings every page of memory in now, in one call, rather than by one page fault each as it is
// first written. Ends the run with "out of memory.\n" if the pages can't be had; any other
// refusal of the advice leaves them to come in as they are written.
void populate(std::span<std::uint8_t> memory)
{
    if (madvise(memory.data(), memory.size(), MADV_POPULATE_WRITE) != 0 && errno == ENOMEM)
        fatal("out of memory.\n");
}

} // namespace

std::span<std::uint8_t> allocate_or_fail(std::size_t size)
{
    static std::span<std::uint8_t> unused; // what is left of the current region
    // Page by page, so that each buffer is brought in without its neighbours'.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (size > region_size * 1024)
        fatal("out of memory.\n"); // far more than any picture needs, and than rounding can take
    const std::size_t rounded = (size + page - 1) / page * page;
    if (rounded > unused.size())
        unused = map_region(std::max(rounded, region_size));
    const std::span<std::uint8_t> memory = unused.first(rounded);
    unused = unused.subspan(rounded);
    populate(memory);
    // Fresh memory reads as zeros, which memcheck takes for data; marked unwritten instead, any
    // byte of the planes or the image that is never written shows up when it reaches a write.
    VALGRIND_MAKE_MEM_UNDEFINED(memory.data(), size);
    return memory.first(size);
}
