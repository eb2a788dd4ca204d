// Transposing small square tiles of bytes: how the reader turns picture rows into plane columns
// and the writer turns plane columns back into picture rows.
#include "transpose.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void transpose_tile(const std::uint8_t* src, std::ptrdiff_t src_stride,
                    std::span<std::uint8_t* const> dsts, std::ptrdiff_t dst_stride,
                    std::size_t rows, std::size_t columns)
{
    const auto at = [](std::size_t index, std::ptrdiff_t stride) {
        return static_cast<std::ptrdiff_t>(index) * stride;
    };
#if defined(__SSE2__)
    if (rows == tile_side && columns == tile_side) {
        // Byte j of register i is source row i, column j. Interleaving the bytes of registers i
        // and i + 8 into registers 2i and 2i + 1 rotates the eight bits that name a byte,
        // (register, position) = (i3 i2 i1 i0, j3 j2 j1 j0), left by one. After four rounds
        // the register is j and the position i: the tile is transposed in 64 instructions,
        // where byte by byte it takes 256 loads and 256 stores.
        __m128i v[tile_side];
        for (std::size_t i = 0; i < tile_side; ++i)
            v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at(i, src_stride)));
#pragma GCC unroll 4
        for (int round = 0; round < 4; ++round) {
            __m128i next[tile_side];
            for (std::size_t i = 0; i < tile_side / 2; ++i) {
                next[2 * i] = _mm_unpacklo_epi8(v[i], v[i + tile_side / 2]);
                next[2 * i + 1] = _mm_unpackhi_epi8(v[i], v[i + tile_side / 2]);
            }
            for (std::size_t i = 0; i < tile_side; ++i)
                v[i] = next[i];
        }
        for (std::uint8_t* const dst : dsts)
            for (std::size_t j = 0; j < tile_side; ++j)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at(j, dst_stride)), v[j]);
        return;
    }
#endif
    // Partial tiles at the picture's edges, and processors without SSE2.
    for (std::uint8_t* const dst : dsts)
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < columns; ++j)
                dst[at(j, dst_stride) + at(i, 1)] = src[at(i, src_stride) + at(j, 1)];
}
