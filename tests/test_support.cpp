// Helpers shared by the tests: scratch directories, file contents, test pictures and the
// BMP that an input must give, worked out independently of the writer.
#include "test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

void scratch_dir_test::SetUp()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vyk_pic_convert_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "can't create a scratch directory";
    dir = pattern;
}

void scratch_dir_test::TearDown()
{
    if (!dir.empty())
        std::filesystem::remove_all(dir);
}

std::vector<std::string> scratch_dir_test::entries() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool scratch_dir_test::has_fifos() const
{
    const auto probe = dir / "probe.fifo";
    const bool made = mkfifo(probe.c_str(), 0600) == 0;
    std::filesystem::remove(probe);
    return made;
}

bool scratch_dir_test::has_links() const
{
    std::error_code failed;
    const auto probe = dir / "probe.link";
    std::filesystem::create_symlink("target", probe, failed);
    std::filesystem::remove(probe);
    if (failed)
        return false;
    write_file(probe, {});
    std::filesystem::create_hard_link(probe, dir / "probe.hard", failed);
    std::filesystem::remove(probe);
    std::filesystem::remove(dir / "probe.hard");
    return !failed;
}

bool scratch_dir_test::has_unnamed_files() const
{
    const int unnamed = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (unnamed >= 0)
        close(unnamed);
    return unnamed >= 0;
}

bool scratch_dir_test::keeps_modes() const
{
    const auto probe = dir / "probe.mode";
    write_file(probe, {});
    struct stat status = {};
    const bool kept = chmod(probe.c_str(), 0640) == 0 && stat(probe.c_str(), &status) == 0 &&
                      (status.st_mode & 0777) == 0640;
    std::filesystem::remove(probe);
    return kept;
}

bool scratch_dir_test::replaces_whole() const
{
    const auto old_file = dir / "probe.old";
    const auto new_file = dir / "probe.new";
    write_file(old_file, {});
    close(open(new_file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    struct stat old_status = {};
    struct stat new_status = {};
    const bool same =
        stat(old_file.c_str(), &old_status) == 0 &&
        (chmod(new_file.c_str(), old_status.st_mode & 07777) == 0 ||
         (stat(new_file.c_str(), &new_status) == 0 && new_status.st_mode == old_status.st_mode));
    std::filesystem::remove(old_file);
    std::filesystem::remove(new_file);
    return same;
}

std::string scratch_dir_test::open_to(uid_t uid, gid_t gid)
{
    if (chmod(dir.c_str(), 0755) != 0)
        return "can't make the scratch directory " + dir.string() +
               " mode 0755: " + std::strerror(errno);
    const std::string why = why_cant_enter(dir, uid, gid);
    struct stat here = {};
    if (why.empty() || stat(dir.c_str(), &here) != 0)
        return why;
    for (const char* place : {"/tmp", "/var/tmp"}) {
        struct stat there = {};
        if (stat(place, &there) != 0 || there.st_dev != here.st_dev ||
            !why_cant_enter(place, uid, gid).empty())
            continue;
        std::string pattern = std::string(place) + "/vyk_pic_convert_test.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            continue;
        std::filesystem::remove_all(dir);
        dir = pattern;
        return chmod(dir.c_str(), 0755) == 0 ? why_cant_enter(dir, uid, gid) : why;
    }
    return why + ", and neither /tmp nor /var/tmp is a directory on the same file system that "
                 "they may enter";
}

bool scratch_dir_test::part_needs(bool has, const char* what)
{
    if (!has)
        std::printf("[   PART   ] left out, as this file system has no %s\n", what);
    return has;
}

std::string why_cant_enter(const std::filesystem::path& dir, uid_t uid, gid_t gid)
{
    // Each directory on the way, from the root down; the account tries them in turn, and its
    // exit status is the number of the first it can't enter (counting from 1), or 0.
    std::vector<std::string> way;
    std::filesystem::path so_far;
    for (const auto& part : std::filesystem::absolute(dir))
        if (!part.empty())
            way.push_back((so_far /= part).string());
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(255);
        for (std::size_t k = 0; k < way.size(); ++k)
            if (access(way[k].c_str(), X_OK) != 0)
                _exit(static_cast<int>(std::min<std::size_t>(k + 1, 254)));
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return "can't take on uid " + std::to_string(uid) +
               " to see which directories it may "
               "enter";
    if (WEXITSTATUS(status) == 0)
        return "";
    const std::string& keeps_out = way[static_cast<std::size_t>(WEXITSTATUS(status)) - 1];
    struct stat status_there = {};
    struct statfs file_system = {};
    char mode[8] = "?";
    if (stat(keeps_out.c_str(), &status_there) == 0)
        std::snprintf(mode, sizeof mode, "%04o",
                      static_cast<unsigned>(status_there.st_mode & 07777));
    const std::string who = "other accounts can't enter " + keeps_out;
    constexpr unsigned long fuse = 0x65735546; // FUSE_SUPER_MAGIC
    if (statfs(keeps_out.c_str(), &file_system) == 0 &&
        static_cast<unsigned long>(file_system.f_type) == fuse)
        return who + ", on a FUSE file system mounted without allow_other";
    if ((status_there.st_mode & S_IXOTH) == 0)
        return who + " (mode " + mode + ")";
    return who + ", though its mode (" + mode + ") lets them in";
}

bytes read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("can't read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const bytes& contents)
{
    // Removed first: a FUSE file system may ignore O_TRUNC (fusefat does), and a file left long
    // would spoil the test.
    std::filesystem::remove(path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
    if (!out.flush())
        throw std::runtime_error("can't write " + path.string());
}

namespace {

// Mirroring a column c to width - 1 - c changes 131 × c by an odd multiple of 131 when the width
// is even, and so changes the byte; likewise 7 × row for an even height.
std::uint8_t pattern(std::size_t column, std::size_t row)
{
    return static_cast<std::uint8_t>(131 * column + 7 * row + 17);
}

} // namespace

bytes asymmetric_picture(std::uint32_t width, std::uint32_t height)
{
    bytes picture(std::size_t{width} * height);
    for (std::size_t k = 0; k < picture.size(); ++k)
        picture[k] = pattern(k % width, k / width);
    return picture;
}

bytes raw_input(std::size_t size)
{
    bytes raw(size);
    for (std::size_t k = 0; k < size; ++k)
        raw[k] = pattern(k % 512, k / 512);
    return raw;
}

bytes expected_bmp(const bytes& raw)
{
    // The file header, then the info header up to its bit count; the remaining 24 bytes are 0.
    // clang-format off
    static const std::uint8_t headers[54] = {
        0x42, 0x4D, 0x36, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00,
        0x28, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00,
        0x18, 0x00,
    };
    // clang-format on
    bytes bmp(786'486, 0);
    std::copy(std::begin(headers), std::end(headers), bmp.begin());
    const std::size_t pixels = std::min<std::size_t>(raw.size(), 512 * 512);
    for (std::size_t k = 0; k < pixels; ++k) {
        const std::size_t at = 54 + (511 - k / 512) * 1536 + 3 * (k % 512);
        bmp[at] = bmp[at + 1] = bmp[at + 2] = raw[k];
    }
    return bmp;
}
