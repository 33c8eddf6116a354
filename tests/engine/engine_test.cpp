// The engine against the real extension: client states, buffers, the sink queue and ending sink
// sessions, consume requests, the fan-out to viewers, and clients that misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "Sources/CameraExtension/CameraDeviceSource.h"
#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "base/MemFd.h"
#include "protocol/SharedAreas.h"
#include "tests/engine/EngineTestSupport.h"

namespace kova::engine::test {
namespace {

using wire::ErrorCode;
using wire::Role;

// ---- clients and their states ----

TEST_F(EngineTest, EachMessageIsRefusedInTheWrongStateOrRole) {
    auto silent = connect(std::nullopt);
    silent->send(wire::Ping{});
    EXPECT_NE(silent->expectError(ErrorCode::WrongState).find("before the Hello"),
              std::string::npos);

    auto viewer = connect(Role::View);
    wire::Hello hello;
    hello.role = Role::Sink;
    viewer->send(hello);
    viewer->expectError(ErrorCode::WrongState);
    viewer->send(wire::SinkStart{});
    viewer->expectError(ErrorCode::NotAllowed);
    viewer->send(wire::ViewStop{});
    viewer->expectError(ErrorCode::WrongState);
    startView(*viewer);
    viewer->send(wire::ViewStart{});
    viewer->expectError(ErrorCode::WrongState);

    auto sink = connect(Role::Sink);
    sink->send(wire::SinkStop{});
    sink->expectError(ErrorCode::WrongState);
    sink->send(wire::ViewStart{});
    sink->expectError(ErrorCode::NotAllowed);
    const std::uint32_t buffer = registerBuffer(*sink, 1);
    sink->send(pushAt(buffer, now()));
    EXPECT_EQ(sink->expect<wire::PushRefused>().reason, wire::PushRefusal::NotStarted);
    startSink(*sink);
    sink->send(wire::SinkStart{});
    sink->expectError(ErrorCode::WrongState);

    auto info = connect(Role::Info);
    info->send(wire::Release{});
    info->expectError(ErrorCode::NotAllowed);
    // None of these refusals costs the connection.
    EXPECT_EQ(engine->connectedClients(), 4u);
}

TEST_F(EngineTest, PongComesAfterEverythingAskedBeforeIt) {
    auto sink = connect(Role::Sink);
    wire::Ping ping;
    ping.cookie = 99;
    ASSERT_EQ(sink->connection.send(wire::SinkStart{}), 0);
    ASSERT_EQ(sink->connection.send(ping), 0);
    loop.pump();
    sink->expect<wire::SinkStarted>();
    EXPECT_EQ(sink->expect<wire::Pong>().cookie, 99u);
}

TEST_F(EngineTest, PongComesAfterAnInfoReplyAskedForBeforeIt) {
    auto sink = connect(Role::Sink);
    wire::Ping ping;
    ping.cookie = 7;
    ASSERT_EQ(sink->connection.send(wire::InfoRequest{}), 0);
    ASSERT_EQ(sink->connection.send(ping), 0);
    loop.pump();
    sink->expect<wire::InfoReply>();
    EXPECT_EQ(sink->expect<wire::Pong>().cookie, 7u);
}

TEST_F(EngineTest, InfoIsWhatTheExtensionAnswers) {
    auto info = connect(Role::Info);
    info->send(wire::InfoRequest{});
    const auto reply = info->expect<wire::InfoReply>();
    EXPECT_EQ(wire::textOf(reply.providerManufacturer), "Lantern Works");
    EXPECT_EQ(wire::textOf(reply.deviceName), "Kova");
    EXPECT_EQ(wire::textOf(reply.deviceId), "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
    EXPECT_EQ(wire::textOf(reply.legacyDeviceId), "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
    EXPECT_EQ(wire::textOf(reply.deviceModel), "Kova");
    EXPECT_EQ(reply.transportType, FourCC("virt"));
    ASSERT_EQ(reply.streamCount, 2u);
    const wire::StreamInfo& output = reply.streams[0];
    EXPECT_EQ(wire::textOf(output.name), "Kova Video");
    EXPECT_EQ(output.direction, wire::StreamDirection::Source);
    EXPECT_EQ(output.pixelFormat, FourCC("BGRA"));
    EXPECT_EQ(output.width, 800u);
    EXPECT_EQ(output.height, 960u);
    EXPECT_EQ(output.frameDurationValue, 100);
    EXPECT_EQ(output.frameDurationTimescale, 5983);
    EXPECT_EQ(output.sinkBufferQueueSize, 0u);
    const wire::StreamInfo& sink = reply.streams[1];
    EXPECT_EQ(wire::textOf(sink.name), "Kova Sink");
    EXPECT_EQ(sink.direction, wire::StreamDirection::Sink);
    EXPECT_EQ(sink.sinkBufferQueueSize, 8u);
    EXPECT_EQ(sink.sinkBuffersRequiredForStartup, 1u);
}

// ---- registered buffers ----

TEST_F(EngineTest, OnlySealedMemoryOfTheStreamsExactFormatIsRegistered) {
    auto sink = connect(Role::Sink);
    auto attempt = [&](wire::FrameLayout layout, int fd) {
        wire::RegisterBuffer request;
        request.cookie = 7;
        request.layout = layout;
        sink->send(request, fd);
        const auto error = sink->expect<wire::Error>();
        EXPECT_EQ(error.code, ErrorCode::BadBuffer);
        EXPECT_EQ(error.subject, 7u);
        EXPECT_EQ(error.disconnecting, 0u);
        return std::string(wire::textOf(error.text));
    };
    const wire::FrameLayout layout = streamLayout();

    wire::FrameLayout small = layout;
    small.width = 640;
    small.bytesPerRow = 2560;
    small.size = 2560ull * 960;
    EXPECT_NE(attempt(small, frameMemory(small.size).get()).find("640x960"), std::string::npos);
    wire::FrameLayout shortFrame = layout;
    shortFrame.height = 480;
    shortFrame.size = 3200ull * 480;
    EXPECT_NE(attempt(shortFrame, frameMemory(shortFrame.size).get()).find("800x480"),
              std::string::npos);

    EXPECT_NE(attempt(layout, frameMemory(layout.size, false).get()).find("not sealed"),
              std::string::npos);
    EXPECT_NE(attempt(layout, frameMemory(layout.size - 1).get()).find("less than"),
              std::string::npos);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    base::UniqueFD readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    EXPECT_NE(attempt(layout, readEnd.get()).find("memfd"), std::string::npos);

    // Memory a viewer could not map safely, each refused with its reason.
    const auto sealedOnly = [&](int seals) {
        base::UniqueFD fd(
            ::memfd_create("engine-test-half-sealed", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        EXPECT_EQ(::ftruncate(fd.get(), off_t(layout.size)), 0);
        EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, seals), 0);
        return fd;
    };
    const base::UniqueFD sealed = frameMemory(layout.size);
    std::vector<std::tuple<const char*, base::UniqueFD, const char*>> unsafe;
    unsafe.emplace_back("sealed against shrinking only", sealedOnly(F_SEAL_SHRINK), "not sealed");
    unsafe.emplace_back("sealed against growing only", sealedOnly(F_SEAL_GROW), "not sealed");
    unsafe.emplace_back(
        "reopened write-only",
        base::UniqueFD(::open(("/proc/self/fd/" + std::to_string(sealed.get())).c_str(),
                              O_WRONLY | O_CLOEXEC)),
        "not open for reading");
    // Huge pages may have none to give when a viewer maps them; not every machine has any.
    base::UniqueFD huge(
        ::memfd_create("engine-test-huge", MFD_CLOEXEC | MFD_HUGETLB | MFD_ALLOW_SEALING));
    if (huge && ::ftruncate(huge.get(), off_t{4} << 20) == 0 &&
        ::fcntl(huge.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0) {
        unsafe.emplace_back("huge pages", std::move(huge), "huge pages");
    }
    for (const auto& [what, fd, reason] : unsafe) {
        SCOPED_TRACE(what);
        EXPECT_NE(attempt(layout, fd.get()).find(reason), std::string::npos);
    }

    // Rows may be padded.
    wire::FrameLayout padded = layout;
    padded.bytesPerRow = 3328;
    padded.size = 3328ull * 960;
    wire::RegisterBuffer request;
    request.cookie = 8;
    request.layout = padded;
    sink->send(request, frameMemory(padded.size).get());
    EXPECT_EQ(sink->expect<wire::BufferRegistered>().cookie, 8u);
}

TEST_F(EngineTest, RegisteredBuffersAreLimitedAndUnregisteringMakesRoom) {
    auto sink = connect(Role::Sink);
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < wire::kMaxRegisteredBuffersPerClient; ++i) {
        ids.push_back(registerBuffer(*sink, i));
    }
    wire::RegisterBuffer request;
    request.cookie = 100;
    request.layout = streamLayout();
    sink->send(request, frameMemory(request.layout.size).get());
    sink->expectError(ErrorCode::LimitReached);

    wire::UnregisterBuffer unregister;
    unregister.bufferId = ids.front();
    sink->send(unregister);
    EXPECT_TRUE(sink->quiet());
    sink->send(unregister);
    EXPECT_EQ(sink->expect<wire::Error>().code, ErrorCode::UnknownBuffer);
    const std::uint32_t again = registerBuffer(*sink, 101);
    // Ids are never reused, so a late return can never be mistaken for a new buffer's.
    EXPECT_EQ(std::count(ids.begin(), ids.end(), again), 0);
}

// ---- the sink queue ----

TEST_F(EngineTest, PushesWaitInAQueueOfEightAndOneMoreIsRefusedAsDropped) {
    auto sink = connect(Role::Sink);
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 10; ++i) ids.push_back(registerBuffer(*sink, i));
    startSink(*sink);
    // All ten arrive before the relay can ask again: the first goes to the relay's waiting
    // request, eight wait, the tenth finds the queue full.
    for (std::uint32_t id : ids) ASSERT_EQ(sink->connection.send(pushAt(id, now())), 0);
    loop.pump();

    const auto refused = sink->expect<wire::PushRefused>();
    EXPECT_EQ(refused.bufferId, ids[9]);
    EXPECT_EQ(refused.reason, wire::PushRefusal::QueueFull);
    EXPECT_EQ(refused.framesPushed, 9u);
    EXPECT_EQ(refused.framesDropped, 1u);
    EXPECT_EQ(refused.framesQueued, wire::kSinkQueueSize);
    // Every accepted frame is relayed, in order.
    for (std::size_t i = 0; i < 9; ++i) {
        const auto returned = sink->expect<wire::BufferReturned>();
        EXPECT_EQ(returned.bufferId, ids[i]);
        EXPECT_EQ(returned.outcome, wire::PushOutcome::Relayed);
    }
    EXPECT_EQ(host->scheduledOutputs().size(), 9u);
}

TEST_F(EngineTest, PushesOfBusyUnknownOrBadlyTimedBuffersAreRefused) {
    auto sink = connect(Role::Sink);
    const std::uint32_t id = registerBuffer(*sink, 1);
    const std::uint32_t other = registerBuffer(*sink, 2);
    startSink(*sink);
    ASSERT_EQ(sink->connection.send(pushAt(id, now())), 0);
    ASSERT_EQ(sink->connection.send(pushAt(id, now())), 0);
    loop.pump();
    EXPECT_EQ(sink->expect<wire::PushRefused>().reason, wire::PushRefusal::BufferBusy);
    sink->expect<wire::BufferReturned>();

    sink->send(pushAt(id + 1000, now()));
    EXPECT_EQ(sink->expect<wire::PushRefused>().reason, wire::PushRefusal::UnknownBuffer);

    const std::uint64_t oneSecond = 1'000'000'000;
    std::vector<wire::Push> badTimes{pushAt(other, now() + oneSecond + 1)};
    badTimes.push_back(pushAt(other, now()));
    badTimes.back().timeFlags = 0;
    badTimes.push_back(pushAt(other, now()));
    badTimes.back().timeFlags = wire::kTimeFlagValid | wire::kTimeFlagPositiveInfinity;
    for (const wire::Push& push : badTimes) {
        sink->send(push);
        const auto refused = sink->expect<wire::PushRefused>();
        EXPECT_EQ(refused.reason, wire::PushRefusal::BadTime) << push.timeFlags;
    }
    // A second ahead is still on time.
    sink->send(pushAt(other, now() + oneSecond));
    EXPECT_EQ(sink->expect<wire::BufferReturned>().outcome, wire::PushOutcome::Relayed);
}

// ---- ending sink sessions and consume requests ----

TEST_F(EngineTest, EndingTheLastSinkSessionStopsTheStreamBeforeItFailsTheWaitingRequest) {
    auto sink = connect(Role::Sink);
    startSink(*sink);
    // The relay waits for a frame. Were its request failed before the stream stopped, the
    // relay would see the stream still pumping and ask again.
    const int requests = host->consumeRequests.load();
    EXPECT_EQ(requests, 1);
    sink->send(wire::SinkStop{});
    sink->expect<wire::SinkStopped>();
    EXPECT_EQ(host->consumeRequests.load(), requests);
}

TEST_F(EngineTest, EndingASinkSessionDropsItsQueueBeforeItSaysStopped) {
    auto sink = connect(Role::Sink);
    const std::uint32_t a = registerBuffer(*sink, 1);
    const std::uint32_t b = registerBuffer(*sink, 2);
    const std::uint32_t c = registerBuffer(*sink, 3);
    startSink(*sink);
    for (std::uint32_t id : {a, b, c}) ASSERT_EQ(sink->connection.send(pushAt(id, now())), 0);
    ASSERT_EQ(sink->connection.send(wire::SinkStop{}), 0);
    const int requestsBeforeStop = host->consumeRequests.load();
    loop.pump();

    // The relay asked once more after relaying `a`, and not again once the session ended.
    EXPECT_EQ(host->consumeRequests.load(), requestsBeforeStop + 1);
    const auto first = sink->expect<wire::BufferReturned>();
    EXPECT_EQ(first.bufferId, a);
    EXPECT_EQ(first.outcome, wire::PushOutcome::Relayed);
    for (std::uint32_t id : {b, c}) {
        const auto returned = sink->expect<wire::BufferReturned>();
        EXPECT_EQ(returned.bufferId, id);
        EXPECT_EQ(returned.outcome, wire::PushOutcome::Dropped);
    }
    sink->expect<wire::SinkStopped>();

    sink->send(pushAt(a, now()));
    const auto refused = sink->expect<wire::PushRefused>();
    EXPECT_EQ(refused.reason, wire::PushRefusal::NotStarted);
    EXPECT_EQ(refused.framesPushed, 3u);
    EXPECT_EQ(refused.framesDropped, 3u);  // two never relayed, and this one

    // A new session relays again.
    startSink(*sink);
    sink->send(pushAt(b, now()));
    EXPECT_EQ(sink->expect<wire::BufferReturned>().outcome, wire::PushOutcome::Relayed);
}

// Starting and stopping each take a hop to the callback queue; a request that comes during the
// hop is refused, not taken as if the hop were done.
TEST_F(EngineTest, ASinkSessionIsNotStoppedWhileStartingNorStartedWhileStopping) {
    auto sink = connect(Role::Sink);
    auto expectRefused = [&](wire::MessageType request) {
        const auto error = sink->expect<wire::Error>();
        EXPECT_EQ(error.code, ErrorCode::WrongState);
        EXPECT_EQ(error.requestType, std::uint32_t(request));
        EXPECT_EQ(error.disconnecting, 0u);
    };
    ASSERT_EQ(sink->connection.send(wire::SinkStart{}), 0);
    ASSERT_EQ(sink->connection.send(wire::SinkStop{}), 0);
    loop.pump();
    expectRefused(wire::MessageType::SinkStop);
    sink->expect<wire::SinkStarted>();

    ASSERT_EQ(sink->connection.send(wire::SinkStop{}), 0);
    ASSERT_EQ(sink->connection.send(wire::SinkStart{}), 0);
    loop.pump();
    expectRefused(wire::MessageType::SinkStart);
    sink->expect<wire::SinkStopped>();
}

TEST_F(EngineTest, AConsumeRequestWithoutASinkSessionIsReleasedWithoutAnAnswer) {
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    bool answered = false;
    engine->consumeSampleBuffer(
        sinkStream(), kova::testing::FakeHost::makeClient(),
        [held = std::move(held), &answered](auto&&...) { answered = true; });
    loop.pump();
    EXPECT_FALSE(answered);
    EXPECT_TRUE(watch.expired());
}

TEST_F(EngineTest, ARelayLeftByATakenOverSessionEndsWhileTheNewSinkGoesOn) {
    auto leaving = connect(Role::Sink);
    auto staying = connect(Role::Sink);
    const std::uint32_t id = registerBuffer(*staying, 1);
    startSink(*leaving);
    // One producer at a time: the staying one takes the sink over.
    staying->send(wire::SinkTakeOver{});
    staying->expect<wire::SinkStarted>();
    EXPECT_EQ(leaving->expect<wire::Error>().code, wire::ErrorCode::NotAuthorized);
    leaving.reset();
    // The relay of the ended session was let go, not answered again and again (pump() would
    // have failed on a busy loop).
    loop.pump();
    EXPECT_EQ(engine->connectedClients(), 1u);

    const int requests = host->consumeRequests.load();
    staying->send(pushAt(id, now()));
    EXPECT_EQ(staying->expect<wire::BufferReturned>().outcome, wire::PushOutcome::Relayed);
    EXPECT_EQ(host->consumeRequests.load(), requests + 1);
}

TEST_F(EngineTest, ASecondSinkIsRefusedNamingTheHolderAndATakeOverDropsTheHoldersQueue) {
    auto holder = connect(Role::Sink);
    auto second = connect(Role::Sink);
    auto status = [this] {
        auto asking = connect(Role::Info);
        asking->send(wire::StatusRequest{});
        return asking->expect<wire::StatusReply>();
    };
    const std::vector<std::uint32_t> ids = {registerBuffer(*holder, 1), registerBuffer(*holder, 2),
                                            registerBuffer(*holder, 3)};
    startSink(*holder);
    const std::string named = "\"engine test\" (pid " + std::to_string(::getpid()) + ")";

    second->send(wire::SinkStart{});
    EXPECT_NE(second->expectError(wire::ErrorCode::NotAuthorized).find(named), std::string::npos);
    EXPECT_EQ(status().sinkSessions, 1u);

    // Pushed and taken over in one turn of the loop: the pushes after the first still queue.
    for (const std::uint32_t id : ids) ASSERT_EQ(holder->connection.send(pushAt(id, now())), 0);
    ASSERT_EQ(second->connection.send(wire::SinkTakeOver{}), 0);
    loop.pump();
    second->expect<wire::SinkStarted>();
    // The first push was relayed; the rest come back dropped before the holder is told who
    // took over.
    std::vector<wire::PushOutcome> outcomes;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto returned = holder->expect<wire::BufferReturned>();
        EXPECT_EQ(returned.bufferId, ids[i]);
        outcomes.push_back(returned.outcome);
    }
    EXPECT_EQ(outcomes, (std::vector{wire::PushOutcome::Relayed, wire::PushOutcome::Dropped,
                                     wire::PushOutcome::Dropped}));
    EXPECT_NE(holder->expectError(wire::ErrorCode::NotAuthorized).find(named), std::string::npos);
    holder->send(pushAt(ids[0], now()));
    EXPECT_EQ(holder->expect<wire::PushRefused>().reason, wire::PushRefusal::NotStarted);

    const wire::StatusReply after = status();
    EXPECT_EQ(after.hasProducer, 1u);
    EXPECT_EQ(after.producerPid, std::uint32_t(::getpid()));
    EXPECT_EQ(after.producerPushed, 0u);  // the taker's own count
    EXPECT_EQ(after.framesPushed, 3u);
    EXPECT_EQ(after.framesDropped, 3u);  // two never relayed, and the push after the take-over
    EXPECT_EQ(after.sinkSessions, 2u);
    EXPECT_EQ(after.takeOvers, 1u);
}

// ---- viewers ----

TEST_F(EngineTest, AViewerGetsEachBuffersFdOnceAndTheStreamStopsAfterTheLastViewer) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    EXPECT_EQ(host->armedTimerCount(), 1u);

