// Linking an unnamed file through its entry in /proc/self/fd, trusted only if that is procfs.
#include "proc_fd.h"

#include "unique_fd.h"

#include <array>
#include <cerrno>
#include <cstddef>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>

namespace {

// /proc/self/fd, opened for use as the base of *at calls, if it is procfs.
unique_fd open_proc_fd()
{
    unique_fd directory(open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct statfs file_system = {};
    if (directory.is_open() &&
        (fstatfs(directory.fd, &file_system) != 0 || file_system.f_type != PROC_SUPER_MAGIC))
        directory.reset();
    return directory;
}

// The entry of file in /proc/self/fd: its number in decimal. Done by hand: the C library's
// formatting would bring its whole printf engine into memory, a dozen pages, for one number.
std::array<char, 12> entry_of(int file)
{
    char digits[10];
    std::size_t count = 0;
    auto number = static_cast<unsigned>(file);
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    std::array<char, 12> entry{};
    for (std::size_t i = 0; count != 0; ++i)
        entry[i] = digits[--count];
    return entry;
}

} // namespace

bool have_proc_fd()
{
    return open_proc_fd().is_open();
}

int link_through_proc(int file, int directory, const char* name)
{
    const unique_fd fds = open_proc_fd();
    if (!fds.is_open())
        return ENOENT;
    return linkat(fds.fd, entry_of(file).data(), directory, name, AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                          : errno;
}
