// The picture's fixed dimensions and the layout of the colour planes shared by reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// The bytes of a plane of the given height that hold the block of columns × rows pixels from
// (x, y), its lowest, leftmost pixel, to (x + columns - 1, y + rows - 1); within it the block's
// columns start height bytes apart. Bound-checked wherever the standard library checks spans.
template <typename Byte>
std::span<Byte> plane_block(std::span<Byte> plane, std::uint32_t x, std::uint32_t y,
                            std::uint32_t height, std::size_t columns, std::size_t rows)
{
    return plane.subspan(plane_offset(x, y, height), (columns - 1) * height + rows);
}
