// What stands at the output's name, as the kernel judges it, and what may be done to it.
#include "output_target.h"

#include "proc_fd.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Opens the directory of path (for use as the base of *at calls only) and leaves the last
// component in name: the kernel too resolves the last component in the directory the rest of
// the path leads to. -1 if it can't be opened, or path names no file in it (ends in a slash), or
// one longer than a file system takes.
int open_directory_of(const char* path, name_buffer& name)
{
    path_buffer copy;
    if (!copy_text(copy, path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char* const slash = std::strrchr(copy.data(), '/');
    const char* const last = slash == nullptr ? copy.data() : slash + 1;
    if (*last == '\0' || !copy_text(name, last)) {
        errno = *last == '\0' ? EISDIR : ENAMETOOLONG;
        return -1;
    }
    if (slash == nullptr)
        return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash == copy.data())
        return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    *slash = '\0';
    return open(copy.data(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Opens the directory path names without following any link, as the kernel's own record of a
// file's path has none to follow: one met now was put there since.
int open_directory_without_links(const char* path)
{
    open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

// True if the name in directory holds the file of status itself, not a link to it.
bool holds(int directory, const char* name, const struct stat& status)
{
    struct stat at_name = {};
    return fstatat(directory, name, &at_name, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(at_name, status);
}

// Where the file the kernel opened for the name is held, as find_holder tells.
enum class holder_search {
    found,   // target.directory and target.name hold it
    unknown, // it can't be found: the file must be written in place
    changed, // the name has changed hands since the open: judge it again
};

// Makes target.directory and target.name those that hold target.file, a regular file the
// kernel reached from them, perhaps through links: the name itself, or else the kernel's record
// of the path it reached the file by, with a directory opened along it with no link followed,
// and the name there checked to hold that very file.
holder_search find_holder(output_target& target)
{
    struct stat at_name = {};
    if (fstatat(target.directory, target.name.data(), &at_name, AT_SYMLINK_NOFOLLOW) != 0)
        return holder_search::changed;
    if (same_file(at_name, target.status))
        return holder_search::found;
    if (!S_ISLNK(at_name.st_mode))
        return holder_search::changed;
    path_buffer path;
    if (!path_of_descriptor(target.file, path))
        return holder_search::unknown;
    char* const slash = std::strrchr(path.data(), '/');
    name_buffer name;
    if (slash[1] == '\0' || !copy_text(name, slash + 1))
        return holder_search::unknown;
    *slash = '\0';
    const int holder = open_directory_without_links(slash == path.data() ? "/" : path.data());
    if (holder < 0)
        return holder_search::unknown;
    // The record is of the file's name when the kernel opened it, which the link must still
    // lead to: had the file been replaced since, the record could name wherever its replacer
    // put it.
    struct stat at_end = {};
    if (!holds(holder, name.data(), target.status) ||
        fstatat(target.directory, target.name.data(), &at_end, 0) != 0 ||
        !same_file(at_end, target.status)) {
        close(holder);
        return holder_search::changed;
    }
    close(target.directory);
    target.directory = holder;
    target.name = name;
    target.by_link = true;
    return holder_search::found;
}

// True if the name can't be given to another file: the file is the root of a mount (a bind
// mount, say), or its directory refuses to lose a name (chattr +a or +i), where a temporary
// name, once made, could not even be removed again. A kernel that can't tell (before 4.11, or
// 5.8 for mounts) leaves it to the rename to fail.
bool name_is_pinned(const output_target& target)
{
    const auto has = [](int file, std::uint64_t attributes) {
        struct statx status = {};
        return statx(file, "", AT_EMPTY_PATH, 0, &status) == 0 &&
               (status.stx_attributes_mask & status.stx_attributes & attributes) != 0;
    };
    return has(target.file, STATX_ATTR_MOUNT_ROOT) ||
           has(target.directory, std::uint64_t{STATX_ATTR_APPEND} | STATX_ATTR_IMMUTABLE);
}

// Judges target.name in target.directory, as find_output_target describes.
bool judge(output_target& target, bool wait_for_reader)
{
    constexpr int attempts = 8; // each one lost to a program that replaced the file meanwhile
    for (int attempt = 1;; ++attempt) {
        const char* const name = target.name.data();
        // stat follows links as the kernel's open would, under the same rules.
        struct stat seen = {};
        bool made_at_link_end = false;
        if (fstatat(target.directory, name, &seen, 0) != 0) {
            if (errno != ENOENT)
                return false;
            if (fstatat(target.directory, name, &seen, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    return false;
                target.kind = target_kind::nothing;
                return true;
            }
            made_at_link_end = true; // a link leading nowhere, whose end the open below makes
        } else if (S_ISDIR(seen.st_mode)) {
            errno = EISDIR;
            return false;
        }
        // fopen's "wb" is O_WRONLY | O_CREAT | O_TRUNC; the rest keeps a terminal from becoming
        // the controlling one, and the descriptor from programs this one might start.
        const int flags =
            O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | (wait_for_reader ? 0 : O_NONBLOCK);
        target.file = openat(target.directory, name, flags, 0666);
        // A name that went between the stat and the open (another program's rename, on a file
        // system that renames in two steps) is judged again.
        if (target.file < 0 && errno == ENOENT && attempt < attempts)
            continue;
        if (target.file < 0 || fstat(target.file, &target.status) != 0)
            return false;
        const holder_search holder =
            S_ISREG(target.status.st_mode) ? find_holder(target) : holder_search::unknown;
        if (holder == holder_search::changed && attempt < attempts) {
            close(target.file);
            target.file = -1;
            continue;
        }
        if (holder != holder_search::found) {
            target.kind = target_kind::in_place;
            return true;
        }
        if (made_at_link_end && target.status.st_size == 0 &&
            unlinkat(target.directory, target.name.data(), 0) == 0) {
            close(target.file);
            target.file = -1;
            target.kind = target_kind::nothing;
            return true;
        }
        target.kind = name_is_pinned(target) ? target_kind::in_place : target_kind::replaceable;
        return true;
    }
}

} // namespace

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool find_output_target(const char* path, output_target& target)
{
    target.directory = open_directory_of(path, target.name);
    return target.directory >= 0 && judge(target, true);
}

bool find_target_again(output_target& target)
{
    return judge(target, false);
}

void close_target(output_target& target)
{
    if (target.file >= 0)
        close(target.file);
    if (target.directory >= 0)
        close(target.directory);
    target.file = target.directory = -1;
}
