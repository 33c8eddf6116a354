// The whole camera extension against the host double, reached only the way the host reaches it:
// built through the entry, then driven through the provider, device and stream objects it was
// handed. One test runs the relay, the placeholder ticks and start/stop on three threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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
        provider = providerSource->provider;
        output = provider->devices().at(0)->streams().at(0);
        sink = provider->devices().at(0)->streams().at(1);
    }
    // The global lives for the whole process in the camera; each test here starts afresh.
    ~WholeExtensionTest() override { providerSource.reset(); }

    std::size_t pendingOnSink() const {
        return madeOn(host->pendingConsumeRequests(), sink).size();
    }

    ScopedFakeHost host;
    CMIOExtensionProviderRef provider;
    CMIOExtensionStreamRef output;
    CMIOExtensionStreamRef sink;
};

// A client that connects while the sink is stopped gets no relay, even once it starts; while
// it is started every connect starts one (nothing deduplicated), and a disconnect stops none.
// The relay sends on the device's output stream.
TEST_F(WholeExtensionTest, EachConnectWhileTheSinkIsStartedStartsARelay) {
    const auto client = FakeHost::makeClient();
    const auto other = FakeHost::makeClient();
    const auto source = provider->source();
    EXPECT_TRUE(source->connect(client, nullptr));
    ASSERT_TRUE(sink->source()->startStream(nullptr));
    EXPECT_EQ(pendingOnSink(), 0u);
    EXPECT_TRUE(source->connect(client, nullptr));
    EXPECT_TRUE(source->connect(client, nullptr));
    EXPECT_TRUE(source->connect(other, nullptr));
    source->disconnect(client);
    EXPECT_EQ(pendingOnSink(), 3u);
    ASSERT_TRUE(host->completeConsume(client, host->makeSampleBuffer(CMTimeMake(1, 1)), 1));
    EXPECT_EQ(pendingOnSink(), 3u);
    EXPECT_EQ(madeOn(host->sentBuffers(), output).size(), 1u);
}

// The relay completes on a host thread, the placeholder ticks on a thread of its own, and the
// output stream is started and stopped from a third: ThreadSanitizer watches the shared state.
TEST_F(WholeExtensionTest, RelayTicksAndStartStopOnThreeThreads) {
    constexpr std::uint64_t kFrames = 2000;
    const auto client = FakeHost::makeClient();
    ASSERT_TRUE(output->source()->startStream(nullptr));
    ASSERT_TRUE(sink->source()->startStream(nullptr));
    ASSERT_TRUE(provider->source()->connect(client, nullptr));
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
        // As a timer driver fires the newest timer: through no lock the relay's thread takes.
        for (int i = 0; i < 2000; ++i) host->armedTimers().back()->fire();
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

    std::vector<CMSampleBufferRef> relayed;
    for (const auto& sent : madeOn(host->sentBuffers(), output)) {
        if (std::count(buffers.begin(), buffers.end(), sent.sampleBuffer)) {
            relayed.push_back(sent.sampleBuffer);
        }
    }
    ASSERT_EQ(relayed.size(), kFrames) << "every frame relayed once";
    for (std::size_t i = 0; i < kFrames; ++i) EXPECT_EQ(relayed[i], buffers[i % buffers.size()]);
    EXPECT_EQ(host->scheduledOutputs().size(), kFrames);
    EXPECT_EQ(host->pendingConsumeRequests().size(), 1u);
    EXPECT_EQ(host->armedTimerCount(), 1u);
}

// What the host refuses while the extension is built ends the process, naming the entry's line;
// so does a stream without its format description.
TEST(ExtensionDeathTest, WhatTheHostRefusesEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        HostOperation op;
        std::function<void()> build;
        const char* message;
    } cases[] = {
        {HostOperation::AddStream, startCameraExtension,
         "main:214: Fatal error: the host refused the stream \\(domain com.kova.host, code -17\\)"},
        {HostOperation::AddDevice, startCameraExtension,
         "main:246: Fatal error: the host refused the device \\(domain com.kova.host, code -17\\)"},
        {HostOperation::CreateFormatDescription,
         [] { CameraStreamSource::create("Kova Video", makeTestDevice()); }, ""},
        {HostOperation::CreateFormatDescription,
         [] { CameraSinkStreamSource::create("Kova Sink", makeTestDevice()); }, ""},
    };
    for (const auto& c : cases) {
        const auto build = [&c] {
            ScopedFakeHost host;
            host->failNext(c.op, -17);
            c.build();
        };
        EXPECT_DEATH(build(), c.message);
    }
}

}  // namespace
}  // namespace kova::testing
