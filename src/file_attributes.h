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

// refused for the kernel's or a file system's "not allowed" or "not supported"; failed for the
// rest. No room or a failing disk is no refusal: a rewrite in place would lose the old file.
inline step_result result_of_error(int error)
{
    return error == EPERM || error == EACCES || error == EOPNOTSUPP ? step_result::refused
                                                                    : step_result::failed;
}

// Gives to, a new file of this run's in directory, what from (of from_status) has besides its
// contents and a rewrite in place would keep: owner, group, ACL and other extended attributes,
// permission bits, inode flags (chattr) and project; not a file capability, which any write
// removes, nor what this user can't read (trusted.*, unless root). Each only where it differs,
// so that a file system is asked for no change it doesn't need (FAT has no owners), and a group
// can be given where the owner can't. Returns done; refused at the first refusal (only root gives
// a file away; an attribute the user may not read; a directory that takes no file of another
// project); failed otherwise. Unless done, to holds part of them and must not be named.
step_result copy_attributes(int from, const struct stat& from_status, int to, int directory);
