// The sink stream source "Kova Sink" and its relay: start and stop, the times a relayed buffer
// is sent and recorded with, the order of the relay's steps, the races between stop, start and
// an outstanding request, and the weak links to both stream sources.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "Sources/CameraExtension/CameraStreamSource.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace kova::testing {
namespace {

class SinkStreamTest : public ::testing::Test {
  protected:
    SinkStreamTest() { sink->sourceStream = output; }

    // Starts the sink stream and a relay for `client`, as a connect while started does.
    void startRelay() {
        sink->startStream(nullptr);
        sink->startPump(client);
        host->clearRecords();
    }
    std::vector<FakeHost::SentBuffer> sent() const {
        return madeOn(host->sentBuffers(), output->stream);
    }
    std::size_t pending() const {
        return madeOn(host->pendingConsumeRequests(), sink->stream).size();
    }
    // Pushes a buffer with this presentation time through the relay's outstanding request.
    // The host's flags say the time jumped: the relay passes on none.
    CMSampleBufferRef push(CMTime presentationTime, std::uint64_t sequenceNumber = 1) {
        CMSampleBufferRef buffer = host->makeSampleBuffer(presentationTime);
        EXPECT_TRUE(host->completeConsume(client, buffer, sequenceNumber,
                                          CMIOExtensionStreamDiscontinuityFlagTime));
        return buffer;
    }

    ScopedFakeHost host;
    CMIOExtensionDeviceRef device = makeTestDevice();
    std::shared_ptr<CameraStreamSource> output = CameraStreamSource::create("Kova Video", device);
    std::shared_ptr<CameraSinkStreamSource> sink =
        CameraSinkStreamSource::create("Kova Sink", device);
    CMIOExtensionClientRef client = FakeHost::makeClient();
};

// The flag shows in whether a completed request is followed by another: one, however many
// buffers the host says are waiting, or none. A request out when the stream stops still relays its
// buffer; a start before it completes keeps the relay going.
TEST_F(SinkStreamTest, TheRelayAsksAgainOnlyWhileTheStreamIsStarted) {
    EXPECT_TRUE(sink->stopStream(nullptr));  // stopped already: still success
    EXPECT_TRUE(sink->startStream(nullptr));
    EXPECT_TRUE(sink->startStream(nullptr));
    EXPECT_EQ(pending(), 0u) << "starting asks the host for no buffer";
    sink->startPump(client);
    // A completion without a buffer only asks again.
    ASSERT_TRUE(host->completeConsume(client, nullptr, 9, 0, false, NSError{"test", -5, "none"}));
    EXPECT_EQ(host->callLog(), (std::vector<std::string>{"consume", "consume"}));
    EXPECT_EQ(output->lastSinkFrameHostSeconds.load(), 0.0);
    ASSERT_TRUE(host->completeConsume(client, host->makeSampleBuffer(CMTimeMake(1, 1)), 7, 0,
                                      /*hasMore=*/true));
    EXPECT_EQ(pending(), 1u);

    sink->stopStream(nullptr);
    sink->startStream(nullptr);
    push(CMTimeMake(2, 1));
    EXPECT_EQ(pending(), 1u);

    sink->stopStream(nullptr);
    host->clearRecords();
    const CMSampleBufferRef buffer = push(CMTimeMake(3, 1), 42);
    ASSERT_EQ(host->callLog(), (std::vector<std::string>{"send", "scheduledOutput"}));
    EXPECT_EQ(sent()[0].sampleBuffer, buffer);
    EXPECT_EQ(host->scheduledOutputs()[0].sequenceNumber, 42u);
    EXPECT_EQ(pending(), 0u);
}

// What the relay does with each kind of time (where the limits of a host time lie is the
// conversion's own test). The time is recorded before the send, so that no placeholder tick
// can come between; the report on the sink stream reads the clock after the send.
TEST_F(SinkStreamTest, PresentationTimesBecomeRelayHostTimes) {
    startRelay();
    constexpr std::uint64_t kRelayedAt = 1'234'500'000'000, kSentAt = 5'000'000'000'000;
    double recordedAtSend = 0;
    host->beforeSend = [&] {
        recordedAtSend = output->lastSinkFrameHostSeconds.load();
        host->setHostTime(kSentAt);
    };
    constexpr double kUnchanged = -1;
    const struct {
        CMTime presentationTime;
        std::optional<std::uint64_t> sentAt;  // none: not sent
        double recorded;                      // the output stream's time of the last frame
    } cases[] = {
        {CMTimeMake(25, 2), 12'500'000'000u, 12.5},
        {CMTimeMake(-1, 4), 0u, -0.25},
        {kCMTimeNegativeInfinity, 0u, -std::numeric_limits<double>::infinity()},
        // No number of seconds: sent at 0, and recorded as the moment of relaying, so the
        // placeholder comes back 0.5 s after it.
        {kCMTimeInvalid, 0u, 1234.5},
        {CMTimeMake(25, 2), 12'500'000'000u, 12.5},
        {kCMTimeIndefinite, 0u, 1234.5},
        // Past what nanoseconds can hold: not sent, not recorded, still reported.
        {kCMTimePositiveInfinity, std::nullopt, kUnchanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.presentationTime.seconds());
        const double recorded =
            c.recorded == kUnchanged ? output->lastSinkFrameHostSeconds.load() : c.recorded;
        host->clearRecords();
        host->setHostTime(kRelayedAt);
        const CMSampleBufferRef buffer = push(c.presentationTime);
        EXPECT_EQ(output->lastSinkFrameHostSeconds.load(), recorded);
        const auto frames = sent();
        ASSERT_EQ(frames.size(), c.sentAt ? 1u : 0u);
        std::vector<std::string> calls = {"scheduledOutput", "consume"};
        if (c.sentAt) {
            calls.insert(calls.begin(), "send");
            EXPECT_EQ(frames[0].sampleBuffer, buffer) << "the same object is handed on";
            EXPECT_EQ(frames[0].hostTimeInNanoseconds, *c.sentAt);
            EXPECT_EQ(frames[0].discontinuity, CMIOExtensionStreamDiscontinuityFlagNone);
            EXPECT_EQ(recordedAtSend, recorded);
        }
        EXPECT_EQ(host->callLog(), calls);
        const auto report = host->scheduledOutputs().at(0);
        EXPECT_EQ(report.stream, sink->stream.get());
        EXPECT_EQ(report.hostTimeInNanoseconds, c.sentAt ? kSentAt : kRelayedAt);
    }
}

// With the output stream's source gone the relay still reports and asks again, and its timer
// ticks into nothing; with the sink stream's gone, an outstanding request keeps nothing alive
// and completes into nothing.
TEST_F(SinkStreamTest, TheRelayAndTheTimerHoldTheSourcesWeakly) {
    startRelay();
    output->startStream(nullptr);
    output.reset();
    host->armedTimers().at(0)->fire();
    push(CMTimeMake(1, 1), 3);
    EXPECT_EQ(host->callLog(), (std::vector<std::string>{"scheduledOutput", "consume"}));
    EXPECT_EQ(host->scheduledOutputs().at(0).sequenceNumber, 3u);

    const std::weak_ptr<CameraSinkStreamSource> gone = sink;
    sink.reset();
    ASSERT_TRUE(gone.expired()) << "an outstanding request must not keep the source alive";
    host->clearRecords();
    push(CMTimeMake(1, 1));
    EXPECT_TRUE(host->callLog().empty());
    EXPECT_TRUE(host->pendingConsumeRequests().empty());
}

}  // namespace
}  // namespace kova::testing
