// Sixteen bytes as one vector, written once for every processor with GCC's and Clang's vector
// extensions: they compile to SSE2, NEON, AltiVec/VSX or z/Architecture vector instructions, and
// to plain word operations where a processor has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr std::size_t byte_vector_size = 16;

// Element i is byte i in memory, on big- and little-endian processors alike.
using byte_vector = std::uint8_t __attribute__((vector_size(byte_vector_size)));

// Vectors pass by reference: by value, where a processor's baseline has no vector registers
// (i386's), their calling convention would change with the compiler's flags.

// Loads the 16 bytes from p, which need no alignment, into v.
inline void load_bytes(byte_vector& v, const std::uint8_t* p)
{
    std::memcpy(&v, p, sizeof v);
}

// Stores v at p, which needs no alignment.
inline void store_bytes(std::uint8_t* p, const byte_vector& v)
{
    std::memcpy(p, &v, sizeof v);
}

// Interleaves a and b byte by byte: low gets a0 b0 a1 b1 … a7 b7, high a8 b8 … a15 b15.
inline void interleave_bytes(const byte_vector& a, const byte_vector& b, byte_vector& low,
                             byte_vector& high)
{
    low = __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    high =
        __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
}
