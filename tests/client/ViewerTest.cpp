// Viewer against a scripted camera: mapping each buffer once, releasing frames wherever they go,
// forgetting gone buffers, whether a frame held still, losing (not failing on) frames whose
// memory cannot be mapped, timeouts, hang-ups and reconnecting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <thread>

#include "FakeCamera.h"
#include "kova/kova.h"
#include "tests/harness/FdCount.h"

namespace kova::client::test {
namespace {

class ViewerTest : public ::testing::Test {
  protected:
    kova::testing::FdLeakGuard fdGuard;
    FakeCamera camera;
};

wire::Frame frameMessage(std::uint64_t token, std::uint64_t key, bool withFd) {
    wire::Frame frame;
    frame.token = token;
    frame.sequence = 1000 + token;
    frame.hostTimeNs = 5'000'000'000 + token;
    frame.bufferKey = key;
    frame.origin = wire::FrameOrigin::Sink;
    frame.fdAttached = withFd ? 1 : 0;
    frame.layout = frameLayout();
    return frame;
}

// Sends a frame that holds still: its word in the frame states says so.
void sendHeld(wire::Connection& c, const base::WritableMemory& states, wire::Frame frame,
              int fd = -1) {
    frame.slot = std::uint32_t((frame.token - 1) % wire::kViewerFramesInFlight);
    setFrameState(states, frame.slot, frame.token);
    send(c, frame, fd);
}

ino_t inodeOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? status.st_ino : 0;
}

std::optional<ErrorCode> nextFrameError(Viewer& viewer) {
    return codeOf([&] { viewer.next_frame(std::chrono::seconds(5)); });
}

TEST_F(ViewerTest, EachBufferIsMappedOnceAndEveryFrameIsReleasedWhereverAndWheneverItGoes) {
    std::vector<std::uint64_t> released;
    std::promise<void> lastFrameGone;
    ino_t sentMemory = 0;
    camera.serve({[&](wire::Connection& c) {
        const auto states = acceptViewer(c);
        const auto memory = frameMemory(0x5A);
        sentMemory = inodeOf(memory.get());
        auto first = frameMessage(1, 40, true);
        first.framesMissed = 2;
        sendHeld(c, states, first, memory.get());
        auto second = frameMessage(2, 40, false);
        second.origin = wire::FrameOrigin::Placeholder;
        second.framesMissed = 3;
        sendHeld(c, states, second);
        expectHangUp(c);
        lastFrameGone.get_future().wait();
        released = releasedTokens(states);
    }});

    std::optional<Viewer::Frame> outliving;
    {
        Viewer viewer = Viewer::open(camera.options());
        const std::uint64_t before = host_time_now();
        auto first = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(first);
        EXPECT_EQ(first->sequence(), 1001u);
        EXPECT_EQ(first->host_time_ns(), 5'000'000'001u);
        EXPECT_GE(first->received_ns(), before);
        EXPECT_LE(first->received_ns(), host_time_now());
        EXPECT_EQ(first->origin(), Viewer::Origin::Sink);
        EXPECT_EQ(first->missed_before(), 2u);
        EXPECT_EQ(inodeOf(first->fd()), sentMemory) << "the frame's fd is not the camera's memory";

        outliving = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(outliving);
        EXPECT_EQ(outliving->data(), first->data()) << "a known buffer is not mapped again";
        EXPECT_EQ(outliving->fd(), first->fd());
        EXPECT_EQ(outliving->origin(), Viewer::Origin::Placeholder);
        EXPECT_EQ(outliving->missed_before(), 3u);
        EXPECT_EQ(viewer.frames_missed(), 5u) << "the sum of every frame's count";
        EXPECT_TRUE(first->intact() && outliving->intact());
        std::thread([frame = std::move(*first)]() mutable {
            EXPECT_EQ(frame.data()[kFrameBytes - 1], 0x5A);
        }).join();
    }
    // The viewer has hung up; its last frame is still readable.
    EXPECT_EQ(outliving->data()[kFrameBytes - 1], 0x5A);
    outliving.reset();
    lastFrameGone.set_value();
    camera.join();
    EXPECT_EQ(released, (std::vector<std::uint64_t>{1, 2, 0, 0}))
        << "a frame let go on another thread, or after its viewer, is released all the same";
}

TEST_F(ViewerTest, AFrameTakenBackBeforeItIsReadIsSkippedAndOneTakenBackLaterReadsAsChanged) {
    std::vector<std::uint64_t> released;
    std::promise<void> bothRead, firstTakenBack;
    camera.serve({[&](wire::Connection& c) {
        const auto states = acceptViewer(c);
        const auto memory = frameMemory(0x11);
        setFrameState(states, 0, 1);
        send(c, frameMessage(1, 40, true), memory.get());
        auto second = frameMessage(2, 40, false);  // its word never says it is held
        second.slot = 1;
        send(c, second);
        auto third = frameMessage(3, 40, false);
        third.slot = 2;
        setFrameState(states, 2, 3);
        send(c, third);
        bothRead.get_future().wait();
        setFrameState(states, 0, 0);
        firstTakenBack.set_value();
        expectHangUp(c);
        released = releasedTokens(states);
    }});

    {
        Viewer viewer = Viewer::open(camera.options());
        auto first = viewer.next_frame(std::chrono::seconds(5));
        auto third = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(first && third);
        EXPECT_EQ(third->sequence(), 1003u);
        EXPECT_EQ(third->missed_before(), 1u);
        bothRead.set_value();
        firstTakenBack.get_future().wait();
        EXPECT_FALSE(first->intact());
        EXPECT_TRUE(third->intact());
    }
    camera.join();
    EXPECT_EQ(released, (std::vector<std::uint64_t>{1, 2, 3, 0}));
}

TEST_F(ViewerTest, AFrameLargerThanItsBufferOrOnAGoneOneIsRefusedWhileFramesReadStayReadable) {
    std::vector<std::uint64_t> released;
    std::promise<void> firstHeld;
    camera.serve({[&](wire::Connection& c) {
        const auto states = acceptViewer(c);
        {
            const auto memory = frameMemory(0x77);
            sendHeld(c, states, frameMessage(1, 40, true), memory.get());
        }
        firstHeld.get_future().wait();
        // A frame that claims more memory than its buffer has would be read past the mapping.
        auto larger = frameMessage(2, 40, false);
        larger.layout.size += 4096;
        sendHeld(c, states, larger);
        wire::BufferGone gone;
        gone.bufferKey = 40;
        send(c, gone);
        // The key is forgotten: a frame on it without its memory cannot be shown.
        sendHeld(c, states, frameMessage(3, 40, false));
        expectHangUp(c);
        released = releasedTokens(states);
    }});

    {
        Viewer viewer = Viewer::open(camera.options());
        auto first = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(first);
        firstHeld.set_value();
        EXPECT_EQ(nextFrameError(viewer), ErrorCode::ProtocolError) << "larger than its buffer";
        EXPECT_EQ(nextFrameError(viewer), ErrorCode::ProtocolError) << "on a gone buffer";
        EXPECT_EQ(first->data()[kFrameBytes - 1], 0x77) << "the frame's memory went with its key";
        EXPECT_NE(inodeOf(first->fd()), 0u) << "the frame's fd closed with its key";
    }
    camera.join();
    EXPECT_EQ(released, (std::vector<std::uint64_t>{1, 2, 3, 0}));
}

// Memory no viewer should map, as a camera could hand it over.
struct UnusableMemory {
    const char* what;
    std::function<base::UniqueFD()> make;
};

TEST_F(ViewerTest, AFrameWhoseMemoryCannotBeMappedIsLostCountedAndReleasedNotTheSession) {
    const std::vector<UnusableMemory> memories{
        {"not sealed: it could shrink under the mapping",
         [] {
             base::UniqueFD memory(::memfd_create("unsealed", MFD_CLOEXEC));
             EXPECT_EQ(::ftruncate(memory.get(), kFrameBytes), 0);
             return memory;
         }},
        {"sealed, smaller than its frame", [] { return base::MemFd::create("small", 4096); }},
        {"sealed, open for writing only",
         [] {
             const base::UniqueFD memory = base::MemFd::create("write-only", kFrameBytes);
             return base::UniqueFD(::open(("/proc/self/fd/" + std::to_string(memory.get())).c_str(),
                                          O_WRONLY | O_CLOEXEC));
         }},
    };
    std::vector<std::uint64_t> released;
    camera.serve({[&](wire::Connection& c) {
        const auto states = acceptViewer(c);
        std::uint64_t token = 0;
        for (const UnusableMemory& memory : memories) {
            const base::UniqueFD fd = memory.make();
            ASSERT_TRUE(fd) << memory.what;
            ++token;
            sendHeld(c, states, frameMessage(token, 40 + token, true), fd.get());
        }
        // A later frame in a buffer that could not be mapped is lost too.
        sendHeld(c, states, frameMessage(++token, 41, false));
        const auto good = frameMemory(0x33);
        auto usable = frameMessage(++token, 50, true);
        usable.framesMissed = 2;
        sendHeld(c, states, usable, good.get());
        expectHangUp(c);
        released = releasedTokens(states);
    }});

    {
        Viewer viewer = Viewer::open(camera.options());
        auto frame = viewer.next_frame(std::chrono::seconds(5));
        ASSERT_TRUE(frame) << "the session ended on an unusable frame";
        EXPECT_EQ(frame->data()[0], 0x33);
        EXPECT_EQ(frame->missed_before(), memories.size() + 1 + 2);
        EXPECT_EQ(viewer.frames_unusable(), memories.size() + 1);
        EXPECT_EQ(viewer.frames_missed(), memories.size() + 1 + 2);
        EXPECT_NE(viewer.last_unusable_reason().find("buffer 41"), std::string::npos)
            << viewer.last_unusable_reason();
    }
    camera.join();
    // Slot 0 held frames 1 and 5: the later release is the one left in its word.
    EXPECT_EQ(released, (std::vector<std::uint64_t>{5, 2, 3, 4}));
}

TEST_F(ViewerTest, NoFrameInTimeIsNothingACameraGoneIsReportedAndReconnectStartsAfresh) {
    std::promise<void> waited;
    camera.serve({
        [&](wire::Connection& c) {
            const auto states = acceptViewer(c);
            waited.get_future().wait();
        },
        [&](wire::Connection& c) {
            const auto states = acceptViewer(c);
            const auto memory = frameMemory(0x11);
            // The same key as in the old session: the new session maps it afresh.
            sendHeld(c, states, frameMessage(1, 40, true), memory.get());
            expectHangUp(c);
            EXPECT_EQ(releasedTokens(states)[0], 1u);
        },
    });
    Viewer viewer = Viewer::open(camera.options());
    EXPECT_FALSE(viewer.next_frame(std::chrono::milliseconds(0)));
    EXPECT_FALSE(viewer.next_frame(std::chrono::milliseconds(20)));
    waited.set_value();
    EXPECT_EQ(nextFrameError(viewer), ErrorCode::Disconnected);
    viewer.reconnect();
    auto frame = viewer.next_frame(std::chrono::seconds(5));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data()[0], 0x11);
}

}  // namespace
}  // namespace kova::client::test