    placeholderTick();
    const auto first = viewer->expect<wire::Frame>();
    EXPECT_EQ(first.origin, wire::FrameOrigin::Placeholder);
    EXPECT_EQ(first.fdAttached, 1u);
    EXPECT_TRUE(viewer->lastFd.isValid());
    EXPECT_EQ(first.layout.width, 800u);
    EXPECT_EQ(first.layout.height, 960u);
    EXPECT_GE(first.layout.size, std::uint64_t{first.layout.bytesPerRow} * 960);
    wire::Release release;
    release.token = first.token;
    viewer->send(release);

    // The pool hands out the same memory again: known, so no fd.
    placeholderTick();
    const auto second = viewer->expect<wire::Frame>();
    EXPECT_EQ(second.bufferKey, first.bufferKey);
    EXPECT_EQ(second.fdAttached, 0u);
    EXPECT_EQ(second.sequence, first.sequence + 1);
    EXPECT_NE(second.token, first.token);

    viewer->send(release);  // released already
    EXPECT_EQ(viewer->expect<wire::Error>().subject, first.token);

    // The stream runs while any viewer is left.
    auto other = connect(Role::View);
    startView(*other);
    viewer->send(wire::ViewStop{});
    viewer->expect<wire::ViewStopped>();
    EXPECT_EQ(host->armedTimerCount(), 1u);
    other->send(wire::ViewStop{});
    other->expect<wire::ViewStopped>();
    EXPECT_EQ(host->armedTimerCount(), 0u);
    placeholderTick();
    EXPECT_TRUE(viewer->quiet());
}

TEST_F(EngineTest, ASlowViewerMissesFramesAndIsToldWhileTheOthersGetEveryOne) {
    auto fast = connect(Role::View);
    auto slow = connect(Role::View);
    startView(*fast);
    startView(*slow);
    constexpr int kFrames = 7;
    std::uint64_t sequence = 0;
    for (int i = 0; i < kFrames; ++i) {
        placeholderTick();
        const auto frame = fast->expect<wire::Frame>();
        EXPECT_EQ(frame.framesMissed, 0u);
        if (sequence != 0) {
            EXPECT_EQ(frame.sequence, sequence + 1);
        }
        sequence = frame.sequence;
        wire::Release release;
        release.token = frame.token;
        fast->send(release);
    }
    std::vector<wire::Frame> held;
    while (auto received = slow->next()) held.push_back(std::get<wire::Frame>(received->message));
    ASSERT_EQ(held.size(), wire::kViewerFramesInFlight);

    wire::Release release;
    release.token = held.front().token;
    slow->send(release);
    placeholderTick();
    const auto after = slow->expect<wire::Frame>();
    EXPECT_EQ(after.framesMissed, kFrames - wire::kViewerFramesInFlight);
    EXPECT_EQ(after.sequence, sequence + 1);
    EXPECT_EQ(fast->expect<wire::Frame>().sequence, sequence + 1);
}

TEST_F(EngineTest, APushedFrameReachesTheViewerInTheClientsOwnMemoryAndComesBackAfterIt) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto sink = connect(Role::Sink);
    const wire::FrameLayout layout = streamLayout();
    base::UniqueFD memory = frameMemory(layout.size);
    wire::RegisterBuffer request;
    request.cookie = 1;
    request.layout = layout;
    sink->send(request, memory.get());
    const std::uint32_t id = sink->expect<wire::BufferRegistered>().bufferId;
    startSink(*sink);

