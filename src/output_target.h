// What stands at the output's name, as the kernel judges it, and what may be done to it.
#pragma once

#include "file_names.h"
#include "unique_fd.h"

#include <sys/stat.h>

enum class target_kind {
    nothing,     // nothing has the name: a new file is made in directory and named name there
    replaceable, // a regular file named name in directory, which a new file may replace
    in_place,    // to be written where it is, through file: a FIFO or a device, or a regular file
                 // whose name can't be given to another file
};

// The output's name and what it leads to.
struct output_target {
    target_kind kind = target_kind::nothing;
    unique_fd directory;   // nothing, replaceable: the directory that has, or is to have, the name
    name_buffer name{};    // nothing, replaceable: the name in it
    unique_fd file;        // replaceable, in_place: the kernel's open of what the name leads to
    struct stat status {}; // replaceable, in_place: file's status
    bool by_link = false;  // directory and name are where a link at the output's name led
};

// Finds what path names, with the kernel deciding every step as it does for fopen(path, "wb"):
// it follows links under its own rules (fs.protected_symlinks, nosymfollow mounts, the limit on
// links) and opens what they lead to for writing, as "wb" does, but without O_TRUNC, so that
// what it lets through is judged (permission bits and ACLs, read-only mounts, append-only and
// immutable files, security modules) and still whole, and without O_CREAT, so that nothing is
// made: where nothing has the name, or a link leads nowhere, what a new file needs is asked
// when it is made, in the directory where the name or the link's end is to be. To that it adds
// the kernel's rules for sticky directories, whatever fs.protected_* say: in a sticky directory
// anyone may write, a link is followed only if it belongs to this user or the directory's
// owner; in a sticky directory anyone or its group may write, a regular file or FIFO is opened
// only if it belongs to one of them. A regular file is replaceable where the name that holds it
// (the output's own, or that of the last link's end) is found, checked by device and inode, its
// directory takes removals (no chattr +a or +i) and the file is no mount point; otherwise it is
// written in place, as are FIFOs and devices. Opening a FIFO waits for a reader, as fopen does.
// Returns false where fopen would fail, where these rules refuse, for a path with no last
// component, and where it could not be told; target is then to be dropped, nothing having been
// created.
bool find_output_target(const char* path, output_target& target);

// Judges name in directory again, as find_output_target does, for a name that changed hands
// after it was judged: into target, whose directory stays closed; never waits for a FIFO's
// reader, and refuses a link.
bool judge_again(int directory, const name_buffer& name, output_target& target);
