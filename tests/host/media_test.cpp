// Host media tests: pixel-buffer pools in sealed shared memory (what peers may do with it, when
// memory is reused) and the pattern fill.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>
#include <vector>

#include "base/MemFd.h"
#include "host/media/CMFormatDescription.h"
#include "host/media/CMSampleBuffer.h"
#include "host/media/CVPixelBuffer.h"
#include "host/media/PatternFill.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace {

using kova::base::MemFd;
using kova::base::MemoryMapping;
using kova::base::UniqueFD;
using kova::testing::FdLeakGuard;
using kova::testing::ScopedFakeHost;

constexpr std::size_t kFrameBytes = 3200 * 960;

CVPixelBufferRef takeBuffer(const CVPixelBufferPoolRef& pool) {
    CVPixelBufferRef buffer;
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer),
              kCVReturnSuccess);
    return buffer;
}

class PixelBufferPoolTest : public ::testing::Test {
  protected:
    CVPixelBufferPoolRef makePool() {
        auto attributes = std::make_shared<CFDictionary>();
        attributes->entries[kCVPixelBufferPixelFormatTypeKey] =
            std::uint32_t(kCVPixelFormatType_32BGRA);
        attributes->entries[kCVPixelBufferWidthKey] = std::int64_t(800);
        attributes->entries[kCVPixelBufferHeightKey] = std::int64_t(960);
        attributes->entries[kCVPixelBufferIOSurfacePropertiesKey] =
            std::make_shared<const CFDictionary>();
        CVPixelBufferPoolRef pool;
        EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, attributes, &pool),
                  kCVReturnSuccess);
        return pool;
    }

    FdLeakGuard fds_;
    ScopedFakeHost host_;
};

// Peers are sent a pool buffer's fd: they may map it to read, never write, grow or shrink it.
TEST_F(PixelBufferPoolTest, BuffersAreSealedMemoryThatPeersCanOnlyRead) {
    const auto buffer = takeBuffer(makePool());
    ASSERT_TRUE(buffer);
    ASSERT_EQ(CVPixelBufferGetDataSize(buffer), kFrameBytes);
    const int fd = buffer->memory().fd().get();
    constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL;
    EXPECT_EQ(::fcntl(fd, F_GET_SEALS) & kSeals, kSeals);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(std::size_t(status.st_size), kFrameBytes);
    EXPECT_EQ(MemoryMapping::create(fd, kFrameBytes, true).failure().error, -EPERM);
    const std::uint8_t byte = 1;
    EXPECT_EQ(::pwrite(fd, &byte, 1, 0), -1);
    EXPECT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), -1);
    EXPECT_EQ(MemFd::checkImported(fd, kFrameBytes), 0);

    // Imported memory sealed against shrinking only could still grow under the camera.
    const UniqueFD shrinkOnly(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    ASSERT_EQ(::ftruncate(shrinkOnly.get(), 4096), 0);
    ASSERT_EQ(::fcntl(shrinkOnly.get(), F_ADD_SEALS, F_SEAL_SHRINK), 0);
    EXPECT_EQ(MemFd::checkImported(shrinkOnly.get(), 4096), -EPERM);
}

// A buffer goes back to the pool only when its last holder (a sample buffer wrapping it
// included) lets go; at the ceiling the pool refuses until one does.
TEST_F(PixelBufferPoolTest, MemoryIsReusedOnlyOnceEveryHolderHasReleasedIt) {
    const auto pool = makePool();
    std::vector<CVPixelBufferRef> held;
    for (std::size_t i = 0; i < kCVPixelBufferPoolMaximumBufferCount; ++i) {
        held.push_back(takeBuffer(pool));
        ASSERT_TRUE(held.back());
    }
    CVPixelBufferRef refused;
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &refused),
              kCVReturnWouldExceedAllocationThreshold);
    EXPECT_FALSE(refused);

    CMFormatDescriptionRef format;
    ASSERT_EQ(CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, 800,
                                             960, nullptr, &format),
              noErr);
    CMSampleTimingInfo timing;
    CMSampleBufferRef sample;
    ASSERT_EQ(CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, held[7], true, nullptr,
                                                 nullptr, format, &timing, &sample),
              noErr);
    const std::uint64_t id = held[7]->memory().id();
    held[7].reset();
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &refused),
              kCVReturnWouldExceedAllocationThreshold)
        << "memory a sample buffer still holds was handed out again";
    sample.reset();
    const auto recycled = takeBuffer(pool);
    ASSERT_TRUE(recycled);
    EXPECT_EQ(recycled->memory().id(), id);
    EXPECT_NE(takeBuffer(makePool())->memory().id(), id) << "ids are unique across pools";

    // A buffer outliving its pool keeps its memory usable, then frees it (the fd guard sees).
    auto outliving = takeBuffer(makePool());
    ASSERT_EQ(CVPixelBufferLockBaseAddress(outliving, 0), kCVReturnSuccess);
    static_cast<std::uint8_t*>(CVPixelBufferGetBaseAddress(outliving))[kFrameBytes - 1] = 1;
    CVPixelBufferUnlockBaseAddress(outliving, 0);
}

TEST(PatternFill, MatchesAByteLoopForEveryLengthAndAlignment) {
    constexpr std::uint8_t kPattern[4] = {0x1E, 0x1C, 0x2C, 0xFF};
    constexpr std::size_t kGuard = 64;
    std::vector<std::size_t> lengths(300);
    std::iota(lengths.begin(), lengths.end(), 0);
    // Around the switch to the string store (1 MiB of aligned body) too.
    for (std::size_t big : {4095u, 4096u, 4097u, 65536u + 13u, (1u << 20) + 17u, (1u << 20) + 40u,
                            3200u * 960u + 3u}) {
        lengths.push_back(big);
    }
    std::vector<std::uint8_t> actual, expected;
    auto variants = kova::host::patternFillVariants();
    variants.push_back({"memset_pattern4", memset_pattern4});
    for (const auto& variant : variants) {
        for (const std::size_t len : lengths) {
            for (std::size_t misalignment = 0; misalignment < 64; ++misalignment) {
                if (len > 4096 && misalignment % 7 != 0) continue;  // keeps the big ones quick
                actual.assign(len + misalignment + 2 * kGuard, 0xAA);
                expected = actual;
                variant.fill(actual.data() + kGuard + misalignment, kPattern, len);
                for (std::size_t i = 0; i < len; ++i) {
                    expected[kGuard + misalignment + i] = kPattern[i % 4];
                }
                ASSERT_EQ(actual, expected)
                    << variant.name << ", length " << len << ", misalignment " << misalignment;
            }
        }
    }
}

}  // namespace
