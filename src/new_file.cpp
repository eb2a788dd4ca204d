// The new file that becomes the output: made beside its name, unnamed where the file system
// allows, and given the name in one step once complete.
#include "new_file.h"

#include "file_names.h"
#include "proc_fd.h"

#include <cassert>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>

namespace {

// True if name in directory holds the file of status itself.
bool holds(int directory, const char* name, const struct stat& status)
{
    struct stat now = {};
    return fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, status);
}

// Takes made, unnamed, to temporary, not yet guarded: links it to a fresh temporary name in
// directory, by its descriptor where the kernel allows (from 6.10 for the file's opener, always for
// a caller with CAP_DAC_READ_SEARCH), else through procfs; then checks that the name holds this
// very file, and removes it if not: a name nobody else knows, which only this run has just made.
// False, with made still unnamed, if it can't. Signals must be held.
bool link_under_temporary_name(new_file& made, int directory)
{
    assert(made.state == new_file_state::unnamed);
    make_temporary_name(made.temporary);
    const char* const name = made.temporary.data();
    int error = linkat(made.file.fd, "", directory, name, AT_EMPTY_PATH) == 0 ? 0 : errno;
    if (error == ENOENT)
        error = link_through_proc(made.file.fd, directory, name);
    if (error != 0)
        return false;
    if (!holds(directory, name, made.identity)) {
        unlinkat(directory, name, 0);
        return false;
    }
    made.state = new_file_state::temporary;
    return true;
}

// Stops guarding made's temporary name, if it is.
void unguard(new_file& made)
{
    if (made.guarded)
        unguard_temporary();
    made.guarded = false;
}

// Keeps made, unnamed or temporary, for another try, with its temporary name guarded once
// signals are let through again.
naming kept_for_another_try(new_file& made, int directory)
{
    if (made.state == new_file_state::temporary && !made.guarded)
        guard_temporary(directory, made.temporary, made.identity);
    made.guarded = made.state == new_file_state::temporary;
    return naming::taken;
}

// Takes made, temporary, to named, once its temporary name has been renamed away or removed.
naming now_named(new_file& made)
{
    unguard(made);
    made.file.reset();
    made.state = new_file_state::named;
    return naming::named;
}

naming discarded(new_file& made, int directory)
{
    discard_new_file(made, directory);
    return naming::failed;
}

} // namespace

step_result create_new_file(int directory, unsigned mode, new_file& made)
{
    assert(made.state == new_file_state::none);
    // Unnamed only where it can surely be named: a kernel before 6.10 lets a caller without
    // CAP_DAC_READ_SEARCH link such a file only through procfs.
    if (have_proc_fd()) {
        made.file = unique_fd(openat(directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (made.file.is_open()) {
            if (fstat(made.file.fd, &made.identity) != 0) {
                made.file.reset();
                return step_result::failed;
            }
            made.state = new_file_state::unnamed;
            return step_result::done;
        }
        // The ways file systems without unnamed files (vfat, FUSE, NFS) and kernels before 3.11
        // say so; any other error is the directory's answer for a temporary name too.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != ENOENT)
            return result_of_error(errno);
    }
    const signals_held held;
    make_temporary_name(made.temporary);
    // O_EXCL makes the file this run's own: nothing already at the name is opened or followed.
    made.file = unique_fd(openat(directory, made.temporary.data(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
    if (!made.file.is_open())
        return result_of_error(errno);
    if (fstat(made.file.fd, &made.identity) != 0) {
        unlinkat(directory, made.temporary.data(), 0);
        made.file.reset();
        return step_result::failed;
    }
    guard_temporary(directory, made.temporary, made.identity);
    made.guarded = true;
    made.state = new_file_state::temporary;
    return step_result::done;
}

bool discard_new_file(new_file& made, int directory)
{
    assert(made.state == new_file_state::unnamed || made.state == new_file_state::temporary);
    bool removed = true;
    if (made.state == new_file_state::temporary) {
        const signals_held held;
        // Left alone only if it is seen to hold another file: one that a writer of the
        // directory renamed over it, who may remove it as well. A look that fails (a failing
        // disk) leaves a name that only this run knows.
        struct stat now = {};
        const char* const name = made.temporary.data();
        if (fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            same_file(now, made.identity))
            removed = unlinkat(directory, name, 0) == 0 || errno == ENOENT;
        unguard(made);
    }
    made.file.reset();
    made.state = new_file_state::discarded;
    return removed;
}

naming name_new_file(new_file& made, int directory, const char* name)
{
    assert(made.state == new_file_state::unnamed || made.state == new_file_state::temporary);
    const signals_held held;
    if (made.state == new_file_state::unnamed) {
        if (linkat(made.file.fd, "", directory, name, AT_EMPTY_PATH) == 0) {
            made.file.reset();
            made.state = new_file_state::named;
            return naming::named;
        }
        if (errno == EEXIST)
            return kept_for_another_try(made, directory);
        // A kernel that links no file by its descriptor alone: through procfs, under a
        // temporary name, where the link is checked; then renamed. Checked at the output's name
        // instead, the link could be another run's file by then.
        if (errno != ENOENT || !link_under_temporary_name(made, directory))
            return discarded(made, directory);
    }
    const char* const temporary = made.temporary.data();
    if (renameat2(directory, temporary, directory, name, RENAME_NOREPLACE) == 0)
        return now_named(made);
    if (errno == EEXIST)
        return kept_for_another_try(made, directory);
    if (errno != EINVAL)
        return discarded(made, directory);
    // No RENAME_NOREPLACE on this file system (FUSE's fusefat, NFS): the name is checked to be
    // free, then renamed to. Only a file that takes the name between the two is replaced, where
    // the kernel lets this user replace it: as a concurrent run's would be.
    struct stat now = {};
    if (fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0)
        return kept_for_another_try(made, directory);
    if (errno != ENOENT || renameat(directory, temporary, directory, name) != 0)
        return discarded(made, directory);
    return now_named(made);
}

naming replace_with_new_file(new_file& made, int directory, const char* name,
                             const struct stat& replaced)
{
    assert(made.state == new_file_state::unnamed || made.state == new_file_state::temporary);
    const signals_held held;
    if (made.state == new_file_state::unnamed && !link_under_temporary_name(made, directory))
        return discarded(made, directory);
    const char* const temporary = made.temporary.data();
    if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL)
            return discarded(made, directory);
        // No swapping on this file system (NFS): the name is checked to hold the replaced file,
        // then renamed over; only a file that takes the name between the two is lost.
        struct stat now = {};
        if (fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? kept_for_another_try(made, directory)
                                   : discarded(made, directory);
        if (!same_file(now, replaced))
            return kept_for_another_try(made, directory);
        if (renameat(directory, temporary, directory, name) != 0)
            return discarded(made, directory);
        return now_named(made);
    }
    // The temporary name holds what had the name: the replaced file, or one that took the name
    // since it was judged.
    struct stat out = {};
    const bool looked = fstatat(directory, temporary, &out, AT_SYMLINK_NOFOLLOW) == 0;
    if (looked && same_file(out, replaced) && unlinkat(directory, temporary, 0) == 0)
        return now_named(made);
    // Undone: another file had the name, or the replaced one can't be removed (a failing disk).
    if (renameat2(directory, temporary, directory, name, RENAME_EXCHANGE) != 0) {
        now_named(made);
        return naming::failed;
    }
    if (looked && !same_file(out, replaced))
        return kept_for_another_try(made, directory);
    return discarded(made, directory);
}
