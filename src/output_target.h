// What stands at the output's name, as the kernel judges it, and what may be done to it.
#pragma once

#include "file_names.h"

#include <sys/stat.h>

enum class target_kind {
    nothing,     // nothing has the name: a new file is made in directory and named name there
    replaceable, // a regular file named name in directory, which a new file may replace
    in_place,    // to be written where it is, through file: a FIFO or a device, or a regular file
                 // whose name can't be given to another file
};

// The output's name and what it leads to. The descriptors are the target's own; close_target
// closes them.
struct output_target {
    target_kind kind = target_kind::nothing;
    int directory = -1;    // nothing, replaceable: the directory that has, or is to have, the name
    name_buffer name{};    // nothing, replaceable: the name in it
    int file = -1;         // replaceable, in_place: the kernel's open of what the name leads to
    struct stat status {}; // replaceable, in_place: file's status
    bool by_link = false;  // the output's name is a link that led to directory/name
};

// True if a and b describe the same file: the same inode on the same device.
bool same_file(const struct stat& a, const struct stat& b);

// Finds what path names, with the kernel deciding every step as it does for fopen(path, "wb"):
// it follows links under its own rules (fs.protected_symlinks, nosymfollow mounts, the limit on
// links) and opens what they lead to for writing with O_CREAT, as "wb" does, but without
// O_TRUNC, so that what it lets through is judged (permission bits and ACLs, read-only mounts,
// append-only and immutable files, fs.protected_regular and fs.protected_fifos in sticky
// directories, security modules) and still whole. Where nothing has the name, the kernel is not
// asked to create anything yet: what a new file needs is asked when it is made. Where a link
// leads nowhere, the kernel's open makes the file the link leads to, as fopen would, and that
// empty file is removed again at once, leaving nothing at the name in the directory now known
// to be the link's end. A regular file is replaceable where the directory that holds it under
// the name the kernel reached it by (its own record, in /proc, checked by device and inode)
// can be found, takes removals (no chattr +a or +i) and the file is no mount point; otherwise
// it is written in place, as are FIFOs and devices. Opening a FIFO waits for a reader, as fopen
// does. Returns false, with errno set, where fopen would fail, and for a path with no last
// component; the caller then closes target, having created nothing.
bool find_output_target(const char* path, output_target& target);

// The same for target.name in target.directory, already set (target's own, to be closed with
// it), for a name that was free and has been taken since: never waits for a FIFO's reader.
bool find_target_again(output_target& target);

// Closes the descriptors target holds.
void close_target(output_target& target);
