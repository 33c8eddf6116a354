// Producer against a scripted camera: registration, pushes and their accounting, refusals,
// the buffer pool, errors and reconnecting.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <set>

#include "FakeCamera.h"
#include "kova/kova.h"
#include "protocol/SharedAreas.h"
#include "tests/harness/FdCount.h"

namespace kova::client::test {
namespace {

class ProducerTest : public ::testing::Test {
  protected:
    kova::testing::FdLeakGuard fdGuard;
    FakeCamera camera;
};

// A push the fake camera took, with what the buffer held when it arrived.
struct TakenPush {
    wire::Push push{};
    std::vector<std::uint8_t> pixels;
};

TakenPush takePush(wire::Connection& connection, const std::vector<Registered>& buffers) {
    TakenPush taken;
    taken.push = expect<wire::Push>(connection);
    for (const auto& buffer : buffers) {
        if (buffer.id == taken.push.bufferId)
            taken.pixels = contentsOf(buffer.fd.get(), kFrameBytes);
    }
    EXPECT_FALSE(taken.pixels.empty())
        << "push of buffer " << taken.push.bufferId << ", which was never registered";
    return taken;
}

void returnBuffer(wire::Connection& connection, std::uint32_t id, wire::PushOutcome outcome) {
    wire::BufferReturned back;
    back.bufferId = id;
    back.outcome = outcome;
    send(connection, back);
}

// A refused buffer is the client's again at once; a camera may also send it back as dropped.
void refusePush(wire::Connection& connection, std::uint32_t id, wire::PushRefusal reason,
                bool alsoReturned) {
    wire::PushRefused refusal;
    refusal.bufferId = id;
    refusal.reason = reason;
    send(connection, refusal);
    if (alsoReturned) returnBuffer(connection, id, wire::PushOutcome::Dropped);
}

TEST_F(ProducerTest, RegistersSealedFrameBuffersThenPushesFramesStampedOnTheHostClock) {
    std::vector<wire::FrameLayout> layouts;
    std::vector<int> sealCheck;
    std::size_t writableByThePeer = 0;
    std::set<std::uint64_t> distinctMemory;
    TakenPush taken;
    ino_t pushedMemory = 0;
    camera.serve({[&](wire::Connection& c) {
        auto buffers = acceptProducer(c);
        for (const auto& buffer : buffers) {
            layouts.push_back(buffer.layout);
            sealCheck.push_back(base::MemFd::checkImported(buffer.fd.get(), kFrameBytes));
            // Viewers are handed these fds: none of them may write the producer's pixels.
            if (base::MemoryMapping::create(buffer.fd.get(), kFrameBytes, true))
                ++writableByThePeer;
            struct stat status {};
            ::fstat(buffer.fd.get(), &status);
            distinctMemory.insert(status.st_ino);
        }
        taken = takePush(c, buffers);
        for (const auto& buffer : buffers) {
            struct stat status {};
            ::fstat(buffer.fd.get(), &status);
            if (buffer.id == taken.push.bufferId) pushedMemory = status.st_ino;
        }
        answerPing(c);
        expectHangUp(c);
    }});

    std::vector<std::uint8_t> painted(kFrameBytes);
    ino_t frameMemory = 0;
    for (std::size_t i = 0; i < kFrameBytes; ++i) painted[i] = std::uint8_t(i * 7 / 4096);
    std::uint64_t before = 0, after = 0;
    {
        Producer producer = Producer::open(camera.options());
        Producer::Frame frame = producer.acquire();
        ASSERT_NE(frame.data(), nullptr);
        EXPECT_EQ(frame.stride(), kFrameStride);
        std::memcpy(frame.data(), painted.data(), kFrameBytes);
        struct stat status {};
        ASSERT_EQ(::fstat(frame.fd(), &status), 0);
        frameMemory = status.st_ino;
        before = host_time_now();
        EXPECT_TRUE(producer.submit(std::move(frame)));
        after = host_time_now();
        EXPECT_EQ(producer.counters().sent, 1u);
        EXPECT_EQ(producer.counters().dropped, 0u);
        EXPECT_EQ(producer.counters().fps, 1.0);
    }
    camera.join();

    ASSERT_EQ(layouts.size(), 8u);
    for (const auto& layout : layouts) {
        EXPECT_EQ(layout.pixelFormat, wire::PixelFormat::BGRA);
        EXPECT_EQ(layout.width, 800u);
        EXPECT_EQ(layout.height, 960u);
        EXPECT_EQ(layout.bytesPerRow, 3200u);
        EXPECT_EQ(layout.size, kFrameBytes);
    }
    EXPECT_EQ(sealCheck, std::vector<int>(8, 0)) << "every buffer is sealed and big enough";
    EXPECT_EQ(writableByThePeer, 0u) << "a peer could map a frame buffer for writing";
    EXPECT_EQ(distinctMemory.size(), 8u) << "every buffer is its own memory";

    EXPECT_EQ(taken.push.timeFlags, wire::kTimeFlagValid);
    EXPECT_EQ(taken.push.timeScale, 1'000'000'000);
    EXPECT_GE(std::uint64_t(taken.push.timeValue), before);
    EXPECT_LE(std::uint64_t(taken.push.timeValue), after);
    EXPECT_TRUE(taken.pixels == painted) << "the camera sees other pixels than were painted";
    EXPECT_EQ(frameMemory, pushedMemory) << "the frame's fd is not the memory it pushed";
}

TEST_F(ProducerTest, SendPacksRowsOfAPaddedPictureAndKeepsAChosenPresentationTime) {
    TakenPush taken;
    camera.serve({[&](wire::Connection& c) {
        auto buffers = acceptProducer(c);
        taken = takePush(c, buffers);
        answerPing(c);
        expectHangUp(c);
    }});

    constexpr std::size_t kStride = kFrameStride + 100;
    std::vector<std::uint8_t> picture(kStride * kFrameHeight, 0xEE);
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        std::memset(picture.data() + row * kStride, int(row % 251), kFrameStride);
    }
    {
        Producer producer = Producer::open(camera.options());
        EXPECT_TRUE(producer.send(picture.data(), kStride, 123'456'789));
    }
    camera.join();

    EXPECT_EQ(taken.push.timeValue, 123'456'789);
    ASSERT_EQ(taken.pixels.size(), kFrameBytes);
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        const std::uint8_t* line = taken.pixels.data() + row * kFrameStride;
        if (std::count(line, line + kFrameStride, std::uint8_t(row % 251)) != kFrameStride) {
            ADD_FAILURE() << "row " << row << " was not copied whole, or padding came with it";
            break;
        }
    }
}

class RefusedPushTest : public ProducerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedPushTest, RefusedAndDroppedPushesAreCountedOnceAndTheirBuffersComeBack) {
    const bool refusedBufferAlsoReturned = GetParam();
    camera.serve({[&](wire::Connection& c) {
        auto buffers = acceptProducer(c, 1);
        // Refused: counted when refused, not again if the buffer is also sent back.
        auto push = expect<wire::Push>(c);
        refusePush(c, push.bufferId, wire::PushRefusal::QueueFull, refusedBufferAlsoReturned);
        answerPing(c);
        // Accepted, then dropped when the session ends before it is relayed.
        push = expect<wire::Push>(c);
        answerPing(c);
        returnBuffer(c, push.bufferId, wire::PushOutcome::Dropped);
        // Accepted and relayed.
        push = expect<wire::Push>(c);
        answerPing(c);
        expect<wire::SinkStop>(c);
        returnBuffer(c, push.bufferId, wire::PushOutcome::Relayed);
        send(c, wire::SinkStopped{});
        expectHangUp(c);
    }});

