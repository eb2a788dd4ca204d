// Creating the output so that its name only ever holds a whole file: the bytes go to a new file
// with no name (or a temporary one), which takes the output's name once it is complete.
#include "output_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Appends the decimal digits of number at to, which must have room for them; returns the end.
// Done by hand: the C library's formatting would bring its whole printf engine into memory, a
// dozen pages, for two numbers.
char* put_decimal(char* to, unsigned long number)
{
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count != 0)
        *to++ = digits[--count];
    return to;
}

// Copies text, without its terminating NUL, to to; returns the end.
char* put_text(char* to, std::string_view text)
{
    return std::copy(text.begin(), text.end(), to);
}

// The temporary name a file is written or linked under: in the output's directory, so that the
// rename stays within one file system, and unique to this process by its pid and a count.
// Fixed-size, so that a signal handler can read it.
std::array<char, 64> temporary_name{};

void name_temporary(unsigned attempt)
{
    char* end = put_text(temporary_name.data(), ".vyk_pic_convert-");
    end = put_decimal(end, static_cast<unsigned long>(getpid()));
    end = put_text(end, "-");
    end = put_decimal(end, attempt);
    *put_text(end, ".tmp") = '\0';
}

// Tries fresh temporary names until make(name) succeeds or fails for another reason than the
// name being taken; true if it succeeded. A name left by a killed run of a process that had the
// same pid, or put there on purpose, costs one more try.
template <typename Make> bool with_fresh_temporary_name(Make make)
{
    constexpr unsigned attempts = 100;
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        name_temporary(attempt);
        if (make(temporary_name.data()))
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Holds back every signal that can be held, from its construction to its end: around the few
// calls that create, swap or remove a name, none of which can wait for long, so that no signal
// ends the run between two of them and leaves a temporary name behind.
class signals_held {
public:
    signals_held()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &before_);
    }
    ~signals_held()
    {
        sigprocmask(SIG_SETMASK, &before_, nullptr);
    }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t before_{};
};

// While a temporary file exists, a signal that would end the process removes it first. These
// are the directory it is in (read by the handler, so set before the handler is installed), the
// actions the signals had before, and which ones the removal replaced.
int temporary_directory = -1;
std::array<struct sigaction, NSIG> previous_actions{};
std::array<bool, NSIG> replaced{};

// True for the signals whose default action ends the process and that can be caught.
bool ends_the_process(int signal_number)
{
    switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
        return false;
    default:
        return true;
    }
}

// Removes the temporary file, then dies by the same signal with its default action. Only
// async-signal-safe calls. Every signal is held while it runs, so no second removal can start;
// this one is let through once its default action is back.
extern "C" void remove_temporary_and_die(int signal_number)
{
    unlinkat(temporary_directory, temporary_name.data(), 0);
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(signal_number);
}

// Installs the removal for every signal that ends the process, bar those that are ignored, as
// under nohup: the caller wants the run to go on, and it does. Signals must be held meanwhile.
void arm_removal(int directory)
{
    temporary_directory = directory;
    struct sigaction removal = {};
    removal.sa_handler = remove_temporary_and_die;
    sigfillset(&removal.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        const auto i = static_cast<std::size_t>(signal_number);
        // sigaction refuses the signal numbers the C library keeps for itself.
        replaced[i] = ends_the_process(signal_number) &&
                      sigaction(signal_number, nullptr, &previous_actions[i]) == 0 &&
                      previous_actions[i].sa_handler != SIG_IGN &&
                      sigaction(signal_number, &removal, nullptr) == 0;
    }
}

void disarm_removal()
{
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        const auto i = static_cast<std::size_t>(signal_number);
        if (replaced[i])
            sigaction(signal_number, &previous_actions[i], nullptr);
        replaced[i] = false;
    }
}

// A path as the kernel takes one, NUL included; the kernel refuses a longer one.
using path_buffer = std::array<char, PATH_MAX>;

