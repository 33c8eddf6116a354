// SharedFD: a file descriptor shared by several owners, closed when the last one goes.
#pragma once

#include <memory>

#include "base/UniqueFD.h"

namespace kova::base {

// Copyable handle for buffer memory: a pixel buffer's memfd outlives every message that names it.
// Threading: copies may be used and dropped from any thread.
class SharedFD {
  public:
    SharedFD() = default;
    explicit SharedFD(UniqueFD fd)
        : fd_(fd.isValid() ? std::make_shared<const UniqueFD>(std::move(fd)) : nullptr) {}

    int get() const { return fd_ ? fd_->get() : -1; }
    bool isValid() const { return fd_ != nullptr; }
    explicit operator bool() const { return isValid(); }

    bool operator==(const SharedFD& other) const { return fd_ == other.fd_; }

  private:
    std::shared_ptr<const UniqueFD> fd_;
};

}  // namespace kova::base
