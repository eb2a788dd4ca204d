// Reading a headerless 8-bit grey picture into the three colour planes.
#include "raw_picture.h"

#include "picture.h"

void read_raw_picture(std::FILE* in, std::uint32_t width, std::uint32_t height,
                      std::span<std::uint8_t> red, std::span<std::uint8_t> green,
                      std::span<std::uint8_t> blue)
{
    for (std::uint32_t row = 0; row < height; ++row) {
        // The file runs top to bottom, the planes count rows from the bottom up.
        const std::uint32_t y = height - 1 - row;
        for (std::uint32_t column = 0; column < width; ++column) {
            const int byte = std::getc(in);
            const std::uint8_t value = byte == EOF ? 0 : static_cast<std::uint8_t>(byte);
            const std::uint32_t at = plane_offset(column, y, height);
            red[at] = value;
            green[at] = value;
            blue[at] = value;
        }
    }
}
