// Counting /proc/self/fd, before and after a test.
#include "tests/harness/FdCount.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kova::testing {

std::size_t openFdCount() {
    std::error_code error;
    std::filesystem::directory_iterator fds("/proc/self/fd", error);
    // Less the directory's own fd.
    return std::size_t(std::distance(std::filesystem::begin(fds), std::filesystem::end(fds))) - 1;
}

FdLeakGuard::FdLeakGuard() : atStart_(openFdCount()) {}

FdLeakGuard::~FdLeakGuard() {
    const std::size_t atEnd = openFdCount();
    EXPECT_EQ(atEnd, atStart_) << "the test ended with " << atEnd << " open fds, it began with "
                               << atStart_;
}

}  // namespace kova::testing
