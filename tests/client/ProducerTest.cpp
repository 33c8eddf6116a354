// Producer against a scripted camera: a picture copied in, the accounting of pushes, refusals, the
// buffer pool and its return ring, a camera that refuses or answers wrongly, and reconnecting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

#include "FakeCamera.h"

namespace kova::client::test {
namespace {

using ProducerTest = ClientTest;

void returnBuffer(wire::Connection& connection, std::uint32_t id, wire::PushOutcome outcome) {
    send(connection, wire::BufferReturned{.bufferId = id, .outcome = outcome});
}

// A refused buffer is the client's again at once; a camera may also send it back as dropped.
void refusePush(wire::Connection& connection, std::uint32_t id, wire::PushRefusal reason,
                bool alsoReturned = false) {
    send(connection, wire::PushRefused{.bufferId = id, .reason = reason});
    if (alsoReturned) returnBuffer(connection, id, wire::PushOutcome::Dropped);
}

TEST_F(ProducerTest, BadArgumentsSendNothingAndSendCopiesThePicturesRowsWithoutPaddingAtItsTime) {
    wire::Push push{};
    std::vector<std::uint8_t> pushed;
    camera.serve({[&](wire::Connection& c) {
        const auto buffers = acceptProducer(c, 2);
        push = expect<wire::Push>(c);
        if (push.bufferId - 101 >= buffers.size()) abortScript("got a push of no buffer");
        const int memory = buffers[push.bufferId - 101].get();
        if (auto mapping = base::MemoryMapping::create(memory, kFrameBytes, false)) {
            pushed.assign(mapping->data(), mapping->data() + kFrameBytes);
        }
        answerPing(c);
        expectHangUp(c);
    }});

    constexpr std::size_t kStride = kFrameStride + 100;
    std::vector<std::uint8_t> padded(kStride * kFrameHeight, 0xEE), expected(kFrameBytes);
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        std::memset(padded.data() + row * kStride, int(row % 251), kFrameStride);
        std::memset(expected.data() + row * kFrameStride, int(row % 251), kFrameStride);
    }
    {
        Producer producer = Producer::open(camera.options());
        Producer::Frame emptied = producer.acquire();
        const Producer::Frame holder = std::move(emptied);
        const std::function<void()> calls[] = {
            [&] { producer.send(nullptr, kFrameStride); },
            [&] { producer.send(padded.data(), kFrameStride - 4); },
            [&] {
                producer.submit(producer.acquire(),
                                std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1);
            },
            [&] { producer.submit(std::move(emptied)); },
        };
        for (const auto& call : calls) EXPECT_EQ(codeOf(call), ErrorCode::InvalidArgument);
        for (const double fps : {0.0, -30.0, 1001.0, std::nan(""), HUGE_VAL}) {
            EXPECT_EQ(codeOf([&] { producer.set_frame_rate(fps); }), ErrorCode::InvalidArgument)
                << fps;
        }
        // The pool's other buffer is still free for the one push the camera sees.
        EXPECT_TRUE(producer.send(padded.data(), kStride, 123'456'789));
        EXPECT_EQ(producer.counters().fps, 1.0);
    }
    camera.join();
    EXPECT_EQ(push.timeValue, 123'456'789);
    EXPECT_TRUE(pushed == expected) << "the rows were not copied whole, or padding came with them";
}

class RefusedPushTest : public ClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedPushTest, RefusedAndDroppedPushesAreCountedOnceAndTheirBuffersComeBack) {
    const bool refusedBufferAlsoReturned = GetParam();
    camera.serve({[&](wire::Connection& c) {
        acceptProducer(c, 1);
        // Refused: counted when refused, not again if the buffer is also sent back.
        auto push = expect<wire::Push>(c);
        // The answer to an earlier Ping, late, comes before the refusal: not this push's.
        const auto ping = expect<wire::Ping>(c);
        send(c, wire::Pong{.cookie = ping.cookie - 1});
        refusePush(c, push.bufferId, wire::PushRefusal::QueueFull, refusedBufferAlsoReturned);
        send(c, wire::Pong{.cookie = ping.cookie});
        // Accepted, then dropped when the session ends before it is relayed.
        push = expect<wire::Push>(c);
        answerPing(c);
        returnBuffer(c, push.bufferId, wire::PushOutcome::Dropped);
        // Pushed without a wait (no Ping follows), refused, the refusal read later by acquire().
        refusePush(c, expect<wire::Push>(c).bufferId, wire::PushRefusal::BadTime);
        // Accepted and relayed.
        push = expect<wire::Push>(c);
        expect<wire::SinkStop>(c);
        returnBuffer(c, push.bufferId, wire::PushOutcome::Relayed);
        send(c, wire::SinkStopped{});
        expectHangUp(c);
    }});

