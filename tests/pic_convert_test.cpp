// End-to-end tests: the built tool run as a process in a scratch directory, with its exit status,
// both output streams and the files it leaves checked.
#include "tool_command.h"
#include "tool_runner.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>
#include <thread>

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

TEST_F(Converter, ReplacesWhatStandsAtTheOutputNameButNeverAPartOfIt)
{
    const bytes raw = raw_input(1000);
    const bytes old(1 << 20, 0x77);
    write_file(dir / "scan.raw", raw);
    // Where chmod is refused, a replacement can't be given the old file's permission bits, and
    // the file is rewritten in place instead.
    const bool links = part_needs(has_links(), "links");
    const bool replaced = links && part_needs(keeps_modes(), "chmod");
    const bool fifos = part_needs(has_fifos(), "FIFOs");
    for (const auto& [route, setup] : routes_in(dir)) {
        SCOPED_TRACE(route);
        // A file is replaced whole and keeps its permission bits; another hard link to it keeps
        // the old contents.
        if (replaced) {
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
            fs::remove(dir / "scan.raw.bmp");
        }

        // A symlink is followed, and so is a chain of them: the end is replaced, or created if
        // it is missing, and the links stay. Where they lead nowhere, nothing is made there
        // before the file is complete: a run that fails leaves nothing. One to a device:
        // /dev/null takes the file; one to the tool's own standard output, a pipe, gets it.
        if (links) {
            fs::create_directory(dir / "kept");
            fs::create_symlink("kept/chain.bmp", dir / "scan.raw.bmp");
            fs::create_symlink("scan.bmp", dir / "kept" / "chain.bmp");
            expect_failure(run_tool(dir, {"scan.raw"}, both(setup, file_size_limit(100'000))),
                           "write file error.\n");
            EXPECT_EQ(fs::directory_iterator(dir / "kept")->path().filename(), "chain.bmp");
            for (int run = 0; run < 2; ++run) {
                expect_converted(run_tool(dir, {"scan.raw"}, setup), dir / "kept" / "scan.bmp",
                                 raw);
                EXPECT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
                EXPECT_TRUE(fs::is_symlink(dir / "kept" / "chain.bmp"));
            }
            fs::remove_all(dir / "kept");
            fs::remove(dir / "scan.raw.bmp");
            fs::create_symlink("/dev/null", dir / "scan.raw.bmp");
            EXPECT_EQ(run_tool(dir, {"scan.raw"}, setup).status, 0);
            EXPECT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
            EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
            fs::remove(dir / "scan.raw.bmp");
            fs::create_symlink("/proc/self/fd/1", dir / "scan.raw.bmp");
            const run_result piped = run_tool(dir, {"scan.raw"}, setup);
            EXPECT_EQ(piped.status, 0);
            EXPECT_EQ(bytes(piped.out.begin(), piped.out.end()), expected_bmp(raw));
            fs::remove(dir / "scan.raw.bmp");
        }

        // A FIFO is written in place, and stays.
        if (fifos) {
            ASSERT_EQ(mkfifo((dir / "scan.raw.bmp").c_str(), 0600), 0);
            const started_tool tool = start_tool(dir, {"scan.raw"}, setup);
            const std::string piped = contents_of(open((dir / "scan.raw.bmp").c_str(), O_RDONLY));
            const run_result result = wait_for(tool);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(bytes(piped.begin(), piped.end()), expected_bmp(raw));
            EXPECT_TRUE(fs::is_fifo(dir / "scan.raw.bmp"));
            fs::remove(dir / "scan.raw.bmp");
        }
    }
}

// An access ACL as the kernel keeps it in system.posix_acl_access: a version, then each entry's
// tag, permission bits and user or group id, little-endian.
bytes acl(std::initializer_list<std::array<std::uint32_t, 3>> entries)
{
    bytes value{2, 0, 0, 0};
    for (const auto& [tag, permissions, id] : entries)
        for (const auto& [field, size] : {std::pair{tag, 2}, {permissions, 2}, {id, 4}})
            for (int i = 0; i < size; ++i)
                value.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
    return value;
}

// The value of a file's extended attribute, or nothing if it has none of that name.
bytes attribute(const fs::path& path, const char* name)
{
    bytes value(256);
    const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
}

TEST_F(Converter, AReplacedFileKeepsItsAclExtendedAttributesAndInodeFlags)
{
    // Owner rw, a second account rw, the owning group nothing: shown as mode 0660, which alone
    // would open the file to the whole group and shut the second account out.
    constexpr std::uint32_t none = ~0U;
    const bytes shared_with_one =
        acl({{0x01, 6, none}, {0x02, 6, 4003}, {0x04, 0, none}, {0x10, 6, none}, {0x20, 0, none}});
    // A default ACL on the directory, which new files there inherit.
    const bytes inherited =
        acl({{0x01, 7, none}, {0x02, 7, 4004}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}});
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const fs::path output = dir / "scan.raw.bmp";
    const bytes note{'k', 'e', 'p', 't'};
    for (const auto& [route, setup] : routes_in(dir)) {
        SCOPED_TRACE(route);
        write_file(output, {'o', 'l', 'd'});
        if (setxattr(output.c_str(), "system.posix_acl_access", shared_with_one.data(),
                     shared_with_one.size(), 0) != 0 ||
            setxattr(dir.c_str(), "system.posix_acl_default", inherited.data(), inherited.size(),
                     0) != 0 ||
            setxattr(output.c_str(), "user.note", note.data(), note.size(), 0) != 0 ||
            !keeps_modes())
            GTEST_SKIP() << "this file system keeps no ACLs, user attributes or modes";
        const fs::perms mode = fs::status(output).permissions(); // 0660, where the ACL sets it
        const int old_file = open(output.c_str(), O_RDONLY);
        int flags = FS_NODUMP_FL;
        const bool has_flags = ioctl(old_file, FS_IOC_SETFLAGS, &flags) == 0;
        close(old_file);
        expect_converted(run_tool(dir, {"scan.raw"}, setup), output, raw);
        EXPECT_EQ(attribute(output, "system.posix_acl_access"), shared_with_one);
        EXPECT_EQ(attribute(output, "user.note"), note);
        EXPECT_EQ(fs::status(output).permissions(), mode);
        if (has_flags) {
            const int new_file = open(output.c_str(), O_RDONLY);
            flags = 0;
            EXPECT_EQ(ioctl(new_file, FS_IOC_GETFLAGS, &flags), 0);
            EXPECT_NE(flags & FS_NODUMP_FL, 0);
            close(new_file);
        }

        // A file without an ACL gets none from the directory's default.
        ASSERT_EQ(removexattr(output.c_str(), "system.posix_acl_access"), 0);
        ASSERT_EQ(chmod(output.c_str(), 0640), 0);
        expect_converted(run_tool(dir, {"scan.raw"}, setup), output, raw);
        EXPECT_EQ(attribute(output, "system.posix_acl_access"), bytes{});
        EXPECT_EQ(fs::status(output).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        removexattr(dir.c_str(), "system.posix_acl_default");
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

    // A run needs three descriptors beyond those it starts with; with two it fails before it
    // touches anything, whether the name is free or holds a file. (An emulator needs its own.)
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
    for (const auto& [route, setup] : routes_in(dir)) {
        SCOPED_TRACE(route);
        for (const bool earlier : {false, true}) {
            if (earlier)
                write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
            expect_failure(run_tool(dir, {"scan.raw"}, both(setup, descriptors(2))),
                           "open write file error.\n");
            EXPECT_EQ(entries(),
                      earlier ? (strings{"scan.raw", "scan.raw.bmp"}) : strings{"scan.raw"});
            if (earlier) {
                EXPECT_EQ(read_file(dir / "scan.raw.bmp"), (bytes{'o', 'l', 'd'}));
            }
            expect_converted(run_tool(dir, {"scan.raw"}, both(setup, descriptors(3))),
                             dir / "scan.raw.bmp", raw);
            fs::remove(dir / "scan.raw.bmp");
        }
    }
}

TEST_F(Converter, KeepsThePreviousOutputWhenAWriteFails)
{
    const bytes raw = raw_input(512 * 512);
    write_file(dir / "scan.raw", raw);
    const bytes previous = expected_bmp(raw_input(300));
    // Room for part of the file, room for all but its last byte, and a disk that fails to store
    // the data (as no disk here does: under an emulator, which can't filter calls, left out).
    const std::array<route, 3> all_failures{{
        {"room for part", file_size_limit(100'000)},
        {"room for all but a byte", file_size_limit(786'485)},
        {"failing disk", [] { fail_calls(SYS_fdatasync, 0, BPF_JSET, ~0U, EIO); }},
    }};
    const auto failures = std::span(all_failures).first(under_emulator ? 2 : 3);
    for (const auto& [route, setup] : routes_in(dir)) {
        SCOPED_TRACE(route);
        // First with nothing at the name, then with an earlier output there, which is rewritten
        // in place where chmod is refused.
        for (const bool earlier : {false, true}) {
            if (earlier && !part_needs(replaces_whole(), "chmod, nor one mode for all"))
                continue;
            if (earlier)
                write_file(dir / "scan.raw.bmp", previous);
            for (const auto& [failure, cause] : failures) {
                SCOPED_TRACE(failure);
                expect_failure(run_tool(dir, {"scan.raw"}, both(cause, setup)),
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
    for (const auto& [route, setup] : routes_in(dir)) {
        SCOPED_TRACE(route);
        const bool unnamed = std::string_view(route) != "temporary name";
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
    for (const auto& [route, setup] : routes_in(dir)) {
        SCOPED_TRACE(route);
        write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
        fs::permissions(dir / "scan.raw.bmp", owner_only);
        const started_tool tool = start_held_at_new_file(
            dir, both(both(ignore_interrupts, take_foreseeable_names), setup),
            std::string_view(route) == "temporary name");
        for (const std::string& name : entries()) {
            if (name != "scan.raw") {
                EXPECT_EQ(fs::status(dir / name).permissions(), owner_only) << name;
            }
        }
        kill(tool.pid, SIGINT);
        release(tool);
        expect_converted(wait_for(tool), dir / "scan.raw.bmp", raw);
        EXPECT_EQ(fs::status(dir / "scan.raw.bmp").permissions(), owner_only);
        for (const std::string& name : entries())
            if (name.ends_with(".tmp"))
                fs::remove(dir / name);
        EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
    }
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

TEST_F(Converter, ConcurrentRunsOnOneNameEachWriteAWholeOutput)
{
    if (!replaces_whole())
        GTEST_SKIP() << "this file system refuses chmod: an earlier output is rewritten in place";
    // fusefat (FAT through FUSE, told by its lack of links) renames over a name in two steps,
    // and a run that opens the name between them finds nothing there, as fopen would: the run
    // fails, leaving the name to the others.
    struct statfs file_system = {};
    if (statfs(dir.c_str(), &file_system) == 0 && file_system.f_type == FUSE_SUPER_MAGIC &&
        !has_links())
        GTEST_SKIP() << "fusefat renames over a name in two steps";
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
    const auto routes = routes_in(dir);
    for (std::size_t i = 0; i < 16; ++i)
        tools.push_back(start_tool(dir, {"scan.raw"}, routes[i % routes.size()].second));
    for (const started_tool& tool : tools) {
        const run_result result = wait_for(tool);
        EXPECT_EQ(result.status, 0) << result.err;
    }
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0) << "of " << reads << " reads";
    EXPECT_EQ(read_file(dir / "scan.raw.bmp"), want);
    EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));

    // The same, made certain: the name changes hands just before the run gives its file the
    // name. Another file there is judged and replaced in turn; a link there is not followed by a
    // file made for this directory, and the run fails, leaving the link and nothing else.
    if (under_emulator || !has_links())
        return;
    for (const auto& [route, setup] : routes) {
        SCOPED_TRACE(route);
        for (const bool link : {false, true}) {
            const started_tool tool = start_tool(dir, {"scan.raw"}, both(setup, traced()));
            int status = 0;
            ASSERT_TRUE(hold_at(
                tool, [](const syscall_entry& call) { return call.nr == SYS_renameat2; }, status));
            if (link)
                fs::create_symlink("elsewhere", dir / "taker");
            else
                write_file(dir / "taker", {'t'});
            fs::rename(dir / "taker", dir / "scan.raw.bmp");
            release(tool);
            if (link) {
                expect_failure(wait_for(tool), "write file error.\n");
                EXPECT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
                fs::remove(dir / "scan.raw.bmp");
                write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
            } else {
                expect_converted(wait_for(tool), dir / "scan.raw.bmp", raw);
            }
            EXPECT_EQ(entries(), (strings{"scan.raw", "scan.raw.bmp"}));
        }
    }
}

} // namespace
