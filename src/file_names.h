// Fixed buffers for paths and names, as long as the kernel takes them, and a file's identity.
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>

#include <sys/stat.h>

// A path, NUL included; the kernel refuses a longer one.
using path_buffer = std::array<char, PATH_MAX>;

// The last component of a path, NUL included, as long as a file system takes one.
using name_buffer = std::array<char, NAME_MAX + 1>;

// Copies the NUL-terminated text to buffer; false if it does not fit.
template <std::size_t size> bool copy_text(std::array<char, size>& buffer, const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length >= size)
        return false;
    std::copy_n(text, length + 1, buffer.data());
    return true;
}

// True if a and b describe the same file: the same inode on the same device.
inline bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
