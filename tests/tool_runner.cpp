// Running the built tool as a process for the end-to-end tests: its result, what is done to its
// process before it starts, and holding it at a chosen system call.
#include "tool_runner.h"

#include "tool_command.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <stdexcept>
#include <thread>

std::string contents_of(int fd)
{
    std::string text;
    char chunk[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(got));
    close(fd);
    return text;
}

child_setup both(child_setup first, child_setup second)
{
    return [first, second] {
        if (first)
            first();
        if (second)
            second();
    };
}

started_tool start_tool(const fs::path& cwd, const std::vector<std::string>& args,
                        const child_setup& setup)
{
    const int out = memfd_create("stdout", 0);
    const int err = memfd_create("stderr", 0);
    std::vector<char*> argv;
    for (const char* word : tool_command)
        argv.push_back(const_cast<char*>(word));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(127);
        if (setup)
            setup();
        execvp(argv[0], argv.data()); // the emulator, if any, is looked up in PATH
        _exit(127);
    }
    return {child, out, err};
}

run_result result_of(const started_tool& tool, int status)
{
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + signal, signal, contents_of(tool.out),
            contents_of(tool.err)};
}

run_result wait_for(const started_tool& tool)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(30);
    int status = 0;
    while (waitpid(tool.pid, &status, WNOHANG) == 0) {
        if (steady_clock::now() > deadline) {
            kill(tool.pid, SIGKILL);
            waitpid(tool.pid, &status, 0);
            run_result stuck = result_of(tool, status);
            stuck.err += "[killed by the test: still running after 30 s]";
            return stuck;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return result_of(tool, status);
}

run_result run_tool(const fs::path& cwd, const std::vector<std::string>& args,
                    const child_setup& setup)
{
    return wait_for(start_tool(cwd, args, setup));
}

child_setup file_size_limit(rlim_t size)
{
    return [size] {
        // Left at its default, SIGXFSZ kills a process that writes past the limit; the tool must
        // see to it that this ends in a write error, not a truncated file.
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{size, size};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
}

void fail_calls(int number, unsigned argument, std::uint32_t jump, std::uint32_t bits, int error)
{
    const std::uint32_t word = static_cast<std::uint32_t>(offsetof(seccomp_data, args)) +
                               argument * static_cast<std::uint32_t>(sizeof(__u64)) +
                               (std::endian::native == std::endian::big ? 4 : 0);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, word),
        BPF_JUMP(BPF_JMP | jump | BPF_K, bits, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
}

void without_linking_by_descriptor()
{
    fail_calls(SYS_linkat, 4, BPF_JSET, AT_EMPTY_PATH, ENOENT);
}

namespace {

const std::array<route, 3> all_routes{{
    {"unnamed file", {}},
    {"unnamed file linked through procfs", without_linking_by_descriptor},
    {"temporary name", {}},
}};

} // namespace

std::span<const route> routes_in(const fs::path& dir)
{
    const int unnamed = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (unnamed < 0)
        return std::span(all_routes).last(1);
    close(unnamed);
    return std::span(all_routes).first(under_emulator ? 1 : 2);
}

child_setup traced()
{
    return [] {
        // LeakSanitizer, in the sanitizer build, can't check a traced process, and says so.
        const char* asan_options = std::getenv("ASAN_OPTIONS");
        setenv(
            "ASAN_OPTIONS",
            (std::string(asan_options != nullptr ? asan_options : "") + ":detect_leaks=0").c_str(),
            1);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(125);
    };
}

bool hold_at(const started_tool& tool, const std::function<bool(const syscall_entry&)>& hold,
             int& status)
{
    if (waitpid(tool.pid, &status, 0) != tool.pid || !WIFSTOPPED(status)) // stopped at exec
        return false;
    ptrace(PTRACE_SETOPTIONS, tool.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    long pass_on = 0; // a signal that stopped the tool, to be delivered as it resumes
    for (;;) {
        ptrace(PTRACE_SYSCALL, tool.pid, nullptr, pass_on);
        if (waitpid(tool.pid, &status, 0) != tool.pid || !WIFSTOPPED(status))
            return false;
        pass_on = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
        __ptrace_syscall_info call{};
        if (pass_on == 0 && ptrace(PTRACE_GET_SYSCALL_INFO, tool.pid, sizeof call, &call) > 0 &&
            call.op == PTRACE_SYSCALL_INFO_ENTRY && hold(call.entry))
            return true;
    }
}

void release(const started_tool& tool)
{
    ptrace(PTRACE_DETACH, tool.pid, nullptr, nullptr);
}

namespace {

// Starts the tool on dir/scan.raw, after setup, and holds it where hold says; the tool must not
// end before, which what says.
started_tool start_held(const fs::path& dir, const child_setup& setup,
                        const std::function<bool(const syscall_entry&)>& hold, const char* what)
{
    const started_tool tool = start_tool(dir, {"scan.raw"}, both(setup, traced()));
    int status = 0;
    if (!hold_at(tool, hold, status))
        throw std::runtime_error(std::string("the tool ended before ") + what + ": " +
                                 result_of(tool, status).err);
    return tool;
}

} // namespace

started_tool start_held_mid_write(const fs::path& dir, const child_setup& setup)
{
    int writes = 0;
    return start_held(
        dir, setup,
        [&](const syscall_entry& call) {
            return call.nr == SYS_write && call.args[0] > 2 && ++writes == 5;
        },
        "its fifth write");
}

started_tool start_held_at_new_file(const fs::path& dir, const child_setup& setup, bool named)
{
    bool made = false;
    return start_held(
        dir, setup,
        [&](const syscall_entry& call) {
            if (made)
                return true;
            made = call.nr == SYS_openat &&
                   (named ? (call.args[2] & O_EXCL) != 0 : (call.args[2] & O_TMPFILE) == O_TMPFILE);
            return false;
        },
        "it made a new file");
}
