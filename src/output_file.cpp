// The output as a whole: what the kernel lets the run do at the output's name, and a new file
// that takes the name only once it is complete, written out and dressed as the old one was.
#include "output_file.h"

#include "file_attributes.h"
#include "output_target.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Waits for file's data to be stored on the disk, as far as its file system can say; false if it
// could not be (EIO: a failing disk, say). A file system that can't be synced at all (EINVAL:
// it has no way to) has nothing to wait for.
bool write_out(int file)
{
    return fdatasync(file) == 0 || errno == EINVAL;
}

// True for the errors by which the kernel or a file system refuses an act outright, as against
// lacking the room or the means for it (ENOSPC, EDQUOT, EIO, ENOMEM): a file that can't be
// replaced for want of room is not rewritten in place either, as that would lose it.
bool refused(int error)
{
    return error == EACCES || error == EPERM || error == EOPNOTSUPP || error == ENOSYS ||
           error == EINVAL;
}

// Makes out's new file beside the target: for a replacement, open to nobody else, then given
// the old file's attributes; for a new name, with fopen's mode. True if it is ready to write;
// otherwise false with errno set, having left nothing behind.
bool make_new_file(output_file& out, const output_target& target)
{
    const bool replacing = target.kind == target_kind::replaceable;
    out.made = create_new_file(target.directory, replacing ? 0600 : 0666);
    if (out.made.file < 0)
        return false;
    if (!replacing || copy_attributes(target.file, target.status, out.made.file))
        return true;
    discard_new_file(out.made, target.directory);
    return false;
}

// Gives out's complete new file the output's name. Should the name have changed hands since
// it was judged (another run, or another program, took a free name or replaced the file), what
// has it now is judged in turn and replaced, as it would have been had it been there first.
bool give_name(output_file& out)
{
    // Each attempt lost is lost to a run that named its file meanwhile: as many as run at once.
    constexpr int attempts = 100;
    const char* const name = out.name.data();
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const bool named = out.route == output_route::replacing
                               ? replace_with_new_file(out.made, out.directory, name, out.replaced)
                               : name_new_file(out.made, out.directory, name);
        if (named || out.made.file < 0)
            return named;
        output_target now;
        now.directory = fcntl(out.directory, F_DUPFD_CLOEXEC, 0);
        now.name = out.name;
        const bool judged = now.directory >= 0 && find_target_again(now) && !now.by_link &&
                            (now.kind == target_kind::nothing ||
                             (now.kind == target_kind::replaceable &&
                              copy_attributes(now.file, now.status, out.made.file)));
        out.route =
            now.kind == target_kind::nothing ? output_route::new_name : output_route::replacing;
        out.replaced = now.status;
        close_target(now);
        if (!judged)
            return false;
    }
    return false;
}

} // namespace

output_file open_output(const char* path)
{
    output_file out;
    output_target target;
    if (find_output_target(path, target)) {
        if (target.kind != target_kind::in_place && make_new_file(out, target)) {
            out.route = target.kind == target_kind::nothing ? output_route::new_name
                                                            : output_route::replacing;
            out.directory = target.directory;
            out.name = target.name;
            out.replaced = target.status;
            target.directory = -1;
            const int writing = fcntl(out.made.file, F_DUPFD_CLOEXEC, 0);
            out.stream = writing < 0 ? nullptr : fdopen(writing, "wb");
            if (out.stream == nullptr) {
                if (writing >= 0)
                    close(writing);
                discard_new_file(out.made, out.directory);
            }
        } else if (target.kind == target_kind::in_place ||
                   (target.kind == target_kind::replaceable && refused(errno))) {
            // fopen's truncation, now that the file is known to be rewritten where it is.
            if (!S_ISREG(target.status.st_mode) || ftruncate(target.file, 0) == 0)
                out.stream = fdopen(target.file, "wb");
            if (out.stream != nullptr)
                target.file = -1;
        }
    }
    close_target(target);
    if (out.stream == nullptr && out.directory >= 0) {
        close(out.directory);
        out.directory = -1;
    }
    return out;
}

bool close_output(output_file& out, bool written)
{
    std::FILE* const stream = out.stream;
    out.stream = nullptr;
    if (out.route == output_route::in_place)
        return std::fclose(stream) == 0 && written;
    // The data goes to the disk before the name does. Without this, file systems write the new
    // name out first (ext4 within 5 seconds, and at once when any program syncs), the data only
    // later (30 seconds and more), so a crash between the two leaves an empty file at the name.
    bool complete = written && std::fflush(stream) == 0 && write_out(fileno(stream));
    // The close flushes the stream's buffer: a full disk often shows only here.
    complete = std::fclose(stream) == 0 && complete;
    const bool named = complete && give_name(out);
    discard_new_file(out.made, out.directory); // if it was not named
    close(out.directory);
    out.directory = -1;
    return named;
}
