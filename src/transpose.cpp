// Transposing small square tiles of bytes: how the reader turns picture rows into plane columns
// and the writer turns plane columns back into picture rows.
#include "transpose.h"

#include "byte_vector.h"

static_assert(tile_side == byte_vector_size, "a tile row is one vector");

void transpose_tile(const std::uint8_t* src, std::ptrdiff_t src_stride,
                    std::span<std::uint8_t* const> dsts, std::ptrdiff_t dst_stride,
                    std::size_t rows, std::size_t columns)
{
    const auto at = [](std::size_t index, std::ptrdiff_t stride) {
        return static_cast<std::ptrdiff_t>(index) * stride;
    };
    if (rows == tile_side && columns == tile_side) {
        // Byte j of vector i is source row i, column j. Interleaving the bytes of vectors i and
        // i + 8 into vectors 2i and 2i + 1 rotates the eight bits that name a byte,
        // (vector, position) = (i3 i2 i1 i0, j3 j2 j1 j0), left by one. After four rounds the
        // vector is j and the position i: the tile is transposed in 64 interleaves, where byte
        // by byte it takes 256 loads and 256 stores. The first round reads its two rows straight
        // from the source, so that no more than sixteen vectors are ever live: x86-64 has no
        // more registers to hold them.
        constexpr std::size_t half = tile_side / 2;
        byte_vector v[tile_side];
        for (std::size_t i = 0; i < half; ++i) {
            byte_vector upper;
            byte_vector lower;
            load_bytes(upper, src + at(i, src_stride));
            load_bytes(lower, src + at(i + half, src_stride));
            interleave_bytes(upper, lower, v[2 * i], v[2 * i + 1]);
        }
#pragma GCC unroll 3
        for (int round = 1; round < 4; ++round) {
            byte_vector next[tile_side];
            for (std::size_t i = 0; i < half; ++i)
                interleave_bytes(v[i], v[i + half], next[2 * i], next[2 * i + 1]);
            for (std::size_t i = 0; i < tile_side; ++i)
                v[i] = next[i];
        }
        for (std::uint8_t* const dst : dsts)
            for (std::size_t j = 0; j < tile_side; ++j)
                store_bytes(dst + at(j, dst_stride), v[j]);
        return;
    }
    // Partial tiles, at the edges of a picture whose sides are not multiples of tile_side.
    for (std::uint8_t* const dst : dsts)
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < columns; ++j)
                dst[at(j, dst_stride) + at(i, 1)] = src[at(i, src_stride) + at(j, 1)];
}
