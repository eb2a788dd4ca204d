// One owner for each open descriptor: it is closed when its owner goes, and changes hands only
// by being moved.
#pragma once

#include <utility>

#include <unistd.h>

struct unique_fd {
    int fd = -1;

    unique_fd() = default;
    explicit unique_fd(int opened) : fd(opened) {}
    unique_fd(unique_fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd()
    {
        reset();
    }

    bool is_open() const
    {
        return fd >= 0;
    }

    // Gives the descriptor up to a new owner (a stream, say), which closes it.
    int release()
    {
        return std::exchange(fd, -1);
    }

    // Closes the descriptor. Its close can fail only with EINTR or EIO, after the descriptor is
    // gone either way; a file whose data matters was written out or flushed before.
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};
