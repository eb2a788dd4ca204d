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

    // What the scratch directory's file system can hold; where it can't, a test skips that part.
    bool has_fifos() const;
    bool has_links() const;   // symbolic and hard links
    bool keeps_modes() const; // permission bits that chmod may change, as on vfat or bindfs not
    // Whether a new file can have another's permission bits, as the tool gives them to a file
    // that replaces another: vfat gives every file the same, bindfs --chmod-deny refuses to
    // change them, and the tool then rewrites the old file in place instead.
    bool replaces_whole() const;

    // has, and where it is false, says on the test's output that the part of the test that needs
    // it, what, is left out on this file system.
    static bool part_needs(bool has, const char* what);

    std::filesystem::path dir;
};

bytes read_file(const std::filesystem::path& path);
// Makes path a new file holding contents, whatever was there.
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
