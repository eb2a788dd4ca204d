// End-to-end tests: the built tool run as a process in a scratch directory, with its exit status,
// both output streams and the files it leaves checked.
#include "test_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

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
    std::vector<char*> argv{const_cast<char*>(VYK_PIC_CONVERT_PATH)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(127);
        if (setup)
            setup();
        execv(argv[0], argv.data());
        _exit(127);
    }
    return {child, out, err};
}

run_result wait_for(const started_tool& tool)
{
    int status = 0;
    waitpid(tool.pid, &status, 0);
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + signal, signal, contents_of(tool.out),
            contents_of(tool.err)};
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

// Converts dir/scan.raw with a FIFO as the output name, after setup, and reads the first bytes
// of the output from it. The tool has then created the output and is writing it, and can't
// finish while nothing reads the rest: it is held mid-write for as long as the test needs.
// Returns the tool and the read end of the FIFO, which must stay open until the tool has ended.
std::pair<started_tool, int> start_held_mid_write(const fs::path& dir, const child_setup& setup)
{
    if (mkfifo((dir / "scan.raw.bmp").c_str(), 0600) != 0)
        throw std::runtime_error("can't make a FIFO");
    const started_tool tool = start_tool(dir, {"scan.raw"}, setup);
    const int fifo = open((dir / "scan.raw.bmp").c_str(), O_RDONLY);
    std::array<char, 54> headers{};
    for (std::size_t got = 0; got < headers.size();) {
        const ssize_t more = read(fifo, headers.data() + got, headers.size() - got);
        if (more <= 0)
            throw std::runtime_error("the tool wrote no output");
        got += static_cast<std::size_t>(more);
    }
    return {tool, fifo};
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
    // hide AVX2 from this run so that the path is taken here too.
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const auto without_avx2 = [] { setenv("GLIBC_TUNABLES", "glibc.cpu.hwcaps=-AVX2", 1); };
    expect_converted(run_tool(dir, {"scan.raw"}, without_avx2), dir / "scan.raw.bmp", raw);
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

TEST_F(Converter, ReadsStreamsThatCantBeSized)
{
    // A pipe that ends early, and an endless device read through a link beside the output.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    const bytes raw = raw_input(200'000);
    std::thread feeder([&] { write_file(dir / "pipe", raw); });
    const run_result from_pipe = run_tool(dir, {"pipe"});
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

TEST_F(Converter, ReplacesAnExistingOutput)
{
    const bytes raw = raw_input(1000);
    write_file(dir / "scan.raw", raw);
    write_file(dir / "scan.raw.bmp", bytes(1 << 20, 0x77));
    expect_converted(run_tool(dir, {"scan.raw"}), dir / "scan.raw.bmp", raw);
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

TEST_F(Converter, ReportsAnInputItCantReadInsteadOfWritingBlack)
{
    fs::create_directory(dir / "scans");
    expect_failure(run_tool(dir, {"scans"}), "read file error.\n");
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

TEST_F(Converter, RemovesTheOutputWhenTheDiskFills)
{
    write_file(dir / "scan.raw", raw_input(512 * 512));
    fs::create_symlink("/dev/full", dir / "scan.raw.bmp");
    expect_failure(run_tool(dir, {"scan.raw"}), "write file error.\n");
    EXPECT_EQ(entries(), strings{"scan.raw"});

    // Room for part of the file, and room for all but its last byte.
    for (const rlim_t room : {rlim_t{100'000}, rlim_t{786'485}}) {
        SCOPED_TRACE(room);
        expect_failure(run_tool(dir, {"scan.raw"}, file_size_limit(room)), "write file error.\n");
        EXPECT_EQ(entries(), strings{"scan.raw"});
    }
    // With exactly enough room the conversion succeeds.
    expect_converted(run_tool(dir, {"scan.raw"}, file_size_limit(786'486)), dir / "scan.raw.bmp",
                     raw_input(512 * 512));
}

TEST_F(Converter, RemovesTheOutputWhenASignalEndsTheRun)
{
    write_file(dir / "scan.raw", raw_input(512 * 512));
    const auto no_core_dump = [] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        const auto [tool, fifo] = start_held_mid_write(dir, no_core_dump);
        kill(tool.pid, signal);
        const run_result result = wait_for(tool);
        close(fifo);
        EXPECT_EQ(result.signal, signal);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(entries(), strings{"scan.raw"});
    }
}

TEST_F(Converter, CompletesTheOutputWhenTheInterruptIsIgnored)
{
    // As under nohup, or for a background job of a non-interactive shell.
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const auto [tool, fifo] = start_held_mid_write(dir, [] { std::signal(SIGINT, SIG_IGN); });
    kill(tool.pid, SIGINT);
    const std::string rest = contents_of(fifo); // to the end of the output; closes the FIFO
    const run_result result = wait_for(tool);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(rest.size(), 786'486U - 54);
    const bytes bmp = expected_bmp(raw);
    EXPECT_EQ(bytes(rest.begin(), rest.end()), bytes(bmp.begin() + 54, bmp.end()));
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

} // namespace
