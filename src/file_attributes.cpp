// Giving a new file all that the file it replaces has besides its contents.
#include "file_attributes.h"

#include "unique_fd.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <tuple>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

namespace {

// The largest list of names and value the kernel hands out. Static, so that only the pages a
// file's attributes fill are ever touched: nearly always none.
constexpr std::size_t attributes_max = 65536;
std::array<char, attributes_max> names;
std::array<char, attributes_max> value;
std::array<char, attributes_max> current;

constexpr std::string_view access_acl = "system.posix_acl_access";

// True for the errors by which a call that asks a file system about a kind of attribute (inode
// flags, a project, extended attributes) says it keeps none: ENOTTY, EOPNOTSUPP, EINVAL, no such
// request here; ENOSYS, none that an emulator such as qemu-user knows.
bool keeps_none(int error)
{
    return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// Gives to the extended attributes of from, its access ACL among them. Reading one takes read
// permission (user.*), so a file its owner may only write can't be replaced: refused. Nothing is
// dropped unseen: from's file system keeps none only if to's, the same, keeps none either.
step_result copy_extended_attributes(int from, int to)
{
    const ssize_t length = flistxattr(from, names.data(), names.size());
    if (length < 0)
        return keeps_none(errno) && flistxattr(to, nullptr, 0) < 0 && keeps_none(errno)
                   ? step_result::done
                   : step_result::failed;
    bool has_acl = false;
    for (const char* name = names.data(); name < names.data() + length;
         name += std::strlen(name) + 1) {
        has_acl = has_acl || name == access_acl;
        // A file capability, which any write removes, and xfs's own names for a file's ACLs,
        // which it lists to root beside system.posix_acl_access and keeps in step with it.
        if (std::string_view(name) == "security.capability" ||
            std::string_view(name).starts_with("trusted.SGI_ACL_"))
            continue;
        // ENODATA for trusted.*: listed (btrfs, FUSE) to a user who may not read it.
        const ssize_t size = fgetxattr(from, name, value.data(), value.size());
        if (size < 0 && errno == ENODATA && std::string_view(name).starts_with("trusted."))
            continue;
        if (size < 0)
            return errno == EACCES || errno == EPERM ? step_result::refused : step_result::failed;
        const auto bytes = static_cast<std::size_t>(size);
        if (fgetxattr(to, name, current.data(), current.size()) == size &&
            std::memcmp(value.data(), current.data(), bytes) == 0)
            continue;
        if (fsetxattr(to, name, value.data(), bytes, 0) != 0)
            return result_of_error(errno);
    }
    // A default ACL on the directory gives a new file an access ACL that the old one may lack.
    const bool acl_as_old = has_acl || fremovexattr(to, access_acl.data()) == 0 ||
                            errno == ENODATA || keeps_none(errno);
    return acl_as_old ? step_result::done : result_of_error(errno);
}

// The inode flags (chattr) on how a file is kept, which a new file may inherit from its directory
// and its owner may change; not append-only or immutable, which the kernel's open refuses anyway.
constexpr int carried_flags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL |
                              FS_NOCOW_FL | FS_DAX_FL;

// Gives to from's carried inode flags and its project (for quotas), where the file system keeps
// them. Into a directory whose files take its project (chattr +P) the kernel lets no file of
// another link or be renamed (EXDEV), so there the old file is rewritten in place; where the
// directory can't be read for its flags (a drop box), the naming fails.
step_result copy_inode_flags(int from, int to, int directory)
{
    int from_flags = 0;
    int to_flags = 0;
    const bool flagged = ioctl(from, FS_IOC_GETFLAGS, &from_flags) == 0;
    if (flagged ? ioctl(to, FS_IOC_GETFLAGS, &to_flags) != 0 : !keeps_none(errno))
        return step_result::failed;
    int given = (to_flags & ~carried_flags) | (from_flags & carried_flags);
    if (given != to_flags && ioctl(to, FS_IOC_SETFLAGS, &given) != 0)
        return result_of_error(errno);
    fsxattr from_project = {};
    fsxattr to_project = {};
    if (ioctl(from, FS_IOC_FSGETXATTR, &from_project) != 0)
        return keeps_none(errno) ? step_result::done : step_result::failed;
    if (ioctl(to, FS_IOC_FSGETXATTR, &to_project) != 0)
        return step_result::failed;
    if (from_project.fsx_projid == to_project.fsx_projid)
        return step_result::done;
    const unique_fd readable(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fsxattr directory_project = {};
    if (readable.is_open() && ioctl(readable.fd, FS_IOC_FSGETXATTR, &directory_project) == 0 &&
        (directory_project.fsx_xflags & FS_XFLAG_PROJINHERIT) != 0)
        return step_result::refused;
    to_project.fsx_projid = from_project.fsx_projid;
    return ioctl(to, FS_IOC_FSSETXATTR, &to_project) == 0 ? step_result::done
                                                          : result_of_error(errno);
}

} // namespace

step_result copy_attributes(int from, const struct stat& from_status, int to, int directory)
{
    struct stat status = {};
    if (fstat(to, &status) != 0)
        return step_result::failed;
    // Owner and group apart: a member of the file's group may give it that group but not its
    // owner. First, as a change of owner clears the set-user-ID and set-group-ID bits. EINVAL: an
    // owner this user namespace or mount can't represent, which is as final.
    for (const auto& [differs, owner, group] :
         {std::tuple{status.st_uid != from_status.st_uid, from_status.st_uid, gid_t(-1)},
          std::tuple{status.st_gid != from_status.st_gid, uid_t(-1), from_status.st_gid}}) {
        if (differs && fchown(to, owner, group) != 0)
            return errno == EINVAL ? step_result::refused : result_of_error(errno);
    }
    // The ACL sets the permission bits too; those set after it set the ACL's mask and the owner's
    // and others' entries, which agree with it.
    const step_result extended = copy_extended_attributes(from, to);
    if (extended != step_result::done)
        return extended;
    const mode_t mode = from_status.st_mode & 07777;
    if (fstat(to, &status) != 0)
        return step_result::failed;
    if ((status.st_mode & 07777) != mode) {
        if (fchmod(to, mode) != 0)
            return result_of_error(errno);
        // The kernel drops the set-group-ID bit, without failing, for a group the caller is not
        // in: so the bits are read back.
        if (fstat(to, &status) != 0)
            return step_result::failed;
        if ((status.st_mode & 07777) != mode)
            return step_result::refused;
    }
    return copy_inode_flags(from, to, directory);
}
