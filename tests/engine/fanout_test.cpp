// The fan-out on its own: frames sent from two threads at once, as the placeholder queue and
// the relay do; frames held still within the hold limit and taken back only past it or beyond a
// starved producer's fair share.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "base/MemFd.h"
#include "camera/engine/ViewerFanOut.h"
#include "protocol/SharedAreas.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace kova::engine::test {
namespace {

std::pair<base::UniqueFD, base::UniqueFD> socketPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {base::UniqueFD(ends[0]), base::UniqueFD(ends[1])};
}

// A viewer's two ends: the camera's connection to it and its own.
struct ViewerEnds {
    explicit ViewerEnds(std::pair<base::UniqueFD, base::UniqueFD> ends = socketPair())
        : camera(std::make_shared<const wire::Connection>(std::move(ends.first), wire::Peer::Host)),
          client(std::move(ends.second), wire::Peer::Client) {}

    // Joins `fanOut` as viewer `id`, takes ViewStarted and maps the frame states it brings, as a
    // viewer does.
    void start(ViewerFanOut& fanOut, std::uint64_t id) {
        ASSERT_EQ(fanOut.add(id, camera), 0);
        auto result = client.receive();
        ASSERT_EQ(result.status, wire::ReceiveResult::Status::Message);
        ASSERT_TRUE(std::holds_alternative<wire::ViewStarted>(result.received->message));
        auto mapping = base::MemoryMapping::create(result.received->fd.get(),
                                                   wire::kFrameStatesSize, /*writable=*/false);
        ASSERT_TRUE(mapping);
        states = std::move(*mapping);
    }
    wire::FrameStates& frameStates() { return wire::sharedArea<wire::FrameStates>(states); }
    bool intact(const wire::Frame& frame) {
        return wire::loadShared(frameStates().held[frame.slot]) == frame.token;
    }
    // Every frame waiting, in order.
    std::vector<wire::Frame> frames() {
        std::vector<wire::Frame> got;
        for (auto result = client.receive(); result.status == wire::ReceiveResult::Status::Message;
             result = client.receive()) {
            if (auto* frame = std::get_if<wire::Frame>(&result.received->message))
                got.push_back(*frame);
        }
        return got;
    }

    std::shared_ptr<const wire::Connection> camera;
    wire::Connection client;
    base::MemoryMapping states;
};

class FanOutTest : public ::testing::Test {
  protected:
    // A frame in memory lent by producer `ownerId`. When its memory goes back, it records
    // whether every viewer's word for it had been cleared by then.
    CMSampleBufferRef producerFrame(std::uint64_t ownerId) {
        constexpr std::size_t kBytes = 800 * 4 * 960;
        auto memory = std::make_shared<CVPixelBufferMemory>(
            base::SharedFD(base::MemFd::create("test-frame", kBytes)), kBytes, false);
        const std::size_t index = returnedWhileIntact.size();
        returnedWhileIntact.push_back(-1);
        auto pixelBuffer = std::make_shared<CVPixelBuffer>(
            CVPixelBuffer::Layout{800, 960, kCVPixelFormatType_32BGRA, 800 * 4}, memory, ownerId,
            [this, index] {
                returnedWhileIntact[index] =
                    std::any_of(delivered[index].begin(), delivered[index].end(),
                                [](const auto& sent) { return sent.first->intact(sent.second); });
            });
        delivered.emplace_back();
        return std::make_shared<const CMSampleBuffer>(std::move(pixelBuffer), nullptr,
                                                      CMSampleTimingInfo{});
    }
    // Sends producer frame `index` and notes which viewers got it.
    void send(ViewerFanOut& fanOut, const CMSampleBufferRef& frame, std::size_t index,
              std::vector<ViewerEnds*> viewers) {
        fanOut.send(frame, 1);
        for (ViewerEnds* viewer : viewers)
            for (const wire::Frame& got : viewer->frames())
                delivered[index].emplace_back(viewer, got);
    }

    kova::testing::FdLeakGuard leakGuard;
    kova::testing::ScopedFakeHost host;
    std::atomic<std::uint64_t> nowNs{0};
    std::function<std::uint64_t()> clock = [this] { return nowNs.load(); };
    const std::uint64_t holdLimitNs = std::uint64_t{wire::kViewerHoldLimitMs} * 1'000'000;
    // By producer frame: -1 while its memory is held, else whether a viewer's word still said
    // intact when it went back.
    std::vector<int> returnedWhileIntact;
    std::vector<std::vector<std::pair<ViewerEnds*, wire::Frame>>> delivered;
};

