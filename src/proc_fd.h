// The kernel's own view of this process's open files, in /proc, trusted only if it is procfs.
#pragma once

#include "file_names.h"

// A descriptor of /proc/self/fd, opened on first use and kept; -1 if what is mounted at /proc
// is not the kernel's procfs (or nothing is): a file system built to look like it, in a mount
// namespace of someone else's making, could make its entries lead anywhere.
int proc_fd_directory();

// Puts in path the absolute path by which the kernel reached the open file: its own record,
// with every link resolved, not a path walked again. False if procfs is missing, or the file
// has no such path in this process's view (it was removed, or lies outside its root).
bool path_of_descriptor(int file, path_buffer& path);

// Links the open file to name in directory through its entry in /proc/self/fd, as a caller that
// may not link a file by its descriptor alone can (kernels before 6.10). False with errno set
// (EEXIST if the name is taken), or with ENOENT if procfs is missing.
bool link_through_proc(int file, int directory, const char* name);
