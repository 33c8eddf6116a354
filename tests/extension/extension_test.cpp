// The whole camera extension against the host double, reached only the way the host reaches it:
// built through the entry, then driven through the provider, device and stream objects it was
// handed. One test runs the relay, the placeholder ticks and start/stop on three threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>

#include "Sources/CameraExtension/CameraProviderSource.h"
#include "Sources/CameraExtension/Entry.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace kova::testing {
namespace {

class WholeExtensionTest : public ::testing::Test {
  protected:
    WholeExtensionTest() {
        startCameraExtension();
        const auto providers = host->startedProviders();
        EXPECT_EQ(providers.size(), 1u);
        provider = providers.at(0);
        const auto devices = provider->devices();
        EXPECT_EQ(devices.size(), 1u);
        const auto streams = devices.at(0)->streams();
        EXPECT_EQ(streams.size(), 2u);
        output = streams.at(0);
        sink = streams.at(1);
        EXPECT_EQ(output->direction(), CMIOExtensionStreamDirectionSource);
        EXPECT_EQ(sink->direction(), CMIOExtensionStreamDirectionSink);
    }
    // The global lives for the whole process in the camera; each test here starts afresh.
    ~WholeExtensionTest() override { providerSource.reset(); }

    // What the host does for a client that pushes: start the sink stream, then connect it.
    void startSinkSession(const CMIOExtensionClientRef& client) {
        ASSERT_TRUE(sink->source()->authorizedToStartStream(client));
        ASSERT_TRUE(sink->source()->startStream(nullptr));
        ASSERT_TRUE(provider->source()->connect(client, nullptr));
    }
    std::vector<FakeHost::SentBuffer> sentOnOutput() const { return sentOn(*host.host, output); }

    ScopedObservingHost host;
    CMIOExtensionProviderRef provider;
    CMIOExtensionStreamRef output;
    CMIOExtensionStreamRef sink;
};

TEST_F(WholeExtensionTest, PlaceholderThenRelayedFramesThenPlaceholderAgain) {
    const auto client = FakeHost::makeClient();
    ASSERT_TRUE(output->source()->startStream(nullptr));
    host->advanceBy(200 * kMillisecond);
    EXPECT_EQ(sentOnOutput().size(), 7u) << "placeholder frames at 30 per second";

    startSinkSession(client);
    host->clearRecords();
    std::vector<CMSampleBufferRef> pushed;
    for (std::uint64_t i = 0; i < 60; ++i) {
        const std::uint64_t now = host->hostTimeNanoseconds();
        pushed.push_back(host->makeSampleBuffer(CMTimeMake(CMTimeValue(now), 1'000'000'000)));
        ASSERT_TRUE(host->completeConsume(client, pushed.back(), i));
        host->advanceBy(16 * kMillisecond);
    }
    const auto relayed = sentOnOutput();
    ASSERT_EQ(relayed.size(), pushed.size()) << "every frame relayed, no placeholder among them";
    for (std::size_t i = 0; i < pushed.size(); ++i) {
        EXPECT_EQ(relayed[i].sampleBuffer, pushed[i]);
        EXPECT_EQ(relayed[i].hostTimeInNanoseconds,
                  std::uint64_t(pushed[i]->presentationTimeStamp().seconds() * 1e9));
    }
    ASSERT_EQ(host->scheduledOutputs().size(), pushed.size());
    EXPECT_EQ(host->scheduledOutputs().back().sequenceNumber, 59u);

    // The client goes quiet: the placeholder is back within 0.5 s + one period.
    host->clearRecords();
    host->advanceBy(500 * kMillisecond + 33'333'334);
    const auto after = sentOnOutput();
    ASSERT_GE(after.size(), 1u);
    EXPECT_EQ(FramePixels(after.back().sampleBuffer).pixel(400, 200), kPanel);

    // The host stops the sink, and the outstanding request ends with an error: the relay ends.
    ASSERT_TRUE(sink->source()->stopStream(nullptr));
    EXPECT_EQ(host->completeAllConsumesWithError({"com.kova.host", -32, "session ended"}), 1u);
    EXPECT_TRUE(host->pendingConsumeRequests().empty());

    ASSERT_TRUE(output->source()->stopStream(nullptr));
    host->clearRecords();
    host->advanceBy(kNanosecondsPerSecond);
    EXPECT_TRUE(host->sentBuffers().empty());
}

// The relay completes on a host thread, the placeholder ticks on a thread of its own, and the
// output stream is started and stopped from a third: ThreadSanitizer watches the shared state.
TEST_F(WholeExtensionTest, RelayTicksAndStartStopOnThreeThreads) {
    constexpr std::uint64_t kFrames = 2000;
    constexpr int kTicks = 2000;
    const auto client = FakeHost::makeClient();
    ASSERT_TRUE(output->source()->startStream(nullptr));
    startSinkSession(client);
    // A few buffers, pushed over and over; their times stay ahead of the clock, so that every
    // tick reads the last relayed time and most find it too recent.
    std::vector<CMSampleBufferRef> buffers;
    for (int i = 0; i < 8; ++i) {
        buffers.push_back(host->makeSampleBuffer(CMTimeMake(CMTimeValue(2000 + i), 1)));
    }

    std::latch start(3);
    std::thread relay([&] {
        start.arrive_and_wait();
        for (std::uint64_t i = 0; i < kFrames; ++i) {
            // Each completion makes the next request before it returns.
            EXPECT_TRUE(host->completeConsume(client, buffers[i % buffers.size()], i));
        }
    });
    std::thread ticks([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kTicks; ++i) {
            // As a timer driver fires the newest timer: through no lock the relay's thread takes.
            host->armedTimers().back()->fire();
        }
    });
    std::thread startStop([&] {
        const auto source = output->source();
        start.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            source->stopStream(nullptr);
            source->startStream(nullptr);
        }
    });
    relay.join();
    ticks.join();
    startStop.join();

    std::uint64_t relayed = 0;
    for (const auto& sent : sentOnOutput()) {
        if (std::find(buffers.begin(), buffers.end(), sent.sampleBuffer) != buffers.end()) {
            EXPECT_EQ(sent.sampleBuffer, buffers[relayed % buffers.size()]) << "in order";
            ++relayed;
        }
    }
    EXPECT_EQ(relayed, kFrames) << "every frame relayed once";
    EXPECT_EQ(host->scheduledOutputs().size(), kFrames);
    EXPECT_EQ(host->pendingConsumeRequests().size(), 1u);
    EXPECT_EQ(host->armedTimerCount(), 1u);
}

}  // namespace
}  // namespace kova::testing
