// Writing the colour planes as an uncompressed 24-bit BMP file; the only code that knows BMP.
#pragma once

#include "picture.h"

#include <cstdint>
#include <span>

inline constexpr std::uint32_t bmp_file_header_size = 14;
inline constexpr std::uint32_t bmp_info_header_size = 40;
inline constexpr std::uint32_t bmp_headers_size = bmp_file_header_size + bmp_info_header_size;
inline constexpr std::uint32_t bmp_bytes_per_pixel = 3; // blue, green, red

// Zero bytes after each stored row, so that every row is a whole number of 4-byte words.
constexpr std::uint32_t bmp_row_padding(std::uint32_t width)
{
    return (4 - (bmp_bytes_per_pixel * width) % 4) % 4;
}

// Bytes of the whole file: both headers, then height rows with their padding.
constexpr std::uint32_t bmp_file_size(std::uint32_t width, std::uint32_t height)
{
    return bmp_headers_size + (bmp_bytes_per_pixel * width + bmp_row_padding(width)) * height;
}

static_assert(bmp_headers_size == 54, "the pixels begin right after the two headers");
static_assert(bmp_row_padding(picture_width) == 0, "a 512-pixel row needs no padding");
static_assert(bmp_file_size(picture_width, picture_height) == 786'486);

// Writes the picture held in the red, green and blue planes (each width × height bytes, laid out
// as picture.h describes) to output_name as a 24-bit BMP, as output_file.h describes. Returns
// only once the whole file is written, on the disk and named. Ends the run with status 1 and one
// line on standard error otherwise: "out of memory.\n" if the interleaved image can't be had,
// "open write file error.\n" if the output can't be opened, "write file error.\n" if a write, the
// sync or the naming fails; the name then holds what it held, bar what is written in place.
void write_bmp(const char* output_name, std::uint32_t width, std::uint32_t height,
               std::span<const std::uint8_t> red, std::span<const std::uint8_t> green,
               std::span<const std::uint8_t> blue);
