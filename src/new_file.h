// The new file that becomes the output: made beside its name, unnamed where the file system
// allows, and given the name once complete.
#pragma once

#include <sys/stat.h>

// A new file, open for writing: unnamed, or under temporary_name() in its directory.
struct new_file {
    int file = -1;
    bool unnamed = true;
};

// Makes a new file in directory with the permission bits mode, less the umask (or as a default
// ACL there has it): unnamed (O_TMPFILE) where the file system has such files and the kernel
// will let this run link it, so that nothing is left whatever ends the run, SIGKILL and crashes
// included; otherwise under a fresh temporary name, removed if a signal ends the run. A null
// file, with errno set and nothing created, if the directory refuses.
new_file create_new_file(int directory, unsigned mode);

// Removes the new file's temporary name, if it has one, and closes file: for a file not to be
// named. Does nothing for a file already named or discarded. Leaves errno as it was, so that a
// caller's failure is reported, not the clean-up's.
void discard_new_file(new_file& made, int directory);

// Gives made, complete and written out, the name in directory, where no file has it. False,
// with errno EEXIST, if one has taken the name since; made is then kept for another try, and
// discarded after any other failure.
bool name_new_file(new_file& made, int directory, const char* name);

// Gives made, complete and written out, the name in directory in place of the file replaced,
// in one step: a reader of the name sees one file or the other, whole. The name is checked to
// have held replaced itself at the moment it changed hands; if it held another file, that one
// has it back. The replaced file is then removed. False, with errno set, if made does not have
// the name: EAGAIN if another file had it, ENOENT if none did, and made is kept for another try
// (under a temporary name now); made is discarded after any other failure.
bool replace_with_new_file(new_file& made, int directory, const char* name,
                           const struct stat& replaced);
