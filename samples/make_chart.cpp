// Draws the bundled test chart: a 512 × 512 raw grey picture whose orientation shows at a glance.
//
// Top and bottom bands run from black at the left to white at the right; between them, on dark
// grey, a white letter F stands in the top-left corner and a white arrow points up. A mirrored
// picture turns the bands and the F around; an upside-down one points the arrow down.
#include <array>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int size = 512;
using chart = std::array<std::uint8_t, size * size>; // top row first, each row left to right

void fill_rect(chart& picture, int left, int top, int right, int bottom, std::uint8_t grey)
{
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            picture[static_cast<std::size_t>(y * size + x)] = grey;
}

chart draw()
{
    chart picture{};
    constexpr std::uint8_t background = 64;
    constexpr std::uint8_t white = 255;
    fill_rect(picture, 0, 0, size, size, background);

    // Smooth ramp along the top, a 16-step staircase along the bottom.
    for (int x = 0; x < size; ++x) {
        fill_rect(picture, x, 0, x + 1, 40, static_cast<std::uint8_t>(x / 2));
        fill_rect(picture, x, size - 40, x + 1, size, static_cast<std::uint8_t>(x / 32 * 17));
    }

    // The letter F: stem, top bar, middle bar.
    fill_rect(picture, 40, 64, 64, 224, white);
    fill_rect(picture, 40, 64, 140, 88, white);
    fill_rect(picture, 40, 132, 120, 156, white);

    // The arrow: a head whose apex is at the top, then its shaft.
    constexpr int apex = 72;
    constexpr int base = 200;
    for (int y = apex; y < base; ++y) {
        const int half = (y - apex) * 80 / (base - apex);
        fill_rect(picture, size / 2 - half, y, size / 2 + half + 1, y + 1, white);
    }
    fill_rect(picture, 232, base, 281, 440, white);
    return picture;
}

} // namespace

// Usage: make_chart OUTPUT. Writes the chart's 262,144 bytes to OUTPUT; exits 1 if it can't.
int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fputs("usage: make_chart output.raw\n", stderr);
        return 1;
    }
    static const chart picture = draw();
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(picture.data(), 1, picture.size(), out) != picture.size() ||
        std::fclose(out) != 0) {
        std::fputs("make_chart: can't write the chart\n", stderr);
        return 1;
    }
    return 0;
}
