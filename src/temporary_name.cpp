// Temporary names beside the output: unguessable, and removed if a signal ends the run.
#include "temporary_name.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr std::string_view prefix = ".vyk_pic_convert-";
constexpr std::string_view suffix = ".tmp";
constexpr std::size_t random_letters = 12; // 62^12: about 2^71 names

// Fixed-size and static, so that a signal handler can read it.
std::array<char, prefix.size() + random_letters + suffix.size() + 1> name{};

// Fills bytes with random bits: the kernel's, or, should it have none to give (a kernel older
// than 3.17, or entropy not yet gathered at early boot), the clock's nanoseconds mixed with the
// pid, which no other user can read in advance either.
void random_bytes(std::span<std::uint8_t> bytes)
{
    if (getrandom(bytes.data(), bytes.size(), GRND_NONBLOCK) == static_cast<ssize_t>(bytes.size()))
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t state = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
                          static_cast<std::uint64_t>(getpid()) << 32 ^
                          static_cast<std::uint64_t>(now.tv_sec);
    for (std::uint8_t& byte : bytes) {
        state ^= state >> 29;
        state *= 0xBF58476D1CE4E5B9u;
        byte = static_cast<std::uint8_t>(state >> 56);
    }
}

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
    unlinkat(temporary_directory, name.data(), 0);
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

} // namespace

// The removal is installed for every signal that ends the process, bar those that are ignored,
// as under nohup: the caller wants the run to go on, and it does.
void guard_temporary(int directory)
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

const char* fresh_temporary_name()
{
    constexpr std::string_view letters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<std::uint8_t, random_letters> bits{};
    random_bytes(bits);
    char* to = std::copy(prefix.begin(), prefix.end(), name.data());
    // 256 is not a multiple of 62, so the first eight letters come up a little more often: a
    // loss of well under a bit in all.
    for (const std::uint8_t byte : bits)
        *to++ = letters[byte % letters.size()];
    *std::copy(suffix.begin(), suffix.end(), to) = '\0';
    return name.data();
}

const char* temporary_name()
{
    return name.data();
}

int create_temporary(int directory, unsigned mode)
{
    const signals_held held;
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        const int file = openat(directory, fresh_temporary_name(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
        if (file >= 0) {
            guard_temporary(directory);
            return file;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

void remove_temporary(int directory)
{
    unlinkat(directory, name.data(), 0);
    forget_temporary();
}

void forget_temporary()
{
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        const auto i = static_cast<std::size_t>(signal_number);
        if (replaced[i])
            sigaction(signal_number, &previous_actions[i], nullptr);
        replaced[i] = false;
    }
}

signals_held::signals_held()
{
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before_);
}

signals_held::~signals_held()
{
    sigprocmask(SIG_SETMASK, &before_, nullptr);
}
