// Running the built tool as a process for the end-to-end tests: its result, what is done to its
// process before it starts, and holding it at a chosen system call.
#include "tool_runner.h"

#include "tool_command.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

void setup_failed(const char* step, const char* object)
{
    const char* const reason = std::strerror(errno);
    const char* const parts[] = {"[test runner] the tool did not start: ",
                                 step,
                                 *object != '\0' ? " " : "",
                                 object,
                                 ": ",
                                 reason,
                                 "\n"};
    for (const char* part : parts)
        if (write(STDERR_FILENO, part, std::strlen(part)) < 0)
            break;
    _exit(127);
}

namespace {

// The tool as start_tool starts it.
struct tool_image {
    int fd;                      // an open descriptor of its executable, or -1: started by name
    std::string others_cant_run; // why other accounts can't start it, or ""
};

// errno's text, for a message.
std::string error_text()
{
    return std::strerror(errno);
}

// A read-only descriptor of a copy of file in memory that any account may run, or -1, with
// why set. (The kernel runs no executable through a descriptor open for writing, so the copy
// is opened again, read-only, through /proc.)
int copy_to_memory(int file, std::string& why)
{
    // MFD_EXEC (Linux 6.3 on): a copy that may run, even where vm.memfd_noexec makes copies
    // unable to by default. Older kernels refuse the flag, and let every copy run.
    constexpr unsigned may_run = 0x0010U;
    int copy = memfd_create("vyk_pic_convert", MFD_CLOEXEC | may_run);
    if (copy < 0 && errno == EINVAL)
        copy = memfd_create("vyk_pic_convert", MFD_CLOEXEC);
    if (copy < 0) {
        why = "memfd_create: " + error_text();
        return -1;
    }
    char chunk[65536];
    for (ssize_t got; (got = read(file, chunk, sizeof chunk)) != 0;)
        if (got < 0 || write(copy, chunk, static_cast<std::size_t>(got)) != got) {
            why = "copying it: " + error_text();
            close(copy);
            return -1;
        }
    const std::string again = "/proc/self/fd/" + std::to_string(copy);
    const int readonly = open(again.c_str(), O_RDONLY | O_CLOEXEC);
    if (readonly < 0)
        why = "opening " + again + " again read-only: " + error_text();
    close(copy);
    return readonly;
}

tool_image open_tool()
{
    const char* const path = tool_command[std::size(tool_command) - 1];
    if (under_emulator)
        return {-1, "under an emulator, which opens the tool by its path, other accounts may not "
                    "reach it"};
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return {-1, std::string("the test can't open the tool, ") + path + ": " + error_text()};
    struct stat status = {};
    if (fstat(file, &status) == 0 && (status.st_mode & 0555) == 0555)
        return {file, ""};
    std::string why;
    const int copy = copy_to_memory(file, why);
    if (copy < 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return {file, std::string("other accounts may not run the tool, ") + path + " (mode " +
                          mode + "), nor a copy of it in memory (" + why + ")"};
    }
    close(file);
    return {copy, ""};
}

// The tool, opened once for the whole test program.
const tool_image& the_tool()
{
    static const tool_image image = open_tool();
    return image;
}

} // namespace

started_tool start_tool(const fs::path& cwd, const std::vector<std::string>& args,
                        const child_setup& setup)
{
    const int tool = the_tool().fd;
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
        if (dup2(err, STDERR_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0)
            setup_failed("dup2 of its standard output and error");
        if (chdir(cwd.c_str()) != 0)
            setup_failed("chdir to", cwd.c_str());
        if (setup)
            setup();
        if (tool >= 0) {
            fexecve(tool, argv.data(), environ);
            setup_failed("fexecve of", argv[0]);
        }
        execvp(argv[0], argv.data()); // the emulator, if any, is looked up in PATH
        setup_failed("execvp of", argv[0]);
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

std::string why_others_cant_start_tool()
{
    return the_tool().others_cant_run;
}

std::string describe(const run_result& result)
{
    std::string ended = "it exited with status " + std::to_string(result.status);
    if (result.signal != 0)
        ended = "it was ended by signal " + std::to_string(result.signal) + " (" +
                strsignal(result.signal) + ")";
    return ended + ", with standard output " + testing::PrintToString(result.out) +
           " and standard error " + testing::PrintToString(result.err);
}

void Converter::expect_failure(const run_result& result, const std::string& message,
                               const char* file, int line)
{
    if (result.status != 1 || !result.out.empty() || result.err != message)
        ADD_FAILURE_AT(file, line)
            << "expected a run that fails with " << testing::PrintToString(message)
            << " on standard error and nothing else, but " << describe(result);
}

void Converter::expect_converted(const run_result& result, const fs::path& output, const bytes& raw,
                                 const char* file, int line)
{
    if (result.status != 0 || !result.out.empty() || !result.err.empty())
        ADD_FAILURE_AT(file, line) << "expected a silent, successful run, but " << describe(result);
    bytes written;
    try {
        written = read_file(output);
    } catch (const std::exception& failed) {
        ADD_FAILURE_AT(file, line) << "no conversion: " << failed.what();
        return;
    }
    const bytes expected = expected_bmp(raw);
    if (written != expected) {
        const auto differs =
            std::mismatch(written.begin(), written.end(), expected.begin(), expected.end()).first;
        ADD_FAILURE_AT(file, line)
            << output << " holds " << written.size() << " bytes, not the conversion's "
            << expected.size() << ": they differ from byte " << (differs - written.begin());
    }
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
            setup_failed("PTRACE_TRACEME");
    };
}

bool hold_at(const started_tool& tool, const std::function<bool(const syscall_entry&)>& hold,
             int& status)
{
    if (waitpid(tool.pid, &status, 0) != tool.pid || !WIFSTOPPED(status)) // stopped at exec
        return false;
    ptrace(PTRACE_SETOPTIONS, tool.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    return hold_again_at(tool, hold, status);
}

bool hold_again_at(const started_tool& tool, const std::function<bool(const syscall_entry&)>& hold,
                   int& status)
{
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

run_result run_held(const fs::path& cwd, const std::vector<std::string>& args,
                    const child_setup& setup, const std::function<bool(const syscall_entry&)>& hold,
                    const std::function<void(pid_t)>& at_hold)
{
    const started_tool tool = start_tool(cwd, args, both(setup, traced()));
    int status = 0;
    if (!hold_at(tool, hold, status))
        return result_of(tool, status);
    at_hold(tool.pid);
    release(tool);
    return wait_for(tool);
}

void release(const started_tool& tool)
{
    ptrace(PTRACE_DETACH, tool.pid, nullptr, nullptr);
}
