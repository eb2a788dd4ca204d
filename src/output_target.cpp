// What stands at the output's name, as the kernel judges it, and what may be done to it.
#include "output_target.h"

#include "step_result.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Splits path, in place, into the directory it names a file in, returned, and that file's name,
// left in name: "." for a bare name, "/" for one in the root, as the kernel resolves them. Null
// if path ends in a slash, naming no file in a directory, or the name is longer than a file
// system takes.
const char* split_path(char* path, name_buffer& name)
{
    char* const slash = std::strrchr(path, '/');
    const char* const last = slash == nullptr ? path : slash + 1;
    if (*last == '\0' || !copy_text(name, last))
        return nullptr;
    if (slash == nullptr)
        return ".";
    if (slash == path)
        return "/";
    *slash = '\0';
    return path;
}

// Opens the directory of path (for use as the base of *at calls only) and leaves the last
// component in name. Not open if it can't be, or split_path refuses path.
unique_fd open_directory_of(const char* path, name_buffer& name)
{
    path_buffer copy;
    const char* const directory = copy_text(copy, path) ? split_path(copy.data(), name) : nullptr;
    return unique_fd(directory == nullptr ? -1 : open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// The kernel's rule for following a link, as fs.protected_symlinks=1 has it: in a sticky
// directory that anyone may write, only a link of this user's or of the directory's owner.
bool may_follow(const struct stat& link, const struct stat& directory)
{
    constexpr mode_t sticky_and_open = S_ISVTX | S_IWOTH;
    return link.st_uid == geteuid() || (directory.st_mode & sticky_and_open) != sticky_and_open ||
           link.st_uid == directory.st_uid;
}

// The kernel's rule for opening what exists in a sticky directory, as fs.protected_regular=2
// and fs.protected_fifos=2 have it: a regular file or FIFO in one that anyone, or its group,
// may write, only if it is this user's or the directory's owner's. (The kernel asks it only of
// an open with O_CREAT, which this one has not, so it is asked here at its strictest.)
bool may_open_in_sticky(const struct stat& file, const struct stat& directory)
{
    return !(S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode)) ||
           (directory.st_mode & S_ISVTX) == 0 || (directory.st_mode & (S_IWOTH | S_IWGRP)) == 0 ||
           file.st_uid == geteuid() || file.st_uid == directory.st_uid;
}

// How a look at the name ends.
enum class look {
    seen,    // as far as it goes
    refused, // by the kernel, these rules, or an error: the run fails
    changed, // the name changed hands meanwhile: judge it again
};

// Follows the link at target.name in directory, and the links it leads to, one at a time, each
// opened itself (O_PATH | O_NOFOLLOW) and judged by may_follow before its contents are read,
// the directories along it opened by the kernel under its own rules. Leaves in target.directory
// and target.name where the chain ends, in directory_status that directory's status, and in end
// the status of what is there (st_mode 0: nothing). At most as many links as the kernel follows
// (40) before it says ELOOP.
look follow_links(int directory, output_target& target, struct stat& directory_status,
                  struct stat& end)
{
    for (int links = 0; links < 40; ++links) {
        const int from = target.directory.is_open() ? target.directory.fd : directory;
        path_buffer contents;
        {
            const unique_fd link(openat(from, target.name.data(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat status = {};
            if (!link.is_open() || fstat(link.fd, &status) != 0)
                return look::refused;
            if (!S_ISLNK(status.st_mode))
                return look::changed;
            if (!may_follow(status, directory_status))
                return look::refused;
            const ssize_t length = readlinkat(link.fd, "", contents.data(), contents.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= contents.size())
                return look::refused;
            contents[static_cast<std::size_t>(length)] = '\0';
        }
        const char* const along = split_path(contents.data(), target.name);
        if (along == nullptr)
            return look::refused; // a link to a directory, or a name no file system takes
        unique_fd next(openat(from, along, O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!next.is_open() || fstat(next.fd, &directory_status) != 0)
            return look::refused;
        target.directory = std::move(next);
        target.by_link = true;
        if (fstatat(target.directory.fd, target.name.data(), &end, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return look::refused;
            end.st_mode = 0;
            return look::seen;
        }
        if (!S_ISLNK(end.st_mode))
            return look::seen;
    }
    return look::refused;
}

// True if the file's attributes, as statx tells them, include any of wanted; whether it could
// tell, in known.
bool has_attributes(int file, std::uint64_t wanted, bool& known)
{
    struct statx status = {};
    known = statx(file, "", AT_EMPTY_PATH, 0, &status) == 0 &&
            (status.stx_attributes_mask & wanted) == wanted;
    return known && (status.stx_attributes & wanted) != 0;
}

// Whether the name can't be given to another file: the file is the root of a mount (a bind
// mount, say), or its directory refuses to lose a name (chattr +a or +i), where a temporary
// name, once made, could not even be removed again. From statx, or where it can't tell (before
// Linux 4.11, or under a filter that refuses it), from the directory's inode flags: a file
// system that keeps none has no such directories. A kernel before 5.8 can't tell a mount point:
// the swap then fails (EBUSY), and the run with it. False in known if it can't be told.
bool name_is_pinned(const output_target& target, bool& known)
{
    bool told = false;
    if (has_attributes(target.file.fd, STATX_ATTR_MOUNT_ROOT, told))
        return known = true;
    constexpr std::uint64_t fixed = std::uint64_t{STATX_ATTR_APPEND} | STATX_ATTR_IMMUTABLE;
    const bool pinned = has_attributes(target.directory.fd, fixed, known);
    if (known)
        return pinned;
    const unique_fd readable(openat(target.directory.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (readable.is_open() && ioctl(readable.fd, FS_IOC_GETFLAGS, &flags) == 0) {
        known = true;
        return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
    }
    known = readable.is_open() && keeps_no_such_attribute(errno);
    return false;
}

// Judges name in directory once, as find_output_target describes, bar whether the name is
// pinned: a regular file found where its name holds it is replaceable here. Sets
// target.directory and target.name only where a link led elsewhere. Again, for a name that
// changed hands: never waits for a FIFO's reader, and refuses a link, which a file already
// made and dressed for its directory can't follow.
look judge_once(int directory, const name_buffer& name, bool again, output_target& target)
{
    struct stat directory_status = {};
    struct stat end = {};
    if (fstat(directory, &directory_status) != 0)
        return look::refused;
    if (fstatat(directory, name.data(), &end, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return look::refused;
        target.kind = target_kind::nothing;
        return look::seen;
    }
    if (S_ISLNK(end.st_mode)) {
        if (again)
            return look::refused;
        target.name = name;
        const look chain = follow_links(directory, target, directory_status, end);
        if (chain != look::seen)
            return chain;
    }
    if (!may_open_in_sticky(end, directory_status))
        return look::refused;
    // fopen's "wb" is O_WRONLY | O_CREAT | O_TRUNC; the rest keeps a terminal from becoming the
    // controlling one, and the descriptor from programs this one might start. The name is
    // opened as given, the kernel following its links itself.
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (again ? O_NONBLOCK : 0);
    target.file = unique_fd(openat(directory, name.data(), flags));
    if (!target.file.is_open()) {
        // A link leading nowhere: the new file is to be made where it leads, as fopen would.
        if (errno == ENOENT && end.st_mode == 0) {
            target.kind = target_kind::nothing;
            return look::seen;
        }
        return errno == ENOENT ? look::changed : look::refused;
    }
    if (fstat(target.file.fd, &target.status) != 0)
        return look::refused;
    if (end.st_mode == 0 || !same_file(end, target.status)) {
        // The name changed hands meanwhile; or what the kernel reached has no name along the
        // links (a pipe or a deleted file behind /proc/self/fd, say): nothing for a new file to
        // replace, and no name to hold part of one.
        if (end.st_mode != 0 || (S_ISREG(target.status.st_mode) && target.status.st_nlink != 0))
            return look::changed;
        target.kind = target_kind::in_place;
        return look::seen;
    }
    if (!may_open_in_sticky(target.status, directory_status))
        return look::refused;
    target.kind = S_ISREG(target.status.st_mode) ? target_kind::replaceable : target_kind::in_place;
    return look::seen;
}

// Judges name in directory, as often as it changes hands meanwhile: each time to a program that
// replaced the file there, as concurrent runs on one name do, all of which are to succeed.
// Holds at most three descriptors at once: directory, one along the links and the file.
bool judge(int directory, const name_buffer& name, bool again, output_target& target)
{
    constexpr int attempts = 8;
    for (int attempt = 1;; ++attempt) {
        const look seen = judge_once(directory, name, again, target);
        if (seen != look::changed || attempt == attempts)
            return seen == look::seen;
        target = output_target{};
    }
}

} // namespace

bool find_output_target(const char* path, output_target& target)
{
    name_buffer name;
    unique_fd directory = open_directory_of(path, name);
    if (!directory.is_open() || !judge(directory.fd, name, false, target))
        return false;
    if (target.by_link) {
        directory.reset();
    } else {
        target.directory = std::move(directory);
        target.name = name;
    }
    if (target.kind != target_kind::replaceable)
        return true;
    bool known = false;
    if (name_is_pinned(target, known))
        target.kind = target_kind::in_place;
    return known;
}

// Whether the name is pinned is not asked again: its directory was asked when first judged, and
// only root can make it append-only since; a mount made on the name meanwhile fails the swap.
bool judge_again(int directory, const name_buffer& name, output_target& target)
{
    return judge(directory, name, true, target);
}
