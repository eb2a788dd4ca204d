// Helpers shared by the tests: scratch directories, file contents, test pictures and the
// BMP that an input must give, worked out independently of the writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using bytes = std::vector<std::uint8_t>;

// A fresh directory for one test, removed with everything in it when the test ends.
class scratch_dir_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The names in the directory, sorted.
    std::vector<std::string> entries() const;

    std::filesystem::path dir;
};

bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const bytes& contents);

// A width × height raw picture (top row first); for an even width and height no pixel equals its
// mirror image across either axis, so a flip or a mirror changes every pixel.
bytes asymmetric_picture(std::uint32_t width, std::uint32_t height);

// The first `size` bytes of an endless asymmetric 512-wide stream, for inputs of any length.
bytes raw_input(std::size_t size);

// The 786,486-byte BMP that a raw input (of any length) must convert to: the fixed headers, then
// each input byte k of the first 512 × 512 three times at
// 54 + (511 - k / 512) × 1536 + 3 × (k mod 512); black where the input is short.
bytes expected_bmp(const bytes& raw);
