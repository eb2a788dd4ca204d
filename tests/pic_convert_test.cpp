// End-to-end tests: the built tool run as a process in a scratch directory, with its exit status,
// both output streams and the files it leaves checked.
#include "tool_command.h"
#include "tool_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace {

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
    if (part_needs(has_links(), "links")) {
        fs::create_symlink("/dev/zero", dir / "zero");
        expect_converted(run_tool(dir, {"zero"}), dir / "zero.bmp", bytes(512 * 512, 0));
    }
    if (!has_fifos())
        GTEST_SKIP() << "this file system has no FIFOs";
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
    // Nor through a link to a directory, or a link that leads back to itself (ELOOP).
    if (has_links()) {
        for (const char* target : {"scan.raw.bmp/", "loop.bmp"}) {
            fs::create_symlink(target, dir / "loop.bmp");
            write_file(dir / "loop", raw_input(10));
            expect_failure(run_tool(dir, {"loop"}), "open write file error.\n");
            EXPECT_TRUE(fs::is_symlink(dir / "loop.bmp"));
            fs::remove(dir / "loop.bmp");
            fs::remove(dir / "loop");
        }
    }

    // An input name that fits the file system's limit, whose output name doesn't.
    const std::string longest(252, 'n');
    write_file(dir / longest, raw_input(10));
    expect_failure(run_tool(dir, {longest}), "open write file error.\n");
    EXPECT_EQ(entries(), (strings{longest, "scan.raw", "scan.raw.bmp"}));
    fs::remove(dir / "scan.raw.bmp");
    fs::remove(dir / longest);

    // A run needs two descriptors beyond those it starts with to make a new name, three to
    // replace a file; with one fewer it fails before it touches anything. (An emulator needs its
    // own.)
    if (under_emulator)
        return;
    const auto descriptors = [](int beyond) -> child_setup {
        return [beyond] {
            // The lowest limit that leaves exactly that many numbers free for the tool.
            rlim_t below = 0;
            for (int free_numbers = 0; free_numbers < beyond; ++below) {
                const int flags = fcntl(static_cast<int>(below), F_GETFD);
                free_numbers += flags < 0 || (flags & FD_CLOEXEC) != 0;
            }
            const rlimit limit{below, below};
            setrlimit(RLIMIT_NOFILE, &limit);
        };
    };
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    for (const bool earlier : {false, true}) {
        if (earlier)
            write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
        expect_failure(run_tool(dir, {"scan.raw"}, descriptors(earlier ? 2 : 1)),
                       "open write file error.\n");
        EXPECT_EQ(entries(), earlier ? (strings{"scan.raw", "scan.raw.bmp"}) : strings{"scan.raw"});
        if (earlier) {
            EXPECT_EQ(read_file(dir / "scan.raw.bmp"), (bytes{'o', 'l', 'd'}));
        }
        expect_converted(run_tool(dir, {"scan.raw"}, descriptors(earlier ? 3 : 2)),
                         dir / "scan.raw.bmp", raw);
        fs::remove(dir / "scan.raw.bmp");
    }
}

