// Viewer against a scripted camera: mapping each buffer once, releasing frames wherever they go,
// skipping frames taken back, forgetting gone buffers and those of an earlier session, losing
// (not failing on) frames whose memory cannot be mapped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <future>

#include "FakeCamera.h"

namespace kova::client::test {
namespace {

using ViewerTest = ClientTest;

wire::Frame frameMessage(std::uint64_t token, std::uint64_t key, bool withFd) {
    return wire::Frame{.token = token,
                       .sequence = 1000 + token,
                       .hostTimeNs = 5'000'000'000 + token,
                       .bufferKey = key,
                       .origin = wire::FrameOrigin::Sink,
                       .fdAttached = withFd ? 1u : 0u,
                       .slot = std::uint32_t((token - 1) % wire::kViewerFramesInFlight),
                       .layout = {wire::PixelFormat::BGRA, 800, 960, 3200, kFrameBytes}};
}

// Sends a frame that holds still: its word in the frame states says so.
void sendHeld(wire::Connection& c, const base::WritableMemory& states, const wire::Frame& frame,
              int fd = -1) {
    setFrameState(states, frame.slot, frame.token);
    send(c, frame, fd);
}

std::optional<ErrorCode> nextFrameError(Viewer& viewer) {
    return codeOf([&] { viewer.next_frame(std::chrono::seconds(5)); });
}

TEST_F(ViewerTest, EachBufferIsMappedOnceAFrameTakenBackIsSkippedAndEveryFrameIsReleased) {
    std::vector<std::uint64_t> released;
    std::promise<void> bothRead, firstTakenBack, lastFrameGone;
    camera.serve({[&](wire::Connection& c) {
        const auto states = acceptViewer(c);
        auto first = frameMessage(1, 40, true);
        first.framesMissed = 2;
        sendHeld(c, states, first, frameMemory(0x5A).get());
        send(c, frameMessage(2, 40, false));  // its word never says it holds still
        auto third = frameMessage(3, 40, false);
        third.framesMissed = 3;
        sendHeld(c, states, third);
        bothRead.get_future().wait();
        setFrameState(states, 0, 0);
        firstTakenBack.set_value();
        expectHangUp(c);
        lastFrameGone.get_future().wait();
        released = releasedTokens(states);
    }});

    std::optional<Viewer::Frame> outliving;
    {
        Viewer viewer = Viewer::open(camera.options());
        auto first = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(first);
        EXPECT_EQ(first->missed_before(), 2u);

        outliving = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(outliving);
        EXPECT_EQ(outliving->sequence(), 1003u);
        EXPECT_EQ(outliving->data(), first->data()) << "a known buffer is not mapped again";
        EXPECT_EQ(outliving->missed_before(), 3u + 1) << "the frame skipped is missed";
        EXPECT_EQ(viewer.frames_missed(), 2u + 1 + 3) << "the sum of every frame's count";
        bothRead.set_value();
        firstTakenBack.get_future().wait();
        EXPECT_FALSE(first->intact());
        EXPECT_TRUE(outliving->intact());
        std::thread([frame = std::move(*first)]() mutable {
            EXPECT_EQ(frame.data()[kFrameBytes - 1], 0x5A);
        }).join();
    }
    // The viewer has hung up; its last frame is still readable.
    EXPECT_EQ(outliving->data()[kFrameBytes - 1], 0x5A);
    outliving.reset();
    lastFrameGone.set_value();
    camera.join();
    EXPECT_EQ(released, (std::vector<std::uint64_t>{1, 2, 3, 0}))
        << "a frame skipped, let go on another thread, or after its viewer, is released all the "
           "same";
}

// A frame that would be read past its buffer's end, or shown from a buffer gone, ends the
// session; one whose memory cannot be mapped is only lost, counted and released.
TEST_F(ViewerTest, BadFramesEndTheSessionFramesInUnmappableMemoryAreLostAndFramesReadStayReadable) {
    // Memory no viewer should map, as a camera could hand it over.
    base::UniqueFD unsealed(::memfd_create("unsealed", MFD_CLOEXEC));  // could shrink under it
    ASSERT_EQ(::ftruncate(unsealed.get(), kFrameBytes), 0);
    const base::UniqueFD writable = base::MemFd::create("write-only", kFrameBytes);
    base::UniqueFD unusable[] = {
        std::move(unsealed),
        base::MemFd::create("small", 4096),
        base::UniqueFD(::open(("/proc/self/fd/" + std::to_string(writable.get())).c_str(),
                              O_WRONLY | O_CLOEXEC)),
    };
    std::vector<std::uint64_t> released, releasedAfterReconnect;
    std::promise<void> firstHeld;
    camera.serve({
        [&](wire::Connection& c) {
            const auto states = acceptViewer(c);
            sendHeld(c, states, frameMessage(1, 40, true), frameMemory(0x77).get());
            firstHeld.get_future().wait();
            // A frame that claims more memory than its buffer has would be read past the mapping.
            auto larger = frameMessage(2, 40, false);
            larger.layout.size += 4096;
            sendHeld(c, states, larger);
            send(c, wire::BufferGone{.bufferKey = 40});
            // The key is forgotten: a frame on it without its memory cannot be shown.
            sendHeld(c, states, frameMessage(3, 40, false));
            expectHangUp(c);
            released = releasedTokens(states);
        },
        [&](wire::Connection& c) {
            const auto states = acceptViewer(c);
            std::uint64_t token = 0;
            for (const base::UniqueFD& fd : unusable) {
                ++token;
                sendHeld(c, states, frameMessage(token, 40 + token, true), fd.get());
            }
            // A later frame in a buffer that could not be mapped is lost too.
            sendHeld(c, states, frameMessage(++token, 41, false));
            // The same key as in the old session: the new session maps it afresh.
            auto usable = frameMessage(++token, 40, true);
            usable.framesMissed = 2;
            sendHeld(c, states, usable, frameMemory(0x11).get());
            expectHangUp(c);
            releasedAfterReconnect = releasedTokens(states);
        },
    });

    {
        Viewer viewer = Viewer::open(camera.options());
        auto first = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(first);
        firstHeld.set_value();
        EXPECT_EQ(nextFrameError(viewer), ErrorCode::ProtocolError) << "larger than its buffer";
        EXPECT_EQ(nextFrameError(viewer), ErrorCode::ProtocolError) << "on a gone buffer";
        EXPECT_EQ(first->data()[kFrameBytes - 1], 0x77) << "the frame's memory went with its key";
        EXPECT_NE(::fcntl(first->fd(), F_GETFD), -1) << "the frame's fd closed with its key";
        first.reset();
        viewer.reconnect();
        auto frame = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(frame) << "the session ended on an unusable frame";
        EXPECT_EQ(frame->data()[0], 0x11);
        EXPECT_EQ(frame->missed_before(), 3u + 1 + 2);
        EXPECT_EQ(viewer.frames_unusable(), 3u + 1);
        EXPECT_EQ(viewer.frames_missed(), 3u + 1 + 2);
        EXPECT_NE(viewer.last_unusable_reason().find("buffer 41"), std::string::npos)
            << viewer.last_unusable_reason();
    }
    camera.join();
    EXPECT_EQ(released, (std::vector<std::uint64_t>{1, 2, 3, 0}));
    // Slot 0 held frames 1 and 5: the later release is the one left in its word.
    EXPECT_EQ(releasedAfterReconnect, (std::vector<std::uint64_t>{5, 2, 3, 4}));
}

}  // namespace
}  // namespace kova::client::test
