// The output as a whole: what the kernel lets the run do at the output's name, and a new file
// that takes the name only once it is complete, written out and dressed as the old one was.
#include "output_file.h"

#include "file_attributes.h"
#include "output_target.h"

#include <cassert>
#include <cerrno>

#include <fcntl.h>

namespace {

// Waits for file's data to be stored on the disk, as far as its file system can say; false if it
// could not be (EIO: a failing disk, say). A file system that can't be synced at all (EINVAL:
// it has no way to) has nothing to wait for.
bool write_out(int file)
{
    return fdatasync(file) == 0 || errno == EINVAL;
}

// Rewrites target's file where it is: fopen's truncation, once the stream that is to write it
// exists, so that a failure before leaves the file whole.
output_file open_in_place(output_target& target)
{
    output_file out;
    out.stream = fdopen(target.file.fd, "wb");
    if (out.stream == nullptr)
        return out;
    target.file.release(); // the stream's now
    if (S_ISREG(target.status.st_mode) && ftruncate(fileno(out.stream), 0) != 0) {
        std::fclose(out.stream);
        out.stream = nullptr;
        return out;
    }
    out.state = output_state::writing_in_place;
    return out;
}

// Gives out's complete new file the output's name. Should the name have changed hands since
// it was judged, what has it now is judged in turn and the new file dressed for it.
bool give_name(output_file& out)
{
    // Each attempt lost is lost to a run that named its file meanwhile: as many as run at once.
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const naming named =
            out.route == output_route::replacing
                ? replace_with_new_file(out.made, out.directory.fd, out.name.data(), out.replaced)
                : name_new_file(out.made, out.directory.fd, out.name.data());
        if (named != naming::taken)
            return named == naming::named;
        output_target now;
        if (!judge_again(out.directory.fd, out.name, now) || now.kind == target_kind::in_place ||
            (now.kind == target_kind::replaceable &&
             copy_attributes(now.file.fd, now.status, out.made.file.fd) != step_result::done))
            break;
        out.route =
            now.kind == target_kind::nothing ? output_route::new_name : output_route::replacing;
        out.replaced = now.status;
    }
    discard_new_file(out.made, out.directory.fd);
    return false;
}

} // namespace

output_file open_output(const char* path)
{
    output_target target;
    if (!find_output_target(path, target))
        return {};
    if (target.kind == target_kind::in_place)
        return open_in_place(target);

    const bool replacing = target.kind == target_kind::replaceable;
    output_file out;
    out.route = replacing ? output_route::replacing : output_route::new_name;
    out.replaced = target.status;
    out.name = target.name;
    out.directory = std::move(target.directory);
    // For a replacement, open to nobody else until it has the old file's attributes.
    step_result made = create_new_file(out.directory.fd, replacing ? 0600 : 0666, out.made);
    if (made == step_result::done && replacing) {
        made = copy_attributes(target.file.fd, target.status, out.made.file.fd);
        // A temporary name that can't be removed is no place to rewrite the old file from.
        if (made != step_result::done && !discard_new_file(out.made, out.directory.fd))
            made = step_result::failed;
    }
    if (made == step_result::refused && replacing)
        return open_in_place(target);
    if (made != step_result::done)
        return {};
    target.file.reset();
    unique_fd writing(fcntl(out.made.file.fd, F_DUPFD_CLOEXEC, 0));
    out.stream = writing.is_open() ? fdopen(writing.fd, "wb") : nullptr;
    if (out.stream == nullptr) {
        discard_new_file(out.made, out.directory.fd);
        return {};
    }
    writing.release(); // the stream's now
    out.state = output_state::writing_new_file;
    return out;
}

bool close_output(output_file& out, bool written)
{
    assert(out.state == output_state::writing_in_place ||
           out.state == output_state::writing_new_file);
    std::FILE* const stream = out.stream;
    out.stream = nullptr;
    const output_state was = out.state;
    out.state = output_state::closed;
    if (was == output_state::writing_in_place)
        return std::fclose(stream) == 0 && written;
    // The data goes to the disk before the name does. Without this, file systems write the new
    // name out first (ext4 within 5 seconds, and at once when any program syncs), the data only
    // later (30 seconds and more), so a crash between the two leaves an empty file at the name.
    bool complete = written && std::fflush(stream) == 0 && write_out(fileno(stream));
    // The close flushes the stream's buffer: a full disk often shows only here.
    complete = std::fclose(stream) == 0 && complete;
    if (complete)
        return give_name(out);
    discard_new_file(out.made, out.directory.fd);
    return false;
}
