// End to end, what viewers see: the placeholder's pixels and rate, pushed frames relayed in
// order with no placeholder between them, the placeholder's return, several viewers and a slow
// one, and a full sink queue.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "E2eSupport.h"

namespace kova::e2e {
namespace {

// What a test keeps of a frame it saw.
struct SeenFrame {
    std::uint64_t sequence = 0;
    std::uint64_t hostTimeNs = 0;
    Viewer::Origin origin = Viewer::Origin::Placeholder;
    std::uint64_t missedBefore = 0;
    std::uint8_t fill = 0;  // the first byte
    bool uniform = false;   // every byte of the frame equals the first
};

SeenFrame see(const Viewer::Frame& frame) {
    SeenFrame seen;
    seen.sequence = frame.sequence();
    seen.hostTimeNs = frame.host_time_ns();
    seen.origin = frame.origin();
    seen.missedBefore = frame.missed_before();
    seen.fill = frame.data()[0];
    const std::vector<std::uint8_t> row(kFrameStride, seen.fill);
    seen.uniform = true;
    for (std::size_t y = 0; y < frame.height() && seen.uniform; ++y) {
        seen.uniform =
            std::memcmp(frame.data() + y * frame.stride(), row.data(), kFrameStride) == 0;
    }
    return seen;
}

// Reads frames until `done` holds for what was seen, for at most 10 s.
std::vector<SeenFrame> watch(Viewer& viewer,
                             const std::function<bool(const std::vector<SeenFrame>&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<SeenFrame> seen;
    while (!done(seen) && std::chrono::steady_clock::now() < deadline) {
        auto frame = viewer.next_frame(3000ms);
        if (!frame) break;
        seen.push_back(see(*frame));
    }
    return seen;
}

std::size_t countSink(const std::vector<SeenFrame>& frames) {
    return std::size_t(std::count_if(frames.begin(), frames.end(), [](const SeenFrame& f) {
        return f.origin == Viewer::Origin::Sink;
    }));
}

// Checks that every one of `pushed` frames (frame i filled with i + 1) was seen, whole and in
// order, or reported missed by the frame after it, and that no placeholder came between them.
// Returns how many were seen.
int expectPushedFramesAccountedFor(const std::vector<SeenFrame>& seen, int pushed) {
    const auto first = std::find_if(seen.begin(), seen.end(), [](const SeenFrame& f) {
        return f.origin == Viewer::Origin::Sink;
    });
    if (first == seen.end()) {
        ADD_FAILURE() << "no pushed frame reached the viewer";
        return 0;
    }
    auto after = first;  // the first frame after the last relayed one
    int last = 0;        // fill of the last relayed frame seen
    int count = 0;
    for (; after != seen.end() && after->origin == Viewer::Origin::Sink; ++after, ++count) {
        EXPECT_TRUE(after->uniform) << "frame " << int(after->fill) << " was not relayed whole";
        if (last == 0) {
            EXPECT_LE(after->fill - 1, int(after->missedBefore)) << "the first frames were lost";
        } else {
            EXPECT_EQ(after->fill, last + 1 + int(after->missedBefore))
                << "frames lost or out of order after frame " << last;
        }
        last = after->fill;
    }
    for (auto rest = after; rest != seen.end(); ++rest) {
        EXPECT_EQ(rest->origin, Viewer::Origin::Placeholder)
            << "a placeholder came between relayed frames (sequence " << rest->sequence << ")";
    }
    const int trailing = pushed - last;
    if (after == seen.end()) {
        EXPECT_EQ(trailing, 0) << "the last pushed frames never came";
    } else {
        EXPECT_LE(trailing, int(after->missedBefore)) << "the last pushed frames were lost";
    }
    return count;
}

// Pushes `count` frames at 60 a second, frame i filled with the byte i + 1; their times.
std::vector<std::uint64_t> pushFilledFrames(Producer& producer, int count) {
    std::vector<std::uint64_t> times;
    producer.set_frame_rate(60);
    for (int i = 0; i < count; ++i) {
        Producer::Frame frame = producer.acquire();
        std::memset(frame.data(), i + 1, kFrameBytes);
        producer.sleep_until_next_frame();
        const std::uint64_t time = host_time_now();
        EXPECT_TRUE(producer.submit(std::move(frame), time)) << "frame " << i << " refused";
        times.push_back(time);
    }
    return times;
}

TEST(Placeholder, AViewerSeesTheExactPictureAboutThirtyTimesASecond) {
    CameraProcess camera;
    Viewer viewer = Viewer::open(camera.options());
    constexpr int kFrames = 16;
    std::vector<std::uint64_t> times;
    for (int i = 0; i < kFrames; ++i) {
        auto frame = viewer.next_frame(3000ms);
        ASSERT_TRUE(frame) << "no placeholder frame came";
        EXPECT_EQ(frame->origin(), Viewer::Origin::Placeholder);
        ASSERT_EQ(frame->width(), kFrameWidth);
        ASSERT_EQ(frame->height(), kFrameHeight);
        ASSERT_GE(frame->stride(), kFrameStride);
        EXPECT_EQ(firstRowUnlikePlaceholder(frame->data(), frame->stride()), std::nullopt)
            << "frame " << i << " is not the placeholder picture";
        if (!times.empty()) {
            EXPECT_GT(frame->host_time_ns(), times.back());
        }
        times.push_back(frame->host_time_ns());
    }
    // Judged by the times the frames were sent with, so that this viewer's own scheduling
    // does not count: 33.3 ms apart on average.
    const double meanMs = double(times.back() - times.front()) / (kFrames - 1) / 1e6;
    EXPECT_GT(meanMs, 28.0);
    EXPECT_LT(meanMs, 40.0);
}

TEST(Relay,
     PushedFramesArriveInOrderWithNoPlaceholderBetweenAndThePlaceholderReturnsAfterHalfASecond) {
    CameraProcess camera;
    Viewer viewer = Viewer::open(camera.options());
    ASSERT_TRUE(viewer.next_frame(3000ms)) << "the output does not run";
    Producer producer = Producer::open(camera.options());

    constexpr int kPushed = 30;
    std::vector<std::uint64_t> pushTimes;
    std::thread pusher([&] { pushTimes = pushFilledFrames(producer, kPushed); });
    // Until the first placeholder after the relayed frames.
    const auto seen = watch(viewer, [](const std::vector<SeenFrame>& frames) {
        return countSink(frames) > 0 && frames.back().origin == Viewer::Origin::Placeholder;
    });
    pusher.join();
    producer.close();
    EXPECT_EQ(producer.counters().sent, std::uint64_t(kPushed));
    EXPECT_EQ(producer.counters().dropped, 0u);

    ASSERT_FALSE(seen.empty());
    ASSERT_EQ(seen.back().origin, Viewer::Origin::Placeholder) << "the placeholder never came back";
    expectPushedFramesAccountedFor(seen, kPushed);
    for (const auto& frame : seen) {
        if (frame.origin == Viewer::Origin::Sink && frame.fill >= 1 && frame.fill <= kPushed) {
            EXPECT_EQ(frame.hostTimeNs, pushTimes[frame.fill - 1u])
                << "relayed with another time than pushed";
        }
    }

    // The placeholder resumes on the first tick more than 0.5 s after the last relayed frame.
    const double gapMs = double(seen.back().hostTimeNs - pushTimes.back()) / 1e6;
    EXPECT_GT(gapMs, 500.0);
    if (seen.back().missedBefore == 0) {
        EXPECT_LT(gapMs, 700.0);
    }
}

TEST(Relay, EveryViewerGetsEveryFrameWhileASlowOneOnlyMissesItsOwn) {
    CameraProcess camera;
    Viewer first = Viewer::open(camera.options());
    Viewer second = Viewer::open(camera.options());
    Viewer slow = Viewer::open(camera.options());
    // The slow viewer takes frames and never lets them go.
    std::vector<Viewer::Frame> held;
    for (std::uint32_t i = 0; i < wire::kViewerFramesInFlight; ++i) {
        auto frame = slow.next_frame(3000ms);
        ASSERT_TRUE(frame);
        held.push_back(std::move(*frame));
    }

    Producer producer = Producer::open(camera.options());
    constexpr int kPushed = 40;
    // Until the placeholder is back after the relayed frames.
    auto allPushedSeen = [](const std::vector<SeenFrame>& frames) {
        return countSink(frames) > 0 && frames.back().origin == Viewer::Origin::Placeholder;
    };
    std::vector<SeenFrame> seenByFirst, seenBySecond;
    std::thread firstWatcher([&] { seenByFirst = watch(first, allPushedSeen); });
    std::thread secondWatcher([&] { seenBySecond = watch(second, allPushedSeen); });
    pushFilledFrames(producer, kPushed);
    firstWatcher.join();
    secondWatcher.join();
    producer.close();
    EXPECT_EQ(producer.counters().sent, std::uint64_t(kPushed)) << "the slow viewer held it up";
    EXPECT_EQ(producer.counters().dropped, 0u);

    // Each fast viewer saw every pushed frame in order, but for those it was told it missed
    // (only its own scheduling can make it miss any).
    expectPushedFramesAccountedFor(seenByFirst, kPushed);
    expectPushedFramesAccountedFor(seenBySecond, kPushed);

    // Letting go, the slow viewer hears how much it missed, and it was more than the relay.
    held.clear();
    auto next = slow.next_frame(3000ms);
    ASSERT_TRUE(next);
    EXPECT_GE(next->missed_before(), std::uint64_t(kPushed));
    EXPECT_EQ(slow.frames_missed(), next->missed_before());
}

// Sends every message in one system call, so that the camera finds them all waiting at once.
void sendBurst(int socket, const std::vector<wire::Push>& pushes) {
    std::vector<mmsghdr> packets(pushes.size());
    std::vector<iovec> parts(pushes.size());
    for (std::size_t i = 0; i < pushes.size(); ++i) {
        parts[i] = iovec{const_cast<wire::Push*>(&pushes[i]), sizeof(wire::Push)};
        packets[i].msg_hdr.msg_iov = &parts[i];
        packets[i].msg_hdr.msg_iovlen = 1;
    }
    ASSERT_EQ(::sendmmsg(socket, packets.data(), unsigned(packets.size()), MSG_NOSIGNAL),
              int(packets.size()));
}

TEST(SinkQueue, PushesPastAFullQueueAreRefusedAndEveryPushIsAccountedFor) {
    CameraProcess camera;
    RawClient client(camera.socketPath());
    ASSERT_TRUE(client.hello(wire::Role::Sink));
    const auto ids = client.startSink(wire::kMaxRegisteredBuffersPerClient);
    ASSERT_EQ(ids.size(), wire::kMaxRegisteredBuffersPerClient);

    // The camera reads a burst faster than the relay takes frames, so the queue fills; how
    // far depends on when it wakes, so bursts are repeated until one overflows.
    std::uint64_t pushes = 0, refusedFull = 0, relayed = 0, lastDropped = 0;
    for (int burst = 0; burst < 20 && refusedFull == 0; ++burst) {
        std::vector<wire::Push> messages;
        for (const auto id : ids) messages.push_back(pushAt(id, host_time_now()));
        ASSERT_NO_FATAL_FAILURE(sendBurst(client.fd(), messages));
        pushes += messages.size();
        // Each push is answered once: refused, or its buffer comes back.
        for (std::size_t answered = 0; answered < messages.size(); ++answered) {
            auto received = client.receive();
            ASSERT_TRUE(received) << "a push was never answered";
            if (const auto* refusal = std::get_if<wire::PushRefused>(&received->message)) {
                EXPECT_EQ(refusal->reason, wire::PushRefusal::QueueFull);
                EXPECT_EQ(refusal->framesQueued, wire::kSinkQueueSize);
                EXPECT_EQ(refusal->framesDropped, lastDropped + 1) << "a drop went uncounted";
                lastDropped = refusal->framesDropped;
                ++refusedFull;
            } else if (const auto* back = std::get_if<wire::BufferReturned>(&received->message)) {
                EXPECT_EQ(back->outcome, wire::PushOutcome::Relayed);
                ++relayed;
            } else {
                ADD_FAILURE() << "unexpected answer to a push";
            }
        }
    }
    EXPECT_GT(refusedFull, 0u) << "no burst ever filled the queue";
    EXPECT_EQ(relayed + refusedFull, pushes);
}

}  // namespace
}  // namespace kova::e2e
