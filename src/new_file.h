// The new file that becomes the output: made beside its name, unnamed where the file system
// allows, and given the name in one step once complete.
//
// Its states, and the only ways between them, are drawn in output_file.h; each function here
// asserts the state it is given.
#pragma once

#include "step_result.h"
#include "temporary_name.h"
#include "unique_fd.h"

#include <sys/stat.h>

enum class new_file_state { none, unnamed, temporary, named, discarded };

struct new_file {
    new_file_state state = new_file_state::none;
    unique_fd file;                    // unnamed, temporary: open for writing
    temporary_name_buffer temporary{}; // temporary: its name in the directory
    struct stat identity {};           // unnamed, temporary: the file's own status
    bool guarded = false;              // temporary: guard_temporary is in force
};

// Makes made, in state none, a new file in directory with the permission bits mode, less the
// umask (or as a default ACL there has it): unnamed where the file system has such files and
// the kernel will let this run link it, otherwise temporary. Returns done; refused if the
// directory takes no new file from this user (EACCES, EPERM); failed otherwise. Only done
// leaves anything: made then unnamed or temporary.
step_result create_new_file(int directory, unsigned mode, new_file& made);

// Takes made, unnamed or temporary, to discarded: removes its temporary name, unless it is seen
// to hold another file now, and closes it. For a file not to be named. False if the name could
// not be removed (a failing disk): it then stays.
bool discard_new_file(new_file& made, int directory);

// How a naming ends.
enum class naming {
    named,  // the file has the name
    taken,  // the name changed hands since it was judged: made kept, unnamed or temporary
    failed, // made discarded; or, only if a swap could not be undone, named (see below)
};

// Gives made, unnamed or temporary, complete and written out, the name in directory, where no
// file had it: never over a file that took the name since.
naming name_new_file(new_file& made, int directory, const char* name);

// Gives made, unnamed or temporary, complete and written out, the name in directory in place of
// the file replaced, in one step: a reader of the name sees one file or the other, whole. The
// file swapped out is checked to be replaced itself; if not, the swap is undone (taken). Then
// the replaced file, under made's temporary name, is removed; should that fail, the swap is
// undone and made discarded (failed). Should an undoing swap fail, made keeps the name and what
// it took the name from stays under the temporary name (failed, made named).
naming replace_with_new_file(new_file& made, int directory, const char* name,
                             const struct stat& replaced);
