// The output file: what the kernel lets the run do at the output's name, and a new file that
// takes the name only once it is complete, on the disk and dressed as the old one was.
//
// The run never does at the name what the same user's fopen(name, "wb") would be refused, nor
// what the kernel's rules for sticky directories refuse with its protections on, and a file it
// replaces keeps all that a rewrite in place would have kept. One way through:
//
//   1. Find what the name holds, following links one at a time as the kernel would, then open it
//      for writing as fopen does, but without truncating or creating anything: the kernel judges
//      the links and the file, and the sticky rules are applied to whatever the open reached.
//      What either refuses ends the run before a byte is written. What the open reached must be
//      what was found, by device and inode.
//   2. A FIFO or a device is written in place through that open: there is no file to leave half
//      written. So is a regular file where a new one can't take its name: its directory takes no
//      removal (chattr +a) or no new file from this user, the name is a mount point, or the new
//      file is refused one of the old one's attributes (only root may give a file away). Only
//      a refusal, never a want of room or an error that may pass: those end the run.
//   3. Otherwise a new file is made beside the name, unnamed where the file system allows
//      (O_TMPFILE) and else under a fresh random name; for a replacement open to nobody else
//      and given, before it holds a byte, the old file's owner, group, ACL, extended attributes,
//      permission bits, inode flags and project (file_attributes.h); for a free name, made with
//      fopen's mode, 0666 less the umask, or as a default ACL has it.
//   4. It is written, and its data written out (fdatasync): after a crash or a power cut the
//      name holds the old file or the new one, whole. The name itself is not waited for (no
//      fsync of the directory), which would cost a second flush for every file where one sync
//      after a batch does.
//   5. It takes the name in one step, checked by device and inode at that step: a free name only
//      if still free (a link, which never replaces), a file only by swapping names with the very
//      file found (RENAME_EXCHANGE), which is then removed. Where the name changed hands
//      meanwhile, the run fails, undoing only its own work: there is no second try.
//
// Signals are held back whenever the new file has a temporary name, so that no signal that can
// be caught ends the run between making such a name and removing it; where there are no unnamed
// files, that is from its making to the end of the run. Only SIGKILL can leave one behind.
// Descriptors: at most three at once beyond the standard three, and nothing is changed until
// the last of them is open.
#pragma once

#include "unique_fd.h"

#include <array>
#include <climits>
#include <csignal>
#include <cstdio>

#include <sys/stat.h>

// .vyk_pic_convert-XXXXXXXXXXXX.tmp and its NUL.
using temporary_name = std::array<char, 34>;

// A run's output, from open_output to close_output; only they use the fields but the stream.
struct output_file {
    std::FILE* stream = nullptr; // what the caller writes to; null if open_output failed
    bool in_place = false;       // the stream writes what the name holds
    // A new file's:
    unique_fd directory;                   // the directory that is to hold the name
    std::array<char, NAME_MAX + 1> name{}; // the name in it
    struct stat found {};                  // what was found there; st_mode 0: nothing
    struct stat made {};                   // the new file
    temporary_name temporary{};            // its temporary name; empty while it has none
    bool holding_signals = false;          // signals are held back, as they were in held_from
    sigset_t held_from{};
};

// Opens the output path names for writing, as described above, and changes nothing at path yet,
// bar the truncation of a file rewritten in place. Opening a FIFO waits for a reader; signals
// keep their usual effect meanwhile. Returns an output with a null stream, having made and
// changed nothing, wherever fopen(path, "wb") would fail, the sticky rules refuse, the name
// changed hands while it was looked at, or the new file can't be made or dressed.
output_file open_output(const char* path);

// Closes out's stream and, if written is true and every byte has reached the file and the disk,
// gives a new file the name, as described above; returns true only then. Otherwise removes the
// new file and leaves the name as it was: bar a FIFO, a device or a file rewritten in place, which
// may have part of the bytes; bar a temporary name the kernel won't remove (a failing disk),
// which stays; and bar a swap that can't be undone, which leaves the new file at the name and
// the old one under the temporary name.
bool close_output(output_file& out, bool written);
