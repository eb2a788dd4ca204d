// End-to-end tests: the built tool run as a process in a scratch directory, with its exit status,
// both output streams and the files it leaves checked.
#include "test_support.h"
#include "tool_command.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct run_result {
    int status; // the exit status, or 128 + the signal that ended the process
    int signal; // the signal that ended the process, or 0 if it exited
    std::string out;
    std::string err;
};

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

// What the tool's process gets done to it, after the fork and before the tool starts.
using child_setup = std::function<void()>;

// first, then second; either may be empty.
child_setup both(child_setup first, child_setup second)
{
    return [first, second] {
        if (first)
            first();
        if (second)
            second();
    };
}

struct started_tool {
    pid_t pid;
    int out; // the tool's standard output and error, read once it has ended
    int err;
};

// Starts the tool with args in directory cwd, after setup, if given.
started_tool start_tool(const fs::path& cwd, const std::vector<std::string>& args,
                        const child_setup& setup = {})
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

// The tool's result from its wait status.
run_result result_of(const started_tool& tool, int status)
{
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + signal, signal, contents_of(tool.out),
            contents_of(tool.err)};
}

// Waits for the tool to end. A tool that is still running after 30 seconds (well inside the
// test's own time limit) is stuck where it should have ended: it is killed, and the result says
// so on its standard error.
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
                    const child_setup& setup = {})
{
    return wait_for(start_tool(cwd, args, setup));
}

// Caps the size of any file the tool writes, as a quota or a nearly full disk would.
child_setup file_size_limit(rlim_t bytes)
{
    return [bytes] {
        // Left at its default, SIGXFSZ kills a process that writes past the limit; the tool must
        // see to it that this ends in a write error, not a truncated file.
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
}

// Makes the system call number fail with error whenever the low word of its argument argument
// has one of bits set (jump BPF_JSET) or equals bits (BPF_JEQ), for the rest of the process.
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

// Makes the tool's file system seem to have no unnamed files, as vfat has none: an open with
// O_TMPFILE fails with EOPNOTSUPP, so the tool writes under a temporary name.
child_setup without_unnamed_files()
{
    return [] { fail_calls(SYS_openat, 2, BPF_JSET, O_TMPFILE & ~O_DIRECTORY, EOPNOTSUPP); };
}

// The two ways the tool can write a new output: a file with no name, or a temporary name. Under
// an emulator only the first: qemu can't filter its guest's system calls.
const std::array<std::pair<const char*, child_setup>, 2> all_routes{{
    {"unnamed file", {}},
    {"temporary name", without_unnamed_files()},
}};
const std::span<const std::pair<const char*, child_setup>> routes =
    std::span(all_routes).first(under_emulator ? 1 : all_routes.size());

// Why the tests that trace the tool, or filter its system calls, can't run under an emulator.
constexpr const char* cant_trace = "qemu-user can't trace or filter its guest's system calls";

// Has the tool traced by the test, which must then follow it with hold_at.
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

using syscall_entry = decltype(__ptrace_syscall_info{}.entry);

// Follows a tool started with traced(): lets it run until hold is true of a system call it is
// entering, and leaves it stopped there, before the call, until release(). If the tool ends
// first, returns false with its wait status in status.
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

// Starts the tool on dir/scan.raw, after setup, and holds it at its fifth write to a file: the
// output is then a third written, and stays so for as long as the test needs.
started_tool start_held_mid_write(const fs::path& dir, const child_setup& setup)
{
    const started_tool tool = start_tool(dir, {"scan.raw"}, both(setup, traced()));
    int writes = 0;
    int status = 0;
    const bool held = hold_at(
        tool,
        [&](const syscall_entry& call) {
            return call.nr == SYS_write && call.args[0] > 2 && ++writes == 5;
        },
        status);
    if (!held)
        throw std::runtime_error("the tool ended before its fifth write: " +
                                 result_of(tool, status).err);
    return tool;
}

class Converter : public scratch_dir_test {
protected:
    // Expects a run that failed with exactly message on standard error and nothing else.
    static void expect_failure(const run_result& result, const std::string& message)
    {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, message);
    }

    // Expects a silent, successful run that left output holding the conversion of raw.
    static void expect_converted(const run_result& result, const fs::path& output, const bytes& raw)
    {
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read_file(output), expected_bmp(raw));
    }
};

