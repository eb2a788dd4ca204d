// The run's memory: every buffer of a conversion carved from one region, on one huge page where
// the kernel gives one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Returns size bytes of memory for the rest of the run, brought in at once where the kernel can,
// their contents unspecified: every caller overwrites all of it. The process's end releases it.
// Ends the run with "out of memory.\n" if the memory can't be had.
std::span<std::uint8_t> allocate_or_fail(std::size_t size);