    Producer producer = Producer::open(camera.options());
    EXPECT_FALSE(producer.submit(producer.acquire(std::chrono::milliseconds(0))));
    EXPECT_EQ(producer.counters().sent, 0u);
    EXPECT_EQ(producer.counters().dropped, 1u);
    // The one buffer is back at once: a refused push never keeps it.
    EXPECT_TRUE(producer.submit(producer.acquire(std::chrono::milliseconds(0))));
    EXPECT_TRUE(producer.submit(producer.acquire()));
    producer.close();
    EXPECT_EQ(producer.counters().sent, 2u);
    EXPECT_EQ(producer.counters().dropped, 2u);
    EXPECT_THROW(producer.acquire(), Error) << "a closed producer takes no more frames";
    camera.join();
}

INSTANTIATE_TEST_SUITE_P(RefusalAloneOrWithReturn, RefusedPushTest, ::testing::Bool());

TEST_F(ProducerTest, PushDoesNotWaitAndARefusalReadLaterFreesTheBufferAndCountsItDropped) {
    camera.serve({[&](wire::Connection& c) {
        auto buffers = acceptProducer(c, 1);
        // No Ping follows a push: the next message is the next push.
        auto push = expect<wire::Push>(c);
        refusePush(c, push.bufferId, wire::PushRefusal::BadTime, false);
        push = expect<wire::Push>(c);
        expect<wire::SinkStop>(c);
        returnBuffer(c, push.bufferId, wire::PushOutcome::Relayed);
        send(c, wire::SinkStopped{});
        expectHangUp(c);
    }});

    Producer producer = Producer::open(camera.options());
    producer.push(producer.acquire(std::chrono::milliseconds(0)));
    // The one buffer comes back with the refusal, which acquire() reads.
    producer.push(producer.acquire(std::chrono::seconds(5)));
    EXPECT_EQ(producer.counters().dropped, 1u);
    producer.close();
    EXPECT_EQ(producer.counters().sent, 1u);
    EXPECT_EQ(producer.counters().dropped, 1u);
    camera.join();
}

