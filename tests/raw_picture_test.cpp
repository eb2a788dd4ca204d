// Tests of the raw picture reader on a picture wider than it is tall, where width and height
// swapped in the plane layout would show (the tool's own 512 × 512 can't tell them apart).
#include "raw_picture.h"
#include "test_support.h"

#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

namespace {

TEST(RawPictureReader, FillsEachPlaneColumnByColumnFromTheBottomRowUp)
{
    const bytes raw = asymmetric_picture(6, 4);
    for (const std::size_t size : {24UL, 20UL}) { // the whole picture, and a short file
        SCOPED_TRACE(size);
        const std::unique_ptr<std::FILE, decltype(&std::fclose)> in(std::tmpfile(), &std::fclose);
        ASSERT_NE(in, nullptr);
        ASSERT_EQ(std::fwrite(raw.data(), 1, size, in.get()), size);
        std::rewind(in.get());
        // Filled with 0xEE first, so that a byte the reader fails to write shows.
        bytes red(24, 0xEE), green(24, 0xEE), blue(24, 0xEE);
        read_raw_picture(in.get(), 6, 4, red, green, blue);

        // Column 0 holds the first byte of file rows 3, 2, 1, 0, then column 1 …; black past
        // the end of a short file.
        bytes want;
        for (std::size_t column = 0; column < 6; ++column)
            for (std::size_t row = 4; row-- > 0;)
                want.push_back(row * 6 + column < size ? raw[row * 6 + column] : 0);
        EXPECT_EQ(red, want);
        EXPECT_EQ(green, want);
        EXPECT_EQ(blue, want);
    }
}

} // namespace