    const std::uint64_t stamp = now() - 5'000'000;
    sink->send(pushAt(id, stamp));
    const auto frame = viewer->expect<wire::Frame>();
    EXPECT_EQ(frame.origin, wire::FrameOrigin::Sink);
    // The relay carries the time through seconds as a double: a nanosecond may be lost.
    EXPECT_NEAR(double(frame.hostTimeNs), double(stamp), 1.0);
    EXPECT_EQ(frame.layout.bytesPerRow, layout.bytesPerRow);
    ASSERT_EQ(frame.fdAttached, 1u);
    struct stat theirs {
    }, ours{};
    ASSERT_EQ(::fstat(viewer->lastFd.get(), &theirs), 0);
    ASSERT_EQ(::fstat(memory.get(), &ours), 0);
    EXPECT_EQ(theirs.st_ino, ours.st_ino);
    EXPECT_EQ(theirs.st_dev, ours.st_dev);
    // The viewer still holds it: the client may not write it yet.
    EXPECT_TRUE(sink->quiet());

    wire::Release release;
    release.token = frame.token;
    viewer->send(release);
    const auto returned = sink->expect<wire::BufferReturned>();
    EXPECT_EQ(returned.bufferId, id);
    EXPECT_EQ(returned.outcome, wire::PushOutcome::Relayed);

