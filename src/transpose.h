// Transposing small square tiles of bytes: how the reader turns picture rows into plane columns
// and the writer turns plane columns back into picture rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The side of a tile, in bytes. 16 bytes is one vector register on every processor that has
// them, so a 16 × 16 tile is sixteen registers and the whole transposition happens in them. Either
// side of a tile spans at most 32 cache lines (16 rows, each perhaps split across two), a small
// part of any level-1 cache, so the choice leans on no particular cache size: only on lines of at
// least 16 bytes.
inline constexpr std::size_t tile_side = 16;

// Transposes a rows × columns block of bytes (each at most tile_side) from src into every
// destination in dsts: for every i < rows and j < columns, dst[j * dst_stride + i] =
// src[i * src_stride + j]. Row i of the source becomes column i of each destination. Strides are
// in bytes and may be negative, which flips the block along that axis. No destination may
// overlap the source.
void transpose_tile(const std::uint8_t* src, std::ptrdiff_t src_stride,
                    std::span<std::uint8_t* const> dsts, std::ptrdiff_t dst_stride,
                    std::size_t rows, std::size_t columns);
