// Reading a headerless 8-bit grey picture into the three colour planes.
#include "raw_picture.h"

#include "fatal.h"
#include "picture.h"
#include "run_memory.h"
#include "transpose.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace {

// The next byte of in, or 0 at the end of the file. Ends the run with "read file error.\n" at
// the first failed read: a directory or a failing disk must not pass for a short, black picture,
// and a failed read, unlike the end of the file, is tried again by the next call, which on a
// failing disk can take seconds each. The stream belongs to this one thread, so the unlocked read
// is safe: an inline test of the stream's buffer instead of a locked library call.
std::uint32_t next_byte(std::FILE* in)
{
    const int byte = getc_unlocked(in);
    if (byte != EOF)
        return static_cast<std::uint32_t>(byte);
    if (ferror_unlocked(in))
        fatal("read file error.\n");
    return 0;
}

// Fills out with the next out.size() bytes of in, one read call per byte, 0 for each byte past
// the end of the file.
void stage_bytes(std::FILE* in, std::span<std::uint8_t> out)
{
    // Eight bytes are gathered in a register and stored as one word. Stored one by one, each
    // byte could overwrite the stream's read pointer as far as the compiler knows, so it writes
    // the pointer back and loads it again for every byte: a round trip through memory on the
    // loop's critical path. Gathered, the pointer stays in a register.
    constexpr std::size_t word_bytes = sizeof(std::uint64_t);
    std::size_t k = 0;
    for (; k + word_bytes <= out.size(); k += word_bytes) {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < word_bytes; ++i) {
            const std::size_t shift =
                8 * (std::endian::native == std::endian::little ? i : word_bytes - 1 - i);
            word |= std::uint64_t{next_byte(in)} << shift;
        }
        std::memcpy(out.subspan(k, word_bytes).data(), &word, word_bytes);
    }
    for (; k < out.size(); ++k)
        out[k] = static_cast<std::uint8_t>(next_byte(in));
}

} // namespace

void read_raw_picture(std::FILE* in, std::uint32_t width, std::uint32_t height,
                      std::span<std::uint8_t> red, std::span<std::uint8_t> green,
                      std::span<std::uint8_t> blue)
{
    // A file row is a row of the picture, a plane column a column of it: storing each byte
    // straight into its plane would scatter one row's bytes a whole plane column apart, and
    // such power-of-two strides crowd into a few sets of the level-1 cache, so nearly every
    // store would miss. Instead a band of rows is staged as it is read, in the order the file
    // holds them, and then moved into the planes a tile at a time.
    //
    // Four tiles deep, a band fills each 64-byte line of a plane column it touches at once,
    // instead of returning to the line four times after it has been evicted.
    constexpr std::size_t band_rows = 4 * tile_side;
    const std::span<std::uint8_t> band = allocate_or_fail(band_rows * width);
    const auto plane_stride = static_cast<std::ptrdiff_t>(height);
    const auto band_stride = static_cast<std::ptrdiff_t>(width);

    for (std::uint32_t top = 0; top < height; top += band_rows) {
        const std::size_t rows = std::min<std::size_t>(band_rows, height - top);
        stage_bytes(in, band.first(rows * width));

        for (std::uint32_t left = 0; left < width; left += tile_side) {
            const std::size_t columns = std::min<std::size_t>(tile_side, width - left);
            for (std::size_t first = 0; first < rows; first += tile_side) {
                const std::size_t tile_rows = std::min(tile_side, rows - first);
                // The planes count rows from the bottom up: the tile's last band row is its
                // lowest, so it is read first, with a negative stride.
                const std::uint8_t* bottom_row = &band[(first + tile_rows - 1) * width + left];
                const std::uint32_t lowest_y =
                    height - top - static_cast<std::uint32_t>(first + tile_rows);
                const auto block = [&](std::span<std::uint8_t> plane) {
                    return plane_block(plane, left, lowest_y, height, columns, tile_rows).data();
                };
                // Transposed once, stored three times.
                const std::array<std::uint8_t*, 3> planes{block(red), block(green), block(blue)};
                transpose_tile(bottom_row, -band_stride, planes, plane_stride, tile_rows, columns);
            }
        }
    }
}
