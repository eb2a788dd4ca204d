// One owner for each open descriptor: closed when its owner goes, handed on only by a move.
#pragma once

#include <utility>

#include <unistd.h>

struct unique_fd {
    int fd = -1;
    unique_fd() = default;
    explicit unique_fd(int opened) : fd(opened) {}
    unique_fd(unique_fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    // The descriptor held before goes to other, and is closed with it.
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    // A close fails only once the descriptor is gone anyway; data that matters was synced before.
    ~unique_fd()
    {
        if (fd >= 0)
            close(fd);
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
};
