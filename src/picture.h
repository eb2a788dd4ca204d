// The picture's fixed dimensions and the layout of the colour planes shared by reader and writer.
#pragma once

#include <cstdint>

// The raw input carries no header, so its size is a property of the program, not of the file.
inline constexpr std::uint32_t picture_width = 512;
inline constexpr std::uint32_t picture_height = 512;

// A colour plane holds width × height bytes, one per pixel, addressed by (x, y): x is the column,
// 0 at the left; y is the row counted upward, 0 for the bottom row. The column is the outer index,
// so the bytes of one column lie side by side, bottom to top.
constexpr std::uint32_t plane_offset(std::uint32_t x, std::uint32_t y, std::uint32_t height)
{
    return x * height + y;
}
