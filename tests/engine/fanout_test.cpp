// The fan-out on its own: frames sent from two threads at once, as the placeholder queue and
// the relay do, while one viewer keeps up and another never releases.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <thread>
#include <vector>

#include "camera/engine/ViewerFanOut.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace kova::engine::test {
namespace {

std::pair<base::UniqueFD, base::UniqueFD> socketPair() {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {base::UniqueFD(ends[0]), base::UniqueFD(ends[1])};
}

struct ViewerEnds {
    std::shared_ptr<const wire::Connection> camera;
    wire::Connection client;
    explicit ViewerEnds(std::pair<base::UniqueFD, base::UniqueFD> ends = socketPair())
        : camera(std::make_shared<const wire::Connection>(std::move(ends.first), wire::Peer::Host)),
          client(std::move(ends.second), wire::Peer::Client) {}
};

class FanOutTest : public ::testing::Test {
  protected:
    kova::testing::FdLeakGuard leakGuard;
    kova::testing::ScopedFakeHost host;
};

TEST_F(FanOutTest, FramesFromTwoThreadsAreAccountedForByEveryViewer) {
    ViewerFanOut fanOut;
    ViewerEnds keepsUp, neverReleases;
    ASSERT_EQ(fanOut.add(1, keepsUp.camera, wire::ViewStarted{}), 0);
    ASSERT_EQ(fanOut.add(2, neverReleases.camera, wire::ViewStarted{}), 0);

    constexpr int kFramesPerThread = 200;
    auto sender = [&] {
        for (int i = 0; i < kFramesPerThread; ++i) {
            fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1000 + i);
        }
    };
    std::thread placeholder(sender), relay(sender);

    // Reads and releases while the threads send: each frame got, plus the frames it says were
    // missed before it, accounts for every sequence number once, in order.
    std::uint64_t accountedFor = 0;
    auto take = [&](const wire::Frame& frame) {
        EXPECT_EQ(frame.sequence, accountedFor + frame.framesMissed + 1);
        accountedFor = frame.sequence;
        EXPECT_TRUE(fanOut.release(1, frame.token));
    };
    keepsUp.client.receive();  // ViewStarted
    while (fanOut.lastSequence() < 2 * kFramesPerThread) {
        if (keepsUp.client.waitReadable(10) != 1) continue;
        auto result = keepsUp.client.receive();
        if (result.status == wire::ReceiveResult::Status::Message) {
            take(std::get<wire::Frame>(result.received->message));
        }
    }
    placeholder.join();
    relay.join();
    for (;;) {
        auto result = keepsUp.client.receive();
        if (result.status != wire::ReceiveResult::Status::Message) break;
        take(std::get<wire::Frame>(result.received->message));
    }
    // One more frame reports whatever was missed at the end.
    fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1);
    take(std::get<wire::Frame>(keepsUp.client.receive().received->message));
    EXPECT_EQ(accountedFor, 2u * kFramesPerThread + 1);

    // The viewer that never releases got the first frames up to its limit and nothing since.
    EXPECT_EQ(neverReleases.client.receive().status, wire::ReceiveResult::Status::Message);
    std::uint64_t lastSequence = 0;
    for (std::uint32_t i = 0; i < wire::kViewerFramesInFlight; ++i) {
        auto result = neverReleases.client.receive();
        ASSERT_EQ(result.status, wire::ReceiveResult::Status::Message);
        const auto& frame = std::get<wire::Frame>(result.received->message);
        EXPECT_GT(frame.sequence, lastSequence);
        lastSequence = frame.sequence;
    }
    EXPECT_EQ(neverReleases.client.receive().status, wire::ReceiveResult::Status::Empty);

    EXPECT_TRUE(fanOut.remove(2));
    EXPECT_FALSE(fanOut.remove(2));
    EXPECT_EQ(fanOut.viewerCount(), 1u);
}

TEST_F(FanOutTest, AViewerWhoseSocketIsFullMissesFramesAndIsToldOnceThereIsRoom) {
    ViewerFanOut fanOut;
    ViewerEnds viewer;
    ASSERT_EQ(fanOut.add(1, viewer.camera, wire::ViewStarted{}), 0);
    // The viewer reads nothing: its socket fills up.
    while (viewer.camera->send(wire::Pong{}, -1, wire::SendMode::DontWait) == 0) {
    }
    constexpr int kMissed = 10;
    for (int i = 0; i < kMissed; ++i) fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1);
    for (;;) {
        auto result = viewer.client.receive();
        if (result.status != wire::ReceiveResult::Status::Message) break;
        EXPECT_FALSE(std::holds_alternative<wire::Frame>(result.received->message));
    }
    fanOut.send(host->makeSampleBuffer(kCMTimeZero), 1);
    auto result = viewer.client.receive();
    ASSERT_EQ(result.status, wire::ReceiveResult::Status::Message);
    const auto& next = std::get<wire::Frame>(result.received->message);
    EXPECT_EQ(next.sequence, std::uint64_t(kMissed) + 1);
    EXPECT_EQ(next.framesMissed, std::uint32_t(kMissed));
    EXPECT_EQ(next.fdAttached, 1u);  // the missed frames never delivered the fd
}

TEST_F(FanOutTest, FramesHeldPastTheNewestOnesAreTakenBackSoViewersCannotPinThemAll) {
    ViewerFanOut fanOut;
    ViewerEnds early, late;
    ASSERT_EQ(fanOut.add(1, early.camera, wire::ViewStarted{}), 0);
    std::vector<std::weak_ptr<const CMSampleBuffer>> sent;
    auto sendOne = [&] {
        const CMSampleBufferRef sampleBuffer = host->makeSampleBuffer(kCMTimeZero);
        sent.push_back(sampleBuffer);
        fanOut.send(sampleBuffer, 1);
    };
    // Two viewers that never release, each holding the frames of its own moment: between them,
    // more frames than a producer has buffers.
    const auto limit = wire::kViewerFramesInFlight;
    for (std::uint32_t i = 0; i < limit; ++i) sendOne();
    ASSERT_EQ(fanOut.add(2, late.camera, wire::ViewStarted{}), 0);
    for (std::uint32_t i = 0; i < limit; ++i) sendOne();
    // Only the newest frames are still held; the older ones went back to their owner.
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].expired(), i < limit) << "frame " << i + 1;
    }

    // A frame taken back still counts until released: the early viewer got its limit and no
    // more, its release of a taken-back frame is accepted, and the next frame says what it
    // missed.
    std::vector<std::uint64_t> tokens;
    while (true) {
        auto result = early.client.receive();
        if (result.status != wire::ReceiveResult::Status::Message) break;
        if (auto* frame = std::get_if<wire::Frame>(&result.received->message)) {
            tokens.push_back(frame->token);
        }
    }
    ASSERT_EQ(tokens.size(), limit);
    EXPECT_TRUE(fanOut.release(1, tokens.front()));
    EXPECT_FALSE(fanOut.release(1, tokens.front())) << "a second release of it was accepted";
    sendOne();
    auto result = early.client.receive();
    ASSERT_EQ(result.status, wire::ReceiveResult::Status::Message);
    EXPECT_EQ(std::get<wire::Frame>(result.received->message).framesMissed, limit);
}

}  // namespace
}  // namespace kova::engine::test
