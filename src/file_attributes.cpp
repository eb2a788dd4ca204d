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

// The names of file's extended attributes, each NUL-terminated, one after another: empty where
// the file system keeps none. False if they can't be listed.
bool list_names(int file, std::array<char, attributes_max>& buffer, std::string_view& names)
{
    const ssize_t length = flistxattr(file, buffer.data(), buffer.size());
    if (length < 0 && errno != ENOTSUP)
        return false;
    names = std::string_view(buffer.data(), length < 0 ? 0 : static_cast<std::size_t>(length));
    return true;
}

// Calls act(name) for each name of a list that list_names made, until it returns false; false
// if one did.
template <typename Act> bool for_each_name(std::string_view names, Act act)
{
    for (const char* name = names.data(); name < names.data() + names.size();
         name += std::strlen(name) + 1)
        if (!act(name))
            return false;
    return true;
}

// True if name is among names, as listed by list_names.
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

// Gives to the extended attributes of from, the access ACL among them, and takes from it those
// that from lacks.
bool copy_extended_attributes(int from, int to)
{
    std::string_view from_list;
    std::string_view to_list;
    if (!list_names(from, from_names, from_list) || !list_names(to, to_names, to_list))
        return false;
    const bool given = for_each_name(from_list, [&](const char* name) {
        if (left_alone(name))
            return true;
        const ssize_t size = fgetxattr(from, name, from_value.data(), from_value.size());
        if (size < 0)
            return false;
        const ssize_t now = fgetxattr(to, name, to_value.data(), to_value.size());
        const auto bytes = static_cast<std::size_t>(size);
        return (now == size && std::memcmp(from_value.data(), to_value.data(), bytes) == 0) ||
               fsetxattr(to, name, from_value.data(), bytes, 0) == 0;
    });
    return given && for_each_name(to_list, [&](const char* name) {
               return !removable(name) || left_alone(name) || listed(from_list, name) ||
                      fremovexattr(to, name) == 0 || errno == ENODATA;
           });
}

// The inode flags (chattr) that say how a file is to be kept, which a new file may inherit
// from its directory and which its owner may change: not append-only or immutable, which the
// kernel's open refuses to write anyway.
constexpr int carried_flags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL |
                              FS_NOCOW_FL;

// Gives to from's carried inode flags and its project (for quotas), where the file system
// keeps them.
bool copy_inode_flags(int from, int to)
{
    int from_flags = 0;
    int to_flags = 0;
    if (ioctl(from, FS_IOC_GETFLAGS, &from_flags) != 0)
        from_flags = 0;
    if (ioctl(to, FS_IOC_GETFLAGS, &to_flags) != 0)
        to_flags = 0;
    if (((from_flags ^ to_flags) & carried_flags) != 0) {
        int flags = (to_flags & ~carried_flags) | (from_flags & carried_flags);
        if (ioctl(to, FS_IOC_SETFLAGS, &flags) != 0)
            return false;
    }
    fsxattr from_project = {};
    fsxattr to_project = {};
    if (ioctl(from, FS_IOC_FSGETXATTR, &from_project) != 0)
        from_project.fsx_projid = 0;
    if (ioctl(to, FS_IOC_FSGETXATTR, &to_project) != 0)
        to_project.fsx_projid = 0;
    if (from_project.fsx_projid == to_project.fsx_projid)
        return true;
    to_project.fsx_projid = from_project.fsx_projid;
    return ioctl(to, FS_IOC_FSSETXATTR, &to_project) == 0;
}

} // namespace

bool copy_attributes(int from, const struct stat& from_status, int to)
{
    struct stat status = {};
    if (fstat(to, &status) != 0)
        return false;
    // Owner and group apart: a member of the file's group may give it that group but not its
    // owner. First, as a change of owner clears the set-user-ID and set-group-ID bits.
    if (status.st_uid != from_status.st_uid &&
        fchown(to, from_status.st_uid, static_cast<gid_t>(-1)) != 0)
        return false;
    if (status.st_gid != from_status.st_gid &&
        fchown(to, static_cast<uid_t>(-1), from_status.st_gid) != 0)
        return false;
    // The ACL sets the permission bits too; those set after it set the ACL's mask and the
    // owner's and others' entries, which agree with it.
    if (!copy_extended_attributes(from, to) || fstat(to, &status) != 0)
        return false;
    constexpr mode_t mode_bits = 07777;
    if ((status.st_mode & mode_bits) != (from_status.st_mode & mode_bits)) {
        // The kernel drops the set-group-ID bit, without failing, for a group the caller is not
        // in: so the bits are read back.
        if (fchmod(to, from_status.st_mode & mode_bits) != 0 || fstat(to, &status) != 0)
            return false;
        if ((status.st_mode & mode_bits) != (from_status.st_mode & mode_bits)) {
            errno = EPERM;
            return false;
        }
    }
    return copy_inode_flags(from, to);
}
