// Host media tests: pixel-buffer pools in sealed shared memory (what peers may do with it, when
// memory is reused) and the pattern fill.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

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

constexpr std::size_t kFrameBytes = 3200 * 960;

class PixelBufferPoolTest : public ::testing::Test {
  protected:
    static CVPixelBufferPoolRef makePool() {
        return std::make_shared<CVPixelBufferPool>(
            CVPixelBuffer::Layout{800, 960, kCVPixelFormatType_32BGRA, 3200});
    }
    static CVPixelBufferRef take(const CVPixelBufferPoolRef& pool) {
        CVPixelBufferRef buffer;
        pool->createPixelBuffer(&buffer);
        return buffer;
    }

    kova::testing::FdLeakGuard fds_;
    kova::testing::ScopedFakeHost host_;
};

// Peers are sent a pool buffer's fd: they may map it to read, never write, grow or shrink it.
TEST_F(PixelBufferPoolTest, BuffersAreSealedMemoryThatPeersCanOnlyRead) {
    const auto buffer = take(makePool());
    ASSERT_TRUE(buffer);
    ASSERT_EQ(CVPixelBufferGetDataSize(buffer), kFrameBytes);
    const int fd = buffer->memory().fd().get();
    constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL;
    EXPECT_EQ(::fcntl(fd, F_GET_SEALS) & kSeals, kSeals);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), off_t(kFrameBytes));
    EXPECT_EQ(MemFd::checkImported(fd, kFrameBytes), 0);
}

// A buffer goes back to the pool only when its last holder (a sample buffer wrapping it
// included) lets go; at the ceiling the pool refuses until one does. A buffer outliving its
// pool keeps its memory usable, then frees it (the fd guard sees).
TEST_F(PixelBufferPoolTest, MemoryIsReusedOnlyOnceEveryHolderHasReleasedIt) {
    const auto pool = makePool();
    std::vector<CVPixelBufferRef> held;
    for (std::size_t i = 0; i < kCVPixelBufferPoolMaximumBufferCount; ++i) {
        held.push_back(take(pool));
        ASSERT_TRUE(held.back());
    }
    CVPixelBufferRef refused;
    EXPECT_EQ(pool->createPixelBuffer(&refused), kCVReturnWouldExceedAllocationThreshold);
    EXPECT_FALSE(refused);

    CMSampleBufferRef sample = std::make_shared<const CMSampleBuffer>(
        held[7],
        std::make_shared<const CMFormatDescription>(kCVPixelFormatType_32BGRA,
                                                    CMVideoDimensions{800, 960}),
        CMSampleTimingInfo{});
    const std::uint64_t id = held[7]->memory().id();
    held[7].reset();
    EXPECT_EQ(pool->createPixelBuffer(&refused), kCVReturnWouldExceedAllocationThreshold)
        << "memory a sample buffer still holds was handed out again";
    sample.reset();
    const auto recycled = take(pool);
    ASSERT_TRUE(recycled);
    EXPECT_EQ(recycled->memory().id(), id);
    EXPECT_NE(take(makePool())->memory().id(), id) << "ids are unique across pools";

    auto outliving = take(makePool());
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
    lengths.insert(lengths.end(),
                   {4095, 4096, 4097, 65536 + 13, (1 << 20) + 17, (1 << 20) + 40, 3200 * 960 + 3});
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
