// Giving a new file all that the file it replaces has besides its contents.
#include "file_attributes.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// The largest list of names and the largest value the kernel hands out. Static, so that only
// the pages a file's attributes fill are ever touched: nearly always none.
constexpr std::size_t attributes_max = 65536;
std::array<char, attributes_max> from_names;
std::array<char, attributes_max> to_names;
std::array<char, attributes_max> from_value;
std::array<char, attributes_max> to_value;

// How two reads of the same kind of attribute, of from and of to, end: both done; both saying
// the file system keeps none, so that there is nothing to carry (the two files share one file
// system); or else failed, as an attribute could be lost.
enum class pair_read { read, none, failed };

pair_read both_read(int from_error, int to_error)
{
    if (from_error == 0 && to_error == 0)
        return pair_read::read;
    return keeps_no_such_attribute(from_error) && keeps_no_such_attribute(to_error)
               ? pair_read::none
               : pair_read::failed;
}

// Calls act(name) for each name of a list as flistxattr makes it, until it returns false;
// false if one did.
template <typename Act> bool for_each_name(std::string_view names, Act act)
{
    for (const char* name = names.data(); name < names.data() + names.size();
         name += std::strlen(name) + 1)
        if (!act(name))
            return false;
    return true;
}

// True if name is among names, a list as flistxattr makes it.
bool listed(std::string_view names, std::string_view name)
{
    return !for_each_name(names, [&](const char* listed_name) { return listed_name != name; });
}

// The attributes that the kernel hands out to a new file itself, and so may have to be taken
// from one: a default ACL's offspring, say. Labels of security modules are theirs to give.
bool removable(std::string_view name)
{
    return name.starts_with("user.") || name.starts_with("trusted.") ||
           name == "system.posix_acl_access";
}

// True for the attributes not to be copied as such: a file capability, which any write removes,
// and xfs's own names for a file's ACLs, which it lists to root beside system.posix_acl_access
// and keeps in step with it.
bool left_alone(std::string_view name)
{
    return name == "security.capability" || name == "trusted.SGI_ACL_FILE" ||
           name == "trusted.SGI_ACL_DEFAULT";
}

// The result of a call that sets an attribute: done if it succeeded.
step_result set(bool succeeded)
{
    return succeeded ? step_result::done : result_of_error(errno);
}

// Gives to the extended attributes of from, the access ACL among them, and takes from it those
// that from lacks.
step_result copy_extended_attributes(int from, int to)
{
    const ssize_t from_length = flistxattr(from, from_names.data(), from_names.size());
    const int from_error = from_length < 0 ? errno : 0;
    const ssize_t to_length = flistxattr(to, to_names.data(), to_names.size());
    const int to_error = to_length < 0 ? errno : 0;
    const pair_read lists = both_read(from_error, to_error);
    if (lists != pair_read::read)
        return lists == pair_read::none ? step_result::done : step_result::failed;
    const std::string_view from_list(from_names.data(), static_cast<std::size_t>(from_length));
    const std::string_view to_list(to_names.data(), static_cast<std::size_t>(to_length));
    step_result result = step_result::done;
    for_each_name(from_list, [&](const char* name) {
        if (left_alone(name))
            return true;
        const ssize_t size = fgetxattr(from, name, from_value.data(), from_value.size());
        if (size < 0) {
            result = step_result::failed;
            return false;
        }
        const ssize_t now = fgetxattr(to, name, to_value.data(), to_value.size());
        const auto bytes = static_cast<std::size_t>(size);
        if (now == size && std::memcmp(from_value.data(), to_value.data(), bytes) == 0)
            return true;
        result = set(fsetxattr(to, name, from_value.data(), bytes, 0) == 0);
        return result == step_result::done;
    });
    if (result != step_result::done)
        return result;
    for_each_name(to_list, [&](const char* name) {
        if (!removable(name) || left_alone(name) || listed(from_list, name))
            return true;
        result = set(fremovexattr(to, name) == 0 || errno == ENODATA);
        return result == step_result::done;
    });
    return result;
}