    // Once the client lets go of it, the viewer is told to forget the memory.
    wire::UnregisterBuffer unregister;
    unregister.bufferId = id;
    sink->send(unregister);
    EXPECT_EQ(viewer->expect<wire::BufferGone>().bufferKey, frame.bufferKey);
}

TEST_F(EngineTest, StoppingAViewReleasesItsFramesToTheirOwners) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto sink = connect(Role::Sink);
    const std::uint32_t id = registerBuffer(*sink, 1);
    startSink(*sink);
    sink->send(pushAt(id, now()));
    viewer->expect<wire::Frame>();
    EXPECT_TRUE(sink->quiet());
    viewer->send(wire::ViewStop{});
    viewer->expect<wire::ViewStopped>();
    EXPECT_EQ(sink->expect<wire::BufferReturned>().outcome, wire::PushOutcome::Relayed);
    // Releases after the stop are ignored: the frames were released by it.
    wire::Release release;
    release.token = 1;
    viewer->send(release);
    EXPECT_TRUE(viewer->quiet());
}

// ---- releases and returns through shared memory ----

// A producer with a return ring and a viewer that releases by writing its frame states.
struct SharedAreaClients {
    std::unique_ptr<TestClient> sink, viewer;
    base::WritableMemory ring, states;
    wire::FrameReturns& returns() { return wire::sharedArea<wire::FrameReturns>(ring.mapping); }
    void release(const wire::Frame& frame) {
        wire::storeShared(wire::sharedArea<wire::FrameStates>(states.mapping).released[frame.slot],
                          frame.token);
    }
    // The returns waiting in the ring, taken and counted as read.
    std::vector<std::uint64_t> takeReturns() {
        std::vector<std::uint64_t> taken;
        EXPECT_TRUE(wire::takeReturns(returns(), [&](std::uint32_t id, wire::PushOutcome outcome) {
            taken.push_back(std::uint64_t{id} | std::uint64_t(outcome) << 32);
        }));
        return taken;
    }
};