TEST_F(FanOutTest, FramesFromTwoThreadsAreAccountedForByTheViewer) {
    ViewerFanOut fanOut(clock);
    ViewerEnds keepsUp;
    ASSERT_EQ(fanOut.add(1, keepsUp.camera), 0);

    constexpr int kFramesPerThread = 200;
    auto sender = [&] {
        for (int i = 0; i < kFramesPerThread; ++i)
            fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1000 + i);
    };
    std::thread placeholder(sender), relay(sender);

    // Reads and releases while the threads send: each frame got, plus the frames it says were
    // missed before it, accounts for every sequence number once, in order.
    std::uint64_t accountedFor = 0;
    auto take = [&] {
        for (const wire::Frame& frame : keepsUp.frames()) {
            EXPECT_EQ(frame.sequence, accountedFor + frame.framesMissed + 1);
            accountedFor = frame.sequence;
            EXPECT_TRUE(fanOut.release(1, frame.token));
        }
    };
    while (fanOut.lastSequence() < 2 * kFramesPerThread)
        if (keepsUp.client.waitReadable(10) == 1) take();
    placeholder.join();
    relay.join();
    take();
    // One more frame reports whatever was missed at the end.
    fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1);
    take();
    EXPECT_EQ(accountedFor, 2u * kFramesPerThread + 1);
}

TEST_F(FanOutTest, HeldFramesStayPutWithinTheHoldLimitAndAreMarkedChangedBeforeTheyGoBack) {
    ViewerEnds hoarder, keepsUp;  // outlive the fan-out, which reads their states as it goes
    ViewerFanOut fanOut(clock, holdLimitNs);
    hoarder.start(fanOut, 1);
    keepsUp.start(fanOut, 2);

    // Far more frames than the viewer holds go out, all within the hold limit.
    constexpr std::size_t kFrames = 200;
    for (std::size_t i = 0; i < kFrames; ++i) {
        nowNs = (holdLimitNs - 1) * i / kFrames;
        send(fanOut, producerFrame(7), i, {&hoarder, &keepsUp});
        EXPECT_TRUE(fanOut.release(2, delivered[i].back().second.token));  // keepsUp's
    }
    for (std::size_t i = 0; i < kFrames; ++i)
        EXPECT_EQ(returnedWhileIntact[i], i < wire::kViewerFramesInFlight ? -1 : 0) << i;
    // Those it had no room for left its words alone: a release word is the viewer's to write.
    EXPECT_EQ(wire::loadShared(hoarder.frameStates().released[0]), 0u);

    // Held past the limit, they are taken back at the next frame, each marked first.
    nowNs = 2 * holdLimitNs;
    fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1);
    for (std::size_t i = 0; i < wire::kViewerFramesInFlight; ++i) {
        EXPECT_EQ(returnedWhileIntact[i], 0) << i;
        EXPECT_FALSE(hoarder.intact(delivered[i].front().second));
    }
    EXPECT_EQ(fanOut.takenBackCount(), wire::kViewerFramesInFlight);
    // Taken-back tokens still count until released: the hoarder missed the frame.
    EXPECT_TRUE(hoarder.frames().empty());
    EXPECT_TRUE(fanOut.release(1, delivered[0].front().second.token));
    EXPECT_FALSE(fanOut.release(1, delivered[0].front().second.token));
    fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1);
    const auto next = hoarder.frames();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_TRUE(hoarder.intact(next[0]));
    EXPECT_EQ(next[0].slot, delivered[0].front().second.slot);
}

TEST_F(FanOutTest, AStarvedProducerGetsBackOnlyWhatAViewerHoldsBeyondItsShare) {
    ViewerEnds greedy, modest;
    ViewerFanOut fanOut(clock, holdLimitNs);
    greedy.start(fanOut, 1);
    // The greedy viewer holds three frames of producer 7 and one of producer 8; the modest one,
    // which came later and released producer 8's frame, holds two of producer 7.
    const std::vector<std::uint64_t> owners{7, 7, 8, 7};
    std::vector<CMSampleBufferRef> frames;
    for (std::uint64_t owner : owners) frames.push_back(producerFrame(owner));
    send(fanOut, frames[0], 0, {&greedy});
    modest.start(fanOut, 2);
    for (std::size_t i = 1; i < frames.size(); ++i) send(fanOut, frames[i], i, {&greedy, &modest});
    EXPECT_TRUE(fanOut.release(2, delivered[2].back().second.token));

    fanOut.reclaim(8);  // holds one: within its share
    fanOut.reclaim(7);
    // The greedy viewer's newest frame of producer 7 is taken back, the oldest it may be reading
    // stay; the modest viewer keeps its copy of the same frame, which so stays with the camera.
    EXPECT_EQ(returnedWhileIntact, (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_EQ(fanOut.takenBackCount(), 1u);
    for (std::size_t i = 0; i < owners.size(); ++i)
        for (const auto& [viewer, frame] : delivered[i]) {
            const bool releasedOrTakenBack =
                (i == 2 && viewer == &modest) || (i == 3 && viewer == &greedy);
            EXPECT_EQ(viewer->intact(frame), !releasedOrTakenBack) << i;
        }
    // A viewer that goes marks the frames it still held changed before they go back.
    frames.clear();
    EXPECT_TRUE(fanOut.remove(2));
    EXPECT_EQ(returnedWhileIntact[3], 0) << "frame 3 went back while a word said intact";
}

}  // namespace
}  // namespace kova::engine::test
