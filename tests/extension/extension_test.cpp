// The whole camera extension against the host double, reached only the way the host reaches it:
// built through the entry, then driven through the provider, device and stream objects it was
// handed. One test runs the relay, the placeholder ticks and start/stop on three threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <latch>
#include <thread>

#include "Sources/CameraExtension/CameraProviderSource.h"
#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "Sources/CameraExtension/CameraStreamSource.h"
#include "Sources/CameraExtension/Entry.h"
#include "tests/extension/ExtensionTestSupport.h"

namespace kova::testing {
namespace {

using kova::host::HostOperation;

class WholeExtensionTest : public ::testing::Test {
  protected:
    WholeExtensionTest() {
        startCameraExtension();
        EXPECT_EQ(host->callLog(),
                  (std::vector<std::string>{"addStream Kova Video", "addStream Kova Sink",
                                            "addDevice Kova", "startService"}));
        provider = host->startedProviders().at(0);
        device = provider->devices().at(0);
        output = device->streams().at(0);
        sink = device->streams().at(1);
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
    CMIOExtensionDeviceRef device;
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
    }
    ASSERT_EQ(host->scheduledOutputs().size(), pushed.size());
    EXPECT_EQ(host->scheduledOutputs().back().sequenceNumber, 59u);

    // The client goes quiet: the placeholder is back within 0.5 s + one period.
    host->clearRecords();
    host->advanceBy(500 * kMillisecond + 33'333'334);
    const auto after = sentOnOutput();
    ASSERT_GE(after.size(), 1u);
    EXPECT_EQ(FramePixels(after.back().sampleBuffer).pixel(400, 200), kPanel);
}

// A client that connects while the sink is stopped gets no relay, even once it starts; while
// it is started every connect starts one (nothing deduplicated), and a disconnect stops none.
TEST_F(WholeExtensionTest, EachConnectWhileTheSinkIsStartedStartsARelay) {
    const auto client = FakeHost::makeClient();
    const auto other = FakeHost::makeClient();
    const auto source = provider->source();
    EXPECT_TRUE(source->connect(client, nullptr));
    ASSERT_TRUE(sink->source()->startStream(nullptr));
    EXPECT_EQ(pendingOn(*host.host, sink), 0u);
    EXPECT_TRUE(source->connect(client, nullptr));
    EXPECT_TRUE(source->connect(client, nullptr));
    EXPECT_TRUE(source->connect(other, nullptr));
    source->disconnect(client);
    EXPECT_EQ(pendingOn(*host.host, sink), 3u);
    ASSERT_TRUE(host->completeConsume(client, host->makeSampleBuffer(CMTimeMake(1, 1)), 1));
    EXPECT_EQ(pendingOn(*host.host, sink), 3u);
    EXPECT_EQ(sentOnOutput().size(), 1u);
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

// Refuses the n-th stream the device is asked to add. Any host operation after that refusal
// exits the process cleanly, which a death test counts as a failure: nothing may be tried
// after it.
class RefusingHost : public FakeHost {
  public:
    RefusingHost(HostOperation refused, int nth) : refused_(refused), nth_(nth) {}
    std::int32_t failureFor(HostOperation op) override {
        if (done_) std::_Exit(0);
        if (op == refused_ && ++seen_ == nth_) {
            done_ = true;
            return -17;
        }
        return FakeHost::failureFor(op);
    }

  private:
    HostOperation refused_;
    int nth_;
    int seen_ = 0;
    bool done_ = false;
};

TEST(EntryDeathTest, WhatTheHostRefusesEndsTheProcessNamingItsLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        HostOperation op;
        int nth;
        const char* message;
    } cases[] = {
        {HostOperation::AddStream, 1, "main:214: Fatal error: the host refused the stream"},
        {HostOperation::AddStream, 2, "main:215: Fatal error: the host refused the stream"},
        {HostOperation::AddDevice, 1, "main:246: Fatal error: the host refused the device"},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(
            {
                kova::host::HostBackend::install(std::make_shared<RefusingHost>(c.op, c.nth));
                startCameraExtension();
            },
            std::string(c.message) + " \\(domain com.kova.host, code -17\\)");
    }
}

// Both streams need their format description: without one the process ends.
TEST(StreamDeathTest, MissingFormatDescriptionEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto create = [](bool sinkStream) {
        ScopedFakeHost host;
        host->failNext(HostOperation::CreateFormatDescription);
        if (sinkStream) {
            CameraSinkStreamSource::create("Kova Sink", makeTestDevice());
        } else {
            CameraStreamSource::create("Kova Video", makeTestDevice());
        }
    };
    EXPECT_DEATH(create(false), "");
    EXPECT_DEATH(create(true), "");
}

}  // namespace
}  // namespace kova::testing