TEST_F(ProducerTest, AcquireAsksForReturnsTakesThemFromTheRingAndGivesUpAtItsTimeout) {
    std::promise<void> timedOut;
    std::vector<std::uint32_t> pushed;
    camera.serve({[&](wire::Connection& c) {
        base::MemoryMapping ring;
        auto buffers = acceptProducer(c, 2, std::nullopt, &ring);
        for (int i = 0; i < 2; ++i) {
            pushed.push_back(expect<wire::Push>(c).bufferId);
            answerPing(c);
        }
        expect<wire::ReturnsWanted>(c);
        timedOut.get_future().wait();
        ASSERT_TRUE(wire::putReturn(wire::sharedArea<wire::FrameReturns>(ring), pushed[1],
                                    wire::PushOutcome::Relayed));
        send(c, wire::ReturnsPosted{});
        expectHangUp(c);
    }});

    {
        Producer producer = Producer::open(camera.options());
        Producer::Frame first = producer.acquire(std::chrono::milliseconds(0));
        Producer::Frame second = producer.acquire(std::chrono::milliseconds(0));
        std::uint8_t* const secondMemory = second.data();
        {
            // A frame dropped unsubmitted goes straight back to the pool.
            Producer::Frame unused = std::move(first);
        }
        first = producer.acquire(std::chrono::milliseconds(0));
        EXPECT_TRUE(producer.submit(std::move(first)));
        EXPECT_TRUE(producer.submit(std::move(second)));

        try {
            producer.acquire(std::chrono::milliseconds(30));
            ADD_FAILURE() << "acquire returned a frame while the camera held every buffer";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), ErrorCode::Timeout);
        }
        timedOut.set_value();
        Producer::Frame back = producer.acquire(std::chrono::seconds(5));
        EXPECT_EQ(back.data(), secondMemory) << "the returned buffer is the one handed out again";
    }
    camera.join();
}

TEST_F(ProducerTest, APoolWithEveryBufferOutGrowsUntilTheCameraTakesNoMore) {
    camera.serve({[&](wire::Connection& c) {
        acceptProducer(c, 8, 16);
        auto registration = expect<wire::RegisterBuffer>(c);
        EXPECT_EQ(registration.cookie, 9u);
        wire::BufferRegistered registered;
        registered.cookie = registration.cookie;
        registered.bufferId = 201;
        send(c, registered);
        // The camera refuses the next one: the producer then waits for a buffer to come back.
        registration = expect<wire::RegisterBuffer>(c);
        wire::Error refusal;
        refusal.code = wire::ErrorCode::LimitReached;
        refusal.requestType = std::uint32_t(wire::MessageType::RegisterBuffer);
        refusal.subject = registration.cookie;
        send(c, refusal);
        expect<wire::ReturnsWanted>(c);
        expectHangUp(c);
    }});

    {
        Producer producer = Producer::open(camera.options());
        std::vector<Producer::Frame> lent;
        for (int i = 0; i < 9; ++i) lent.push_back(producer.acquire(std::chrono::seconds(5)));
        try {
            producer.acquire(std::chrono::milliseconds(30));
            ADD_FAILURE() << "acquire returned a frame the camera never took";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), ErrorCode::Timeout);
        }
    }
    camera.join();
}

