// Helpers shared by the tests: scratch directories, file contents, test pictures and the
// BMP that an input must give, worked out independently of the writer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

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
    bool has_links() const; // symbolic and hard links
    // Unnamed files (O_TMPFILE), where the tool writes a new output; elsewhere (vfat, FUSE), it
    // writes it under a temporary name. tests/on_file_systems.sh runs the tests on both kinds.
    bool has_unnamed_files() const;
    bool keeps_modes() const; // permission bits that chmod may change, as on vfat or bindfs not
    // Whether a new file can have another's permission bits, as the tool gives them to a file
    // that replaces another: vfat gives every file the same, bindfs --chmod-deny refuses to
    // change them, and the tool then rewrites the old file in place instead.
    bool replaces_whole() const;

    // Makes the scratch directory one that the account uid, with group gid, may enter: mode
    // 0755, and made afresh in /tmp or /var/tmp if it can't be reached where it is (a TMPDIR in
    // a private directory), but only on the same file system, which is the one to be tested.
    // Returns "" once the account may enter it, and else why not, as why_cant_enter says.
    std::string open_to(uid_t uid, gid_t gid);

    // has, and where it is false, says on the test's output that the part of the test that needs
    // it, what, is left out on this file system.
    static bool part_needs(bool has, const char* what);

    std::filesystem::path dir;
};

// Why the account uid, with group gid and no other groups, can't enter dir (it and every
// directory on the way to it), or "" if it can: names the first directory that keeps it out,
// with its mode or, where the mode would let it in, what else does (a FUSE file system mounted
// without allow_other lets in only the user who mounted it). Needs root, to take on uid.
std::string why_cant_enter(const std::filesystem::path& dir, uid_t uid, gid_t gid);

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