    Producer producer = Producer::open(camera.options());
    EXPECT_FALSE(producer.submit(producer.acquire(std::chrono::milliseconds(0))));
    EXPECT_EQ(producer.counters().dropped, 1u);
    // The one buffer is back at once: a refused push never keeps it.
    EXPECT_TRUE(producer.submit(producer.acquire(std::chrono::milliseconds(0))));
    producer.push(producer.acquire(std::chrono::seconds(5)));
    producer.push(producer.acquire(std::chrono::seconds(5)));
    producer.close();
    EXPECT_EQ(producer.counters().sent, 2u);
    EXPECT_EQ(producer.counters().dropped, 3u);
    EXPECT_THROW(producer.acquire(), Error) << "a closed producer takes no more frames";
    camera.join();
}

INSTANTIATE_TEST_SUITE_P(RefusalAloneOrWithReturn, RefusedPushTest, ::testing::Bool());

TEST_F(ProducerTest, APoolWithEveryBufferOutGrowsUntilRefusedThenTakesReturnsFromTheRing) {
    std::promise<void> timedOut;
    camera.serve({[&](wire::Connection& c) {
        base::MemoryMapping ring;
        acceptProducer(c, 8, 16, &ring);
        const std::uint32_t ninth = expect<wire::RegisterBuffer>(c).cookie;
        EXPECT_EQ(ninth, 9u);
        send(c, wire::BufferRegistered{.cookie = ninth, .bufferId = 201});
        const std::uint32_t pushed = expect<wire::Push>(c).bufferId;
        // The camera refuses the next one: the producer then waits for a buffer to come back.
        send(c, wire::Error{.code = wire::ErrorCode::LimitReached,
                            .requestType = std::uint32_t(wire::MessageType::RegisterBuffer),
                            .subject = expect<wire::RegisterBuffer>(c).cookie});
        expect<wire::ReturnsWanted>(c);
        timedOut.get_future().wait();
        ASSERT_TRUE(wire::putReturn(wire::sharedArea<wire::FrameReturns>(ring), pushed,
                                    wire::PushOutcome::Relayed));
        send(c, wire::ReturnsPosted{});
        expectHangUp(c);
    }});

    {
        Producer producer = Producer::open(camera.options());
        std::vector<Producer::Frame> lent;
        for (int i = 0; i < 9; ++i) lent.push_back(producer.acquire(std::chrono::seconds(5)));
        std::uint8_t* const pushedMemory = lent[8].data();
        producer.push(std::move(lent[8]));
        EXPECT_EQ(codeOf([&] { producer.acquire(std::chrono::milliseconds(30)); }),
                  ErrorCode::Timeout)
            << "while the camera holds every buffer it took";
        timedOut.set_value();
        EXPECT_EQ(producer.acquire(std::chrono::seconds(5)).data(), pushedMemory)
            << "the returned buffer is the one handed out again";
        (void)Producer::Frame(std::move(lent[0]));  // dropped unsubmitted: back to the pool
        producer.acquire(std::chrono::milliseconds(0));
    }
    camera.join();
}

