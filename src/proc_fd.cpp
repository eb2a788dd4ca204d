// The kernel's own view of this process's open files, in /proc, trusted only if it is procfs.
#include "proc_fd.h"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// Appends the decimal digits of number to to, which must have room for them; returns the end.
// Done by hand: the C library's formatting would bring its whole printf engine into memory, a
// dozen pages, for one number.
char* put_decimal(char* to, unsigned number)
{
    char digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count != 0)
        *to++ = digits[--count];
    return to;
}

// The entry of file in /proc/self/fd.
std::array<char, 12> entry_of(int file)
{
    std::array<char, 12> entry{};
    *put_decimal(entry.data(), static_cast<unsigned>(file)) = '\0';
    return entry;
}

} // namespace

int proc_fd_directory()
{
    static int directory = -2; // not opened yet
    if (directory == -2) {
        directory = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct statfs file_system = {};
        if (directory >= 0 &&
            (fstatfs(directory, &file_system) != 0 || file_system.f_type != PROC_SUPER_MAGIC)) {
            close(directory);
            directory = -1;
        }
    }
    return directory;
}

bool path_of_descriptor(int file, path_buffer& path)
{
    const int directory = proc_fd_directory();
    if (directory < 0 || file < 0)
        return false;
    const ssize_t length = readlinkat(directory, entry_of(file).data(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size() || path[0] != '/')
        return false;
    path[static_cast<std::size_t>(length)] = '\0';
    return true;
}

bool link_through_proc(int file, int directory, const char* name)
{
    const int fds = proc_fd_directory();
    if (fds < 0) {
        errno = ENOENT;
        return false;
    }
    return linkat(fds, entry_of(file).data(), directory, name, AT_SYMLINK_FOLLOW) == 0;
}