TEST_F(Converter, KeepsThePreviousOutputWhenAWriteFails)
{
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const bytes previous = expected_bmp(raw_input(300));
    // Room for part of the file, and room for all but its last byte. (A failing disk is
    // tests/fault_injection.sh's.)
    const std::array<std::pair<const char*, child_setup>, 2> failures{{
        {"room for part", file_size_limit(100'000)},
        {"room for all but a byte", file_size_limit(786'485)},
    }};
    // First with nothing at the name, then with an earlier output there, which is rewritten
    // in place where chmod is refused.
    for (const bool earlier : {false, true}) {
        if (earlier && !part_needs(replaces_whole(), "chmod, nor one mode for all"))
            continue;
        if (earlier)
            write_file(dir / "scan.raw.bmp", previous);
        for (const auto& [failure, cause] : failures) {
            SCOPED_TRACE(failure);
            expect_failure(run_tool(dir, {"scan.raw"}, cause), "write file error.\n");
            EXPECT_EQ(entries(),
                      earlier ? (strings{"scan.raw", "scan.raw.bmp"}) : strings{"scan.raw"});
        }
        if (earlier) {
            EXPECT_EQ(read_file(dir / "scan.raw.bmp"), previous);
        }
    }
    // With exactly enough room the conversion succeeds.
    expect_converted(run_tool(dir, {"scan.raw"}, file_size_limit(786'486)), dir / "scan.raw.bmp",
                     raw);
    fs::remove(dir / "scan.raw.bmp");
    // A full device is written in place; it, and the link to it, stay.
    if (!has_links())
        GTEST_SKIP() << "this file system has no links";
    fs::create_symlink("/dev/full", dir / "scan.raw.bmp");
    expect_failure(run_tool(dir, {"scan.raw"}), "write file error.\n");
    ASSERT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

TEST_F(Converter, LeavesThePreviousOutputWhenASignalEndsTheRun)
{
    if (under_emulator)
        GTEST_SKIP() << cant_trace;
    if (!replaces_whole())
        GTEST_SKIP() << "this file system refuses chmod: an earlier output is rewritten in place";
    const auto no_core_dump = [] {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    };
    write_file(dir / "scan.raw", raw_input(512 * 512));
    const bytes previous = expected_bmp(raw_input(300));
    const bytes converted = expected_bmp(raw_input(512 * 512));
    // A file under a temporary name is written with signals held back: one that can be caught
    // takes effect once the run has named it.
    const bool unnamed = has_unnamed_files();
    // The signals the terminal, a supervisor or a timer sends, and one that can't be caught.
    for (const int signal :
         {SIGKILL, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGPIPE, SIGXCPU, SIGKILL}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        // The first SIGKILL finds nothing at the name; every other run, an earlier output.
        const bool earlier = fs::exists(dir / "scan.raw.bmp");
        // Held at its fifth write to a file: the output is then a third written.
        int writes = 0;
        const run_result result = run_held(
            dir, {"scan.raw"}, no_core_dump,
            [&](const syscall_entry& call) {
                return call.nr == SYS_write && call.args[0] > 2 && ++writes == 5;
            },
            [&](pid_t tool) { kill(tool, signal); });
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
        EXPECT_EQ(entries(), earlier ? (strings{"scan.raw", "scan.raw.bmp"}) : strings{"scan.raw"});
        if (earlier) {
            EXPECT_EQ(read_file(dir / "scan.raw.bmp"),
                      unnamed || signal == SIGKILL ? previous : converted);
        }
        write_file(dir / "scan.raw.bmp", previous);
    }
    fs::remove(dir / "scan.raw.bmp");
}

TEST_F(Converter, CompletesTheOutputWhenTheInterruptIsIgnored)
{
    if (under_emulator)
        GTEST_SKIP() << cant_trace;
    if (!keeps_modes())
        GTEST_SKIP() << "this file system keeps no permission bits";
    // As under nohup, or for a background job of a non-interactive shell.
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const auto ignore_interrupts = [] { std::signal(SIGINT, SIG_IGN); };
    // The file that replaces an output open to its owner alone is open to nobody else either,
    // from the moment it is made; and its temporary name, if any, can't be foreseen and taken
    // first, as a name made of the pid and a count could be. The interrupt comes just then.
    const auto take_foreseeable_names = [] {
        for (int count = 0; count < 100; ++count)
            close(creat((".vyk_pic_convert-" + std::to_string(getpid()) + "-" +
                         std::to_string(count) + ".tmp")
                            .c_str(),
                        0600));
    };
    constexpr auto owner_only = fs::perms::owner_read | fs::perms::owner_write;
    write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
    fs::permissions(dir / "scan.raw.bmp", owner_only);
    // Held at the call after the one that makes the new file, unnamed or under a temporary name.
    const auto made_with = static_cast<std::uint64_t>(has_unnamed_files() ? O_TMPFILE : O_EXCL);
    bool made = false;
    const auto after_making = [&](const syscall_entry& call) {
        return std::exchange(
            made, made || (call.nr == SYS_openat && (call.args[2] & made_with) == made_with));
    };
    expect_converted(
        run_held(dir, {"scan.raw"}, both(ignore_interrupts, take_foreseeable_names), after_making,
                 [&](pid_t tool) {
                     for (const std::string& name : entries())
                         EXPECT_TRUE(name == "scan.raw" ||
                                     fs::status(dir / name).permissions() == owner_only)
                             << name;
                     kill(tool, SIGINT);
                 }),
        dir / "scan.raw.bmp", raw);
    EXPECT_EQ(fs::status(dir / "scan.raw.bmp").permissions(), owner_only);
    for (const std::string& name : entries())
        if (name.ends_with(".tmp"))
            fs::remove(dir / name);
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
}

TEST_F(Converter, AnInterruptEndsARunWaitingForAReaderOfItsFifoOutput)
{
    if (under_emulator)
        GTEST_SKIP() << cant_trace;
    if (!has_fifos())
        GTEST_SKIP() << "this file system has no FIFOs";
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

TEST_F(Converter, ConcurrentRunsOnOneNameEachWriteAWholeOutputOrFail)
{
    if (!replaces_whole())
        GTEST_SKIP() << "this file system refuses chmod: an earlier output is rewritten in place";
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const bytes want = expected_bmp(raw);
    // A reader polls the name while the runs replace one another's outputs: each file it opens
    // must be whole. A run that finds the name changed hands under it fails; at least one wins.
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
        tools.push_back(start_tool(dir, {"scan.raw"}));
    int succeeded = 0;
    for (const started_tool& tool : tools) {
        const run_result result = wait_for(tool);
        succeeded += result.status == 0;
        const bool failed_cleanly =
            result.status == 1 && result.out.empty() &&
            (result.err == "write file error.\n" || result.err == "open write file error.\n");
        EXPECT_TRUE(result.status == 0 || failed_cleanly) << describe(result);
    }
    done = true;
    reader.join();
    EXPECT_GT(succeeded, 0);
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
    EXPECT_EQ(read_file(dir / "scan.raw.bmp"), want);
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));

    // The same, made certain: once the run's file is complete, before it gets the name, the name
    // is taken by another file or a link, or freed. Whether the run was to make the name or to
    // replace a file there, it fails and leaves alone what has the name now.
    if (under_emulator)
        return;
    const auto at_sync = [](const syscall_entry& call) { return call.nr == SYS_fdatasync; };
    for (const auto& [taker, earlier] : {std::pair{"file", false},
                                         {"file", true},
                                         {"link", false},
                                         {"link", true},
                                         {"nothing", true}}) {
        SCOPED_TRACE(std::string(taker) + (earlier ? ", replacing" : ", new name"));
        const std::string_view taken = taker;
        if (taken == "link" && !has_links())
            continue;
        fs::remove(dir / "scan.raw.bmp");
        if (earlier)
            write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
        expect_failure(run_held(dir, {"scan.raw"}, {}, at_sync,
                                [&](pid_t) {
                                    if (taken == "file")
                                        write_file(dir / "taker", {'t'});
                                    if (taken == "link")
                                        fs::create_symlink("elsewhere", dir / "taker");
                                    if (taken == "nothing")
                                        fs::remove(dir / "scan.raw.bmp");
                                    else
                                        fs::rename(dir / "taker", dir / "scan.raw.bmp");
                                }),
                       "write file error.\n");
        EXPECT_EQ(entries(),
                  taken == "nothing" ? strings{"scan.raw"} : (strings{"scan.raw", "scan.raw.bmp"}));
        EXPECT_EQ(fs::is_symlink(dir / "scan.raw.bmp"), taken == "link");
        EXPECT_TRUE(taken != "file" || read_file(dir / "scan.raw.bmp") == bytes{'t'});
    }
    // Taken while the run swaps its file in, and freed once it has swapped back: the run fails
    // and names nothing there, least of all a file dressed as the one it was to replace.
    write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
    const started_tool tool = start_tool(dir, {"scan.raw"}, traced());
    const auto at_rename = [](const syscall_entry& call) { return call.nr == SYS_renameat2; };
    int status = 0;
    ASSERT_TRUE(hold_at(tool, at_rename, status));
    write_file(dir / "taker", {'t'});
    fs::rename(dir / "taker", dir / "scan.raw.bmp");
    // Where the file system swaps names: held again once the swap back is done.
    const bool swapped_back = hold_again_at(tool, at_rename, status) &&
                              hold_again_at(
                                  tool, [](const syscall_entry&) { return true; }, status);
    if (swapped_back) {
        fs::remove(dir / "scan.raw.bmp");
        release(tool);
    }
    expect_failure(swapped_back ? wait_for(tool) : result_of(tool, status), "write file error.\n");
    EXPECT_EQ(entries(),
              swapped_back ? strings{"scan.raw"} : (strings{"scan.raw", "scan.raw.bmp"}));
}

} // namespace