// Copies the NUL-terminated text to buffer; false if it does not fit.
template <std::size_t size> bool copy_text(std::array<char, size>& buffer, const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length >= size)
        return false;
    std::copy_n(text, length + 1, buffer.data());
    return true;
}

// Follows symlinks from path until it names something else or nothing, leaving that path in path
// and its lstat in status (st_mode 0 if nothing is there). False if that can't be done: a loop, a
// search the caller may not make, a path longer than the kernel takes.
bool follow_links(path_buffer& path, struct stat& status)
{
    constexpr int most_links = 40; // as the kernel follows
    for (int links = 0;; ++links) {
        if (lstat(path.data(), &status) != 0) {
            status.st_mode = 0;
            return errno == ENOENT;
        }
        if (!S_ISLNK(status.st_mode))
            return true;
        if (links == most_links)
            return false;
        path_buffer target;
        const ssize_t length = readlink(path.data(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) == target.size())
            return false;
        // A relative link is relative to the directory that holds it, which stays in path.
        const char* slash = std::strrchr(path.data(), '/');
        const std::size_t kept = target[0] == '/' || slash == nullptr
                                     ? 0
                                     : static_cast<std::size_t>(slash + 1 - path.data());
        const auto length_bytes = static_cast<std::size_t>(length);
        if (kept + length_bytes >= path.size())
            return false;
        std::copy_n(target.data(), length_bytes, path.data() + kept);
        path[kept + length_bytes] = '\0';
    }
}

// Opens the directory of path (for use as the base of *at calls only) and leaves the last
// component in name; -1 if it can't be opened, or path names no file in it (ends in a slash), or
// one longer than a file system takes.
int open_directory_of(path_buffer& path, name_buffer& name)
{
    char* const slash = std::strrchr(path.data(), '/');
    const char* const last = slash == nullptr ? path.data() : slash + 1;
    if (*last == '\0' || !copy_text(name, last))
        return -1;
    if (slash == nullptr)
        return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash == path.data())
        return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    *slash = '\0';
    const int directory = open(path.data(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    *slash = '/';
    return directory;
}

// Creates a file under a fresh temporary name in directory, with the removal armed before any
// signal can end the run; its descriptor, or -1.
int create_temporary(int directory)
{
    const signals_held held;
    int file = -1;
    // O_EXCL creates a new file or fails, so this open never waits and follows no link.
    with_fresh_temporary_name([&](const char* name) {
        file = openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return file >= 0;
    });
    if (file >= 0)
        arm_removal(directory);
    return file;
}

// Gives the replaced file's permission bits to file, and its owner and group where the caller
// may; false if the permission bits can't be set.
bool take_over_attributes(int file, const struct stat& replaced_file)
{
    // Refused unless the caller may give them (root, or a group the caller is in); the file is
    // then the caller's, as any file the caller creates.
    if (replaced_file.st_uid != geteuid() || replaced_file.st_gid != getegid())
        (void)!fchown(file, replaced_file.st_uid, replaced_file.st_gid);
    // After the chown, which clears the set-user-ID and set-group-ID bits.
    return fchmod(file, replaced_file.st_mode & 07777) == 0;
}

// Links the complete unnamed file of out to name in out's directory; false with errno set
// otherwise (EEXIST if something has that name).
bool link_unnamed(const output_file& out, const char* name)
{
    std::array<char, 40> by_descriptor{};
    *put_decimal(put_text(by_descriptor.data(), "/proc/self/fd/"),
                 static_cast<unsigned long>(out.naming_file)) = '\0';
    if (linkat(AT_FDCWD, by_descriptor.data(), out.directory, name, AT_SYMLINK_FOLLOW) == 0)
        return true;
    // Without /proc mounted, only a caller allowed to link any file by its descriptor can.
    return errno == ENOENT && linkat(out.naming_file, "", out.directory, name, AT_EMPTY_PATH) == 0;
}

// Gives the complete unnamed file of out the output's name; true if it has it.
bool name_unnamed(const output_file& out)
{
    if (link_unnamed(out, out.name.data()))
        return true;
    if (errno != EEXIST)
        return false;
    // Something has the name: an earlier output, or that of a run finished meanwhile. The file
    // is linked under a temporary name and the two names are swapped in one step; the old file
    // then has the temporary name, and goes. A rename over the old file would take one call
    // fewer, but ext4 takes a rename onto an existing file for a program saving without fsync:
    // to spare the old contents in a crash, it allocates the new file's blocks and starts
    // writing them out within the call, which then costs more than all the others together. A
    // swap is no such pattern, and the data goes out later, in the background, as for a new
    // name; a crash before then can leave the name holding an empty file.
    const signals_held held;
    if (!with_fresh_temporary_name([&](const char* name) { return link_unnamed(out, name); }))
        return false;
    const char* temporary = temporary_name.data();
    if (renameat2(out.directory, temporary, out.directory, out.name.data(), RENAME_EXCHANGE) == 0) {
        unlinkat(out.directory, temporary, 0);
        return true;
    }
    // No swap on this file system (or the name has gone meanwhile): a plain rename.
    if (renameat(out.directory, temporary, out.directory, out.name.data()) == 0)
        return true;
    unlinkat(out.directory, temporary, 0);
    return false;
}

// Renames the complete temporary file to the output's name, or removes it if !written; true if
// it has the name.
bool name_temporary_file(const output_file& out, bool written)
{
    const signals_held held;
    const bool named = written && renameat(out.directory, temporary_name.data(), out.directory,
                                           out.name.data()) == 0;
    if (!named)
        unlinkat(out.directory, temporary_name.data(), 0);
    disarm_removal();
    return named;
}

// Closes the descriptors out keeps besides its stream's.
void close_descriptors(const output_file& out)
{
    if (out.naming_file >= 0)
        close(out.naming_file);
    close(out.directory);
}

} // namespace

