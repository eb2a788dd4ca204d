// Reading a headerless 8-bit grey picture into the three colour planes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

// Reads a raw grey picture from in: width × height bytes, top row first, each row left to right,
// one byte per pixel. Makes width × height byte reads whatever the stream holds and stores every
// value in red, green and blue at plane_offset(column, height - 1 - row, height), so every byte
// of the planes (each at least width × height bytes) is written: 0 past the end of a short file,
// whose picture is black from there. Bytes beyond width × height are left unread, bar what the
// stream's buffer reads ahead; it is neither closed nor repositioned. Ends the run at the first
// read that fails ("read file error.\n"), or without memory for a band ("out of memory.\n").
void read_raw_picture(std::FILE* in, std::uint32_t width, std::uint32_t height,
                      std::span<std::uint8_t> red, std::span<std::uint8_t> green,
                      std::span<std::uint8_t> blue);
