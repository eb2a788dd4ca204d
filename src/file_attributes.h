// Giving a new file all that the file it replaces has besides its contents.
#pragma once

#include <cerrno>

#include <sys/stat.h>

// How a step of the output's path ends that the kernel or a file system may refuse.
enum class step_result {
    done,
    refused, // for good: the old file may be rewritten in place instead, as fopen would
    failed,  // anything else: no room, a failing disk, an error that may pass
};

// refused for the errors by which the kernel or a file system says "not allowed" or "not
// supported", failed for the rest. Want of room (ENOSPC, EDQUOT) or a failing disk (EIO) is no
// refusal: rewriting the old file in place then would lose it to a write bound to fail.
inline step_result result_of_error(int error)
{
    return error == EPERM || error == EACCES || error == EOPNOTSUPP ? step_result::refused
                                                                    : step_result::failed;
}

// Gives to, a new file of this run's in directory, the owner, the group, the access ACL and the
// other extended attributes, the permission bits, the inode flags (chattr) and the project of
// from, whose status is from_status: all that a rewrite of from in place would have kept but
// what its maker can't read (trusted.* attributes, for a user who isn't root) and a file
// capability, which any write removes. Each is set on its own and only where it differs, so that
// a file system that refuses a change (FAT has no owners, bindfs may deny chmod) is not asked for
// one it doesn't need, and a group can be given where the owner can't. Returns done; refused as
// soon as one of them is refused (only root may give a file away, an attribute the user may not
// read, a directory that takes no file of that project); failed otherwise. Unless done, to holds
// part of them and must not be named.
step_result copy_attributes(int from, const struct stat& from_status, int to, int directory);
