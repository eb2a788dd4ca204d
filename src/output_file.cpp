// The output file: what the kernel lets the run do at the output's name, and a new file that
// takes the name only once it is complete, on the disk and given all the old one had.
#include "output_file.h"

#include "file_attributes.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/vfs.h>

namespace {

using path_buffer = std::array<char, PATH_MAX>;

constexpr int links_max = 40; // the most the kernel follows in one lookup (then ELOOP)

constexpr long follows_no_links = 0x2000; // statfs's ST_NOSYMFOLLOW, which glibc doesn't name

// The owner stat shows for an id this user namespace can't name (kernel.overflowuid): under
// unshare -r, every other user of the host. The kernel compares real ids: it is no one's own.
constexpr uid_t unmapped = 65534;

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True if name in directory holds the file of status.
bool holds(int directory, const char* name, const struct stat& status)
{
    struct stat now = {};
    return fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, status);
}

// True if owner is this user or directory's, as the sticky rules count them.
bool owns(uid_t owner, const struct stat& directory)
{
    return owner != unmapped && (owner == geteuid() || owner == directory.st_uid);
}

// The kernel's rule for opening what exists in a sticky directory, as fs.protected_regular=2 and
// fs.protected_fifos=2 have it: a regular file or FIFO in one that anyone, or its group, may
// write, only if it is this user's or the directory's owner's. (The kernel asks it only of an
// open that may create, as the run's does not, so it is asked here at its strictest.)
bool may_open_in_sticky(const struct stat& file, const struct stat& directory)
{
    return !(S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode)) ||
           (directory.st_mode & S_ISVTX) == 0 || (directory.st_mode & (S_IWOTH | S_IWGRP)) == 0 ||
           owns(file.st_uid, directory);
}

