// Tests of the raw picture reader: where each byte lands, short and long inputs, failed reads.
#include "picture.h"
#include "raw_picture.h"
#include "test_support.h"

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

namespace {

struct planes {
    bytes red, green, blue;
};

using stream = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

// A readable stream holding contents, positioned at its start.
stream stream_of(const bytes& contents)
{
    stream in(std::tmpfile(), &std::fclose);
    EXPECT_NE(in, nullptr);
    if (!contents.empty()) { // an empty vector's data() may be null, which fwrite must not get
        EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), in.get()), contents.size());
    }
    std::rewind(in.get());
    return in;
}

// Reads a width × height picture from in into planes that start out filled with 0xEE, so a byte
// the reader fails to write shows up.
planes read_planes(std::FILE* in, std::uint32_t width, std::uint32_t height)
{
    const std::size_t size = std::size_t{width} * height;
    planes result{bytes(size, 0xEE), bytes(size, 0xEE), bytes(size, 0xEE)};
    read_raw_picture(in, width, height, result.red, result.green, result.blue);
    return result;
}

// Checks that every plane holds raw byte k (or 0 past the end of raw) at column k mod width of
// the row k / width counted from the top.
void expect_picture(const planes& got, const bytes& raw, std::uint32_t width, std::uint32_t height)
{
    for (std::uint32_t k = 0; k < width * height; ++k) {
        const std::uint32_t at = plane_offset(k % width, height - 1 - k / width, height);
        const std::uint8_t want = k < raw.size() ? raw[k] : 0;
        ASSERT_EQ(got.red[at], want) << "red, input byte " << k;
        ASSERT_EQ(got.green[at], want) << "green, input byte " << k;
        ASSERT_EQ(got.blue[at], want) << "blue, input byte " << k;
    }
}

TEST(RawPictureReader, PlacesEveryByteWithTheTopRowAtTheHighestY)
{
    const bytes raw = asymmetric_picture(picture_width, picture_height);
    const planes got = read_planes(stream_of(raw).get(), picture_width, picture_height);
    expect_picture(got, raw, picture_width, picture_height);
    // The file's first byte is the top-left pixel, its last the bottom-right one.
    EXPECT_EQ(got.red[plane_offset(0, 511, 512)], raw.front());
    EXPECT_EQ(got.red[plane_offset(511, 0, 512)], raw.back());
}

TEST(RawPictureReader, UsesWidthAndHeightEachInItsOwnPlace)
{
    // A picture wider than it is tall catches width and height swapped in the plane layout.
    const bytes raw = asymmetric_picture(6, 4);
    const planes got = read_planes(stream_of(raw).get(), 6, 4);
    expect_picture(got, raw, 6, 4);
    EXPECT_EQ(got.blue,
              (bytes{raw[18], raw[12], raw[6],  raw[0], raw[19], raw[13], raw[7],  raw[1],
                     raw[20], raw[14], raw[8],  raw[2], raw[21], raw[15], raw[9],  raw[3],
                     raw[22], raw[16], raw[10], raw[4], raw[23], raw[17], raw[11], raw[5]}));
}

TEST(RawPictureReader, FillsBlackPastTheEndOfAShortInput)
{
    for (const std::size_t size : {0UL, 1UL, 700UL, 262'143UL}) {
        SCOPED_TRACE(size);
        const bytes raw = raw_input(size);
        expect_picture(read_planes(stream_of(raw).get(), 512, 512), raw, 512, 512);
    }
}

TEST(RawPictureReader, TakesByte255AsAPixelNotAsTheEnd)
{
    const bytes raw(512 * 512, 255);
    expect_picture(read_planes(stream_of(raw).get(), 512, 512), raw, 512, 512);
}

TEST(RawPictureReader, ReadsNoFurtherThanThePicture)
{
    bytes raw = raw_input(512 * 512 + 2);
    raw[512 * 512] = 0xA5;
    const stream in = stream_of(raw);
    const planes got = read_planes(in.get(), 512, 512);
    expect_picture(got, bytes(raw.begin(), raw.begin() + 512 * 512), 512, 512);
    EXPECT_EQ(std::getc(in.get()), 0xA5) << "the byte after the picture was consumed";
}

TEST(RawPictureReader, LeavesAReadErrorForTheCallerToSee)
{
    // Opening a directory for reading succeeds; every read of it fails.
    const stream in(std::fopen(".", "rb"), &std::fclose);
    ASSERT_NE(in, nullptr);
    const planes got = read_planes(in.get(), 16, 16);
    expect_picture(got, {}, 16, 16);
    EXPECT_NE(std::ferror(in.get()), 0);
}

} // namespace
