// End-to-end tests of what the tool may do at its output's name: never what the same user's
// fopen(name, "wb") would be refused, with the kernel's protections as Debian sets them, and a
// replaced file keeping all that a rewrite in place keeps. Most need root: other users, kernel
// settings and mount namespaces.
#include "tool_command.h"
#include "tool_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

namespace {

// Accounts that exist only as numbers: an attacker, a victim, a group they share.
constexpr uid_t attacker = 4001;
constexpr uid_t victim = 4002;
constexpr gid_t team = 4100;

// Runs the tool as uid, with primary group gid and the supplementary groups.
child_setup as_user(uid_t uid, gid_t gid, std::vector<gid_t> groups = {})
{
    const std::string to_uid = "to uid " + std::to_string(uid);
    const std::string to_gid = "to gid " + std::to_string(gid);
    return [=] {
        if (setgroups(groups.size(), groups.data()) != 0)
            setup_failed("setgroups");
        if (setresgid(gid, gid, gid) != 0)
            setup_failed("setresgid", to_gid.c_str());
        if (setresuid(uid, uid, uid) != 0)
            setup_failed("setresuid", to_uid.c_str());
    };
}

// Gives the tool a mount namespace of its own, so that what setup mounts there is seen by it
// alone and goes when it ends.
child_setup in_own_mounts(const std::function<void()>& setup)
{
    return [=] {
        if (unshare(CLONE_NEWNS) != 0)
            setup_failed("unshare of the mount namespace");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            setup_failed("making the mounts private");
        setup();
    };
}

// Sets one of the kernel's fs.protected_* settings while it lives, and restores it after.
// Tests that change these take turns, across processes too: each holds a lock on the settings'
// directory meanwhile.
class protection {
public:
    protection(const std::string& name, int value)
        : path_("/proc/sys/fs/protected_" + name), lock_(open("/proc/sys/fs", O_RDONLY))
    {
        flock(lock_, LOCK_EX);
        std::ifstream(path_) >> before_;
        std::ofstream(path_) << value;
    }
    ~protection()
    {
        std::ofstream(path_) << before_;
        close(lock_);
    }
    protection(const protection&) = delete;
    protection& operator=(const protection&) = delete;

private:
    std::string path_;
    int lock_;
    int before_ = 0;
};

// The tests that need root: other users, kernel settings, mounts. In a scratch directory that
// others may enter (made in /tmp or /var/tmp, on the same file system, if they can't reach
// TMPDIR), from which they may start the tool, holding private/file, a file of root's that nobody
// else may read, and shared/, a directory anyone may write but where only an entry's owner may
// remove it (mode 1777, as /tmp), with root's own input shared/scan.raw in it.
class OutputSafety : public Converter {
protected:
    void SetUp() override
    {
        // What the tests make, other accounts must read, whatever umask they run under (077, say).
        umask_before = umask(022);
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: other users, kernel settings and mounts";
        if (under_emulator)
            GTEST_SKIP() << cant_trace;
        if (const std::string why = why_others_cant_start_tool(); !why.empty())
            GTEST_SKIP() << why;
        Converter::SetUp();
        if (const std::string why = open_to(attacker, attacker); !why.empty())
            GTEST_SKIP() << why;
        secret = dir / "private" / "file";
        shared = dir / "shared";
        fs::create_directories(dir / "private");
        write_file(secret, {'s', 'e', 'c', 'r', 'e', 't'});
        fs::create_directory(shared);
        struct stat owned = {};
        if (lchown(secret.c_str(), attacker, attacker) != 0 || lstat(secret.c_str(), &owned) != 0 ||
            owned.st_uid != attacker || lchown(secret.c_str(), 0, 0) != 0)
            GTEST_SKIP() << "this file system keeps no owners";
        if (chmod((dir / "private").c_str(), 0700) != 0 || chmod(shared.c_str(), 01777) != 0 ||
            (fs::status(shared).permissions() & fs::perms::sticky_bit) == fs::perms::none)
            GTEST_SKIP() << "this file system keeps no permission bits";
        write_file(shared / "scan.raw", raw);
    }

    void TearDown() override
    {
        Converter::TearDown();
        umask(umask_before);
    }