// Opens, from the directory from, the directory in which path names a file, into out.directory
// and its status, and puts the file's name in out.name. As "dir/.", not "dir", so that a link
// ending dir is followed as one along the path, not as the last one, which alone
// fs.protected_symlinks looks at. False for a path ending in a slash, or too long.
bool enter(int from, const char* path, output_file& out, struct stat& directory_status)
{
    const char* const slash = std::strrchr(path, '/');
    const std::string_view name = slash == nullptr ? path : slash + 1;
    const std::size_t kept = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    path_buffer directory;
    if (name.empty() || name.size() >= out.name.size() || kept + 2 > directory.size())
        return false;
    *std::copy(name.begin(), name.end(), out.name.begin()) = '\0';
    std::copy_n(".", 2, std::copy_n(path, kept, directory.begin()));
    out.directory = unique_fd(openat(from, directory.data(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return out.directory.is_open() && fstat(out.directory.fd, &directory_status) == 0;
}

// Reads into target the link at out.name in out.directory (of directory_status) where the kernel
// would follow it: not on a mount that follows none (asked of the directory: bindfs, asked of the
// link, follows it and may hang), and in a sticky directory anyone may write, whatever
// fs.protected_symlinks says, only a link of this user's or the directory's owner's. Checked and
// read through one descriptor: what is read is what was checked.
bool read_link(const output_file& out, const struct stat& directory_status, path_buffer& target)
{
    const unique_fd link(
        openat(out.directory.fd, out.name.data(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status = {};
    struct statfs file_system = {};
    constexpr mode_t sticky_and_open = S_ISVTX | S_IWOTH;
    if (!link.is_open() || fstat(link.fd, &status) != 0 || !S_ISLNK(status.st_mode) ||
        fstatfs(out.directory.fd, &file_system) != 0 ||
        (file_system.f_flags & follows_no_links) != 0 ||
        ((directory_status.st_mode & sticky_and_open) == sticky_and_open &&
         !owns(status.st_uid, directory_status)))
        return false;
    const ssize_t length = readlinkat(link.fd, "", target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
        return false;
    target[static_cast<std::size_t>(length)] = '\0';
    return true;
}

// Finds what path names, following its links as read_link allows: where they end in out.directory
// (of directory_status) and out.name, and what is there in out.found (st_mode 0: nothing). False
// where a link may not be followed or a look fails.
bool find(const char* path, output_file& out, struct stat& directory_status)
{
    if (!enter(AT_FDCWD, path, out, directory_status))
        return false;
    for (int links = 0;; ++links) {
        if (fstatat(out.directory.fd, out.name.data(), &out.found, AT_SYMLINK_NOFOLLOW) != 0) {
            out.found = {};
            return errno == ENOENT;
        }
        if (!S_ISLNK(out.found.st_mode))
            return true;
        path_buffer target;
        if (links == links_max || !read_link(out, directory_status, target) ||
            !enter(out.directory.fd, target.data(), out, directory_status))
            return false;
    }
}

// Whether no new file can take the name from the file found: it is the root of a mount (a bind
// mount), or its directory takes no removal (chattr +a or +i), where a temporary name once made
// could never go. Where statx can't tell of the directory (FUSE), its flags are asked; one that
// can't be read (a drop box) or keeps none is taken to take removals.
bool keeps_its_name(int file, int directory)
{
    struct statx status = {};
    if (statx(file, "", AT_EMPTY_PATH, 0, &status) == 0 &&
        (status.stx_attributes & status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return true;
    constexpr std::uint64_t fixed = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
    if (statx(directory, "", AT_EMPTY_PATH, 0, &status) == 0 &&
        (status.stx_attributes_mask & fixed) == fixed)
        return (status.stx_attributes & fixed) != 0;
    const unique_fd readable(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    return readable.is_open() && ioctl(readable.fd, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// Holds back all signals that can be, or (hold false) lets through those held.
void hold_signals(output_file& out, bool hold)
{
    sigset_t all;
    if (hold && !out.holding_signals && sigfillset(&all) == 0)
        out.holding_signals = sigprocmask(SIG_BLOCK, &all, &out.held_from) == 0;
    if (!hold && std::exchange(out.holding_signals, false))
        sigprocmask(SIG_SETMASK, &out.held_from, nullptr);
}

// Puts in out.temporary a fresh random name, .vyk_pic_convert-XXXXXXXXXXXX.tmp, of 62^12 (2^71):
// no other user can foresee and take it, so one found taken is an error, not a reason to try
// another. False if the kernel has no random bits to give.
bool make_temporary_name(output_file& out)
{
    constexpr std::string_view prefix = ".vyk_pic_convert-";
    constexpr std::string_view suffix = ".tmp";
    constexpr std::string_view letters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<std::uint8_t, 12> bits{};
    static_assert(prefix.size() + bits.size() + suffix.size() + 1 == sizeof out.temporary);
    if (getrandom(bits.data(), bits.size(), 0) != static_cast<ssize_t>(bits.size()))
        return false;
    char* to = std::copy(prefix.begin(), prefix.end(), out.temporary.begin());
    for (const std::uint8_t byte : bits) // (the first 256 % 62 letters a little more often)
        *to++ = letters[byte % letters.size()];
    *std::copy(suffix.begin(), suffix.end(), to) = '\0';
    return true;
}

// Removes out's temporary name, if any, unless it is seen to hold another's file (where the look
// fails, it is a name only this run knows). Then lets signals through. False if the name stays.
bool drop(output_file& out)
{
    bool removed = true;
    struct stat now = {};
    const char* const temporary = out.temporary.data();
    if (*temporary != '\0' &&
        (fstatat(out.directory.fd, temporary, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
         same_file(now, out.made)))
        removed = unlinkat(out.directory.fd, temporary, 0) == 0 || errno == ENOENT;
    out.temporary = {};
    hold_signals(out, false);
    return removed;
}

// Makes the new file in out.directory, open for writing as file, with the permission bits mode
// less the umask (or as a default ACL has it): unnamed where the file system allows, else under
// a fresh temporary name, signals held from before it is made. Returns done; refused if the
// directory takes no new file from this user; failed otherwise, having made nothing.
step_result make_new_file(output_file& out, mode_t mode, unique_fd& file)
{
    file = unique_fd(openat(out.directory.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (!file.is_open() && errno == EOPNOTSUPP) { // vfat, FUSE, NFS
        hold_signals(out, true);
        // O_EXCL makes it this run's own: nothing already at the name is opened or followed.
        if (make_temporary_name(out))
            file = unique_fd(openat(out.directory.fd, out.temporary.data(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
    }
    const int error = errno;
    if (file.is_open() && fstat(file.fd, &out.made) == 0)
        return step_result::done;
    if (file.is_open() && out.temporary[0] != '\0')
        unlinkat(out.directory.fd, out.temporary.data(), 0);
    out.temporary = {};
    hold_signals(out, false);
    return file.is_open() ? step_result::failed : result_of_error(error);
}

// Links out's unnamed new file, open as file, to name in out.directory: by its descriptor, or,
// where only CAP_DAC_READ_SEARCH may (Linux before 6.10), by its entry in /proc/self/fd, which
// leads wherever what is mounted there says: the name is then checked to hold this very file,
// and removed if not. False, with nothing linked, if it can't be (EEXIST: the name is taken).
bool link_unnamed(const output_file& out, int file, const char* name)
{
    if (linkat(file, "", out.directory.fd, name, AT_EMPTY_PATH) == 0)
        return true;
    if (errno != ENOENT)
        return false;
    constexpr std::string_view fds = "/proc/self/fd/";
    std::array<char, fds.size() + 12> entry{};
    std::to_chars(std::copy(fds.begin(), fds.end(), entry.begin()), &entry.back(), file);
    if (linkat(AT_FDCWD, entry.data(), out.directory.fd, name, AT_SYMLINK_FOLLOW) != 0)
        return false;
    if (holds(out.directory.fd, name, out.made))
        return true;
    unlinkat(out.directory.fd, name, 0);
    return false;
}

// Gives out's new file, open as file, the name nothing had when it was found, never over a file
// that took it since: by a link, which never replaces, then the removal of any temporary name
// (which stays if it can't be removed). Where the file system has no hard links (FAT, whose
// files all have one owner), by a rename once the name is seen to be free.
bool take_free_name(output_file& out, int file)
{
    const int directory = out.directory.fd;
    const char* const temporary = out.temporary.data();
    if (*temporary == '\0')
        return link_unnamed(out, file, out.name.data());
    if (linkat(directory, temporary, directory, out.name.data(), 0) == 0) {
        drop(out);
        return true;
    }
    struct stat now = {};
    if (result_of_error(errno) != step_result::refused ||
        fstatat(directory, out.name.data(), &now, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT ||
        renameat(directory, temporary, directory, out.name.data()) != 0)
        return false;
    out.temporary = {};
    return true;
}

// Gives out's new file, open as file, the name in place of the file found there, in one step:
// a reader of the name sees one file or the other, whole. The two swap names (RENAME_EXCHANGE);
// the temporary name then holds what had the name, removed if it is the file found. If not (the
// name went to another file) or it can't be removed (a failing disk), they swap back; should that
// fail too, the new file keeps the name, unless what it took the name from has gone. Without swaps
// (FUSE, NFS), it is renamed over the name once the name is seen to hold the file found.
bool replace(output_file& out, int file)
{
    const int directory = out.directory.fd;
    const char* const name = out.name.data();
    const char* const temporary = out.temporary.data();
    hold_signals(out, true);
    // Runs replacing one file take turns here under a lock on it (a second fails), and see that
    // the name still holds it: no two runs' swaps cross, leaving each another's to swap back.
    if ((flock(out.found_file.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
        !holds(directory, name, out.found))
        return false;
    if (*temporary == '\0' && (!make_temporary_name(out) || !link_unnamed(out, file, temporary))) {
        out.temporary = {};
        return false;
    }
    if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL || !holds(directory, name, out.found) ||
            renameat(directory, temporary, directory, name) != 0)
            return false;
    } else if (!holds(directory, temporary, out.found) || unlinkat(directory, temporary, 0) != 0) {
        if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) != 0 &&
            errno == ENOENT && holds(directory, name, out.made))
            unlinkat(directory, name, 0);
        return false;
    }
    out.temporary = {};
    return true;
}

} // namespace

output_file open_output(const char* path)
{
    output_file out;
    struct stat directory_status = {};
    if (!find(path, out, directory_status) || !may_open_in_sticky(out.found, directory_status))
        return {};
    // fopen's "wb" is O_WRONLY | O_CREAT | O_TRUNC; the rest keeps a terminal from becoming the
    // controlling one, and the descriptor from programs this one might start.
    unique_fd& opened = out.found_file;
    opened = unique_fd(open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    const bool found = out.found.st_mode != 0;
    struct stat status = {};
    unique_fd file;
    if (!opened.is_open()) {
        // Nothing at the name, or at the end of its links: a new file is made there.
        if (errno != ENOENT || found || make_new_file(out, 0666, file) != step_result::done)
            return {};
    } else {
        if (fstat(opened.fd, &status) != 0 || !may_open_in_sticky(status, directory_status))
            return {};
        // What the open reached must be what was found; where nothing was, only what has no
        // name (a pipe or a deleted file behind /proc/self/fd). Else another file took the name.
        if (found ? !same_file(status, out.found) : S_ISREG(status.st_mode) && status.st_nlink != 0)
            return {};
        // Written in place where no new file can take the name; else a new file, open to nobody
        // else until it has the old file's attributes, or, where they are refused it, in place.
        // A temporary name that can't be removed is no place to rewrite the old file from.
        const bool in_place_only =
            !found || !S_ISREG(status.st_mode) || keeps_its_name(opened.fd, out.directory.fd);
        step_result made = in_place_only ? step_result::refused : make_new_file(out, 0600, file);
        if (made == step_result::done)
            made = copy_attributes(opened.fd, status, file.fd, out.directory.fd);
        if (made != step_result::done && (!drop(out) || made != step_result::refused))
            return {};
        out.in_place = made == step_result::refused;
        if (out.in_place)
            file = std::exchange(opened, unique_fd());
    }
    out.stream = fdopen(file.fd, "wb");
    if (out.stream == nullptr) {
        drop(out);
        return {};
    }
    file.release();
    // Truncated as by fopen once the stream exists, so that a failure before leaves it whole.
    if (out.in_place && S_ISREG(status.st_mode) && ftruncate(fileno(out.stream), 0) != 0) {
        std::fclose(out.stream);
        return {};
    }
    return out;
}

bool close_output(output_file& out, bool written)
{
    std::FILE* const stream = std::exchange(out.stream, nullptr);
    const int file = fileno(stream);
    // The data goes to the disk before the name: file systems write a new name out first (ext4
    // within 5 seconds) and its data later (30 seconds and more), and a crash between the two
    // would leave an empty file at the name. What can't be synced (EINVAL: a FIFO) needs no wait.
    bool done = written && std::fflush(stream) == 0 && (fdatasync(file) == 0 || errno == EINVAL);
    if (!out.in_place) {
        done = done && (out.found.st_mode == 0 ? take_free_name(out, file) : replace(out, file));
        drop(out); // what is left of the new file's temporary name, if any, and held signals
    }
    // In place, the close has the last word on the writes (NFS); after the naming, it has none.
    return (std::fclose(stream) == 0 || !out.in_place) && done;
}
