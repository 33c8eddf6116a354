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
    }
    std::vector<FakeHost::SentBuffer> sent() const { return sentOn(*host.host, output->stream); }
    std::size_t pending() const { return pendingOn(*host.host, sink->stream); }
    // Pushes a buffer with this presentation time through the relay's outstanding request.
    CMSampleBufferRef push(CMTime presentationTime, std::uint64_t sequenceNumber = 1) {
        CMSampleBufferRef buffer = host->makeSampleBuffer(presentationTime);
        EXPECT_TRUE(host->completeConsume(client, buffer, sequenceNumber));
        return buffer;
    }

    ScopedObservingHost host;
    CMIOExtensionDeviceRef device = makeTestDevice();
    std::shared_ptr<CameraStreamSource> output = CameraStreamSource::create("Kova Video", device);
    std::shared_ptr<CameraSinkStreamSource> sink =
        CameraSinkStreamSource::create("Kova Sink", device);
    CMIOExtensionClientRef client = FakeHost::makeClient();
};

// The flag shows in whether a completed request is followed by another: one, however many
// buffers the host says are waiting. A request out when the stream stops still relays its
// buffer; a start before it completes keeps the relay going.
TEST_F(SinkStreamTest, TheRelayAsksAgainOnlyWhileTheStreamIsStarted) {
    EXPECT_TRUE(sink->authorizedToStartStream(client));
    EXPECT_TRUE(sink->stopStream(nullptr));  // stopped already: still success
    EXPECT_TRUE(sink->startStream(nullptr));
    EXPECT_TRUE(sink->startStream(nullptr));
    EXPECT_EQ(pending(), 0u) << "starting asks the host for no buffer";
    sink->startPump(client);
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

// What the relay does with each kind of time; where the limits of a host time lie is the
// conversion's own test.
TEST_F(SinkStreamTest, PresentationTimesBecomeRelayHostTimes) {
    startRelay();
    host->setHostSeconds(1234.5);
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
        const double before = output->lastSinkFrameHostSeconds.load();
        host->clearRecords();
        const CMSampleBufferRef buffer = push(c.presentationTime);
        EXPECT_EQ(pending(), 1u) << "relaying goes on";
        EXPECT_EQ(host->scheduledOutputs().size(), 1u);
        const auto frames = sent();
        ASSERT_EQ(frames.size(), c.sentAt ? 1u : 0u);
        if (c.sentAt) {
            EXPECT_EQ(frames[0].sampleBuffer, buffer) << "the same object is handed on";
            EXPECT_EQ(frames[0].hostTimeInNanoseconds, *c.sentAt);
        }
        EXPECT_EQ(output->lastSinkFrameHostSeconds.load(),
                  c.recorded == kUnchanged ? before : c.recorded);
    }
}

TEST_F(SinkStreamTest, RecordThenSendThenReportThenAskAgain) {
    startRelay();
    host->clearRecords();
    host->setHostTime(5000 * kNanosecondsPerSecond);
    double recordedAtSend = 0;
    // The clock moves during the send, so the report shows whether it was read after it.
    host->beforeSend = [&] {
        recordedAtSend = output->lastSinkFrameHostSeconds.load();
        host->setHostTime(5000 * kNanosecondsPerSecond + 250 * kMillisecond);
    };
    const CMSampleBufferRef buffer = host->makeSampleBuffer(CMTimeMake(4321, 1));
    ASSERT_TRUE(host->completeConsume(client, buffer, 0xFFFF'FFFF'FFFF'FFF0u,
                                      CMIOExtensionStreamDiscontinuityFlagTime |
                                          CMIOExtensionStreamDiscontinuityFlagSampleDropped));

    EXPECT_EQ(recordedAtSend, 4321.0) << "recorded before the send";
    EXPECT_EQ(host->callLog(), (std::vector<std::string>{"send", "scheduledOutput", "consume"}));
    const auto frames = sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sampleBuffer, buffer);
    EXPECT_EQ(frames[0].discontinuity, CMIOExtensionStreamDiscontinuityFlagNone);
    EXPECT_EQ(frames[0].hostTimeInNanoseconds, 4'321'000'000'000u);
    const auto outputs = host->scheduledOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].stream, sink->stream.get());
    EXPECT_EQ(outputs[0].sequenceNumber, 0xFFFF'FFFF'FFFF'FFF0u);
    EXPECT_EQ(outputs[0].hostTimeInNanoseconds, 5'000'250'000'000u);
    const auto requests = host->pendingConsumeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].stream, sink->stream.get());
    EXPECT_EQ(requests[0].client, client);
}

TEST_F(SinkStreamTest, CompletionWithoutBufferOnlyAsksAgain) {
    startRelay();
    host->clearRecords();
    const NSError error{"com.kova.test", -5, "no buffer"};
    ASSERT_EQ(host->completeAllConsumesWithError(error), 1u);
    ASSERT_TRUE(host->completeConsume(client, nullptr, 9, 0, false, error));
    ASSERT_TRUE(host->completeConsume(client, nullptr, 10));
    EXPECT_EQ(host->callLog(), (std::vector<std::string>{"consume", "consume", "consume"}));
    EXPECT_EQ(output->lastSinkFrameHostSeconds.load(), 0.0);
}

TEST_F(SinkStreamTest, OutputSourceGoneStillConsumesAndReports) {
    startRelay();
    output.reset();
    host->clearRecords();
    push(CMTimeMake(1, 1), 3);
    EXPECT_EQ(host->callLog(), (std::vector<std::string>{"scheduledOutput", "consume"}));
    ASSERT_EQ(host->scheduledOutputs().size(), 1u);
    EXPECT_EQ(host->scheduledOutputs()[0].sequenceNumber, 3u);
}

TEST_F(SinkStreamTest, SinkSourceGoneEndsTheRelayQuietly) {
    startRelay();
    const std::weak_ptr<CameraSinkStreamSource> gone = sink;
    sink.reset();
    ASSERT_TRUE(gone.expired()) << "an outstanding request must not keep the source alive";
    host->clearRecords();
    ASSERT_TRUE(host->completeConsume(client, host->makeSampleBuffer(CMTimeMake(1, 1)), 1));
    EXPECT_TRUE(host->callLog().empty());
    EXPECT_TRUE(host->pendingConsumeRequests().empty());
    EXPECT_EQ(output->lastSinkFrameHostSeconds.load(), 0.0);
}

}  // namespace
}  // namespace kova::testing
