// Counting this process's open fds, and FdLeakGuard, which fails the running test when it ends
// with a different number of them.
//
// Threading: create and destroy a guard on the test's thread. Declare it before (above) any
// fixture member that owns fds, so that it is checked after they are gone.
#pragma once

#include <cstddef>

namespace kova::testing {

// The number of fds this process has open (entries of /proc/self/fd).
std::size_t openFdCount();

class FdLeakGuard {
  public:
    FdLeakGuard();
    ~FdLeakGuard();
    FdLeakGuard(const FdLeakGuard&) = delete;
    FdLeakGuard& operator=(const FdLeakGuard&) = delete;

  private:
    std::size_t atStart_;
};

}  // namespace kova::testing