std::uint64_t relayedReturn(std::uint32_t id) {
    return std::uint64_t{id} | std::uint64_t(wire::PushOutcome::Relayed) << 32;
}

TEST_F(EngineTest, ReleasesWrittenInFrameStatesComeBackInTheRingWithoutAWakeUpUnlessAsked) {
    SharedAreaClients c;
    c.viewer = connect(Role::View);
    startView(*c.viewer);
    auto states = base::MemoryMapping::create(c.viewer->lastFd.get(), wire::kFrameStatesSize, true);
    ASSERT_TRUE(states) << "the viewer cannot write its frame states";
    c.states.mapping = std::move(*states);
    c.sink = connect(Role::Sink);
    auto ring = base::MemFd::createShared("test-returns", sizeof(wire::FrameReturns));
    ASSERT_TRUE(ring);
    c.ring = std::move(*ring);
    c.sink->send(wire::ReturnsArea{}, c.ring.fd.get());
    const std::uint32_t first = registerBuffer(*c.sink, 1);
    const std::uint32_t second = registerBuffer(*c.sink, 2);
    const std::uint32_t third = registerBuffer(*c.sink, 3);
    startSink(*c.sink);

    c.sink->send(pushAt(first, now()));
    const auto firstFrame = c.viewer->expect<wire::Frame>();
    // A word with another token (stale, or made up) releases nothing.
    wire::storeShared(
        wire::sharedArea<wire::FrameStates>(c.states.mapping).released[firstFrame.slot],
        firstFrame.token + 7);
    c.sink->send(pushAt(second, now()));
    const auto secondFrame = c.viewer->expect<wire::Frame>();
    EXPECT_TRUE(c.takeReturns().empty());

    // Read when the next frame goes out: back in the ring, and neither end woken for it.
    c.release(firstFrame);
    c.sink->send(pushAt(third, now()));
    c.viewer->expect<wire::Frame>();
    EXPECT_TRUE(c.sink->quiet()) << "a return in the ring needs no message";

    // A producer that waits is answered once a buffer is back: at once if the ring holds one,
    // else when the camera, asked, finds a viewer's release.
    c.sink->send(wire::ReturnsWanted{});
    c.sink->expect<wire::ReturnsPosted>();
    EXPECT_EQ(c.takeReturns(), std::vector<std::uint64_t>{relayedReturn(first)});
    c.release(secondFrame);
    c.sink->send(wire::ReturnsWanted{});
    c.sink->expect<wire::ReturnsPosted>();
    EXPECT_TRUE(c.sink->quiet());
    EXPECT_EQ(c.takeReturns(), std::vector<std::uint64_t>{relayedReturn(second)});
    c.sink->send(wire::ReturnsWanted{});
    EXPECT_TRUE(c.sink->quiet()) << "nothing came back, so nothing is posted yet";
    c.viewer->send(wire::ViewStop{});
    c.viewer->expect<wire::ViewStopped>();
    c.sink->expect<wire::ReturnsPosted>();
    EXPECT_TRUE(c.sink->quiet()) << "one answer to one ask";
    EXPECT_EQ(c.takeReturns(), std::vector<std::uint64_t>{relayedReturn(third)});

    // A ring whose reader wrote a count it has not reached has no room: the return is a message.
    wire::storeShared(c.returns().read, c.returns().written + 1);
    c.sink->send(pushAt(second, now()));
    const auto returned = c.sink->expect<wire::BufferReturned>();
    EXPECT_EQ(returned.bufferId, second);
}

