// End-to-end tests of what the tool does at its output's name: one table, a row for each row of the
// README's table of what may stand there, each tried as the user, and as root also as another user,
// a kernel setting or a mount would try it. The tool must never do what the same user's fopen(name,
// "wb") would be refused, and a replaced file must keep all that a rewrite in place keeps. The
// parts that change a setting the whole machine shares (the kernel's fs.protected_*) run only where
// asked: CI=true, or VYK_TEST_HOST_SETTINGS=1.
#include "tool_command.h"
#include "tool_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
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
    return [=] {
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            setup_failed("taking on the account", std::to_string(uid).c_str());
    };
}

// Runs the tool as uid, mapped to root in a user namespace of its own, as `unshare -r` does: every
// other account, root among them, shows there as the overflow id 65534.
child_setup in_own_user_namespace(uid_t uid)
{
    const std::string map = "0 " + std::to_string(uid) + " 1";
    return both(as_user(uid, uid), [=] {
        // A process that has changed its ids may not write its own /proc files until it is made
        // dumpable again, as it is anyway once it runs the tool.
        if (prctl(PR_SET_DUMPABLE, 1) != 0 || unshare(CLONE_NEWUSER) != 0 ||
            !(std::ofstream("/proc/self/setgroups") << "deny") ||
            !(std::ofstream("/proc/self/uid_map") << map) ||
            !(std::ofstream("/proc/self/gid_map") << map))
            setup_failed("making a user namespace");
    });
}

// Gives the tool a mount namespace of its own, so that what setup mounts there is seen by it alone
// and goes when it ends.
child_setup in_own_mounts(const std::function<void()>& setup)
{
    return [=] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            setup_failed("making a mount namespace");
        setup();
    };
}

// Whoever runs the tests asked for the parts that change what the whole machine shares.
bool may_change_host_settings()
{
    const char* const ci = std::getenv("CI");
    const char* const asked = std::getenv("VYK_TEST_HOST_SETTINGS");
    return (ci != nullptr && std::string_view(ci) == "true") ||
           (asked != nullptr && std::string_view(asked) == "1");
}

// One of the kernel's fs.protected_* settings at value while it lives, if it is so already or may
// be set so (may_change_host_settings), and restored after. Those that set one take turns, across
// processes too: each holds a lock on the settings' directory meanwhile. Where it can't be set, the
// part of the test that needs it says so and is left out.
class protection {
public:
    protection(const std::string& name, int value)
        : path_("/proc/sys/fs/protected_" + name), lock_(open("/proc/sys/fs", O_RDONLY | O_CLOEXEC))
    {
        flock(lock_, LOCK_EX);
        std::ifstream(path_) >> before_;
        changed_ = before_ != value && may_change_host_settings();
        in_force_ = changed_ || before_ == value;
        if (changed_)
            std::ofstream(path_) << value;
        if (!in_force_)
            std::printf("[   PART   ] left out, as it needs fs.protected_%s=%d, which would change "
                        "it for the whole machine: set VYK_TEST_HOST_SETTINGS=1 to run it\n",
                        name.c_str(), value);
    }
    ~protection()
    {
        if (changed_)
            std::ofstream(path_) << before_;
        close(lock_);
    }
    protection(const protection&) = delete;
    protection& operator=(const protection&) = delete;

    bool in_force() const
    {
        return in_force_;
    }

private:
    std::string path_;
    int lock_;
    int before_ = 0;
    bool changed_ = false;
    bool in_force_ = false;
};

// The status of path, not following a link there; st_mode 0 if there is nothing.
struct stat status_of(const fs::path& path)
{
    struct stat status = {};
    lstat(path.c_str(), &status);
    return status;
}

