// How a step of the output's path ends that the kernel or a file system may refuse.
#pragma once

#include <cerrno>

enum class step_result {
    done,
    refused, // refused outright and for good: the old file may be rewritten in place instead
    failed,  // anything else: no room, a failing disk, a passing error, a name that moved
};

// The result of a call that failed with error: refused for the errors by which the kernel or a
// file system says "not allowed" or "not supported" (EPERM, EACCES, EOPNOTSUPP), failed for the
// rest. Want of room (ENOSPC, EDQUOT) or a failing disk (EIO) is no refusal: rewriting the old
// file in place then would lose it to a write bound to fail.
inline step_result result_of_error(int error)
{
    return error == EPERM || error == EACCES || error == EOPNOTSUPP ? step_result::refused
                                                                    : step_result::failed;
}

// True for the errors by which a call that asks a file system about a kind of attribute (inode
// flags, a project, extended attributes) says it keeps none: ENOTTY, EOPNOTSUPP, EINVAL, no such
// request here; ENOSYS, none that this kernel, or an emulator such as qemu-user, knows.
inline bool keeps_no_such_attribute(int error)
{
    return error == ENOTTY || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}