using strings = std::vector<std::string>;

TEST_F(Converter, ConvertsInputsOfEveryLength)
{
    // Empty, shorter than a row, short by one byte, exact, one over, and four pictures' worth.
    for (const std::size_t size : {0UL, 1UL, 700UL, 262'143UL, 262'144UL, 262'145UL, 1UL << 20}) {
        SCOPED_TRACE(size);
        const bytes raw = raw_input(size);
        write_file(dir / "scan.raw", raw);
        expect_converted(run_tool(dir, {"scan.raw"}), dir / "scan.raw.bmp", raw);
    }
    // Processors without AVX2 compose the image with baseline instructions; glibc's tunables
    // hide AVX2 from this run so that the path is taken here too. And kernels before 5.14 can't
    // bring memory in with madvise, so the tool writes to each page instead.
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const auto old_machine = [] {
        setenv("GLIBC_TUNABLES", "glibc.cpu.hwcaps=-AVX2", 1);
        if (!under_emulator)
            fail_calls(SYS_madvise, 2, BPF_JEQ, MADV_POPULATE_WRITE, EINVAL);
    };
    expect_converted(run_tool(dir, {"scan.raw"}, old_machine), dir / "scan.raw.bmp", raw);
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

TEST_F(Converter, ReadsStreamsThatCantBeSized)
{
    // A pipe that ends early, and an endless device read through a link beside the output.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    const bytes raw = raw_input(200'000);
    // The feeder waits for the tool to open the pipe, and gives up once the tool has ended: a
    // tool that never opens it must fail the test, not hang it.
    std::atomic<bool> ended = false;
    std::thread feeder([&] {
        int fd = -1;
        while ((fd = open((dir / "pipe").c_str(), O_WRONLY | O_NONBLOCK)) < 0 && !ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fd < 0)
            return;
        fcntl(fd, F_SETFL, 0);
        for (std::size_t sent = 0; sent < raw.size();) {
            const ssize_t more = write(fd, raw.data() + sent, raw.size() - sent);
            if (more <= 0)
                break;
            sent += static_cast<std::size_t>(more);
        }
        close(fd);
    });
    const run_result from_pipe = run_tool(dir, {"pipe"});
    ended = true;
    feeder.join();
    expect_converted(from_pipe, dir / "pipe.bmp", raw);

    fs::create_symlink("/dev/zero", dir / "zero");
    expect_converted(run_tool(dir, {"zero"}), dir / "zero.bmp", bytes(512 * 512, 0));
}

TEST_F(Converter, NamesTheOutputAfterTheWholeInputPath)
{
    const bytes raw = raw_input(512 * 512);
    fs::create_directory(dir / "scans");
    write_file(dir / "scans" / "day1.raw", raw);
    write_file(dir / "picture", raw);
    expect_converted(run_tool(dir, {"scans/day1.raw"}), dir / "scans" / "day1.raw.bmp", raw);
    expect_converted(run_tool(dir, {"picture"}), dir / "picture.bmp", raw);
    expect_converted(run_tool("/", {(dir / "picture").string()}), dir / "picture.bmp", raw);
    EXPECT_EQ(entries(), (strings{"picture", "picture.bmp", "scans"}));
}

TEST_F(Converter, ReplacesWhatStandsAtTheOutputNameButNeverAPartOfIt)
{
    const bytes raw = raw_input(1000);
    const bytes old(1 << 20, 0x77);
    write_file(dir / "scan.raw", raw);
    for (const auto& [route, setup] : routes) {
        SCOPED_TRACE(route);
        // A file is replaced whole and keeps its permission bits; another hard link to it keeps
        // the old contents.
        write_file(dir / "scan.raw.bmp", old);
        fs::permissions(dir / "scan.raw.bmp",
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        fs::create_hard_link(dir / "scan.raw.bmp", dir / "other_link");
        expect_converted(run_tool(dir, {"scan.raw"}, setup), dir / "scan.raw.bmp", raw);
        EXPECT_EQ(fs::status(dir / "scan.raw.bmp").permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        EXPECT_EQ(read_file(dir / "other_link"), old);
        EXPECT_EQ(entries(), (strings{"other_link", "scan.raw", "scan.raw.bmp"}));
        fs::remove(dir / "other_link");

        // A symlink is followed: its target is replaced, or created if it is missing, and the
        // link stays.
        fs::remove(dir / "scan.raw.bmp");
        fs::create_directory(dir / "kept");
        fs::create_symlink("kept/scan.bmp", dir / "scan.raw.bmp");
        for (int run = 0; run < 2; ++run) {
            expect_converted(run_tool(dir, {"scan.raw"}, setup), dir / "kept" / "scan.bmp", raw);
            EXPECT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
        }
        fs::remove_all(dir / "kept");

        // A FIFO is written in place, and stays.
        fs::remove(dir / "scan.raw.bmp");
        ASSERT_EQ(mkfifo((dir / "scan.raw.bmp").c_str(), 0600), 0);
        const started_tool tool = start_tool(dir, {"scan.raw"}, setup);
        const std::string piped = contents_of(open((dir / "scan.raw.bmp").c_str(), O_RDONLY));
        const run_result result = wait_for(tool);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(bytes(piped.begin(), piped.end()), expected_bmp(raw));
        EXPECT_TRUE(fs::is_fifo(dir / "scan.raw.bmp"));

        // So is a device: /dev/null takes the file, and the link to it stays.
        fs::remove(dir / "scan.raw.bmp");
        fs::create_symlink("/dev/null", dir / "scan.raw.bmp");
        EXPECT_EQ(run_tool(dir, {"scan.raw"}, setup).status, 0);
        EXPECT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
        EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
        fs::remove(dir / "scan.raw.bmp");
    }
}

TEST_F(Converter, HandlesPathsLongerThanAThousandBytes)
{
    // Nested directories make a relative path of about 1,500 bytes, well inside what Linux takes.
    fs::path path;
    for (int level = 0; level < 25; ++level)
        path /= std::string(58, static_cast<char>('a' + level));
    fs::create_directories(dir / path);
    path /= "scan.raw";
    ASSERT_GT(path.string().size(), 1400U);
    const bytes raw = raw_input(512 * 512);
    write_file(dir / path, raw);
    expect_converted(run_tool(dir, {path.string()}), dir / (path.string() + ".bmp"), raw);
}

TEST_F(Converter, GivesAPictureAnIndependentDecoderShowsUpright)
{
    if (std::string(BMPTOPNM_PATH).empty())
        GTEST_SKIP() << "bmptopnm (netpbm) is not installed";
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    ASSERT_EQ(run_tool(dir, {"scan.raw"}).status, 0);

    // netpbm decodes to a top-down PPM: the raw picture with every byte as red, green and blue.
    const std::string command =
        std::string(BMPTOPNM_PATH) + " '" + (dir / "scan.raw.bmp").string() + "' 2>/dev/null";
    const std::unique_ptr<FILE, decltype(&pclose)> decoder(popen(command.c_str(), "r"), &pclose);
    ASSERT_NE(decoder, nullptr);
    bytes ppm;
    for (int c; (c = std::fgetc(decoder.get())) != EOF;)
        ppm.push_back(static_cast<std::uint8_t>(c));
    const std::string header = "P6\n512 512\n255\n";
    ASSERT_EQ(ppm.size(), header.size() + 3 * raw.size());
    EXPECT_EQ(std::string(ppm.begin(), ppm.begin() + static_cast<long>(header.size())), header);
    bytes want;
    for (const std::uint8_t grey : raw)
        want.insert(want.end(), {grey, grey, grey});
    EXPECT_TRUE(
        std::equal(want.begin(), want.end(), ppm.begin() + static_cast<long>(header.size())));
}

TEST_F(Converter, RejectsAWrongArgumentCount)
{
    write_file(dir / "a.raw", raw_input(10));
    write_file(dir / "b.raw", raw_input(10));
    expect_failure(run_tool(dir, {}), "USAGE: vyk_pic_convert inputfile.\n");
    expect_failure(run_tool(dir, {"a.raw", "b.raw"}), "USAGE: vyk_pic_convert inputfile.\n");
    EXPECT_EQ(entries(), (strings{"a.raw", "b.raw"}));
}

TEST_F(Converter, ReportsAnInputItCantOpen)
{
    expect_failure(run_tool(dir, {"missing.raw"}), "open read file error.\n");
    expect_failure(run_tool(dir, {""}), "open read file error.\n");
    EXPECT_EQ(entries(), strings{});
}

TEST_F(Converter, StopsAtAnInputItCantReadInsteadOfWritingBlack)
{
    fs::create_directory(dir / "scans");
    // A directory, and memory that isn't mapped: each read fails, and is not tried again.
    for (const std::string input : {"scans", "/proc/self/mem"}) {
        SCOPED_TRACE(input);
        if (under_emulator) { // the message only: the reads can't be counted
            expect_failure(run_tool(dir, {input}), "read file error.\n");
            continue;
        }
        const started_tool tool = start_tool(dir, {input}, traced());
        // A few at start-up, more in the sanitizer build, but not one for each of 262,144 pixels.
        int reads = 0;
        int status = 0;
        EXPECT_FALSE(hold_at(
            tool, [&](const syscall_entry& call) { return call.nr == SYS_read && ++reads < 0; },
            status));
        expect_failure(result_of(tool, status), "read file error.\n");
        EXPECT_LT(reads, 1000);
    }
    EXPECT_EQ(entries(), strings{"scans"});
}

TEST_F(Converter, ReportsAnOutputItCantCreate)
{
    write_file(dir / "scan.raw", raw_input(10));
    fs::create_directory(dir / "scan.raw.bmp");
    expect_failure(run_tool(dir, {"scan.raw"}), "open write file error.\n");
    EXPECT_TRUE(fs::is_empty(dir / "scan.raw.bmp"));

    // An input name that fits the file system's limit, whose output name doesn't.
    const std::string longest(252, 'n');
    write_file(dir / longest, raw_input(10));
    expect_failure(run_tool(dir, {longest}), "open write file error.\n");
    EXPECT_EQ(entries(), (strings{longest, "scan.raw", "scan.raw.bmp"}));
}

TEST_F(Converter, KeepsThePreviousOutputWhenAWriteFails)
{
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const bytes previous = expected_bmp(raw_input(300));
    for (const auto& [route, setup] : routes) {
        SCOPED_TRACE(route);
        // Room for part of the file, and room for all but its last byte; first with nothing at
        // the name, then with an earlier output there.
        for (const bool earlier : {false, true}) {
            if (earlier)
                write_file(dir / "scan.raw.bmp", previous);
            for (const rlim_t room : {rlim_t{100'000}, rlim_t{786'485}}) {
                SCOPED_TRACE(room);
                expect_failure(run_tool(dir, {"scan.raw"}, both(file_size_limit(room), setup)),
                               "write file error.\n");
                EXPECT_EQ(entries(),
                          earlier ? (strings{"scan.raw", "scan.raw.bmp"}) : strings{"scan.raw"});
            }
            if (earlier) {
                EXPECT_EQ(read_file(dir / "scan.raw.bmp"), previous);
            }
        }
        // With exactly enough room the conversion succeeds.
        expect_converted(run_tool(dir, {"scan.raw"}, both(file_size_limit(786'486), setup)),
                         dir / "scan.raw.bmp", raw);
        fs::remove(dir / "scan.raw.bmp");
    }
    // A full device is written in place; it, and the link to it, stay.
    fs::create_symlink("/dev/full", dir / "scan.raw.bmp");
    expect_failure(run_tool(dir, {"scan.raw"}), "write file error.\n");
    ASSERT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

TEST_F(Converter, LeavesThePreviousOutputWhenASignalEndsTheRun)
{
    if (under_emulator)
        GTEST_SKIP() << cant_trace;
    const auto no_core_dump = [] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    };
    write_file(dir / "scan.raw", raw_input(512 * 512));
    const bytes previous = expected_bmp(raw_input(300));
    for (const auto& [route, setup] : routes) {
        SCOPED_TRACE(route);
        const bool unnamed = route == routes[0].first;
        // The signals the terminal, a supervisor or a timer sends, and one that can't be caught.
        for (const int signal : {SIGKILL, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM,
                                 SIGPIPE, SIGXCPU, SIGKILL}) {
            SCOPED_TRACE(sigabbrev_np(signal));
            // The first SIGKILL finds nothing at the name; every other run, an earlier output.
            const bool earlier = fs::exists(dir / "scan.raw.bmp");
            const started_tool tool = start_held_mid_write(dir, both(no_core_dump, setup));
            kill(tool.pid, signal);
            release(tool);
            const run_result result = wait_for(tool);
            EXPECT_EQ(result.signal, signal);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, "");
            if (signal == SIGKILL && !unnamed) {
                // Uncatchable: the temporary file stays, but never under the output's name.
                int left = 0;
                for (const std::string& name : entries())
                    if (name.starts_with(".vyk_pic_convert-"))
                        left += fs::remove(dir / name);
                EXPECT_EQ(left, 1);
            }
            EXPECT_EQ(entries(),
                      earlier ? (strings{"scan.raw", "scan.raw.bmp"}) : strings{"scan.raw"});
            if (earlier) {
                EXPECT_EQ(read_file(dir / "scan.raw.bmp"), previous);
            } else {
                write_file(dir / "scan.raw.bmp", previous);
            }
        }
        fs::remove(dir / "scan.raw.bmp");
    }
}

TEST_F(Converter, CompletesTheOutputWhenTheInterruptIsIgnored)
{
    if (under_emulator)
        GTEST_SKIP() << cant_trace;
    // As under nohup, or for a background job of a non-interactive shell.
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const auto ignore_interrupts = [] { std::signal(SIGINT, SIG_IGN); };
    for (const auto& [route, setup] : routes) {
        SCOPED_TRACE(route);
        const started_tool tool = start_held_mid_write(dir, both(ignore_interrupts, setup));
        kill(tool.pid, SIGINT);
        release(tool);
        expect_converted(wait_for(tool), dir / "scan.raw.bmp", raw);
        EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
    }
}

TEST_F(Converter, AnInterruptEndsARunWaitingForAReaderOfItsFifoOutput)
{
    if (under_emulator)
        GTEST_SKIP() << cant_trace;
    write_file(dir / "scan.raw", raw_input(512 * 512));
    ASSERT_EQ(mkfifo((dir / "scan.raw.bmp").c_str(), 0600), 0);
    // Held as it opens the output, which then waits for a reader that never comes.
    const started_tool tool = start_tool(dir, {"scan.raw"}, traced());
    int status = 0;
    ASSERT_TRUE(hold_at(
        tool,
        [](const syscall_entry& call) {
            return call.nr == SYS_openat && (call.args[2] & O_ACCMODE) == O_WRONLY;
        },
        status));
    kill(tool.pid, SIGINT);
    release(tool);
    const run_result result = wait_for(tool);
    EXPECT_EQ(result.signal, SIGINT) << result.err;
    EXPECT_TRUE(fs::is_fifo(dir / "scan.raw.bmp"));
}

TEST_F(Converter, ConcurrentRunsOnOneNameEachWriteAWholeOutput)
{
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const bytes want = expected_bmp(raw);
    // A reader polls the name while the runs replace one another's outputs: each file it opens
    // must be whole.
    std::atomic<bool> done = false;
    int reads = 0;
    int partial = 0;
    std::thread reader([&] {
        while (!done) {
            const int fd = open((dir / "scan.raw.bmp").c_str(), O_RDONLY);
            if (fd < 0)
                continue;
            const std::string seen = contents_of(fd);
            ++reads;
            partial += bytes(seen.begin(), seen.end()) != want;
        }
    });
    std::vector<started_tool> tools;
    for (std::size_t i = 0; i < 16; ++i)
        tools.push_back(start_tool(dir, {"scan.raw"}, routes[i % routes.size()].second));
    for (const started_tool& tool : tools)
        EXPECT_EQ(wait_for(tool).status, 0);
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
    EXPECT_EQ(read_file(dir / "scan.raw.bmp"), want);
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

} // namespace
