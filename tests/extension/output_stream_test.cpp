// The output stream source "Kova Video": its pool and queue, and the placeholder timer: the
// picture, its timing, the idle rule, failures, start and stop; and the host-time conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "Sources/CameraExtension/CameraStreamSource.h"
#include "Sources/CameraExtension/ExtensionSupport.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace kova::testing {
namespace {

using kova::host::HostOperation;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class OutputStreamTest : public ::testing::Test {
  protected:
    std::shared_ptr<CameraStreamSource> makeSource() {
        return CameraStreamSource::create("Kova Video", device);
    }
    std::vector<FakeHost::SentBuffer> sent() const {
        return madeOn(host->sentBuffers(), source->stream);
    }
    // The frames of the next tick, the last frame's buffer given back to the pool first.
    std::vector<FakeHost::SentBuffer> nextTick() {
        host->clearRecords();
        host->advanceBy(kNanosecondsPerSecond / 30 + 1);
        return sent();
    }

    ScopedFakeHost host;
    CMIOExtensionDeviceRef device = makeTestDevice();
    std::shared_ptr<CameraStreamSource> source = makeSource();
};

// The pool is asked for exactly these attributes, each number in the type the host reads it as
// (a CFNumber of another type compares unequal).
TEST_F(OutputStreamTest, PoolIsAskedForExactlyFourAttributesOfTheirTypes) {
    const auto requests = host->requestedPoolAttributes();
    ASSERT_EQ(requests.size(), 1u);
    const auto& entries = requests[0]->entries;
    ASSERT_EQ(entries.size(), 4u);
    const std::pair<std::string, CFNumber> numbers[] = {
        {kCVPixelBufferPixelFormatTypeKey, std::uint32_t{0x42475241}},
        {kCVPixelBufferWidthKey, std::int64_t{800}},
        {kCVPixelBufferHeightKey, std::int64_t{960}},
    };
    for (const auto& [key, number] : numbers) {
        EXPECT_TRUE(entries.at(key) == CFPropertyList{number}) << key;
    }
    const auto surface =
        std::get<CFDictionaryRef>(entries.at(kCVPixelBufferIOSurfacePropertiesKey));
    ASSERT_TRUE(surface);
    EXPECT_TRUE(surface->entries.empty());
}

// Each start replaces the timer with one that ticks at once, then 30 times a second; a stop
// cancels (not merely drops) it. The ticks run on the stream's own serial queue, one for every
// timer it starts, so that they never run two at a time nor on a host thread; its name is what
// shows in a debugger.
TEST_F(OutputStreamTest, EachStartTicksAtOnceThenThirtyTimesASecondUntilStopped) {
    EXPECT_TRUE(source->stopStream(nullptr));  // never started: nothing to stop
    for (int start = 0; start < 2; ++start) {
        host->advanceBy(7 * kMillisecond);
        const std::uint64_t startedAt = host->hostTimeNanoseconds();
        EXPECT_TRUE(source->startStream(nullptr));
        EXPECT_EQ(host->armedTimerCount(), 1u);
        EXPECT_TRUE(sent().empty());  // the timer fires, not startStream() itself
        host->advanceBy(kNanosecondsPerSecond);
        const auto frames = sent();
        ASSERT_EQ(frames.size(), 31u);
        EXPECT_EQ(frames[0].clockAtSend, startedAt);
        EXPECT_EQ(frames[30].clockAtSend, startedAt + kNanosecondsPerSecond) << "the ticks drift";
        host->clearRecords();  // gives the buffers back to the pool
    }
    const auto timers = host->armedTimers();
    ASSERT_EQ(timers.size(), 2u);
    EXPECT_EQ(timers[0]->queue()->label(), "camera.placeholder");
    EXPECT_EQ(timers[1]->queue(), timers[0]->queue());

    EXPECT_TRUE(source->stopStream(nullptr));
    EXPECT_EQ(host->armedTimerCount(), 0u);
    host->advanceBy(kNanosecondsPerSecond);
    EXPECT_TRUE(sent().empty());
}

// Packed rows; padded rows, whose panels are counted from each row's start; and an odd stride,
// across which the background stays in phase with the frame's first byte.
TEST_F(OutputStreamTest, PictureForEveryRowPadding) {
    for (const std::size_t padding : {0u, 72u, 2u}) {
        SCOPED_TRACE(padding);
        host->setPixelBufferRowPadding(padding);
        source = makeSource();  // the pool takes the padding when it is made
        host->clearRecords();
        source->startStream(nullptr);
        host->fireDueTimers();
        ASSERT_EQ(sent().size(), 1u);
        const CMSampleBufferRef frame = sent()[0].sampleBuffer;
        ASSERT_EQ(CVPixelBufferGetBytesPerRow(frame->imageBuffer()), 3200u + padding);
        EXPECT_EQ(bytesOf(frame), placeholderBytes(3200 + padding));
    }
}

TEST_F(OutputStreamTest, IdleRuleIsStrictlyMoreThanHalfASecond) {
    constexpr std::uint64_t kNow = 10'500'000'000;
    const struct {
        std::uint64_t now;
        double lastSinkFrame;
        std::size_t sent;
    } cases[] = {
        {kNow, 10.0, 0},                       // exactly 0.5 s
        {kNow, std::nextafter(10.0, 0.0), 1},  // 0.5 s and the smallest double more
        {kNow + 1, 10.0, 1},                   // one clock step more
        {kNow, 10.3, 0},
        {kNow, 11.0, 0},  // a frame later than now
        {kNow, kNaN, 0},
        {kNow, -kInfinity, 1},
    };
    for (const auto& c : cases) {
        host->setHostTime(c.now);
        source->lastSinkFrameHostSeconds = c.lastSinkFrame;
        host->clearRecords();
        source->startStream(nullptr);  // a new timer whose first tick is due now
        host->fireDueTimers();
        EXPECT_EQ(sent().size(), c.sent) << c.now << " ns, last frame at " << c.lastSinkFrame;
    }
}

// A failed step skips its frame only; a frame that could not be painted goes out as it is and
// is painted at its next use.
TEST_F(OutputStreamTest, EachFailureInATickSkipsExactlyThatStep) {
    source->startStream(nullptr);
    host->failNext(HostOperation::LockBaseAddress);
    host->fireDueTimers();  // the pool's first buffer: fresh memory, all zero
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(bytesOf(sent()[0].sampleBuffer), std::vector<std::uint8_t>(3200 * 960));
    const auto frames = nextTick();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(bytesOf(frames[0].sampleBuffer), placeholderBytes(3200));

    for (const auto& [op, status] :
         {std::pair{HostOperation::CreatePixelBuffer, kCVReturnPoolAllocationFailed},
          std::pair{HostOperation::CreateSampleBuffer, kCMSampleBufferError_AllocationFailed}}) {
        host->failNext(op, status);
        EXPECT_EQ(nextTick().size(), 0u);
        EXPECT_EQ(nextTick().size(), 1u);
    }

    host->failNext(HostOperation::CreatePixelBufferPool);
    source = makeSource();
    EXPECT_TRUE(source->startStream(nullptr)) << "without a pool the stream still starts";
    EXPECT_TRUE(nextTick().empty());
}

// A pool buffer is painted when first used; one written into since (by somebody in this
// process) is painted again before it goes out once more.
TEST_F(OutputStreamTest, APoolBufferWrittenSinceItWasPaintedIsPaintedAgain) {
    const auto surfaceOf = [](const FakeHost::SentBuffer& frame) {
        return IOSurfaceGetID(CVPixelBufferGetIOSurface(frame.sampleBuffer->imageBuffer()));
    };
    source->startStream(nullptr);
    host->fireDueTimers();
    ASSERT_EQ(sent().size(), 1u);
    const IOSurfaceID surface = surfaceOf(sent()[0]);
    {
        const CVPixelBufferRef buffer = sent()[0].sampleBuffer->imageBuffer();
        ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
        std::memset(CVPixelBufferGetBaseAddress(buffer), 0x55, 3200 * 200);
        CVPixelBufferUnlockBaseAddress(buffer, 0);
    }
    const auto frames = nextTick();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(surfaceOf(frames[0]), surface) << "the pool handed out another buffer";
    EXPECT_EQ(bytesOf(frames[0].sampleBuffer), placeholderBytes(3200));
}

TEST(ExtensionSupportDeathTest, HostTimeConversionsAtTheirBoundaries) {
    // The largest number of seconds whose nanoseconds stay below 2^64, and the next one up.
    double lastBelow = 0x1p64 / 1e9;
    while (lastBelow * 1e9 >= 0x1p64) lastBelow = std::nextafter(lastBelow, 0.0);
    const double firstAtOrAbove = std::nextafter(lastBelow, HUGE_VAL);
    ASSERT_GE(firstAtOrAbove * 1e9, 0x1p64);

    // Relaying: a pushed time to the nearest nanosecond; no time or one before 0 goes out at 0;
    // +infinity and 2^64 ns and up not at all.
    const struct {
        double seconds;
        std::optional<std::uint64_t> relayed;
    } relay[] = {
        {12.5, 12'500'000'000u},
        {33'000'000'000'124 / 1e9, 33'000'000'000'124u},  // * 1e9 gives ...123.996
        {-0.25, 0u},
        {-kInfinity, 0u},
        {kNaN, 0u},
        {kInfinity, std::nullopt},
        {lastBelow, std::uint64_t(lastBelow * 1e9)},
        {firstAtOrAbove, std::nullopt},
    };
    for (const auto& c : relay) EXPECT_EQ(relayHostNanoseconds(c.seconds), c.relayed) << c.seconds;

    // The host's own times: truncated toward zero.
    EXPECT_EQ(hostNanoseconds(12.5), 12'500'000'000u);
    EXPECT_EQ(hostNanoseconds(-0.5e-9), 0u);
    EXPECT_EQ(hostNanoseconds(1.9999999999e-9), 1u);

    // The compiled-in sizes pass through 32 bits; the whole range does.
    using Int32 = std::numeric_limits<std::int32_t>;
    EXPECT_EQ(int32OrFatal(Int32::max()), Int32::max());
    EXPECT_EQ(int32OrFatal(Int32::min()), Int32::min());

    // Outside their ranges both end the process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const double seconds : {-1e-6, 18446744074.0, kNaN}) {
        EXPECT_DEATH(hostNanoseconds(seconds), "") << seconds;
    }
    EXPECT_DEATH(int32OrFatal(std::int64_t{Int32::max()} + 1), "");
}

}  // namespace
}  // namespace kova::testing