output_file open_output(const char* path)
{
    output_file out;
    path_buffer target;
    struct stat existing = {};
    if (!copy_text(target, path) || !follow_links(target, existing) || S_ISDIR(existing.st_mode))
        return out;
    if (existing.st_mode != 0 && !S_ISREG(existing.st_mode)) {
        out.stream = std::fopen(path, "wb");
        return out;
    }
    // A file the caller may not write stays as it is, as when it was written in place.
    if (existing.st_mode != 0 && faccessat(AT_FDCWD, target.data(), W_OK, AT_EACCESS) != 0)
        return out;
    out.directory = open_directory_of(target, out.name);
    if (out.directory < 0)
        return out;

    // An unnamed file leaves nothing behind whatever ends the run, SIGKILL and crashes included.
    // File systems without them (vfat, some network file systems) get a temporary name.
    int file = openat(out.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (file >= 0) {
        out.route = output_route::unnamed;
        // The stream's close closes file, and its result must be known before the file is named.
        out.naming_file = fcntl(file, F_DUPFD_CLOEXEC, 0);
    } else {
        out.route = output_route::temporary;
        file = create_temporary(out.directory);
    }
    const bool ready = file >= 0 &&
                       (out.route == output_route::temporary || out.naming_file >= 0) &&
                       (existing.st_mode == 0 || take_over_attributes(file, existing));
    if (ready)
        out.stream = fdopen(file, "wb");
    if (out.stream == nullptr) {
        if (file >= 0)
            close(file);
        if (out.route == output_route::temporary && file >= 0)
            name_temporary_file(out, false);
        close_descriptors(out);
    }
    return out;
}

bool close_output(output_file& out, bool written)
{
    // The close flushes the stream's buffer: a full disk often shows only here.
    const bool complete = std::fclose(out.stream) == 0 && written;
    out.stream = nullptr;
    if (out.route == output_route::in_place)
        return complete;
    const bool named = out.route == output_route::unnamed ? complete && name_unnamed(out)
                                                          : name_temporary_file(out, complete);
    close_descriptors(out);
    return named;
}