TEST_F(EngineTest, AReturnsAreaIsTakenOnceAndOnlyAsSealedMemoryItCanWrite) {
    auto sink = connect(Role::Sink);
    auto sealed = base::MemFd::createShared("test-returns", sizeof(wire::FrameReturns));
    ASSERT_TRUE(sealed);
    std::vector<std::pair<const char*, base::UniqueFD>> refused;
    refused.emplace_back("unsealed", frameMemory(sizeof(wire::FrameReturns), false));
    refused.emplace_back("too small", frameMemory(64));
    refused.emplace_back(
        "open for reading only",
        base::UniqueFD(::open(("/proc/self/fd/" + std::to_string(sealed->fd.get())).c_str(),
                              O_RDONLY | O_CLOEXEC)));
    for (const auto& [what, fd] : refused) {
        SCOPED_TRACE(what);
        sink->send(wire::ReturnsArea{}, fd.get());
        sink->expectError(ErrorCode::BadBuffer);
    }
    sink->send(wire::ReturnsArea{}, sealed->fd.get());
    EXPECT_TRUE(sink->quiet());
    sink->send(wire::ReturnsArea{}, sealed->fd.get());
    sink->expectError(ErrorCode::WrongState);
}

// ---- clients that misbehave ----

TEST_F(EngineTest, GarbageGetsAnErrorAndAHangUpWhileAViewerGoesOn) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto garbage = connect(Role::Sink);
    const char bytes[] = "GET / HTTP/1.1";
    ASSERT_EQ(::send(garbage->connection.fd(), bytes, sizeof bytes, MSG_NOSIGNAL),
              ssize_t(sizeof bytes));
    loop.pump();
    const auto error = garbage->expect<wire::Error>();
    EXPECT_EQ(error.code, ErrorCode::ProtocolViolation);
    EXPECT_EQ(error.disconnecting, 1u);
    EXPECT_TRUE(garbage->hungUp());
    EXPECT_EQ(engine->connectedClients(), 1u);

    placeholderTick();
    EXPECT_EQ(viewer->expect<wire::Frame>().origin, wire::FrameOrigin::Placeholder);
}

