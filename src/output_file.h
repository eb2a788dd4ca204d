// Creating the output so that its name only ever holds a whole file: the bytes go to a new file
// with no name (or a temporary one), which takes the output's name once it is complete.
#pragma once

#include <array>
#include <climits>
#include <cstdio>

// How an open output reaches its name.
enum class output_route {
    in_place,  // a FIFO, device or socket stands at the name: written where it is
    unnamed,   // a file with no name yet (O_TMPFILE), linked in once complete
    temporary, // a file under a temporary name, renamed once complete (no O_TMPFILE here)
};

// The last component of a path, NUL included, as long as a file system takes one.
using name_buffer = std::array<char, NAME_MAX + 1>;

// An output being written. Only open_output and close_output use the fields but the stream.
struct output_file {
    std::FILE* stream = nullptr; // null when the output could not be opened
    output_route route = output_route::in_place;
    int directory = -1;   // unnamed, temporary: the directory that will hold the name
    name_buffer name{};   // unnamed, temporary: the name in that directory, links followed
    int naming_file = -1; // unnamed: a second descriptor of the file, to link it by
};

// Opens a stream for the output that path is to name, writing "wb" as std::fopen does, and
// changes nothing at path yet. A symlink at path is followed, to its end, and what it leads to
// is the output. A regular file there (writable by the caller) is replaced only by close_output;
// the new file gets its permission bits and, where the caller may give them, its owner and
// group. Nothing there gives a new file, mode 0666 less the umask. A FIFO, a device or a socket
// is opened and written in place, as there is no file to leave half-written; that open may wait
// for a reader, and signals keep their usual effect meanwhile. Returns a null stream, having
// created nothing, for a directory, a regular file the caller may not write, or any failure.
output_file open_output(const char* path);

// Closes out's stream; if written is true and the close succeeds, every byte has reached the
// file, and it takes the output's name, replacing whatever file had it in one step: a reader of
// the name sees the old file or the new one, whole. Returns true only then. Otherwise removes the
// file it wrote, if it has a name, and leaves the output's name as it was (bar a FIFO or device,
// which may have had part of the bytes). A temporary file is also removed if a signal ends the
// run while it is being written; the signal then ends the process as it would have.
bool close_output(output_file& out, bool written);
