// UniqueFD: sole owner of a file descriptor, closed when the owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace kova::base {

// Move-only. Threading: a UniqueFD is used by one thread at a time.
class UniqueFD {
  public:
    UniqueFD() = default;
    explicit UniqueFD(int fd) : fd_(fd) {}
    ~UniqueFD() { reset(); }

    UniqueFD(UniqueFD&& other) noexcept : fd_(other.release()) {}
    UniqueFD& operator=(UniqueFD&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFD(const UniqueFD&) = delete;
    UniqueFD& operator=(const UniqueFD&) = delete;

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }
    explicit operator bool() const { return isValid(); }

    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace kova::base
