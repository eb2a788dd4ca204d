// The output as a whole: what the kernel lets the run do at the output's name, and a new file
// that takes the name only once it is complete, written out and dressed as the old one was.
//
// The run never does at the name what the same user's fopen(name, "wb") would be refused, nor
// what the kernel's rules for sticky directories refuse with its protections on, and a file it
// replaces keeps all that a rewrite in place would have kept. There is one way through:
//
//   1. Judge (output_target): the kernel follows any links at the name under its own rules and
//      opens what they lead to for writing, without truncating or creating anything. What it
//      or the sticky rules refuse ends the run before a byte is written.
//   2. A FIFO or a device is written through that open, in place: there is no file to leave
//      half written.
//   3. Make the new file beside the name (new_file): for a replacement, open to nobody else and
//      given, before it holds a byte, the old file's owner, group, ACL, extended attributes,
//      permission bits, inode flags and project (file_attributes); for a name nothing has (or
//      the end of a link leading nowhere), with fopen's own mode, 0666 less the umask or as a
//      default ACL has it. Where the directory refuses the new file, or the old file's
//      attributes are refused it, or the name can't change hands (chattr +a on the directory,
//      a mount point), the new file is dropped and the old one rewritten in place, as fopen
//      would: the only case where a failure can leave part of a file at the name. A refusal
//      only, never a want of room or a passing error: those end the run, the old file whole.
//   4. Write it, and write its data out (fdatasync): after a crash or a power cut the name holds
//      the old file or the new one, whole. The name itself is not waited for (no fsync of the
//      directory): that would cost a second flush for every file, where one sync after a batch
//      does.
//   5. Name it in one step, checking at that step, by device and inode, that what the name held
//      is what was judged: a free name is taken only if still free, a file is swapped out only
//      if it is the one judged. Where the name changed hands meanwhile (a concurrent run on the
//      same name), what has it now is judged and the new file dressed for it in turn, so that
//      every one of the runs succeeds and the last to finish wins.
//
// An output's states, asserted at each step:
//
//   open_output ──► writing_in_place ──► closed          (a FIFO, a device, a pinned name)
//        └────────► writing_new_file ──► closed          (named, or discarded on failure)
//
// The new file's states (new_file), and the only ways between them:
//
//     create_new_file ──► unnamed ─────────── name_new_file ──────────► named
//            │               │ replacing, or a kernel that links        ▲
//            │               ▼ no file by its descriptor alone          │
//            └─────────► temporary ── name_new_file, replace_with_new_file
//
//     unnamed, temporary ── discard_new_file ──► discarded
//
//   unnamed    an O_TMPFILE file: nothing is left of it, whatever ends the run.
//   temporary  under a fresh random name in the directory, checked to hold this very file, and
//              guarded whenever signals are not held: a signal that ends the run removes the
//              name first. Only SIGKILL can leave it behind.
//   named      the file has the output's name, and its descriptor is closed.
//   discarded  its temporary name, if it had one, removed; its descriptor closed.
//
// A naming that finds the name has changed hands since it was judged leaves the file unnamed or
// temporary, for the caller to judge the name again and retry.
//
// Descriptors: at most three at once beyond the standard three, and nothing is touched until
// the last of them is open.
#pragma once

#include "file_names.h"
#include "new_file.h"
#include "unique_fd.h"

#include <cstdio>

#include <sys/stat.h>

enum class output_state { failed, writing_in_place, writing_new_file, closed };

// How an output reaches its name.
enum class output_route {
    in_place,  // written where it is
    new_name,  // a new file, to take a name that nothing has
    replacing, // a new file, to take the name of the file replaced
};

// An output being written. Only open_output and close_output use the fields but the stream.
struct output_file {
    output_state state = output_state::failed;
    std::FILE* stream = nullptr; // writing_*: what the caller writes to
    output_route route = output_route::in_place;
    unique_fd directory;     // writing_new_file: the directory that has the name
    name_buffer name{};      // writing_new_file: the name in it
    new_file made;           // writing_new_file: the new file, which has a descriptor of
                             // its own besides the stream's, to be named by
    struct stat replaced {}; // replacing: the file the name held when it was judged
};

// Opens a stream for the output path names, as described above, and changes nothing at path
// yet, bar the truncation of a file to be rewritten in place. Opening a FIFO waits for a
// reader; signals keep their usual effect meanwhile. Returns an output in state failed (null
// stream), having created and changed nothing, wherever fopen(path, "wb") would fail, the
// sticky rules refuse, or the new file can't be made or dressed.
output_file open_output(const char* path);

// Takes out, writing, to closed: closes its stream and, if written is true and every byte has
// reached the file, names the new file as described above. Returns true only then. Otherwise
// removes what it made and leaves the output's name as it was: bar a FIFO, a device or a file
// rewritten in place, which may have had part of the bytes, and bar a clean-up that fails in
// turn after the name changed hands (see replace_with_new_file).
bool close_output(output_file& out, bool written);
