// Giving a new file all that the file it replaces has besides its contents.
#pragma once

#include "step_result.h"

#include <sys/stat.h>

// Gives to, a new file of this run's, the owner, the group, the access ACL and other extended
// attributes, the permission bits, the inode flags (chattr) and the project of from, whose
// status is from_status: all that a rewrite of from in place would have kept. Each is set on
// its own and only where it differs, so that a file system that refuses a change (FAT has no
// owners, bindfs may deny chmod) is not asked for one it doesn't need, and a group can be given
// where the owner can't. A file-capability attribute is not carried: any write removes it.
// Nothing is dropped unseen: where one of them can't be read, or a file system says it keeps
// one for one file and not for the other, the result is failed. Returns done; refused as soon
// as one of them is refused (only root may give a file away, say); failed otherwise. Unless
// done, to holds part of them and must not be named.
step_result copy_attributes(int from, const struct stat& from_status, int to);
