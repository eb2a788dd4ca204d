// Giving a new file all that the file it replaces has besides its contents.
#pragma once

#include <sys/stat.h>

// Gives to, a new file of this run's that holds nothing yet, the owner, the group, the access
// ACL and other extended attributes, the permission bits, the inode flags (chattr) and the
// project of from, whose status is from_status: all that a rewrite of from in place would have
// kept. Each is set on its own and only where it differs, so that a file system that refuses a
// change (FAT has no owners, bindfs may deny chmod) is not asked for one it doesn't need, and a
// group can be given where the owner can't. A file-capability attribute is not carried: any
// write removes it. Returns false, with errno set, as soon as one of them can't be given: most
// often EPERM, as only root may give a file away; to then holds part of them, and must not be
// used.
bool copy_attributes(int from, const struct stat& from_status, int to);
