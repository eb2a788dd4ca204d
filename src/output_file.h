// The output as a whole: what the kernel lets the run do at the output's name, and a new file
// that takes the name only once it is complete, written out and dressed as the old one was.
//
// The run never does at the name what the same user's fopen(name, "wb") would be refused, and a
// file it replaces keeps all that a rewrite in place would have kept. So every decision of the
// kind "may this be followed, opened, written, replaced?" is the kernel's:
//
//   1. output_target: the kernel follows any link at the name under its own rules and opens
//      what it leads to as "wb" does, only without truncating it. What it refuses is refused,
//      before a byte is written. What it allows is what this run may write; anything done
//      later to a name is checked to concern that very file, by device and inode.
//   2. A FIFO or a device is written through that open, in place: there is no file to leave
//      half written.
//   3. A regular file is replaced by a new file made beside it (new_file): unnamed, or under
//      an unguessable temporary name, open to nobody else (temporary_name). Before any byte
//      is written, the new file gets the old one's owner, group, ACL, extended attributes,
//      permission bits, inode flags and project (file_attributes). Where any of these is
//      refused (only root may give a file to another user; bindfs may deny chmod), or the new
//      file is (a directory the user can't write), or its name could not change hands
//      (chattr +a on the directory; a mount point), the new file is dropped and the old one is
//      rewritten in place, through the kernel's open, as fopen would: the only case where a
//      failure can leave part of a file at the name. Never for want of room (ENOSPC), which
//      would lose the old file to a write bound to fail.
//   4. Nothing at the name: a new file is made beside it with fopen's own mode, 0666 less the
//      umask (or as a default ACL has it), and linked to the name once complete, never over
//      a file that has taken the name since: that one is judged and replaced as in 3.
//   5. Once complete, the new file's data is written out (fdatasync) before it gets the name:
//      after a crash or a power cut the name holds the old file or the new one, whole, never
//      an empty or partial one. The name itself is not waited for (no fsync of the directory):
//      that would cost a second flush for every file, where one sync after a batch does.
//   6. A temporary name exists on file systems without unnamed files from the file's making to
//      its naming, a signal that can be caught removing it first; and on any, when a file is
//      replaced, from linking the complete new file under it to removing the old one, which
//      swapped names with it: three system calls with signals held. Only SIGKILL can leave it.
#pragma once

#include "file_names.h"
#include "new_file.h"

#include <cstdio>

#include <sys/stat.h>

// How an open output reaches its name.
enum class output_route {
    in_place,  // written where it is: a FIFO, a device, a file that can't be replaced
    new_name,  // a new file, to take a name that nothing has
    replacing, // a new file, to take the name of the file replaced
};

// An output being written. Only open_output and close_output use the fields but the stream.
struct output_file {
    std::FILE* stream = nullptr; // null when the output could not be opened
    output_route route = output_route::in_place;
    int directory = -1;      // new_name, replacing: the directory that has the name
    name_buffer name{};      // new_name, replacing: the name in it
    new_file made{};         // new_name, replacing: the new file (its own descriptor, not the
                             // stream's, which is closed before the file is named)
    struct stat replaced {}; // replacing: the file the name held when it was judged
};

// Opens a stream for the output path names, as described above, and changes nothing at path
// yet, bar the truncation of a file to be rewritten in place and a file fopen would have made
// at the end of a link leading nowhere (see output_target). Opening a FIFO waits for a reader;
// signals keep their usual effect meanwhile. Returns a null stream, having created nothing,
// wherever fopen(path, "wb") would fail, or if the new file can't be made or dressed.
output_file open_output(const char* path);

// Closes out's stream; if written is true and every byte has reached the file, names the new
// file as described above. Returns true only then. Otherwise removes what it made and leaves
// the output's name as it was: bar a FIFO, a device or a file rewritten in place, which may
// have had part of the bytes.
bool close_output(output_file& out, bool written);
