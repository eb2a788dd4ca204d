// The new file that becomes the output: made beside its name, unnamed where the file system
// allows, and given the name once complete.
#include "new_file.h"

#include "output_target.h"
#include "proc_fd.h"
#include "temporary_name.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Links the unnamed file of made to a fresh temporary name in directory; false with errno set.
// By its descriptor where the kernel allows (from 6.10 for the file's opener, always for a
// caller with CAP_DAC_READ_SEARCH), or else through its entry in procfs, after which the name
// is checked to link this very file: a name nobody else uses, so that a wrong link can be
// removed by it. Signals must be held.
bool link_under_temporary_name(const new_file& made, int directory)
{
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        const char* const name = fresh_temporary_name();
        if (linkat(made.file, "", directory, name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno == ENOENT && link_through_proc(made.file, directory, name)) {
            struct stat linked = {};
            struct stat own = {};
            if (fstatat(directory, name, &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
                fstat(made.file, &own) == 0 && same_file(linked, own))
                return true;
            unlinkat(directory, name, 0);
            errno = EIO;
            return false;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Swaps the names of the file under the temporary name and of the file that has name, both in
// directory, and checks that the file swapped out is replaced; if not, the swap is undone. Where
// the file system can't swap, name is checked to hold replaced, then renamed over. True if the
// temporary name's file has name. Signals must be held.
bool swap_in(int directory, const char* name, const struct stat& replaced)
{
    const char* const temporary = temporary_name();
    struct stat out = {};
    if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) == 0) {
        if (fstatat(directory, temporary, &out, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(out, replaced))
            return true;
        renameat2(directory, temporary, directory, name, RENAME_EXCHANGE);
        errno = EAGAIN;
        return false;
    }
    if (errno != EINVAL) // EINVAL: this file system has no swapping
        return false;
    if (fstatat(directory, name, &out, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(out, replaced)) {
        errno = EAGAIN;
        return false;
    }
    return renameat(directory, temporary, directory, name) == 0;
}

} // namespace

new_file create_new_file(int directory, unsigned mode)
{
    new_file made;
    // Unnamed only where the kernel's own view of the descriptor can be trusted: without it,
    // a kernel that links by descriptor only for privileged callers leaves no way to name it.
    if (proc_fd_directory() >= 0) {
        made.file = openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        // File systems without unnamed files (vfat, FUSE, NFS) say so in several ways.
        if (made.file >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != ENOENT))
            return made;
    }
    made.unnamed = false;
    made.file = create_temporary(directory, mode);
    return made;
}

void discard_new_file(new_file& made, int directory)
{
    if (made.file < 0)
        return;
    const int error = errno;
    if (!made.unnamed) {
        const signals_held held;
        remove_temporary(directory);
    }
    close(made.file);
    made.file = -1;
    errno = error;
}

bool name_new_file(new_file& made, int directory, const char* name)
{
    bool named = made.unnamed && linkat(made.file, "", directory, name, AT_EMPTY_PATH) == 0;
    if (!named && (!made.unnamed || errno == ENOENT)) {
        const signals_held held;
        // A kernel that links no file by its descriptor alone: through procfs, under a temporary
        // name, where the link is checked; then renamed, as a file made under one is. Checked
        // at the output's name instead, the link could be another run's file by then.
        if (made.unnamed && link_under_temporary_name(made, directory)) {
            made.unnamed = false;
            guard_temporary(directory);
        }
        if (!made.unnamed) {
            named = renameat2(directory, temporary_name(), directory, name, RENAME_NOREPLACE) == 0;
            if (!named && errno == EINVAL) {
                // No RENAME_NOREPLACE on this file system: the name is checked to be free first.
                struct stat taken = {};
                if (fstatat(directory, name, &taken, AT_SYMLINK_NOFOLLOW) == 0)
                    errno = EEXIST;
                else
                    named = errno == ENOENT &&
                            renameat(directory, temporary_name(), directory, name) == 0;
            }
            if (named)
                forget_temporary();
        }
    }
    if (named) {
        close(made.file);
        made.file = -1;
    } else if (errno != EEXIST) {
        discard_new_file(made, directory);
    }
    return named;
}

bool replace_with_new_file(new_file& made, int directory, const char* name,
                           const struct stat& replaced)
{
    const signals_held held;
    const bool was_unnamed = made.unnamed;
    if (made.unnamed) {
        if (!link_under_temporary_name(made, directory)) {
            discard_new_file(made, directory);
            return false;
        }
        made.unnamed = false;
    }
    const bool swapped = swap_in(directory, name, replaced);
    // The temporary name now holds the replaced file, or after a plain rename nothing; if the
    // swap failed, the new file, kept for another try if the name has changed hands.
    if (swapped || (errno != EAGAIN && errno != ENOENT))
        discard_new_file(made, directory);
    else if (was_unnamed)
        guard_temporary(directory);
    return swapped;
}