TEST_F(EngineTest, ClientsPastTheLimitAreToldAndLetGoWhenTheySayHello) {
    // Connections that have not said Hello hold no client slot.
    auto silent = connect(std::nullopt);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (std::uint32_t i = 0; i < wire::kMaxClients; ++i) clients.push_back(connect(Role::Info));
    auto oneTooMany = connect(std::nullopt);
    EXPECT_TRUE(oneTooMany->quiet());
    wire::Hello hello;
    hello.role = Role::Info;
    oneTooMany->send(hello);
    const auto error = oneTooMany->expect<wire::Error>();
    EXPECT_EQ(error.code, ErrorCode::LimitReached);
    EXPECT_EQ(error.disconnecting, 1u);
    EXPECT_TRUE(oneTooMany->hungUp());

    clients.pop_back();
    loop.pump();
    silent->send(hello);
    silent->expect<wire::Welcome>();
}

TEST_F(EngineTest, ConnectionsThatSayNoHelloInTimeAreClosedTheOldestFirstWhenTooMany) {
    auto early = connect(std::nullopt);
    auto speaking = connect(Role::Info);
    host->advanceBy(1'000'000'000);
    std::vector<std::unique_ptr<TestClient>> later;
    for (int i = 0; i < 31; ++i) later.push_back(connect(std::nullopt));
    EXPECT_EQ(engine->closeSilentClients(), now() + 1'000'000'000) << "the next deadline: early's";
    EXPECT_TRUE(early->quiet());
    // Past the bound of those that may wait, the one that waited longest goes.
    later.push_back(connect(std::nullopt));
    EXPECT_EQ(early->expect<wire::Error>().code, ErrorCode::LimitReached);
    EXPECT_TRUE(early->hungUp());
    EXPECT_TRUE(later.front()->quiet());

    host->advanceBy(2'000'000'000);
    EXPECT_EQ(engine->closeSilentClients(), std::nullopt) << "all silent ones are gone";
    loop.pump();
    for (const auto& client : later) {
        const auto error = client->expect<wire::Error>();
        EXPECT_EQ(error.code, ErrorCode::ProtocolViolation);
        EXPECT_NE(std::string(wire::textOf(error.text)).find("Hello"), std::string::npos);
        EXPECT_TRUE(client->hungUp());
    }
    EXPECT_EQ(engine->connectedClients(), 1u);
    speaking->send(wire::Ping{});
    speaking->expect<wire::Pong>();
}

TEST_F(EngineTest, AClientThatDoesNotReadItsSocketIsDisconnectedNotWaitedFor) {
    auto reader = connect(Role::View);
    auto deaf = connect(Role::Info);
    // Pings until the engine gives up on the answers piling up; bounded, as it must give up.
    for (int round = 0; round < 1000 && engine->connectedClients() == 2; ++round) {
        while (deaf->connection.send(wire::Ping{}, -1, wire::SendMode::DontWait) == 0) {
        }
        loop.pump();
    }
    EXPECT_EQ(engine->connectedClients(), 1u);
    EXPECT_TRUE(deaf->hungUp());
    reader->send(wire::Ping{});
    reader->expect<wire::Pong>();
}

TEST_F(EngineTest, ShutdownEndsEverySessionBeforeItIsDone) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto sink = connect(Role::Sink);
    startSink(*sink);
    bool done = false;
    engine->shutdown([&done] { done = true; });
    loop.pump();
    EXPECT_TRUE(done);
    EXPECT_EQ(host->armedTimerCount(), 0u);
    EXPECT_EQ(loop.watchedCount(), 0u);
    EXPECT_TRUE(viewer->hungUp());
    EXPECT_TRUE(sink->hungUp());
}

}  // namespace
}  // namespace kova::engine::test
