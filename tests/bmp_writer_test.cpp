// Tests of the BMP writer: pixel placement and channel order, padding, memory it can't get.
#include "bmp_writer.h"
#include "picture.h"
#include "test_support.h"
#include "tool_command.h"

#include <cstdio>
#include <fstream>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Picture planes holding a raw top-down picture, with each colour made different from the
// others, so that swapped channels show up.
struct colour_planes {
    bytes red, green, blue;
};

colour_planes planes_of(const bytes& raw, std::uint32_t width, std::uint32_t height)
{
    colour_planes planes{bytes(raw.size()), bytes(raw.size()), bytes(raw.size())};
    for (std::uint32_t k = 0; k < width * height; ++k) {
        const std::uint32_t at = plane_offset(k % width, height - 1 - k / width, height);
        planes.red[at] = raw[k];
        planes.green[at] = static_cast<std::uint8_t>(raw[k] ^ 0x55);
        planes.blue[at] = static_cast<std::uint8_t>(raw[k] ^ 0xAA);
    }
    return planes;
}

void write(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
           const colour_planes& planes)
{
    write_bmp(path.c_str(), width, height, planes.red, planes.green, planes.blue);
}

using BmpWriter = scratch_dir_test;

TEST_F(BmpWriter, StoresRowsBottomUpAsBlueGreenRed)
{
    const bytes raw = asymmetric_picture(512, 512);
    write(dir / "out.bmp", 512, 512, planes_of(raw, 512, 512));
    const bytes file = read_file(dir / "out.bmp");
    ASSERT_EQ(file.size(), 786'486U);
    for (std::size_t k = 0; k < raw.size(); ++k) {
        const std::size_t at = 54 + (511 - k / 512) * 1536 + 3 * (k % 512);
        ASSERT_EQ(file[at], raw[k] ^ 0xAA) << "blue of input byte " << k;
        ASSERT_EQ(file[at + 1], raw[k] ^ 0x55) << "green of input byte " << k;
        ASSERT_EQ(file[at + 2], raw[k]) << "red of input byte " << k;
    }
    // The first input byte opens the last stored row; the last one ends the first stored row.
    EXPECT_EQ(file[784'952], raw.front());
    EXPECT_EQ(file[1'589], raw.back());
}

TEST_F(BmpWriter, PadsRowsToWholeWordsAndCountsThePadding)
{
    // 3 pixels make a 9-byte row, padded with 3 zero bytes to 12.
    const bytes raw = asymmetric_picture(3, 2);
    write(dir / "odd.bmp", 3, 2, planes_of(raw, 3, 2));
    const bytes file = read_file(dir / "odd.bmp");
    ASSERT_EQ(file.size(), 54U + 2 * 12);
    EXPECT_EQ(bytes(file.begin() + 2, file.begin() + 6), (bytes{78, 0, 0, 0})) << "file size";
    EXPECT_EQ(bytes(file.begin() + 18, file.begin() + 26), (bytes{3, 0, 0, 0, 2, 0, 0, 0}));
    const auto bgr = [&](std::size_t k) {
        return bytes{static_cast<std::uint8_t>(raw[k] ^ 0xAA),
                     static_cast<std::uint8_t>(raw[k] ^ 0x55), raw[k]};
    };
    bytes want_rows;
    for (const std::size_t first : {std::size_t{3}, std::size_t{0}}) { // bottom row first
        for (std::size_t k = first; k < first + 3; ++k) {
            const bytes pixel = bgr(k);
            want_rows.insert(want_rows.end(), pixel.begin(), pixel.end());
        }
        want_rows.insert(want_rows.end(), {0, 0, 0});
    }
    EXPECT_EQ(bytes(file.begin() + 54, file.end()), want_rows);
}

// Leaves the process room for almost nothing beyond what it already maps, then writes.
void write_short_of_memory(const std::filesystem::path& path, const colour_planes& planes)
{
    long mapped_pages = 0;
    std::ifstream("/proc/self/statm") >> mapped_pages;
    const rlim_t limit =
        static_cast<rlim_t>(mapped_pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64 << 10);
    const rlimit address_space{limit, limit};
    setrlimit(RLIMIT_AS, &address_space);
    write(path, 512, 512, planes);
}

TEST_F(BmpWriter, ReportsAnImageItCantAllocateAndCreatesNothing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator aborts instead of failing the allocation";
#endif
    if (under_emulator)
        GTEST_SKIP() << "qemu-user does not limit its guest's address space";
    const colour_planes black{bytes(512 * 512), bytes(512 * 512), bytes(512 * 512)};
    // In a process of its own, not a fork that inherits memory earlier tests left to spare.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(write_short_of_memory(dir / "out.bmp", black), ::testing::ExitedWithCode(1),
                "^out of memory\\.\n$");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bmp"));
}

} // namespace
