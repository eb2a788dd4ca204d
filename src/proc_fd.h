// Linking an unnamed file through its entry in /proc/self/fd, trusted only if that is procfs.
#pragma once

// True if /proc/self/fd is the kernel's procfs, whose entries lead to this process's open files:
// a file system built to look like it, in a mount namespace of someone else's making, could
// make them lead anywhere. False too if it can't be told.
bool have_proc_fd();

// Links the open file to name in directory through its entry in /proc/self/fd, as a caller that
// may not link a file by its descriptor alone can (kernels before 6.10). Returns 0, or the error
// that kept it from linking: EEXIST if the name is taken, ENOENT if /proc/self/fd is not
// procfs. The name may lead to another file than this one, should procfs change in between: the
// caller checks it.
int link_through_proc(int file, int directory, const char* name);