// The value of a file's extended attribute, or nothing if it has none of that name.
bytes attribute(const fs::path& path, const char* name)
{
    bytes value(256);
    const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
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

// Sets path's inode flags (chattr) to set, unless it is -1; returns them as they are then: none
// where the file system keeps none, and -1 where it refuses to set them.
int flags(const fs::path& path, int set = -1)
{
    const int file = open(path.c_str(), O_RDONLY);
    int flags = set;
    const bool done = ioctl(file, set < 0 ? FS_IOC_GETFLAGS : FS_IOC_SETFLAGS, &flags) == 0;
    close(file);
    return done ? flags : set < 0 ? 0 : -1;
}

// Where the tool opens its output's name to be judged by the kernel: for writing, creating nothing.
bool judging_open(const syscall_entry& call)
{
    const auto flags = static_cast<int>(call.args[2]);
    return call.nr == SYS_openat && (flags & O_ACCMODE) == O_WRONLY &&
           (flags & (O_CREAT | O_PATH | O_TMPFILE)) == 0;
}

bool at_fdatasync(const syscall_entry& call)
{
    return call.nr == SYS_fdatasync;
}

// The tests run in a scratch directory holding the input scan.raw. As root, in one that others may
// enter (made in /tmp or /var/tmp, on the same file system, if they can't reach TMPDIR), from which
// they may start the tool, there are also: private/file, a file of root's that nobody else may
// read; shared/, a directory anyone may write but where only an entry's owner may remove it (mode
// 1777, as /tmp), holding root's input scan.raw and the victim's victim.raw; and home/, the
// victim's own directory, holding its input scan.raw.
class OutputSafety : public Converter {
protected:
    void SetUp() override
    {
        // What the tests make, other accounts must read, whatever umask they run under (077, say).
        umask_before = umask(022);
        Converter::SetUp();
        if (geteuid() != 0)
            not_as_root = "it needs root: other users and mounts";
        else if (under_emulator)
            not_as_root = cant_trace;
        else if (not_as_root = why_others_cant_start_tool(); not_as_root.empty())
            not_as_root = open_to(attacker, attacker); // perhaps a fresh scratch directory
        write_file(dir / "scan.raw", raw);
        if (!not_as_root.empty())
            return;
        secret = dir / "private" / "file";
        shared = dir / "shared";
        home = dir / "home";
        fs::create_directories(dir / "private");
        fs::create_directories(home);
        write_file(secret, secret_text);
        fs::create_directory(shared);
        if (lchown(secret.c_str(), attacker, attacker) != 0 ||
            status_of(secret).st_uid != attacker || lchown(secret.c_str(), 0, 0) != 0)
            not_as_root = "this file system keeps no owners";
        else if (chmod((dir / "private").c_str(), 0700) != 0 || chmod(shared.c_str(), 01777) != 0 ||
                 (status_of(shared).st_mode & S_ISVTX) == 0)
            not_as_root = "this file system keeps no permission bits";
        for (const fs::path& input :
             {shared / "scan.raw", shared / "victim.raw", home / "scan.raw"})
            write_file(input, raw);
        for (const fs::path& path : {home, shared / "victim.raw", home / "scan.raw"})
            lchown(path.c_str(), victim, victim);
    }

    void TearDown() override
    {
        Converter::TearDown();
        umask(umask_before);
    }

    // Whether the parts that need root, other users and mounts can run here; where not, says on the
    // test's output that the rest of the row is left out, and why.
    bool as_root() const
    {
        if (!not_as_root.empty())
            std::printf("[   PART   ] left out, as %s\n", not_as_root.c_str());
        return not_as_root.empty();
    }

    // Plants a symbolic link at path, owned by owner as if made by that user.
    static void plant_link(const fs::path& target, const fs::path& path, uid_t owner = attacker)
    {
        fs::create_symlink(target, path);
        ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
    }

    // Makes a file of contents at path, owned by owner and with mode.
    static void plant_file(const fs::path& path, uid_t owner, mode_t mode, const bytes& contents)
    {
        write_file(path, contents);
        ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }

    const bytes raw = raw_input(512 * 512);
    const bytes old{'o', 'l', 'd'};
    const bytes secret_text{'s', 'e', 'c', 'r', 'e', 't'};
    mode_t umask_before = 0;
    std::string not_as_root;
    fs::path secret;
    fs::path shared;
    fs::path home;
};

TEST_F(OutputSafety, DoesAtTheNameWhatTheReadmeSaysForWhatStandsThere)
{
    const fs::path output = dir / "scan.raw.bmp";
    const auto expect_untouched = [&](const fs::path& path, const bytes& contents, uid_t owner) {
        EXPECT_EQ(read_file(path), contents) << path;
        EXPECT_EQ(status_of(path).st_uid, owner) << path;
    };
    // Each row of the README's table, in its order.
    const auto row = [](const char* stands, const std::function<void()>& check) {
        SCOPED_TRACE(stands);
        check();
    };
    row("nothing", [&] {
        // Made as fopen makes it, with mode 0666 less the umask, and seen under the name only once
        // complete and on the disk.
        if (under_emulator || !part_needs(keeps_modes(), "chmod"))
            return;
        bool synced = false;
        expect_converted(run_held(
                             dir, {"scan.raw"}, [] { umask(027); }, at_fdatasync,
                             [&](pid_t) { synced = !fs::exists(output); }),
                         output, raw);
        EXPECT_TRUE(synced);
        EXPECT_EQ(status_of(output).st_mode & 07777, 0640U);
        fs::remove(output);
    });
    row("a regular file you may write", [&] {
        // Replaced whole, keeping its permission bits, its ACL (here: owner rw, a second account
        // rw, the owning group nothing, which mode 0660 alone would open to the whole group), other
        // extended attributes and inode flags (chattr: nodump, DAX); taking none from a default ACL
        // on the directory, nor its DAX flag. A directory that can't be replaced so rewrites the
        // file in place instead.
        if (!part_needs(replaces_whole(), "chmod, nor one mode for all"))
            return;
        constexpr std::uint32_t none = ~0U;
        const bytes shared_with_one = acl(
            {{0x01, 6, none}, {0x02, 6, 4003}, {0x04, 0, none}, {0x10, 6, none}, {0x20, 0, none}});
        const bytes inherited = acl(
            {{0x01, 7, none}, {0x02, 7, 4004}, {0x04, 5, none}, {0x10, 7, none}, {0x20, 5, none}});
        write_file(output, old);
        chmod(output.c_str(), 0640);
        const mode_t mode_before = status_of(output).st_mode;
        expect_converted(run_tool(dir, {"scan.raw"}), output, raw);
        EXPECT_EQ(status_of(output).st_mode, mode_before);
        const auto set = [](const fs::path& path, const char* name, const bytes& value) {
            return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
        };
        if (part_needs(set(output, "system.posix_acl_access", shared_with_one) &&
                           set(dir, "system.posix_acl_default", inherited) &&
                           set(output, "user.note", {'n'}),
                       "ACLs or user.* attributes")) {
            const bool nodump = flags(output, FS_NODUMP_FL) >= 0;
            const mode_t mode = status_of(output).st_mode; // 0660, as the ACL sets it
            expect_converted(run_tool(dir, {"scan.raw"}), output, raw);
            EXPECT_EQ(attribute(output, "system.posix_acl_access"), shared_with_one);
            EXPECT_EQ(attribute(output, "user.note"), bytes{'n'});
            EXPECT_EQ(status_of(output).st_mode, mode);
            EXPECT_EQ((flags(output) & FS_NODUMP_FL) != 0, nodump);
            ASSERT_EQ(removexattr(output.c_str(), "system.posix_acl_access"), 0);
            ASSERT_EQ(chmod(output.c_str(), 0640), 0);
            expect_converted(run_tool(dir, {"scan.raw"}), output, raw);
            EXPECT_EQ(attribute(output, "system.posix_acl_access"), bytes{});
            EXPECT_EQ(status_of(output).st_mode & 07777, 0640U);
            removexattr(dir.c_str(), "system.posix_acl_default");
        }
        for (const bool on_file : {true, false}) {
            write_file(output, old);
            if (!part_needs(flags(on_file ? output : dir, FS_DAX_FL) >= 0, "DAX (chattr +x)"))
                break;
            expect_converted(run_tool(dir, {"scan.raw"}), output, raw);
            EXPECT_EQ((flags(output) & FS_DAX_FL) != 0, on_file);
            flags(dir, 0);
        }
        fs::remove(output);
        if (!as_root())
            return;
        // Its trusted.* attributes are kept for root, who can read them, but not for a user who
        // can't (the README says so).
        for (const auto& [in, input, runner, kept] :
             {std::tuple{dir, "shared/scan.raw", child_setup{}, true},
              std::tuple{home, "scan.raw", as_user(victim, victim), false}}) {
            const fs::path theirs = in / (std::string(input) + ".bmp");
            plant_file(theirs, in == home ? victim : 0, 0640, old);
            if (!part_needs(setxattr(theirs.c_str(), "trusted.note", "t", 1, 0) == 0,
                            "trusted.* attributes"))
                break;
            expect_converted(run_tool(in, {input}, runner), theirs, raw);
            EXPECT_EQ(attribute(theirs, "trusted.note"), kept ? bytes{'t'} : bytes{});
            fs::remove(theirs);
        }
        // In a drop box (mode 0733: others may add names but not list them), as its user.
        ASSERT_EQ(chmod(home.c_str(), 0733), 0);
        ASSERT_EQ(lchown(home.c_str(), 0, 0), 0);
        plant_file(home / "scan.raw.bmp", victim, 0644, old);
        expect_converted(run_tool(home, {"scan.raw"}, as_user(victim, victim)),
                         home / "scan.raw.bmp", raw);
        ASSERT_EQ(lchown(home.c_str(), victim, victim), 0);
        ASSERT_EQ(chmod(home.c_str(), 0755), 0);
        fs::remove(home / "scan.raw.bmp");
    });
    row("a file you may write but that can't be replaced so", [&] {
        if (!as_root())
            return;
        // Rewritten in place, its data on the disk before the run ends: a file of another member of
        // the group, in their directory; a file in a directory the user may not write; a file its
        // owner may only write, whose attributes it may not read.
        const fs::path by_team = dir / "team";
        fs::create_directory(by_team);
        ASSERT_EQ(chown(by_team.c_str(), 0, team), 0);
        write_file(by_team / "scan.raw", raw);
        for (const auto& [in, owner, group, mode, runner] :
             {std::tuple{by_team, attacker, team, 0664, as_user(victim, 100, {team})},
              std::tuple{by_team, victim, victim, 0644, as_user(victim, victim)},
              std::tuple{home, victim, victim, 0200, as_user(victim, victim)}}) {
            SCOPED_TRACE(mode);
            const fs::path theirs = in / "scan.raw.bmp";
            plant_file(theirs, owner, static_cast<mode_t>(mode), old);
            ASSERT_EQ(chown(theirs.c_str(), owner, group), 0);
            ASSERT_EQ(chmod(by_team.c_str(), owner == victim ? 0755 : 0775), 0);
            const bool noted = setxattr(theirs.c_str(), "user.note", "n", 1, 0) == 0;
            if (!part_needs(noted || mode != 0200, "user.* attributes"))
                continue;
            const struct stat before = status_of(theirs);
            bool synced = false;
            expect_converted(
                run_held(in, {"scan.raw"}, runner, at_fdatasync, [&](pid_t) { synced = true; }),
                theirs, raw);
            EXPECT_TRUE(synced);
            const struct stat after = status_of(theirs);
            EXPECT_EQ(std::tie(after.st_ino, after.st_uid, after.st_gid),
                      std::tie(before.st_ino, before.st_uid, before.st_gid));
            EXPECT_EQ(attribute(theirs, "user.note"), noted ? bytes{'n'} : bytes{});
            fs::remove(theirs);
        }
        // In a directory that takes no removals (chattr +a), where a new name is made as usual, and
        // no temporary name is left.
        const fs::path kept = dir / "append_only";
        fs::create_directory(kept);
        for (const char* name : {"scan.raw", "other.raw"})
            write_file(kept / name, raw);
        write_file(kept / "scan.raw.bmp", old);
        if (part_needs(flags(kept, FS_APPEND_FL) >= 0, "append-only directories")) {
            const ino_t before = status_of(kept / "scan.raw.bmp").st_ino;
            expect_converted(run_tool(kept, {"scan.raw"}), kept / "scan.raw.bmp", raw);
            EXPECT_EQ(status_of(kept / "scan.raw.bmp").st_ino, before);
            expect_converted(run_tool(kept, {"other.raw"}), kept / "other.raw.bmp", raw);
            flags(kept, 0);
            EXPECT_EQ(std::distance(fs::directory_iterator(kept), {}), 4);
        }
        // At a mount point (a file bind-mounted at the name).
        write_file(output, old);
        write_file(dir / "mounted.bmp", old);
        const child_setup bound = in_own_mounts([&] {
            if (mount((dir / "mounted.bmp").c_str(), output.c_str(), nullptr, MS_BIND, nullptr) !=
                0)
                setup_failed("bind mount");
        });
        expect_converted(run_tool(dir, {"scan.raw"}, bound), dir / "mounted.bmp", raw);
        EXPECT_EQ(read_file(output), old);
        fs::remove(output);
        // In a directory whose files take its project (chattr +P), for a file of another project,
        // which the kernel lets no new file take its name from (EXDEV).
        const fs::path project = dir / "project";
        fs::create_directory(project);
        write_file(project / "scan.raw", raw);
        write_file(project / "scan.raw.bmp", old);
        const auto set_project = [](const fs::path& path, unsigned id, unsigned add) {
            const int file = open(path.c_str(), O_RDONLY);
            fsxattr attributes = {};
            bool set = ioctl(file, FS_IOC_FSGETXATTR, &attributes) == 0;
            attributes.fsx_projid = id;
            attributes.fsx_xflags |= add;
            set = set && ioctl(file, FS_IOC_FSSETXATTR, &attributes) == 0;
            close(file);
            return set;
        };
        if (part_needs(set_project(project, 7, FS_XFLAG_PROJINHERIT) &&
                           set_project(project / "scan.raw.bmp", 8, 0),
                       "projects (chattr +P)")) {
            const ino_t before = status_of(project / "scan.raw.bmp").st_ino;
            expect_converted(run_tool(project, {"scan.raw"}), project / "scan.raw.bmp", raw);
            EXPECT_EQ(status_of(project / "scan.raw.bmp").st_ino, before);
        }
        // Never for want of room, which would lose the old file: on a file system with no inode to
        // spare, the run fails and the old file stays, as seen from the tool's own mounts as it
        // ends.
        const fs::path full = dir / "full";
        fs::create_directory(full);
        const child_setup no_inodes = in_own_mounts([&] {
            if (mount("tmpfs", full.c_str(), "tmpfs", 0, "nr_inodes=3") != 0) // root and two
                setup_failed("mounting a tmpfs");
            write_file(full / "scan.raw", raw);
            write_file(full / "scan.raw.bmp", old);
        });
        const auto at_exit = [](const syscall_entry& call) { return call.nr == SYS_exit_group; };
        expect_failure(run_held(dir, {"full/scan.raw"}, no_inodes, at_exit,
                                [&](pid_t tool) {
                                    const fs::path seen =
                                        "/proc/" + std::to_string(tool) + "/root" + full.string();
                                    EXPECT_EQ(read_file(seen / "scan.raw.bmp"), old);
                                    EXPECT_EQ(std::distance(fs::directory_iterator(seen), {}), 2);
                                }),
                       "open write file error.\n");
    });
    row("a file you may not write; an append-only or immutable file", [&] {
        if (!as_root())
            return;
        // Refused by the kernel's open before a byte is written: room for only a few bytes would
        // otherwise end the run with a write error.
        for (const int flag : {FS_APPEND_FL, FS_IMMUTABLE_FL}) {
            write_file(output, old);
            if (!part_needs(flags(output, flag) >= 0, "chattr +a or +i"))
                break;
            expect_failure(run_tool(dir, {"scan.raw"}, file_size_limit(1000)),
                           "open write file error.\n");
            flags(output, 0);
            EXPECT_EQ(read_file(output), old);
        }
        fs::remove(output);
        plant_file(shared / "victim.raw.bmp", 0, 0644, old);
        expect_failure(run_tool(shared, {"victim.raw"}, as_user(victim, victim)),
                       "open write file error.\n");
        expect_untouched(shared / "victim.raw.bmp", old, 0);
        fs::remove(shared / "victim.raw.bmp");
    });
    row("a symlink", [&] {
        // Followed, and so is a chain of them: the end is replaced, or made if it is missing, and
        // the links stay. Where they lead nowhere, nothing is made there before the file is
        // complete: a run that fails leaves nothing. One to a device: /dev/null takes the file; one
        // to the tool's own standard output, a pipe, gets it.
        if (!part_needs(has_links(), "links"))
            return;
        fs::create_directory(dir / "kept");
        fs::create_symlink("kept/chain.bmp", output);
        fs::create_symlink("scan.bmp", dir / "kept" / "chain.bmp");
        expect_failure(run_tool(dir, {"scan.raw"}, file_size_limit(100'000)),
                       "write file error.\n");
        EXPECT_EQ(fs::directory_iterator(dir / "kept")->path().filename(), "chain.bmp");
        for (int run = 0; run < 2; ++run) {
            expect_converted(run_tool(dir, {"scan.raw"}), dir / "kept" / "scan.bmp", raw);
            EXPECT_TRUE(fs::is_symlink(output));
            EXPECT_TRUE(fs::is_symlink(dir / "kept" / "chain.bmp"));
        }
        fs::remove_all(dir / "kept");
        fs::remove(output);
        fs::create_symlink("/dev/null", output);
        EXPECT_EQ(run_tool(dir, {"scan.raw"}).status, 0);
        EXPECT_TRUE(fs::is_symlink(output));
        fs::remove(output);
        fs::create_symlink("/proc/self/fd/1", output);
        const run_result piped = run_tool(dir, {"scan.raw"});
        EXPECT_EQ(piped.status, 0);
        EXPECT_EQ(bytes(piped.out.begin(), piped.out.end()), expected_bmp(raw));
        fs::remove(output);
        if (!as_root())
            return;
        // One that another user owns, in a sticky directory anyone may write, is not followed: to a
        // file of root's, through a chain the other user controls, to a file to be made, to root's
        // own standard output. The kernel refuses it with protected_symlinks set, the tool whatever
        // it is set to; nor for a user who isn't root, whose own file it leads to, nor inside a
        // user namespace, where the link's owner and the directory's both show as the overflow id.
        fs::create_directory(shared / "own");
        ASSERT_EQ(chown((shared / "own").c_str(), attacker, attacker), 0);
        plant_link("../../private/file", shared / "own" / "chain");
        plant_file(home / "notes.txt", victim, 0644, old);
        // A sticky directory of the attacker's own, where the attacker's links are the owner's and
        // so followed.
        const fs::path owned = dir / "owned";
        fs::create_directory(owned);
        ASSERT_EQ(chown(owned.c_str(), attacker, attacker), 0);
        ASSERT_EQ(chmod(owned.c_str(), 01777), 0);
        write_file(owned / "scan.raw", raw);
        for (const int level : {0, 1}) {
            SCOPED_TRACE(level);
            const protection symlinks("symlinks", level);
            if (!symlinks.in_force())
                continue;
            for (const fs::path& target : {secret, shared / "own" / "chain",
                                           dir / "private" / "made", fs::path("/proc/self/fd/1")}) {
                SCOPED_TRACE(target);
                plant_link(target, shared / "scan.raw.bmp");
                expect_failure(run_tool(shared, {"scan.raw"}), "open write file error.\n");
                EXPECT_EQ(read_file(secret), secret_text);
                EXPECT_EQ(fs::directory_iterator(dir / "private")->path(), secret);
                fs::remove(shared / "scan.raw.bmp");
            }
            for (const child_setup& runner :
                 {as_user(victim, victim), in_own_user_namespace(victim)}) {
                plant_link(home / "notes.txt", shared / "victim.raw.bmp");
                expect_failure(run_tool(shared, {"victim.raw"}, runner),
                               "open write file error.\n");
                expect_untouched(home / "notes.txt", old, victim);
                fs::remove(shared / "victim.raw.bmp");
            }
            // But root's own link is followed there, and so is one of the directory's owner.
            plant_link(dir / "private" / "made", shared / "scan.raw.bmp", 0);
            expect_converted(run_tool(shared, {"scan.raw"}), dir / "private" / "made", raw);
            plant_link("end.bmp", owned / "scan.raw.bmp");
            expect_converted(run_tool(owned, {"scan.raw"}), owned / "end.bmp", raw);
            for (const fs::path& path : {shared / "scan.raw.bmp", dir / "private" / "made",
                                         owned / "scan.raw.bmp", owned / "end.bmp"})
                fs::remove(path);
        }
        // A link along the output's path, not at its end, which the kernel follows as any other
        // even with protected_symlinks set: fopen writes there, and so does the tool.
        if (const protection symlinks("symlinks", 1); symlinks.in_force()) {
            plant_link(dir / "private", shared / "along");
            write_file(dir / "private" / "scan.raw", raw);
            expect_converted(run_tool(shared, {"along/scan.raw"}), dir / "private" / "scan.raw.bmp",
                             raw);
            for (const fs::path& path :
                 {shared / "along", dir / "private" / "scan.raw", dir / "private" / "scan.raw.bmp"})
                fs::remove(path);
        }
        // A link that leads nowhere when the tool looks, and to another user's file when it opens
        // the name: the name changed hands, and the run fails, changing nothing.
        fs::create_directory(dir / "third");
        plant_file(dir / "third" / "file", victim, 0660, {});
        ASSERT_EQ(chmod(owned.c_str(), 0755), 0);
        plant_link(dir / "third" / "missing", owned / "scan.raw.bmp");
        expect_failure(run_held(owned, {"scan.raw"}, {}, judging_open,
                                [&](pid_t) {
                                    fs::remove(owned / "scan.raw.bmp");
                                    plant_link(dir / "third" / "file", owned / "scan.raw.bmp");
                                }),
                       "open write file error.\n");
        expect_untouched(dir / "third" / "file", {}, victim);
        EXPECT_EQ(status_of(dir / "third" / "file").st_mode & 07777, 0660U);
        // On a file system mounted nosymfollow, fopen follows no link (ELOOP), not even one that
        // leads nowhere and is gone by the time the name is opened.
        const fs::path mounted = dir / "mounted";
        fs::create_directory(mounted);
        const child_setup nosymfollow = in_own_mounts([&] {
            if (mount("tmpfs", mounted.c_str(), "tmpfs", MS_NOSYMFOLLOW, nullptr) != 0)
                setup_failed("mounting a tmpfs nosymfollow");
            write_file(mounted / "scan.raw", raw);
            write_file(mounted / "other.raw", raw);
            fs::create_symlink(secret, mounted / "scan.raw.bmp");
            fs::create_symlink(dir / "private" / "made", mounted / "other.raw.bmp");
        });
        expect_failure(run_tool(dir, {"mounted/scan.raw"}, nosymfollow),
                       "open write file error.\n");
        EXPECT_EQ(read_file(secret), secret_text);
        expect_failure(run_held(dir, {"mounted/other.raw"}, nosymfollow, judging_open,
                                [&](pid_t tool) {
                                    fs::remove("/proc/" + std::to_string(tool) + "/root" +
                                               mounted.string() + "/other.raw.bmp");
                                }),
                       "open write file error.\n");
        EXPECT_FALSE(fs::exists(dir / "private" / "made"));
    });
    row("a file or FIFO that another user made in a sticky directory", [&] {
        if (!as_root())
            return;
        // Neither written nor replaced, so that the picture is not handed to its owner: in a sticky
        // directory anyone may write, or one its group may write. The kernel refuses it with
        // protected_regular (1; 2 for the group's directory) and protected_fifos set, the tool
        // whatever they are set to, and for root, another user, or a user inside a user namespace,
        // where the owner and the directory's both show as the overflow id.
        const fs::path grouped = dir / "grouped";
        fs::create_directory(grouped);
        ASSERT_EQ(chown(grouped.c_str(), 0, team), 0);
        ASSERT_EQ(chmod(grouped.c_str(), 01770), 0);
        write_file(grouped / "scan.raw", raw);
        for (const char* const setting : {"regular", "fifos"})
            for (const int level : {0, 1, 2}) {
                SCOPED_TRACE(std::string(setting) + "=" + std::to_string(level));
                const protection protected_kind(setting, level);
                if (!protected_kind.in_force())
                    continue;
                const bool fifo = std::string_view(setting) == "fifos";
                for (const auto& [in, input, runner] :
                     {std::tuple{shared, "scan.raw", child_setup{}},
                      std::tuple{shared, "victim.raw", as_user(victim, victim)},
                      std::tuple{shared, "victim.raw", in_own_user_namespace(victim)},
                      std::tuple{grouped, "scan.raw", child_setup{}}}) {
                    SCOPED_TRACE(input);
                    const fs::path planted = in / (std::string(input) + ".bmp");
                    if (fifo)
                        ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
                    else
                        write_file(planted, {'p'});
                    ASSERT_EQ(chown(planted.c_str(), attacker, attacker), 0);
                    ASSERT_EQ(chmod(planted.c_str(), fifo ? 0666 : 04777), 0);
                    expect_failure(run_tool(in, {input}, runner), "open write file error.\n");
                    EXPECT_EQ(status_of(planted).st_uid, attacker);
                    if (!fifo) {
                        EXPECT_EQ(read_file(planted), bytes{'p'});
                    }
                    fs::remove(planted);
                }
                if (fifo)
                    continue;
                // Root's own file there, or one of the directory's owner, is replaced.
                write_file(shared / "scan.raw.bmp", old);
                expect_converted(run_tool(shared, {"scan.raw"}), shared / "scan.raw.bmp", raw);
                ASSERT_EQ(chown(grouped.c_str(), attacker, team), 0);
                plant_file(grouped / "scan.raw.bmp", attacker, 0644, old);
                expect_converted(run_tool(grouped, {"scan.raw"}), grouped / "scan.raw.bmp", raw);
                ASSERT_EQ(chown(grouped.c_str(), 0, team), 0);
                fs::remove(shared / "scan.raw.bmp");
                fs::remove(grouped / "scan.raw.bmp");
            }
        // Whatever the open reaches: here a FIFO the other user makes at the end of the victim's
        // own link, which led nowhere when the tool looked. Its reader gets nothing.
        const fs::path landing = shared / "landing.bmp";
        plant_link(landing, home / "scan.raw.bmp", victim);
        int reader = -1;
        expect_failure(run_held(home, {"scan.raw"}, as_user(victim, victim), judging_open,
                                [&](pid_t) {
                                    ASSERT_EQ(mkfifo(landing.c_str(), 0666), 0);
                                    ASSERT_EQ(chown(landing.c_str(), attacker, attacker), 0);
                                    ASSERT_EQ(chmod(landing.c_str(), 0666), 0);
                                    reader = open(landing.c_str(), O_RDONLY | O_NONBLOCK);
                                }),
                       "open write file error.\n");
        char byte = 0;
        EXPECT_LE(read(reader, &byte, 1), 0);
        close(reader);
        fs::remove(landing);
        fs::remove(home / "scan.raw.bmp");
    });
    row("a hard link", [&] {
        // The name gets the new file; the file's other names keep the old contents.
        if (!part_needs(has_links() && replaces_whole(), "links, or chmod"))
            return;
        write_file(output, old);
        fs::create_hard_link(output, dir / "other");
        expect_converted(run_tool(dir, {"scan.raw"}), output, raw);
        EXPECT_EQ(read_file(dir / "other"), old);
        fs::remove(dir / "other");
        fs::remove(output);
    });
    row("a FIFO or a device", [&] {
        // Written in place, never removed. (A device: /dev/null, in the row of links.)
        if (!part_needs(has_fifos(), "FIFOs"))
            return;
        ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
        const started_tool tool = start_tool(dir, {"scan.raw"});
        const std::string piped = contents_of(open(output.c_str(), O_RDONLY));
        EXPECT_EQ(wait_for(tool).status, 0);
        EXPECT_EQ(bytes(piped.begin(), piped.end()), expected_bmp(raw));
        EXPECT_TRUE(fs::is_fifo(output));
        fs::remove(output);
    });
    row("a directory or a socket", [&] {
        // (A directory: Converter.ReportsAnOutputItCantCreate.)
        const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {AF_UNIX, {}};
        output.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (part_needs(output.string().size() < sizeof address.sun_path &&
                           bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
                               0,
                       "sockets at so long a path")) {
            expect_failure(run_tool(dir, {"scan.raw"}), "open write file error.\n");
            EXPECT_TRUE(fs::is_socket(output));
        }
        fs::remove(output);
        close(listening);
    });
}

} // namespace
