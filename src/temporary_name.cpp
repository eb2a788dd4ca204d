// Temporary names beside the output: unguessable, and removed if a signal ends the run.
#include "temporary_name.h"

#include <algorithm>
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
static_assert(prefix.size() + random_letters + suffix.size() + 1 ==
              std::tuple_size_v<temporary_name_buffer>);

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

// What the signal handler removes: read by the handler only, so kept here, set while signals
// are held. The name is a copy, as the handler can't know whether its owner still exists.
int guarded_directory = -1;
temporary_name_buffer guarded_name{};
struct stat guarded_identity {};
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

// Removes the guarded name if it still holds the run's file, then dies by the same signal with
// its default action. Only async-signal-safe calls. Every signal is held while it runs, so no
// second removal can start; this one is let through once its default action is back.
extern "C" void remove_temporary_and_die(int signal_number)
{
    struct stat now = {};
    if (fstatat(guarded_directory, guarded_name.data(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == guarded_identity.st_dev && now.st_ino == guarded_identity.st_ino)
        unlinkat(guarded_directory, guarded_name.data(), 0);
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

void make_temporary_name(temporary_name_buffer& name)
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
}

// The removal is installed for every signal that ends the process, bar those that are ignored,
// as under nohup: the caller wants the run to go on, and it does. sigaction refuses only the
// signal numbers the C library keeps for itself, which nothing sends this process.
void guard_temporary(int directory, const temporary_name_buffer& name, const struct stat& identity)
{
    guarded_directory = directory;
    guarded_name = name;
    guarded_identity = identity;
    struct sigaction removal = {};
    removal.sa_handler = remove_temporary_and_die;
    sigfillset(&removal.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        const auto i = static_cast<std::size_t>(signal_number);
        replaced[i] = ends_the_process(signal_number) &&
                      sigaction(signal_number, nullptr, &previous_actions[i]) == 0 &&
                      previous_actions[i].sa_handler != SIG_IGN &&
                      sigaction(signal_number, &removal, nullptr) == 0;
    }
}

void unguard_temporary()
{
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        const auto i = static_cast<std::size_t>(signal_number);
        if (replaced[i])
            sigaction(signal_number, &previous_actions[i], nullptr);
        replaced[i] = false;
    }
    guarded_directory = -1;
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