TEST_F(ProducerTest, ACameraThatRefusesOrAnswersWronglyIsReportedWithTheReason) {
    auto error = [](wire::MessageType request, const char* text) {
        wire::Error error{.code = wire::ErrorCode::LimitReached,
                          .requestType = std::uint32_t(request),
                          .disconnecting = request == wire::MessageType::RegisterBuffer ? 0u : 1u};
        wire::setText(error.text, text);
        return error;
    };
    // The camera's answers to `count` registrations, with these cookies.
    auto answering = [](std::uint32_t count, std::vector<std::uint32_t> cookies) {
        return [=](wire::Connection& c) {
            welcome(c, wire::Role::Sink, count);
            for (std::uint32_t i = 0; i < count; ++i) expect<wire::RegisterBuffer>(c);
            for (const std::uint32_t cookie : cookies) {
                send(c, wire::BufferRegistered{.cookie = cookie, .bufferId = 100 + cookie});
            }
            expectHangUp(c);
        };
    };
    // Pushes once, gets `answer` (the buffer ids are 101 and 102) and waits for the hang-up.
    auto afterAPush = [](std::function<void(wire::Connection&, std::uint32_t pushed)> answer) {
        return [=](wire::Connection& c) {
            acceptProducer(c, 2);
            answer(c, expect<wire::Push>(c).bufferId);
            expect<wire::Ping>(c);
            expectHangUp(c);
        };
    };
    struct Case {
        const char* what;
        Script script;
        ErrorCode code;
        const char* told;
    };
    const Case cases[] = {
        // Hanging up on an unread hello resets the connection, which the client hears first.
        {"turned away unread",
         [&](wire::Connection& c) {
             ASSERT_EQ(c.waitReadable(kStepTimeoutMs), 1);
             send(c, error(wire::MessageType{}, "no room for another client"));
         },
         ErrorCode::Refused, "no room for another client"},
        {"a registration refused",
         [&](wire::Connection& c) {
             welcome(c, wire::Role::Sink, 1);
             auto refusal = error(wire::MessageType::RegisterBuffer, "the memory is not sealed");
             refusal.subject = expect<wire::RegisterBuffer>(c).cookie;
             send(c, refusal);
             expectHangUp(c);
         },
         ErrorCode::Refused, "the memory is not sealed"},
        {"a registration answered twice", answering(2, {1, 1}), ErrorCode::ProtocolError,
         "did not make"},
        {"a registration never made", answering(1, {0}), ErrorCode::ProtocolError, "did not make"},
        {"welcomed in another role",
         [&](wire::Connection& c) {
             expect<wire::Hello>(c);
             send(c, wire::Welcome{.role = wire::Role::View});
         },
         ErrorCode::ProtocolError, "another protocol version or role"},
        {"a push refused that was never made", afterAPush([](wire::Connection& c, auto pushed) {
             refusePush(c, pushed == 101 ? 102 : 101, wire::PushRefusal::QueueFull);
         }),
         ErrorCode::ProtocolError, "which this client did not push"},
        {"a buffer returned that was never pushed", afterAPush([](wire::Connection& c, auto) {
             returnBuffer(c, 999, wire::PushOutcome::Relayed);
         }),
         ErrorCode::ProtocolError, "which it did not hold"},
    };
    std::vector<Script> scripts;
    for (const Case& test : cases) scripts.push_back(test.script);
    camera.serve(std::move(scripts));
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        try {
            Producer producer = Producer::open(camera.options());
            producer.submit(producer.acquire());
            ADD_FAILURE() << "went unnoticed";
        } catch (const Error& error) {
            EXPECT_EQ(error.code(), test.code) << error.what();
            EXPECT_NE(std::string(error.what()).find(test.told), std::string::npos) << error.what();
        }
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
            acceptProducer(c, 2);
            expect<wire::Push>(c);
            answerPing(c);
            expectHangUp(c);
        },
    });

    Producer producer = Producer::open(camera.options());
    Producer::Frame stale = producer.acquire();
    frameTaken.set_value();
    // The hang-up may be seen at the push or while waiting for its answer.
    EXPECT_EQ(codeOf([&] {
                  for (;;) producer.submit(producer.acquire());
              }),
              ErrorCode::Disconnected);
    producer.reconnect();
    EXPECT_EQ(codeOf([&] { producer.submit(std::move(stale)); }), ErrorCode::InvalidArgument)
        << "a frame of the old session was pushed into the new one";
    EXPECT_TRUE(producer.submit(producer.acquire()));
}

}  // namespace
}  // namespace kova::client::test
