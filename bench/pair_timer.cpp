// Times two commands as whole processes in alternating pairs and reports the median ratio.
//
// Usage: pair_timer [--fresh PATH]... PAIRS COMMAND_A... -- COMMAND_B...
// Runs A, B, A, B … PAIRS times (after a few unrecorded warm-up pairs), each as a fresh process
// with standard output and error sent to /dev/null, and prints the median time of each and the
// median of the per-pair ratios A / B. Pairing the runs keeps the ratio steady while the
// machine's speed drifts. Each PATH given with --fresh is removed before every run, untimed, so
// that the commands write new files rather than replace them. Exits 1 if a command fails to
// start or exits non-zero.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int warm_up_pairs = 5;

// Runs argv (null-terminated) to completion and returns its wall time in seconds.
double timed_run(char* const* argv)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv, environ);
    int status = 0;
    if (spawned == 0)
        waitpid(child, &status, 0);
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);

    if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "pair_timer: %s failed\n", argv[0]);
        std::exit(1);
    }
    return static_cast<double>(end.tv_sec - start.tv_sec) +
           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
}

std::vector<const char*> fresh_paths;

// Removes the --fresh paths, so that the next run creates them.
void remove_fresh_paths()
{
    for (const char* path : fresh_paths)
        unlink(path);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    while (argc > 2 && std::strcmp(argv[1], "--fresh") == 0) {
        fresh_paths.push_back(argv[2]);
        argv += 2;
        argc -= 2;
    }
    char** separator = std::find_if(argv, argv + argc,
                                    [](const char* arg) { return std::strcmp(arg, "--") == 0; });
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 0;
    if (pairs < 1 || argc < 3 || separator == argv + argc || separator == argv + 2 ||
        separator + 1 == argv + argc) {
        std::fputs("usage: pair_timer [--fresh PATH]... PAIRS COMMAND_A... -- COMMAND_B...\n",
                   stderr);
        return 1;
    }
    *separator = nullptr; // ends command A's argv; command B's already ends at argv[argc]
    char* const* command_a = argv + 2;
    char* const* command_b = separator + 1;

    std::vector<double> times_a;
    std::vector<double> times_b;
    std::vector<double> ratios;
    for (int pair = -warm_up_pairs; pair < pairs; ++pair) {
        remove_fresh_paths();
        const double a = timed_run(command_a);
        remove_fresh_paths();
        const double b = timed_run(command_b);
        if (pair < 0)
            continue;
        times_a.push_back(a);
        times_b.push_back(b);
        ratios.push_back(a / b);
    }
    std::printf("pairs %d\nmedian_a_ms %.3f\nmedian_b_ms %.3f\nratio %.2f\n", pairs,
                median(times_a) * 1e3, median(times_b) * 1e3, median(ratios));
    return 0;
}