// The inode flags (chattr) that say how a file is to be kept, which a new file may inherit
// from its directory and which its owner may change: not append-only or immutable, which the
// kernel's open refuses to write anyway.
constexpr int carried_flags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL |
                              FS_NOCOW_FL;

// Reads the value of request (FS_IOC_GETFLAGS, FS_IOC_FSGETXATTR) for from and for to.
template <typename Value>
pair_read read_both(int from, int to, unsigned long request, Value& from_read, Value& to_read)
{
    const int from_error = ioctl(from, request, &from_read) == 0 ? 0 : errno;
    const int to_error = ioctl(to, request, &to_read) == 0 ? 0 : errno;
    return both_read(from_error, to_error);
}

// Gives to from's carried inode flags and its project (for quotas), where the file system
// keeps them.
step_result copy_inode_flags(int from, int to)
{
    int from_flags = 0;
    int to_flags = 0;
    const pair_read flags = read_both(from, to, FS_IOC_GETFLAGS, from_flags, to_flags);
    if (flags == pair_read::failed)
        return step_result::failed;
    if (flags == pair_read::read && ((from_flags ^ to_flags) & carried_flags) != 0) {
        int given = (to_flags & ~carried_flags) | (from_flags & carried_flags);
        if (ioctl(to, FS_IOC_SETFLAGS, &given) != 0)
            return result_of_error(errno);
    }
    fsxattr from_project = {};
    fsxattr to_project = {};
    const pair_read projects = read_both(from, to, FS_IOC_FSGETXATTR, from_project, to_project);
    if (projects != pair_read::read)
        return projects == pair_read::none ? step_result::done : step_result::failed;
    if (from_project.fsx_projid == to_project.fsx_projid)
        return step_result::done;
    to_project.fsx_projid = from_project.fsx_projid;
    return set(ioctl(to, FS_IOC_FSSETXATTR, &to_project) == 0);
}

} // namespace

step_result copy_attributes(int from, const struct stat& from_status, int to)
{
    struct stat status = {};
    if (fstat(to, &status) != 0)
        return step_result::failed;
    // Owner and group apart: a member of the file's group may give it that group but not its
    // owner. First, as a change of owner clears the set-user-ID and set-group-ID bits. EINVAL:
    // an owner this user namespace or mount can't represent, which is as final.
    const auto chown_result = [](bool succeeded) {
        return succeeded || errno != EINVAL ? set(succeeded) : step_result::refused;
    };
    if (status.st_uid != from_status.st_uid) {
        const step_result owner =
            chown_result(fchown(to, from_status.st_uid, static_cast<gid_t>(-1)) == 0);
        if (owner != step_result::done)
            return owner;
    }
    if (status.st_gid != from_status.st_gid) {
        const step_result group =
            chown_result(fchown(to, static_cast<uid_t>(-1), from_status.st_gid) == 0);
        if (group != step_result::done)
            return group;
    }
    // The ACL sets the permission bits too; those set after it set the ACL's mask and the
    // owner's and others' entries, which agree with it.
    const step_result extended = copy_extended_attributes(from, to);
    if (extended != step_result::done)
        return extended;
    if (fstat(to, &status) != 0)
        return step_result::failed;
    constexpr mode_t mode_bits = 07777;
    if ((status.st_mode & mode_bits) != (from_status.st_mode & mode_bits)) {
        if (fchmod(to, from_status.st_mode & mode_bits) != 0)
            return result_of_error(errno);
        // The kernel drops the set-group-ID bit, without failing, for a group the caller is not
        // in: so the bits are read back.
        if (fstat(to, &status) != 0)
            return step_result::failed;
        if ((status.st_mode & mode_bits) != (from_status.st_mode & mode_bits))
            return step_result::refused;
    }
    return copy_inode_flags(from, to);
}
