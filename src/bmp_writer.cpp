// Writing the colour planes as an uncompressed 24-bit BMP file; the only code that knows BMP.
#include "bmp_writer.h"

#include "fatal.h"
#include "output_file.h"
#include "run_memory.h"
#include "transpose.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>

#if defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
// glibc's header is written in C and names its truth values _Bool, a C type that g++ takes as
// an extension and Clang, in standard C++, not at all; for Clang it is spelt bool here.
#if defined(__clang__)
#define _Bool bool
#endif
#include <sys/platform/x86.h>
#if defined(__clang__)
#undef _Bool
#endif
#define VYK_X86_FEATURES
#endif

namespace {

using bmp_headers = std::array<std::uint8_t, bmp_headers_size>;

// Field offsets within the 54 header bytes; all fields are little-endian.
constexpr std::size_t bf_type = 0;       // 2 bytes: "BM"
constexpr std::size_t bf_size = 2;       // 4 bytes: size of the whole file
constexpr std::size_t bf_off_bits = 10;  // 4 bytes: where the pixels begin
constexpr std::size_t bi_size = 14;      // 4 bytes: size of the info header
constexpr std::size_t bi_width = 18;     // 4 bytes
constexpr std::size_t bi_height = 22;    // 4 bytes: positive, so rows are stored bottom-up
constexpr std::size_t bi_planes = 26;    // 2 bytes: always 1
constexpr std::size_t bi_bit_count = 28; // 2 bytes: bits per pixel
// The remaining fields (reserved words, compression, image size, resolution, colour counts)
// are all 0: uncompressed, no colour table.

// Where each colour goes within a pixel's three bytes.
constexpr std::size_t bmp_blue = 0;
constexpr std::size_t bmp_green = 1;
constexpr std::size_t bmp_red = 2;

// Stores the low `bytes` bytes of value at headers[at], least significant first.
void put_le(bmp_headers& headers, std::size_t at, std::uint32_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        headers[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Writes count pixels to out as blue, green, red triples, taking pixel k's colours from
// blue[k], green[k] and red[k].
[[gnu::always_inline]] inline void interleave_loop(const std::uint8_t* __restrict blue,
                                                   const std::uint8_t* __restrict green,
                                                   const std::uint8_t* __restrict red,
                                                   std::size_t count, std::uint8_t* __restrict out)
{
    for (std::size_t k = 0; k < count; ++k) {
        out[bmp_bytes_per_pixel * k + bmp_blue] = blue[k];
        out[bmp_bytes_per_pixel * k + bmp_green] = green[k];
        out[bmp_bytes_per_pixel * k + bmp_red] = red[k];
    }
}

#if defined(VYK_X86_FEATURES)
// The same loop for processors with AVX2: with its byte shuffles the compiler turns 32 pixels
// into 96 bytes in a few dozen instructions and three stores, where x86-64's baseline takes a
// store per byte. Chosen by asking glibc, which read the processor's features when the program
// started, rather than by GCC's target_clones, whose start-up code reads them again: on a
// virtual machine every CPUID instruction traps to the hypervisor.
[[gnu::target("avx2")]] void interleave_pixels_avx2(const std::uint8_t* blue,
                                                    const std::uint8_t* green,
                                                    const std::uint8_t* red, std::size_t count,
                                                    std::uint8_t* out)
{
    interleave_loop(blue, green, red, count, out);
}
#endif

// interleave_loop, with the best instructions the processor has. The colours and out must not
// overlap.
void interleave_pixels(const std::uint8_t* blue, const std::uint8_t* green, const std::uint8_t* red,
                       std::size_t count, std::uint8_t* out)
{
#if defined(VYK_X86_FEATURES)
    if (CPU_FEATURE_ACTIVE(AVX2))
        return interleave_pixels_avx2(blue, green, red, count, out);
#endif
    interleave_loop(blue, green, red, count, out);
}

// Interleaves the planes into image, whose rows run from the top of the picture down and hold
// blue, green, red for each pixel, left to right. Writes every byte of image. Ends the run with
// "out of memory.\n" if it can't have the memory for a band of rows.
void compose(std::uint32_t width, std::uint32_t height, std::span<const std::uint8_t> red,
             std::span<const std::uint8_t> green, std::span<const std::uint8_t> blue,
             std::span<std::uint8_t> image)
{
    // An image row runs across the plane columns, so reading it straight from the planes would
    // step a whole column per pixel; such power-of-two strides crowd into a few sets of the
    // level-1 cache and nearly every read misses. Instead the image is built a band of
    // tile_side rows at a time: each plane's part of the band is transposed, a tile at a time,
    // into rows of that colour, and then each image row is interleaved, in order, from its
    // three colour rows.
    const std::size_t band_bytes = tile_side * width;
    const std::span<std::uint8_t> colour_rows = allocate_or_fail(3 * band_bytes);
    const std::span<std::uint8_t> blue_rows = colour_rows.first(band_bytes);
    const std::span<std::uint8_t> green_rows = colour_rows.subspan(band_bytes, band_bytes);
    const std::span<std::uint8_t> red_rows = colour_rows.subspan(2 * band_bytes);
    const std::size_t row_bytes = std::size_t{bmp_bytes_per_pixel} * width;

    for (std::uint32_t top = 0; top < height; top += tile_side) {
        const std::size_t rows = std::min<std::size_t>(tile_side, height - top);
        // Image rows top … top + rows - 1 are plane rows height - 1 - top down to this one.
        const std::uint32_t lowest_y = height - top - static_cast<std::uint32_t>(rows);
        for (std::uint32_t left = 0; left < width; left += tile_side) {
            const std::size_t columns = std::min<std::size_t>(tile_side, width - left);
            // Plane column left + i, read from its lowest row up, fills column left + i of the
            // band from its last row up.
            const auto transpose_into = [&](std::span<const std::uint8_t> plane,
                                            std::span<std::uint8_t> band) {
                transpose_tile(plane_block(plane, left, lowest_y, height, columns, rows).data(),
                               static_cast<std::ptrdiff_t>(height),
                               std::array{&band[(rows - 1) * width + left]},
                               -static_cast<std::ptrdiff_t>(width), columns, rows);
            };
            transpose_into(blue, blue_rows);
            transpose_into(green, green_rows);
            transpose_into(red, red_rows);
        }
        for (std::size_t k = 0; k < rows; ++k)
            interleave_pixels(&blue_rows[k * width], &green_rows[k * width], &red_rows[k * width],
                              width, image.subspan((top + k) * row_bytes, row_bytes).data());
    }
}

// True when all of bytes reached the stream.
bool write_all(std::FILE* out, std::span<const std::uint8_t> bytes)
{
    return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

// Returns the file header followed by the info header for a bottom-up, uncompressed 24-bit
// picture of width × height pixels with no colour table.
bmp_headers make_bmp_headers(std::uint32_t width, std::uint32_t height)
{
    bmp_headers headers{};
    headers[bf_type] = 'B';
    headers[bf_type + 1] = 'M';
    put_le(headers, bf_size, bmp_file_size(width, height), 4);
    put_le(headers, bf_off_bits, bmp_headers_size, 4);
    put_le(headers, bi_size, bmp_info_header_size, 4);
    put_le(headers, bi_width, width, 4);
    put_le(headers, bi_height, height, 4);
    put_le(headers, bi_planes, 1, 2);
    put_le(headers, bi_bit_count, 8 * bmp_bytes_per_pixel, 2);
    return headers;
}

} // namespace

void write_bmp(const char* output_name, std::uint32_t width, std::uint32_t height,
               std::span<const std::uint8_t> red, std::span<const std::uint8_t> green,
               std::span<const std::uint8_t> blue)
{
    const std::uint32_t row_bytes = bmp_bytes_per_pixel * width;
    const std::size_t image_size = std::size_t{row_bytes} * height;
    const std::span<std::uint8_t> image = allocate_or_fail(image_size);
    compose(width, height, red, green, blue, image);

    const bmp_headers headers = make_bmp_headers(width, height);
    static constexpr std::array<std::uint8_t, 3> padding{};
    const std::span<const std::uint8_t> row_padding(padding.data(), bmp_row_padding(width));

    // The stream's own 4 KiB buffer would take 193 write calls for one file; 32 KiB takes 25,
    // which cuts the wall time of a conversion by about a sixth. A larger buffer gains little
    // more and costs resident memory.
    constexpr std::size_t stream_buffer_size = 32 << 10;
    const std::span<std::uint8_t> stream_buffer = allocate_or_fail(stream_buffer_size);

    output_file output = open_output(output_name);
    if (output.stream == nullptr)
        fatal("open write file error.\n");
    std::FILE* out = output.stream;
    std::setvbuf(out, reinterpret_cast<char*>(stream_buffer.data()), _IOFBF, stream_buffer_size);

    const std::span<const std::uint8_t> all_headers(headers);
    bool written = write_all(out, all_headers.first(bmp_file_header_size)) &&
                   write_all(out, all_headers.subspan(bmp_file_header_size));
    // Bottom-up storage: the last picture row goes first.
    for (std::uint32_t i = 0; i < height && written; ++i) {
        const std::uint32_t row = height - 1 - i;
        written = write_all(out, image.subspan(std::size_t{row} * row_bytes, row_bytes)) &&
                  write_all(out, row_padding);
    }
    if (!close_output(output, written))
        fatal("write file error.\n");
}