    // Skips the test unless the kernel refuses root, as fopen(path, "wb") would be refused, to
    // follow the link at path (flags O_PATH) or to open the file there for writing: FUSE file
    // systems may leave such judgements to their daemons, which may not make them.
    static bool kernel_refuses(const fs::path& path, int flags)
    {
        const int file = open(path.c_str(), flags | O_CLOEXEC, 0666);
        if (file >= 0)
            close(file);
        return file < 0 && errno == EACCES;
    }

    // Plants a symbolic link at path, owned by owner as if made by that user.
    static void plant_link(const fs::path& target, const fs::path& path, uid_t owner = attacker)
    {
        fs::create_symlink(target, path);
        ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
    }

    const bytes raw = raw_input(512 * 512);
    mode_t umask_before = 0;
    fs::path secret;
    fs::path shared;
};

TEST_F(OutputSafety, FollowsNoLinkTheKernelWouldNotFollow)
{
    // A link that another user owns, in a sticky directory anyone may write, is not followed:
    // not to a file of root's, nor through a chain the other user controls, nor to a file to be
    // made, nor to root's own standard output. The kernel refuses it with protected_symlinks
    // set, the tool whatever it is set to.
    fs::create_directory(shared / "own");
    ASSERT_EQ(chown((shared / "own").c_str(), attacker, attacker), 0);
    plant_link("../../private/file", shared / "own" / "chain");
    fs::create_directory(dir / "victim");
    write_file(dir / "victim" / "file", {'o', 'w', 'n'});
    write_file(shared / "victim.raw", raw);
    for (const fs::path& path : {dir / "victim", dir / "victim" / "file", shared / "victim.raw"})
        ASSERT_EQ(chown(path.c_str(), victim, victim), 0);
    // A sticky directory of the attacker's own, where the attacker's links are the owner's.
    const fs::path owned = dir / "owned";
    fs::create_directory(owned);
    ASSERT_EQ(chown(owned.c_str(), attacker, attacker), 0);
    ASSERT_EQ(chmod(owned.c_str(), 01777), 0);
    write_file(owned / "scan.raw", raw);
    for (const int level : {0, 1}) {
        SCOPED_TRACE(level);
        const protection symlinks("symlinks", level);
        for (const fs::path& target : {secret, shared / "own" / "chain", dir / "private" / "made",
                                       fs::path("/proc/self/fd/1")}) {
            SCOPED_TRACE(target);
            plant_link(target, shared / "scan.raw.bmp");
            expect_failure(run_tool(shared, {"scan.raw"}), "open write file error.\n");
            EXPECT_EQ(read_file(secret), (bytes{'s', 'e', 'c', 'r', 'e', 't'}));
            EXPECT_EQ(fs::directory_iterator(dir / "private")->path(), secret);
            fs::remove(shared / "scan.raw.bmp");
        }

        // Nor for a user who isn't root, whose own file the link leads to.
        plant_link(dir / "victim" / "file", shared / "victim.raw.bmp");
        expect_failure(run_tool(shared, {"victim.raw"}, as_user(victim, victim)),
                       "open write file error.\n");
        EXPECT_EQ(read_file(dir / "victim" / "file"), (bytes{'o', 'w', 'n'}));
        fs::remove(shared / "victim.raw.bmp");

        // But root's own link is followed there, and so is one that the directory's owner made.
        plant_link(dir / "private" / "made", shared / "scan.raw.bmp", 0);
        expect_converted(run_tool(shared, {"scan.raw"}), dir / "private" / "made", raw);
        plant_link("end.bmp", owned / "scan.raw.bmp");
        expect_converted(run_tool(owned, {"scan.raw"}), owned / "end.bmp", raw);
        for (const fs::path& path : {shared / "scan.raw.bmp", dir / "private" / "made",
                                     owned / "scan.raw.bmp", owned / "end.bmp"})
            fs::remove(path);
    }

    // A link of the attacker's own directory that leads nowhere when the tool looks and to
    // another user's file when it opens the name: that file is rewritten as fopen would, keeping
    // its owner and mode, never removed or handed to root.
    const fs::path third = dir / "third";
    fs::create_directory(third);
    write_file(third / "file", {});
    ASSERT_EQ(chown((third / "file").c_str(), victim, victim), 0);
    ASSERT_EQ(chmod((third / "file").c_str(), 0660), 0);
    ASSERT_EQ(chmod(owned.c_str(), 0755), 0);
    plant_link(third / "missing", owned / "scan.raw.bmp");
    const started_tool tool = start_tool(owned, {"scan.raw"}, traced());
    int status = 0;
    ASSERT_TRUE(hold_at(
        tool,
        [](const syscall_entry& call) {
            const auto flags = static_cast<int>(call.args[2]);
            return call.nr == SYS_openat && (flags & O_ACCMODE) == O_WRONLY &&
                   (flags & (O_CREAT | O_PATH)) == 0;
        },
        status));
    fs::remove(owned / "scan.raw.bmp");
    plant_link(third / "file", owned / "scan.raw.bmp");
    release(tool);
    expect_converted(wait_for(tool), third / "file", raw);
    struct stat kept = {};
    ASSERT_EQ(stat((third / "file").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_uid, victim);
    EXPECT_EQ(kept.st_mode & 07777, 0660U);
    EXPECT_TRUE(fs::is_symlink(owned / "scan.raw.bmp"));
}

TEST_F(OutputSafety, FollowsNoLinkOnAMountThatFollowsNone)
{
    // Whatever protected_symlinks says: on a file system mounted nosymfollow, fopen follows no
    // link (ELOOP).
    const protection symlinks("symlinks", 0);
    const fs::path mounted = dir / "mounted";
    fs::create_directory(mounted);
    const child_setup nosymfollow = in_own_mounts([&] {
        if (mount("tmpfs", mounted.c_str(), "tmpfs", MS_NOSYMFOLLOW, nullptr) != 0)
            _exit(122);
        write_file(mounted / "scan.raw", raw);
        fs::create_symlink(secret, mounted / "scan.raw.bmp");
    });
    expect_failure(run_tool(dir, {"mounted/scan.raw"}, nosymfollow), "open write file error.\n");
    EXPECT_EQ(read_file(secret), (bytes{'s', 'e', 'c', 'r', 'e', 't'}));
}

TEST_F(OutputSafety, LeavesAloneWhatOthersPlantInAStickyDirectory)
{
    // A file or FIFO that another user made in a sticky directory anyone may write, or a file in
    // one its group may write, is neither written nor replaced, so that root's picture is not
    // handed to its owner: the kernel refuses it with protected_regular (1; 2 for the group's
    // directory) and protected_fifos set, the tool whatever they are set to. Nor for a user who
    // isn't root. Root's own file there, or one of the directory's owner, is replaced.
    const fs::path grouped = dir / "grouped";
    fs::create_directory(grouped);
    ASSERT_EQ(chown(grouped.c_str(), 0, team), 0);
    ASSERT_EQ(chmod(grouped.c_str(), 01770), 0);
    write_file(grouped / "scan.raw", raw);
    write_file(shared / "victim.raw", raw);
    ASSERT_EQ(chown((shared / "victim.raw").c_str(), victim, victim), 0);
    // The regular files under each protected_regular, then the FIFOs under protected_fifos.
    for (const auto& [setting, level] :
         {std::pair{"regular", 0}, {"regular", 1}, {"regular", 2}, {"fifos", 0}, {"fifos", 1}}) {
        SCOPED_TRACE(std::string(setting) + "=" + std::to_string(level));
        const protection protected_kind(setting, level);
        const bool fifo = std::string_view(setting) == "fifos";
        for (const auto& [in, input, runner] :
             {std::tuple{shared, "scan.raw", child_setup{}},
              std::tuple{shared, "victim.raw", as_user(victim, victim)},
              std::tuple{grouped, "scan.raw", child_setup{}}}) {
            SCOPED_TRACE(input);
            const fs::path planted = in / (std::string(input) + ".bmp");
            if (fifo) {
                ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
            } else {
                write_file(planted, {'p'});
            }
            ASSERT_EQ(chown(planted.c_str(), attacker, attacker), 0);
            ASSERT_EQ(chmod(planted.c_str(), fifo ? 0666 : 04777), 0);
            expect_failure(run_tool(in, {input}, runner), "open write file error.\n");
            struct stat status = {};
            ASSERT_EQ(stat(planted.c_str(), &status), 0);
            EXPECT_EQ(status.st_uid, attacker);
            if (!fifo) {
                EXPECT_EQ(read_file(planted), bytes{'p'});
            }
            fs::remove(planted);
        }
        if (fifo)
            continue;
        write_file(shared / "scan.raw.bmp", {'o', 'w', 'n'});
        expect_converted(run_tool(shared, {"scan.raw"}), shared / "scan.raw.bmp", raw);
        ASSERT_EQ(chown(grouped.c_str(), attacker, team), 0);
        write_file(grouped / "scan.raw.bmp", {'o', 'w', 'n'});
        ASSERT_EQ(chown((grouped / "scan.raw.bmp").c_str(), attacker, attacker), 0);
        expect_converted(run_tool(grouped, {"scan.raw"}), grouped / "scan.raw.bmp", raw);
        ASSERT_EQ(chown(grouped.c_str(), 0, team), 0);
        fs::remove(shared / "scan.raw.bmp");
        fs::remove(grouped / "scan.raw.bmp");
    }
}

TEST_F(OutputSafety, KeepsOwnerAndGroupForAnotherMemberOfTheGroup)
{
    // A second member of a group rewrites a file of the first's, in their shared directory: it
    // can't give a new file to the first, so the file is rewritten in place, and keeps its
    // owner, its group and its mode. Likewise in a directory the user may not write at all.
    const fs::path shared_by_team = dir / "team";
    fs::create_directory(shared_by_team);
    ASSERT_EQ(chown(shared_by_team.c_str(), 0, team), 0);
    ASSERT_EQ(chmod(shared_by_team.c_str(), 0775), 0);
    const fs::path old_file = shared_by_team / "scan.raw.bmp";
    write_file(shared_by_team / "scan.raw", raw);
    for (const auto& [owner, group, mode, runner] :
         {std::tuple{attacker, team, 0664, as_user(victim, 100, {team})},
          std::tuple{victim, victim, 0644, as_user(victim, victim)}}) {
        if (owner == victim) { // the directory is the team's, which this user is not in
            ASSERT_EQ(chmod(shared_by_team.c_str(), 0755), 0);
        }
        write_file(old_file, {'o', 'l', 'd'});
        ASSERT_EQ(chown(old_file.c_str(), owner, group), 0);
        ASSERT_EQ(chmod(old_file.c_str(), static_cast<mode_t>(mode)), 0);
        struct stat before = {};
        ASSERT_EQ(stat(old_file.c_str(), &before), 0);
        expect_converted(run_tool(shared_by_team, {"scan.raw"}, runner), old_file, raw);
        struct stat after = {};
        ASSERT_EQ(stat(old_file.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, owner);
        EXPECT_EQ(after.st_gid, group);
        EXPECT_EQ(after.st_mode & 07777, static_cast<mode_t>(mode));
    }
}

TEST_F(OutputSafety, RewritesInPlaceANameThatCantChangeHands)
{
    // In a directory that takes no removals (chattr +a) a file is rewritten in place, and a
    // new one named as usual; a temporary name there could never be removed.
    const fs::path kept = dir / "append_only";
    fs::create_directory(kept);
    write_file(kept / "scan.raw", raw);
    write_file(kept / "scan.raw.bmp", {'o', 'l', 'd'});
    const int directory = open(kept.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = FS_APPEND_FL;
    if (ioctl(directory, FS_IOC_SETFLAGS, &flags) != 0) {
        close(directory);
        GTEST_SKIP() << "this file system has no append-only directories";
    }
    expect_converted(run_tool(kept, {"scan.raw"}), kept / "scan.raw.bmp", raw);
    fs::copy_file(kept / "scan.raw", kept / "other.raw");
    expect_converted(run_tool(kept, {"other.raw"}), kept / "other.raw.bmp", raw);
    const strings left = [&] {
        strings names;
        for (const auto& entry : fs::directory_iterator(kept))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }();
    flags = 0;
    ioctl(directory, FS_IOC_SETFLAGS, &flags);
    close(directory);
    EXPECT_EQ(left, (strings{"other.raw", "other.raw.bmp", "scan.raw", "scan.raw.bmp"}));

    // A file mounted at the name (a bind mount) is rewritten in place.
    write_file(dir / "scan.raw", raw);
    write_file(dir / "scan.raw.bmp", {'o', 'l', 'd'});
    write_file(dir / "mounted.bmp", {'o', 'l', 'd'});
    const child_setup bound = in_own_mounts([&] {
        if (mount((dir / "mounted.bmp").c_str(), (dir / "scan.raw.bmp").c_str(), nullptr, MS_BIND,
                  nullptr) != 0)
            _exit(122);
    });
    expect_converted(run_tool(dir, {"scan.raw"}, bound), dir / "mounted.bmp", raw);
    EXPECT_EQ(read_file(dir / "scan.raw.bmp"), (bytes{'o', 'l', 'd'}));

    // An append-only file is refused by the kernel's open, before a byte is written: room for
    // only a few bytes would otherwise end the run with a write error.
    const int file = open((dir / "scan.raw.bmp").c_str(), O_RDONLY);
    flags = FS_APPEND_FL;
    ASSERT_EQ(ioctl(file, FS_IOC_SETFLAGS, &flags), 0);
    expect_failure(run_tool(dir, {"scan.raw"}, file_size_limit(1000)), "open write file error.\n");
    flags = 0;
    ioctl(file, FS_IOC_SETFLAGS, &flags);
    close(file);
    EXPECT_EQ(read_file(dir / "scan.raw.bmp"), (bytes{'o', 'l', 'd'}));

    // But a file is not rewritten in place for want of room for the new one, which would lose
    // it: on a file system with no inode to spare, the run fails and the old file stays.
    const fs::path full = dir / "full";
    fs::create_directory(full);
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "nr_inodes=3"), 0); // the root and two
    const std::unique_ptr<const char, decltype(&umount)> unmount(full.c_str(), &umount);
    write_file(full / "scan.raw", raw);
    write_file(full / "scan.raw.bmp", {'o', 'l', 'd'});
    expect_failure(run_tool(full, {"scan.raw"}), "open write file error.\n");
    EXPECT_EQ(read_file(full / "scan.raw.bmp"), (bytes{'o', 'l', 'd'}));
}

TEST_F(OutputSafety, TrustsNoProcfsButTheKernelsOwn)
{
    // Where a file can't be linked by its descriptor alone, its entry in /proc/self/fd is
    // linked instead. What is mounted there, in a mount namespace of someone else's making, may
    // be a file system whose entries lead to a secret file: the output must not become a link
    // to it. (Mounted over the process's own fd directory only: a sanitizer's run-time needs
    // the rest of /proc.)
    const child_setup fake_proc = in_own_mounts([&] {
        const std::string fds = "/proc/" + std::to_string(getpid()) + "/fd";
        if (mount("tmpfs", fds.c_str(), "tmpfs", 0, nullptr) != 0)
            _exit(122);
        for (int fd = 0; fd < 64; ++fd)
            fs::create_symlink(secret, fds + "/" + std::to_string(fd));
    });
    write_file(dir / "scan.raw", raw);
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier ? "replacing" : "new name");
        expect_converted(
            run_tool(dir, {"scan.raw"}, both(fake_proc, without_linking_by_descriptor)),
            dir / "scan.raw.bmp", raw);
        EXPECT_EQ(read_file(secret), (bytes{'s', 'e', 'c', 'r', 'e', 't'}));
        EXPECT_EQ(fs::hard_link_count(secret), 1U);
    }

    // Nor does the tool need procfs to find where a link at the name leads: the file there is
    // replaced, not rewritten in place, so that a run that fails leaves it whole.
    fs::remove(dir / "scan.raw.bmp");
    fs::create_directory(dir / "end");
    write_file(dir / "end" / "file", {'o', 'l', 'd'});
    fs::create_symlink("end/file", dir / "scan.raw.bmp");
    expect_failure(run_tool(dir, {"scan.raw"}, both(fake_proc, file_size_limit(100'000))),
                   "write file error.\n");
    EXPECT_EQ(read_file(dir / "end" / "file"), (bytes{'o', 'l', 'd'}));
    const auto inode = [](const fs::path& path) {
        struct stat status = {};
        stat(path.c_str(), &status);
        return status.st_ino;
    };
    const ino_t before = inode(dir / "end" / "file");
    expect_converted(run_tool(dir, {"scan.raw"}, fake_proc), dir / "end" / "file", raw);
    EXPECT_NE(inode(dir / "end" / "file"), before);
    EXPECT_TRUE(fs::is_symlink(dir / "scan.raw.bmp"));
    EXPECT_EQ(entries(), (strings{"end", "private", "scan.raw", "scan.raw.bmp", "shared"}));
}

} // namespace