TEST_F(ProducerTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
    camera.serve({[&](wire::Connection& c) {
        acceptProducer(c, 2);
        expectHangUp(c);
    }});
    Producer producer = Producer::open(camera.options());
    auto codeOf = [](auto&& call) -> std::optional<ErrorCode> {
        try {
            call();
        } catch (const Error& error) {
            return error.code();
        }
        return std::nullopt;
    };
    const std::vector<std::uint8_t> picture(kFrameBytes);
    EXPECT_EQ(codeOf([&] { producer.send(nullptr, kFrameStride); }), ErrorCode::InvalidArgument);
    EXPECT_EQ(codeOf([&] { producer.send(picture.data(), kFrameStride - 4); }),
              ErrorCode::InvalidArgument);
    for (const double fps : {0.0, -30.0, 1001.0, std::nan(""), HUGE_VAL}) {
        EXPECT_EQ(codeOf([&] { producer.set_frame_rate(fps); }), ErrorCode::InvalidArgument) << fps;
    }
    EXPECT_EQ(codeOf([&] {
                  producer.submit(producer.acquire(),
                                  std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1);
              }),
              ErrorCode::InvalidArgument);
    Producer::Frame frame = producer.acquire();
    Producer::Frame taken = std::move(frame);
    EXPECT_EQ(codeOf([&] { producer.submit(std::move(frame)); }), ErrorCode::InvalidArgument);
    // Both buffers are still the producer's: nothing was pushed.
    Producer::Frame other = producer.acquire(std::chrono::milliseconds(0));
}

TEST_F(ProducerTest, CameraRefusalsCarryTheCameraText) {
    camera.serve({
        [&](wire::Connection& c) {
            expect<wire::Hello>(c);
            wire::Error error;
            error.code = wire::ErrorCode::LimitReached;
            error.requestType = std::uint32_t(wire::MessageType::Hello);
            error.disconnecting = 1;
            wire::setText(error.text, "too many clients (32)");
            send(c, error);
        },
        [&](wire::Connection& c) {
            welcome(c, wire::Role::Sink, 1);
            wire::Error error;
            error.code = wire::ErrorCode::BadBuffer;
            error.requestType = std::uint32_t(wire::MessageType::RegisterBuffer);
            error.subject = expect<wire::RegisterBuffer>(c).cookie;
            wire::setText(error.text, "the memory is not sealed");
            send(c, error);
            expectHangUp(c);
        },
        [&](wire::Connection& c) {
            // Turned away unread: hanging up on an unread hello resets the connection, which
            // the client hears before the Error.
            ASSERT_EQ(c.waitReadable(5000), 1);
            wire::Error error;
            error.code = wire::ErrorCode::LimitReached;
            error.disconnecting = 1;
            wire::setText(error.text, "no room for another client");
            send(c, error);
        },
    });
    for (const char* text :
         {"too many clients (32)", "the memory is not sealed", "no room for another client"}) {
        try {
            Producer::open(camera.options());
            ADD_FAILURE() << "the producer opened although the camera refused it";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), ErrorCode::Refused);
            EXPECT_NE(std::string(error.what()).find(text), std::string::npos) << error.what();
        }
    }
    camera.join();
}

TEST_F(ProducerTest, BufferReturnedThatWasNeverPushedIsAProtocolError) {
    camera.serve({[&](wire::Connection& c) {
        acceptProducer(c, 2);
        expect<wire::Push>(c);
        expect<wire::Ping>(c);
        returnBuffer(c, 999, wire::PushOutcome::Relayed);
        expectHangUp(c);
    }});
    Producer producer = Producer::open(camera.options());
    try {
        producer.submit(producer.acquire());
        ADD_FAILURE() << "a stray BufferReturned went unnoticed";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::ProtocolError);
    }
}

TEST_F(ProducerTest, CameraGoingAwayIsReportedAndReconnectStartsAFreshSession) {
    std::promise<void> frameTaken;
    camera.serve({
        [&](wire::Connection& c) {
            acceptProducer(c, 2);
            frameTaken.get_future().wait();
        },
        [&](wire::Connection& c) {
            auto buffers = acceptProducer(c, 2);
            expect<wire::Push>(c);
            answerPing(c);
            expectHangUp(c);
        },
    });

    Producer producer = Producer::open(camera.options());
    Producer::Frame stale = producer.acquire();
    frameTaken.set_value();
    try {
        // The hang-up may be seen at the push or while waiting for its answer.
        for (;;) producer.submit(producer.acquire());
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::Disconnected) << error.what();
    }
    producer.reconnect();
    try {
        producer.submit(std::move(stale));
        ADD_FAILURE() << "a frame of the old session was pushed into the new one";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::InvalidArgument);
    }
    EXPECT_TRUE(producer.submit(producer.acquire()));
}

TEST(ProducerWithoutCamera, OpeningReportsThatNoCameraServesThePath) {
    kova::testing::FdLeakGuard fdGuard;
    const std::string path = ::testing::TempDir() + "kova-no-camera.sock";
    try {
        Producer::open(ConnectOptions{path});
        ADD_FAILURE() << "opened a producer with no camera";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::NoCamera);
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace kova::client::test
