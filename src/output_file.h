// The output file: what the kernel lets the run do at the output's name, and a new file that
// takes the name only once it is complete, on the disk and given all the old one had.
//
// The run never does at the name what the same user's fopen(name, "wb") would be refused, nor
// what the kernel's sticky-directory rules refuse with its protections on; a file it replaces
// keeps all that a rewrite in place would keep. One way through:
//
//   1. Find what the name holds, following its links one at a time as the kernel would; open it
//      as fopen does, creating and truncating nothing, so that the kernel rules on links and file.
//      The sticky rules apply to what was found and what the open reached, which must be one.
//   2. Write in place a FIFO or a device, and a regular file no new file can take the name from:
//      a mount point, a directory that takes no removal (chattr +a) or no new file from this
//      user, or a new file refused one of the old one's attributes (only root gives files away).
//      Only for a refusal: want of room or a failing disk ends the run instead.
//   3. Else make a new file beside the name, unnamed (O_TMPFILE) or under a random temporary
//      name: for a free name with fopen's mode, 0666 less the umask (or as a default ACL has
//      it); for a replacement open to nobody else, and given all the old file's attributes
//      before it holds a byte (file_attributes.h).
//   4. Write it, and its data out (fdatasync), so that after a crash the name holds the old file
//      or the new one. Not the name (no fsync of the directory): a sync after a batch does.
//   5. Give it the name in one step, checked by device and inode at that step: a free name by a
//      link, which never replaces; a file by swapping names with the very file found
//      (RENAME_EXCHANGE), which is then removed. Where the name went to another file meanwhile,
//      fail, undoing only this run's own work: there is no second try.
//
// Signals are held back while the new file has a temporary name (around the swap; without unnamed
// files, from its making on), so that none leaves it. At most three descriptors beyond the
// standard three are open at once; nothing changes until the last of them is.
#pragma once

#include "unique_fd.h"

#include <array>
#include <climits>
#include <csignal>
#include <cstdio>

#include <sys/stat.h>

// A run's output, from open_output to close_output, which alone use the fields but the stream.
struct output_file {
    std::FILE* stream = nullptr; // what the caller writes to; null if open_output failed
    bool in_place = false;       // the stream writes what the name holds; else, a new file's:
    unique_fd directory;         // the directory that is to hold the name
    std::array<char, NAME_MAX + 1> name{}; // the name in it
    struct stat found {};                  // what was found there; st_mode 0: nothing
    unique_fd found_file;                  // open on it, a file to replace
    struct stat made {};                   // the new file
    std::array<char, 34> temporary{};      // its temporary name, if any: .vyk_pic_convert-*.tmp
    bool holding_signals = false;          // held back, as they were in held_from
    sigset_t held_from{};
};

// Opens the output path for writing as described above, changing nothing at the name yet but
// for the truncation of a file rewritten in place; opening a FIFO waits for a reader. Returns an
// output with a null stream, having made and changed nothing, wherever fopen(path, "wb") would
// fail, the sticky rules refuse, the name went to another file while it was looked at, or the new
// file can't be made or given the old one's attributes.
output_file open_output(const char* path);

// Closes out's stream and, if written is true and every byte is in the file and on the disk,
// gives a new file the name as described above; returns true only then. Otherwise removes the
// new file and leaves the name as it was: bar a FIFO, a device or a file rewritten in place,
// which may hold part of the bytes; bar a temporary name the kernel won't remove (a failing
// disk); and bar a swap that can't be undone, which leaves the new file at the name and the old
// one under the temporary name.
bool close_output(output_file& out, bool written);
