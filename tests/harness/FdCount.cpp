// Counting /proc/self/fd, before and after a test.
#include "tests/harness/FdCount.h"

#include <dirent.h>
#include <gtest/gtest.h>

namespace kova::testing {

std::size_t openFdCount() {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) return 0;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(directory);
    return count - 1;  // the directory stream's own fd
}

FdLeakGuard::FdLeakGuard() : atStart_(openFdCount()) {}

FdLeakGuard::~FdLeakGuard() {
    const std::size_t atEnd = openFdCount();
    EXPECT_EQ(atEnd, atStart_) << "the test ended with " << atEnd << " open fds, it began with "
                               << atStart_;
}

}  // namespace kova::testing
