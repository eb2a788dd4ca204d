// Removing a half-written output file when a signal ends the run.
#include "remove_on_signal.h"

#include <array>
#include <cstddef>

#include <signal.h>
#include <unistd.h>

namespace {

// The signals by which a user, a terminal or a supervisor ends a run.
constexpr std::array<int, 4> ending_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Set before the handler is installed and not changed while it is; all the handler reads.
const char* volatile armed_path = nullptr;

// The actions the signals had before arming, and which of them the removal replaced.
std::array<struct sigaction, ending_signals.size()> previous_actions{};
std::array<bool, ending_signals.size()> replaced{};

sigset_t ending_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : ending_signals)
        sigaddset(&set, signal_number);
    return set;
}

// Removes the output, then dies by the same signal with its default action. Only
// async-signal-safe calls. The signal is blocked while its handler runs, so it is unblocked
// before it is raised again; the other three stay blocked, so no second removal can start.
extern "C" void remove_output_and_die(int signal_number)
{
    unlink(armed_path);
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

std::FILE* fopen_removed_on_signal(const char* path, const char* mode)
{
    const sigset_t ending = ending_set();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &ending, &before);
    std::FILE* file = std::fopen(path, mode);
    if (file != nullptr) {
        armed_path = path;
        struct sigaction removal = {};
        removal.sa_handler = remove_output_and_die;
        removal.sa_mask = ending;
        for (std::size_t i = 0; i < ending_signals.size(); ++i) {
            sigaction(ending_signals[i], nullptr, &previous_actions[i]);
            // Ignored, as under nohup or for a background job of a non-interactive shell: the
            // caller wants the run to go on, and it does.
            replaced[i] = previous_actions[i].sa_handler != SIG_IGN;
            if (replaced[i])
                sigaction(ending_signals[i], &removal, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return file;
}

void stop_removing_on_signal()
{
    for (std::size_t i = 0; i < ending_signals.size(); ++i)
        if (replaced[i])
            sigaction(ending_signals[i], &previous_actions[i], nullptr);
    replaced = {};
}
