// The engine against the real extension, served on a hand-turned loop with the host double's
// clock and timers, and raw protocol clients on socket pairs: client states, buffers, the sink
// queue and ending sink sessions, consume requests, the fan-out to viewers, and clients that
// misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <tuple>
#include <vector>

#include "Sources/CameraExtension/CameraProviderSource.h"
#include "base/MemFd.h"
#include "camera/engine/CameraEngine.h"
#include "protocol/SharedAreas.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace kova::engine::test {
namespace {

// The loop's thread and the callback queue, both on the test's thread: pump() runs whatever is
// due, in order, until nothing is left, so every test sees one fixed interleaving.
class ManualLoop final : public EventLoop {
  public:
    int watch(int fd, std::function<void()> onReady) override {
        if (watched_.count(fd) != 0) return -EEXIST;
        watched_[fd] = std::make_shared<std::function<void()>>(std::move(onReady));
        return 0;
    }
    void unwatch(int fd) override { watched_.erase(fd); }
    void perform(std::function<void()> work) override { posted_.push_back(std::move(work)); }
    // An executor whose work pump() runs after the loop's posted work.
    Executor callbackQueue() {
        return [this](std::function<void()> work) { callbackWork_.push_back(std::move(work)); };
    }

    // Runs posted work, callback work and the callbacks of readable fds until none is left. More
    // rounds than any test needs mean a busy loop in the engine.
    void pump() {
        for (int round = 0; round < 100000; ++round) {
            if (runFirst(posted_) || runFirst(callbackWork_)) continue;
            std::vector<pollfd> fds;
            for (const auto& [fd, callback] : watched_) fds.push_back(pollfd{fd, POLLIN, 0});
            if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
            for (const pollfd& ready : fds) {
                const auto found = watched_.find(ready.fd);
                // Kept alive while it runs: the callback may unwatch its own fd.
                if (ready.revents != 0 && found != watched_.end())
                    std::shared_ptr<std::function<void()>>(found->second)->operator()();
            }
        }
        ADD_FAILURE() << "the engine never settles: it keeps posting work";
    }

  private:
    static bool runFirst(std::deque<std::function<void()>>& queue) {
        if (queue.empty()) return false;
        auto work = std::move(queue.front());
        queue.pop_front();
        work();
        return true;
    }

    std::map<int, std::shared_ptr<std::function<void()>>> watched_;
    std::deque<std::function<void()>> posted_;
    std::deque<std::function<void()>> callbackWork_;
};

// The host double with the engine behind it: what the extension sends and asks for goes to the
// engine; the fake clock, timers and faults stay the double's.
class EngineHost final : public kova::testing::FakeHost {
  public:
    std::weak_ptr<CameraEngine> engine;
    std::atomic<int> consumeRequests{0};

    void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                          CMIOExtensionStreamDiscontinuityFlags,
                          std::uint64_t hostTimeInNanoseconds) override {
        if (const auto target = engine.lock())
            target->sendSampleBuffer(stream, sampleBuffer, hostTimeInNanoseconds);
    }
    void consumeSampleBuffer(CMIOExtensionStream& stream, const CMIOExtensionClientRef& client,
                             CMIOExtensionConsumeCompletion completion) override {
        ++consumeRequests;
        if (const auto target = engine.lock())
            target->consumeSampleBuffer(stream, client, std::move(completion));
    }
};

// A client process as the engine sees it: the client end of a socket pair whose other end the
// engine serves.
class TestClient {
  public:
    // Attaches a new client to the engine; with a role, says hello and takes the Welcome.
    TestClient(CameraEngine& engine, ManualLoop& loop, std::optional<wire::Role> role)
        : connection(attached(engine)), loop_(loop) {
        if (!role) return;
        wire::Hello hello{.role = *role};
        wire::setText(hello.clientName, "engine test");
        EXPECT_EQ(ask<wire::Welcome>(hello).role, *role);
    }

    void send(const wire::Message& message, int fd = -1) {
        ASSERT_EQ(connection.send(message, fd, wire::SendMode::DontWait), 0);
        loop_.pump();
    }
    // The next message, which must be an M; the test fails if it is not.
    template <class M>
    M expect() {
        auto received = connection.receive().received;
        const M* message = received ? std::get_if<M>(&received->message) : nullptr;
        if (message == nullptr) {
            ADD_FAILURE() << "expected " << wire::messageTypeName(M::kType) << ", got "
                          << (received ? "another message" : "nothing");
            return M{};
        }
        lastFd = std::move(received->fd);
        return *message;
    }
    // Sends `request` and takes the answer, which must be an M.
    template <class M>
    M ask(const wire::Message& request, int fd = -1) {
        send(request, fd);
        return expect<M>();
    }
    // An Error with this code must be next; returns its text.
    std::string expectError(wire::ErrorCode code) {
        const auto error = expect<wire::Error>();
        EXPECT_EQ(error.code, code) << wire::textOf(error.text);
        return std::string(wire::textOf(error.text));
    }
    // An Error with this code that says the engine is letting go, then the hang-up; returns the
    // error's text.
    std::string expectLetGo(wire::ErrorCode code) {
        const auto error = expect<wire::Error>();
        EXPECT_EQ(std::pair(error.code, error.disconnecting), std::pair(code, 1u));
        EXPECT_TRUE(hungUp());
        return std::string(wire::textOf(error.text));
    }
    // Nothing waits, and the engine has not hung up.
    bool quiet() { return connection.receive().status == wire::ReceiveResult::Status::Empty; }
    // The engine has hung up (after any messages still waiting are read).
    bool hungUp() {
        for (;;) {
            const wire::ReceiveResult result = connection.receive();
            using Status = wire::ReceiveResult::Status;
            // Failed: closed with requests of ours still unread on its side.
            if (result.status != Status::Message)
                return result.status == Status::Closed ||
                       (result.status == Status::Failed && result.systemError == -ECONNRESET);
        }
    }

    wire::Connection connection;
    base::UniqueFD lastFd;  // the fd of the last expected message that carried one

  private:
    static wire::Connection attached(CameraEngine& engine) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        engine.attach(base::UniqueFD(ends[0]),
                      wire::PeerIdentity{::getpid(), ::getuid(), ::getgid()});
        return wire::Connection(base::UniqueFD(ends[1]), wire::Peer::Client);
    }

    ManualLoop& loop_;
};

// The sink stream's layout: 800 × 960 BGRA, packed rows.
inline wire::FrameLayout streamLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, 800, 960, 3200, 3200ull * 960};
}

// A memfd of `size` bytes, sealed against shrinking and growing unless told otherwise.
inline base::UniqueFD frameMemory(std::size_t size, bool sealed = true) {
    if (sealed) return base::MemFd::create("engine-test-frame", size);
    base::UniqueFD fd(::memfd_create("engine-test-unsealed", MFD_CLOEXEC));
    EXPECT_EQ(::ftruncate(fd.get(), off_t(size)), 0);
    return fd;
}

// A push of `bufferId` stamped `nanoseconds` on the host clock.
inline wire::Push pushAt(std::uint32_t bufferId, std::uint64_t nanoseconds) {
    return wire::Push{.bufferId = bufferId,
                      .timeFlags = wire::kTimeFlagValid,
                      .timeValue = std::int64_t(nanoseconds),
                      .timeScale = 1'000'000'000};
}

using wire::ErrorCode;
using wire::PushOutcome;
using wire::Role;

// The engine serving the real extension, on the hand-turned loop and the host double.
class EngineTest : public ::testing::Test {
  protected:
    EngineTest() {
        host::HostBackend::install(host);
        extension = CameraProviderSource::create(nullptr);
        engine = CameraEngine::create(
            CameraEngine::Environment{loop, loop.callbackQueue(),
                                      [host = host.get()] { return host->hostTimeNanoseconds(); }});
        host->engine = engine;
        bool serving = false;
        engine->serve(extension->provider, [&serving] { serving = true; });
        loop.pump();
        EXPECT_TRUE(serving);
    }
    ~EngineTest() override {
        engine.reset();
        loop.pump();
        extension.reset();
        host::HostBackend::install(nullptr);
    }

    std::unique_ptr<TestClient> connect(std::optional<wire::Role> role) {
        return std::make_unique<TestClient>(*engine, loop, role);
    }
    // Registers `memory` (a fresh sealed buffer unless given) with the stream's layout.
    std::uint32_t registerBuffer(TestClient& client, std::uint32_t cookie, int memory = -1) {
        const auto registered = client.ask<wire::BufferRegistered>(
            wire::RegisterBuffer{.cookie = cookie, .layout = streamLayout()},
            memory < 0 ? frameMemory(streamLayout().size).get() : memory);
        EXPECT_EQ(registered.cookie, cookie);
        return registered.bufferId;
    }
    // Registers `count` fresh buffers, cookies 1 on.
    std::vector<std::uint32_t> registerBuffers(TestClient& client, std::uint32_t count) {
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 1; i <= count; ++i) ids.push_back(registerBuffer(client, i));
        return ids;
    }
    // Sends all of `messages` before the engine reads any: they arrive in one turn of the loop.
    void sendAtOnce(TestClient& client, const std::vector<wire::Message>& messages) {
        for (const auto& message : messages) ASSERT_EQ(client.connection.send(message), 0);
        loop.pump();
    }
    // The next returns are of `ids`, in order: the first `relayed` relayed, the rest dropped.
    void expectReturns(TestClient& client, const std::vector<std::uint32_t>& ids,
                       std::size_t relayed) {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const auto returned = client.expect<wire::BufferReturned>();
            EXPECT_EQ(std::pair(returned.bufferId, returned.outcome),
                      std::pair(ids[i], i < relayed ? PushOutcome::Relayed : PushOutcome::Dropped));
        }
    }
    void startSink(TestClient& client) { client.ask<wire::SinkStarted>(wire::SinkStart{}); }
    void startView(TestClient& client) { client.ask<wire::ViewStarted>(wire::ViewStart{}); }
    std::uint64_t now() const { return host->hostTimeNanoseconds(); }
    // Sends one placeholder frame: the output stream's timer fires once.
    void placeholderTick() {
        host->fireDueTimers();
        // The next tick is due one period on (rounded up to whole nanoseconds).
        host->setHostTime(now() + 33'333'334);
        loop.pump();
    }

    kova::testing::FdLeakGuard leakGuard;
    std::shared_ptr<EngineHost> host = std::make_shared<EngineHost>();
    ManualLoop loop;
    std::shared_ptr<CameraProviderSource> extension;
    std::shared_ptr<CameraEngine> engine;
};

// ---- clients and their states ----

TEST_F(EngineTest, EachMessageIsRefusedInTheWrongStateOrRole) {
    auto silent = connect(std::nullopt);
    auto viewer = connect(Role::View);
    auto sink = connect(Role::Sink);
    auto info = connect(Role::Info);
    const std::uint32_t buffer = registerBuffer(*sink, 1);
    const auto refuses = [](TestClient& client, const wire::Message& message, ErrorCode code) {
        client.send(message);
        client.expectError(code);
    };
    refuses(*silent, wire::Ping{}, ErrorCode::WrongState);
    refuses(*viewer, wire::Hello{.role = Role::Sink}, ErrorCode::WrongState);
    refuses(*viewer, wire::SinkStart{}, ErrorCode::NotAllowed);
    refuses(*viewer, wire::ViewStop{}, ErrorCode::WrongState);
    refuses(*sink, wire::SinkStop{}, ErrorCode::WrongState);
    refuses(*sink, wire::ViewStart{}, ErrorCode::NotAllowed);
    refuses(*info, wire::Release{}, ErrorCode::NotAllowed);
    EXPECT_EQ(sink->ask<wire::PushRefused>(pushAt(buffer, now())).reason,
              wire::PushRefusal::NotStarted);
    startView(*viewer);
    startSink(*sink);
    refuses(*viewer, wire::ViewStart{}, ErrorCode::WrongState);
    refuses(*sink, wire::SinkStart{}, ErrorCode::WrongState);
    // None of these refusals costs the connection.
    EXPECT_EQ(engine->connectedClients(), 4u);
}

// The Pong comes after the answers to everything asked before it, one of which takes a hop.
TEST_F(EngineTest, InfoIsWhatTheExtensionAnswersAndPongComesAfterEverythingAskedBeforeIt) {
    auto sink = connect(Role::Sink);
    sendAtOnce(*sink, {wire::SinkStart{}, wire::InfoRequest{}, wire::Ping{.cookie = 99}});
    sink->expect<wire::SinkStarted>();
    const auto reply = sink->expect<wire::InfoReply>();
    const auto text = [](const auto& field) { return std::string(wire::textOf(field)); };
    const std::string id = "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4";
    EXPECT_EQ(std::tuple(text(reply.providerManufacturer), text(reply.deviceName),
                         text(reply.deviceId), text(reply.legacyDeviceId), text(reply.deviceModel),
                         reply.transportType, reply.streamCount),
              std::tuple("Lantern Works", "Kova", id, id, "Kova", FourCC("virt"), 2u));
    const wire::StreamInfo& output = reply.streams[0];
    EXPECT_EQ(std::tuple(text(output.name), output.direction, output.pixelFormat, output.width,
                         output.height, output.frameDurationValue, output.frameDurationTimescale,
                         output.sinkBufferQueueSize),
              std::tuple("Kova Video", wire::StreamDirection::Source, FourCC("BGRA"), 800u, 960u,
                         100, 5983, 0u));
    const wire::StreamInfo& input = reply.streams[1];
    EXPECT_EQ(std::tuple(text(input.name), input.direction, input.sinkBufferQueueSize,
                         input.sinkBuffersRequiredForStartup),
              std::tuple("Kova Sink", wire::StreamDirection::Sink, 8u, 1u));
    EXPECT_EQ(sink->expect<wire::Pong>().cookie, 99u);
}

// ---- registered buffers ----

TEST_F(EngineTest, OnlySealedMemoryOfTheStreamsExactFormatIsRegistered) {
    auto sink = connect(Role::Sink);
    const wire::FrameLayout layout = streamLayout();
    const auto sized = [](std::uint32_t width, std::uint32_t height, std::uint32_t bytesPerRow) {
        return wire::FrameLayout{wire::PixelFormat::BGRA, width, height, bytesPerRow,
                                 std::uint64_t{bytesPerRow} * height};
    };
    // Memory of other shapes (short, half sealed, not a memfd) is the fuzz corpus's business;
    // here, that the engine checks the memory it is given and says why it refuses it.
    const base::UniqueFD sealed = frameMemory(layout.size);
    const std::string reopened = "/proc/self/fd/" + std::to_string(sealed.get());
    const std::tuple<wire::FrameLayout, base::UniqueFD, const char*> refused[] = {
        {sized(640, 960, 2560), frameMemory(2560 * 960), "640x960"},
        {sized(800, 480, 3200), frameMemory(3200 * 480), "800x480"},
        {layout, frameMemory(layout.size, false), "not sealed"},
        {layout, base::UniqueFD(::open(reopened.c_str(), O_WRONLY | O_CLOEXEC)),
         "not open for reading"}};
    for (const auto& [asked, fd, reason] : refused) {
        const auto error =
            sink->ask<wire::Error>(wire::RegisterBuffer{.cookie = 7, .layout = asked}, fd.get());
        EXPECT_EQ(std::tuple(error.code, error.subject, error.disconnecting),
                  std::tuple(ErrorCode::BadBuffer, 7u, 0u));
        EXPECT_NE(wire::textOf(error.text).find(reason), std::string::npos) << reason;
    }
    // Rows may be padded.
    EXPECT_EQ(sink->ask<wire::BufferRegistered>(
                      wire::RegisterBuffer{.cookie = 8, .layout = sized(800, 960, 3328)},
                      frameMemory(3328 * 960).get())
                  .cookie,
              8u);
}

TEST_F(EngineTest, RegisteredBuffersAreLimitedAndUnregisteringMakesRoom) {
    auto sink = connect(Role::Sink);
    const auto ids = registerBuffers(*sink, wire::kMaxRegisteredBuffersPerClient);
    sink->send(wire::RegisterBuffer{.cookie = 100, .layout = streamLayout()},
               frameMemory(streamLayout().size).get());
    sink->expectError(ErrorCode::LimitReached);

    const wire::UnregisterBuffer unregister{.bufferId = ids.front()};
    sink->send(unregister);
    EXPECT_TRUE(sink->quiet());
    sink->send(unregister);
    sink->expectError(ErrorCode::UnknownBuffer);
    // Ids are never reused, so a late return can never be mistaken for a new buffer's.
    EXPECT_EQ(std::count(ids.begin(), ids.end(), registerBuffer(*sink, 101)), 0);
}

// ---- the sink queue ----

TEST_F(EngineTest, PushesWaitInAQueueOfEightAndOneMoreIsRefusedAsDropped) {
    auto sink = connect(Role::Sink);
    const auto ids = registerBuffers(*sink, 10);
    startSink(*sink);
    // All ten arrive before the relay can ask again: the first goes to the relay's waiting
    // request, eight wait, the tenth finds the queue full.
    for (std::uint32_t id : ids) ASSERT_EQ(sink->connection.send(pushAt(id, now())), 0);
    loop.pump();

    const auto refused = sink->expect<wire::PushRefused>();
    EXPECT_EQ(std::tuple(refused.bufferId, refused.reason, refused.framesPushed,
                         refused.framesDropped, refused.framesQueued),
              std::tuple(ids[9], wire::PushRefusal::QueueFull, 9u, 1u, wire::kSinkQueueSize));
    // Every accepted frame is relayed, in order.
    expectReturns(*sink, {ids.begin(), ids.end() - 1}, 9);
    EXPECT_EQ(host->scheduledOutputs().size(), 9u);
}

TEST_F(EngineTest, PushesOfBusyUnknownOrBadlyTimedBuffersAreRefused) {
    auto sink = connect(Role::Sink);
    const std::uint32_t id = registerBuffer(*sink, 1);
    startSink(*sink);
    sendAtOnce(*sink, {pushAt(id, now()), pushAt(id, now())});
    EXPECT_EQ(sink->expect<wire::PushRefused>().reason, wire::PushRefusal::BufferBusy);
    sink->expect<wire::BufferReturned>();

    const std::uint64_t oneSecond = 1'000'000'000;
    wire::Push untimed = pushAt(id, now()), infinite = pushAt(id, now());
    untimed.timeFlags = 0;
    infinite.timeFlags |= wire::kTimeFlagPositiveInfinity;
    const std::pair<wire::Push, wire::PushRefusal> refused[] = {
        {pushAt(id + 1000, now()), wire::PushRefusal::UnknownBuffer},
        {pushAt(id, now() + oneSecond + 1), wire::PushRefusal::BadTime},
        {untimed, wire::PushRefusal::BadTime},
        {infinite, wire::PushRefusal::BadTime},
    };
    for (const auto& [push, reason] : refused) {
        EXPECT_EQ(sink->ask<wire::PushRefused>(push).reason, reason) << push.timeFlags;
    }
    // A second ahead is still on time.
    EXPECT_EQ(sink->ask<wire::BufferReturned>(pushAt(id, now() + oneSecond)).outcome,
              PushOutcome::Relayed);
}

// ---- ending sink sessions and consume requests ----

TEST_F(EngineTest, EndingASinkSessionDropsItsQueueBeforeItSaysStopped) {
    auto sink = connect(Role::Sink);
    const auto ids = registerBuffers(*sink, 3);
    startSink(*sink);
    const int requestsBeforeStop = host->consumeRequests.load();
    sendAtOnce(*sink, {pushAt(ids[0], now()), pushAt(ids[1], now()), pushAt(ids[2], now()),
                       wire::SinkStop{}});

    // The relay asked once more after relaying the first, and not again once the session ended:
    // its waiting request was failed only after the stream stopped.
    EXPECT_EQ(host->consumeRequests.load(), requestsBeforeStop + 1);
    expectReturns(*sink, ids, 1);
    sink->expect<wire::SinkStopped>();

    const auto refused = sink->ask<wire::PushRefused>(pushAt(ids[0], now()));
    // Dropped: two never relayed, and this one.
    EXPECT_EQ(std::tuple(refused.reason, refused.framesPushed, refused.framesDropped),
              std::tuple(wire::PushRefusal::NotStarted, 3u, 3u));

    // A new session relays again.
    startSink(*sink);
    EXPECT_EQ(sink->ask<wire::BufferReturned>(pushAt(ids[1], now())).outcome, PushOutcome::Relayed);
}

// Starting and stopping each take a hop to the callback queue; a request that comes during the
// hop is refused, not taken as if the hop were done.
TEST_F(EngineTest, ASinkSessionIsNotStoppedWhileStartingNorStartedWhileStopping) {
    auto sink = connect(Role::Sink);
    const auto secondRefused = [&](const wire::Message& first, const wire::Message& second) {
        sendAtOnce(*sink, {first, second});
        const auto error = sink->expect<wire::Error>();
        EXPECT_EQ(
            std::tuple(error.code, error.requestType, error.disconnecting),
            std::tuple(ErrorCode::WrongState,
                       std::uint32_t(std::visit([](auto& m) { return m.kType; }, second)), 0u));
    };
    secondRefused(wire::SinkStart{}, wire::SinkStop{});
    sink->expect<wire::SinkStarted>();
    secondRefused(wire::SinkStop{}, wire::SinkStart{});
    sink->expect<wire::SinkStopped>();
}

TEST_F(EngineTest, ASecondSinkIsRefusedNamingTheHolderAndATakeOverDropsTheHoldersQueue) {
    auto holder = connect(Role::Sink);
    auto taker = connect(Role::Sink);
    const auto ids = registerBuffers(*holder, 3);
    const std::uint32_t takersOwn = registerBuffer(*taker, 4);
    startSink(*holder);
    const std::string named = "\"engine test\" (pid " + std::to_string(::getpid()) + ")";

    taker->send(wire::SinkStart{});
    EXPECT_NE(taker->expectError(ErrorCode::NotAuthorized).find(named), std::string::npos);

    // Pushed and taken over in one turn of the loop: the pushes after the first still queue.
    for (const std::uint32_t id : ids) ASSERT_EQ(holder->connection.send(pushAt(id, now())), 0);
    sendAtOnce(*taker, {wire::SinkTakeOver{}});
    taker->expect<wire::SinkStarted>();
    // The first push was relayed; the rest come back dropped before the holder is told who
    // took over.
    expectReturns(*holder, ids, 1);
    EXPECT_NE(holder->expectError(ErrorCode::NotAuthorized).find(named), std::string::npos);
    EXPECT_EQ(holder->ask<wire::PushRefused>(pushAt(ids[0], now())).reason,
              wire::PushRefusal::NotStarted);

    // Counted for the taker (none yet) and for all: two never relayed, and the push after the
    // take-over, dropped. Two sessions: the refused start was none.
    const auto after = connect(Role::Info)->ask<wire::StatusReply>(wire::StatusRequest{});
    EXPECT_EQ(
        std::tuple(after.hasProducer, after.producerPid, after.producerPushed, after.framesPushed,
                   after.framesDropped, after.sinkSessions, after.takeOvers),
        std::tuple(1u, std::uint32_t(::getpid()), 0u, 3u, 3u, 2u, 1u));

    // The relay of the ended session was let go, not answered again and again (pump() would
    // fail on a busy loop): the taker's push is relayed on one more request.
    holder.reset();
    loop.pump();
    const int requests = host->consumeRequests.load();
    EXPECT_EQ(taker->ask<wire::BufferReturned>(pushAt(takersOwn, now())).outcome,
              PushOutcome::Relayed);
    EXPECT_EQ(host->consumeRequests.load(), requests + 1);
}

// ---- viewers ----

TEST_F(EngineTest, AViewerGetsEachBuffersFdOnceAndTheStreamStopsAfterTheLastViewer) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    EXPECT_EQ(host->armedTimerCount(), 1u);

    placeholderTick();
    const auto first = viewer->expect<wire::Frame>();
    EXPECT_EQ(std::tuple(first.origin, first.fdAttached, viewer->lastFd.isValid()),
              std::tuple(wire::FrameOrigin::Placeholder, 1u, true));
    const wire::Release release{.token = first.token};
    viewer->send(release);

    // The pool hands out the same memory again: known, so no fd.
    placeholderTick();
    const auto second = viewer->expect<wire::Frame>();
    EXPECT_EQ(std::tuple(second.bufferKey, second.fdAttached, second.sequence),
              std::tuple(first.bufferKey, 0u, first.sequence + 1));
    EXPECT_NE(second.token, first.token);

    // Released already.
    EXPECT_EQ(viewer->ask<wire::Error>(release).subject, first.token);

    // The stream runs while any viewer is left.
    auto other = connect(Role::View);
    startView(*other);
    viewer->ask<wire::ViewStopped>(wire::ViewStop{});
    EXPECT_EQ(host->armedTimerCount(), 1u);
    other->ask<wire::ViewStopped>(wire::ViewStop{});
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
        EXPECT_TRUE(sequence == 0 || frame.sequence == sequence + 1) << frame.sequence;
        sequence = frame.sequence;
        fast->send(wire::Release{.token = frame.token});
    }
    wire::Frame oldest = slow->expect<wire::Frame>();
    for (std::uint32_t i = 1; i < wire::kViewerFramesInFlight; ++i) slow->expect<wire::Frame>();
    EXPECT_TRUE(slow->quiet());

    // Told once what it missed, with the next frame it has room for.
    for (const std::uint32_t missed : {kFrames - wire::kViewerFramesInFlight, 0u}) {
        slow->send(wire::Release{.token = oldest.token});
        placeholderTick();
        oldest = slow->expect<wire::Frame>();
        EXPECT_EQ(oldest.framesMissed, missed);
        EXPECT_EQ(oldest.sequence, ++sequence);
        fast->expect<wire::Frame>();
    }
}

TEST_F(EngineTest, APushedFrameReachesTheViewerInTheClientsOwnMemoryAndComesBackAfterIt) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto sink = connect(Role::Sink);
    const base::UniqueFD memory = frameMemory(streamLayout().size);
    const std::uint32_t id = registerBuffer(*sink, 1, memory.get());
    startSink(*sink);

    const std::uint64_t stamp = now() - 5'000'000;
    sink->send(pushAt(id, stamp));
    const auto frame = viewer->expect<wire::Frame>();
    EXPECT_EQ(frame.origin, wire::FrameOrigin::Sink);
    // The relay carries the time through seconds as a double: a nanosecond may be lost.
    EXPECT_NEAR(double(frame.hostTimeNs), double(stamp), 1.0);
    ASSERT_EQ(frame.fdAttached, 1u);
    struct stat theirs = {}, ours = {};
    ASSERT_EQ(::fstat(viewer->lastFd.get(), &theirs), 0);
    ASSERT_EQ(::fstat(memory.get(), &ours), 0);
    EXPECT_TRUE(theirs.st_ino == ours.st_ino && theirs.st_dev == ours.st_dev);
    // The viewer still holds it: the client may not write it yet.
    EXPECT_TRUE(sink->quiet());

    viewer->send(wire::Release{.token = frame.token});
    expectReturns(*sink, {id}, 1);

    // Once the client lets go of it, the viewer is told to forget the memory.
    sink->send(wire::UnregisterBuffer{.bufferId = id});
    EXPECT_EQ(viewer->expect<wire::BufferGone>().bufferKey, frame.bufferKey);
}

// ---- releases and returns through shared memory ----

TEST_F(EngineTest, ReleasesWrittenInFrameStatesComeBackInTheRingWithoutAWakeUpUnlessAsked) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto statesMemory =
        base::MemoryMapping::create(viewer->lastFd.get(), wire::kFrameStatesSize, true);
    ASSERT_TRUE(statesMemory) << "the viewer cannot write its frame states";
    const auto release = [&](const wire::Frame& frame, std::uint64_t token) {
        wire::storeShared(wire::sharedArea<wire::FrameStates>(*statesMemory).released[frame.slot],
                          token);
    };
    auto sink = connect(Role::Sink);
    auto ring = base::MemFd::createShared("test-returns", sizeof(wire::FrameReturns));
    ASSERT_TRUE(ring);
    wire::FrameReturns& returns = wire::sharedArea<wire::FrameReturns>(ring->mapping);
    // Taken only as sealed memory the camera can write, and only once.
    const std::string reopened = "/proc/self/fd/" + std::to_string(ring->fd.get());
    const base::UniqueFD refused[] = {
        frameMemory(sizeof(wire::FrameReturns), false), frameMemory(64),
        base::UniqueFD(::open(reopened.c_str(), O_RDONLY | O_CLOEXEC))};
    for (const base::UniqueFD& fd : refused)
        EXPECT_EQ(sink->ask<wire::Error>(wire::ReturnsArea{}, fd.get()).code, ErrorCode::BadBuffer);
    sink->send(wire::ReturnsArea{}, ring->fd.get());
    EXPECT_EQ(sink->ask<wire::Error>(wire::ReturnsArea{}, ring->fd.get()).code,
              ErrorCode::WrongState);
    // The ids waiting in the ring, taken and counted as read.
    const auto takeReturns = [&] {
        std::vector<std::uint32_t> ids;
        EXPECT_TRUE(wire::takeReturns(returns, [&](std::uint32_t id, PushOutcome outcome) {
            EXPECT_EQ(outcome, PushOutcome::Relayed);
            ids.push_back(id);
        }));
        return ids;
    };
    const auto ids = registerBuffers(*sink, 3);
    startSink(*sink);
    const auto relay = [&](std::uint32_t id) {
        sink->send(pushAt(id, now()));
        return viewer->expect<wire::Frame>();
    };

    const wire::Frame first = relay(ids[0]);
    // A word with another token (stale, or made up) releases nothing.
    release(first, first.token + 7);
    const wire::Frame second = relay(ids[1]);
    EXPECT_TRUE(takeReturns().empty());

    // Read when the next frame goes out: back in the ring, and neither end woken for it.
    release(first, first.token);
    const wire::Frame third = relay(ids[2]);
    EXPECT_TRUE(sink->quiet()) << "a return in the ring needs no message";

    // A producer that waits is answered once a buffer is back: at once if the ring holds one,
    // else when the camera, asked, finds a viewer's release.
    sink->ask<wire::ReturnsPosted>(wire::ReturnsWanted{});
    EXPECT_EQ(takeReturns(), std::vector{ids[0]});
    release(second, second.token);
    sink->ask<wire::ReturnsPosted>(wire::ReturnsWanted{});
    EXPECT_TRUE(sink->quiet());
    EXPECT_EQ(takeReturns(), std::vector{ids[1]});
    sink->send(wire::ReturnsWanted{});
    EXPECT_TRUE(sink->quiet()) << "nothing came back, so nothing is posted yet";
    // Stopping the view gives its frames back; releases after it are ignored.
    viewer->ask<wire::ViewStopped>(wire::ViewStop{});
    sink->expect<wire::ReturnsPosted>();
    EXPECT_TRUE(sink->quiet()) << "one answer to one ask";
    EXPECT_EQ(takeReturns(), std::vector{ids[2]});
    viewer->send(wire::Release{.token = third.token});
    EXPECT_TRUE(viewer->quiet());

    // A ring whose reader wrote a count it has not reached has no room: the return is a message.
    wire::storeShared(returns.read, returns.written + 1);
    EXPECT_EQ(sink->ask<wire::BufferReturned>(pushAt(ids[1], now())).bufferId, ids[1]);
}

// ---- clients that misbehave ----

// A client that sends garbage is told and let go, one that does not read its socket is let go
// rather than waited for; a viewer goes on meanwhile.
TEST_F(EngineTest, ClientsThatSendGarbageOrReadNothingAreLetGoWhileAViewerGoesOn) {
    auto viewer = connect(Role::View);
    startView(*viewer);
    auto garbage = connect(Role::Sink);
    const char bytes[] = "GET / HTTP/1.1";
    ASSERT_EQ(::send(garbage->connection.fd(), bytes, sizeof bytes, MSG_NOSIGNAL),
              ssize_t(sizeof bytes));
    loop.pump();
    garbage->expectLetGo(ErrorCode::ProtocolViolation);

    auto deaf = connect(Role::Info);
    // Pings until the engine gives up on the answers piling up; bounded, as it must give up.
    for (int round = 0; round < 1000 && engine->connectedClients() == 2; ++round) {
        while (deaf->connection.send(wire::Ping{}, -1, wire::SendMode::DontWait) == 0) continue;
        loop.pump();
    }
    EXPECT_TRUE(deaf->hungUp());
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
    const wire::Hello hello{.role = Role::Info};
    oneTooMany->send(hello);
    oneTooMany->expectLetGo(ErrorCode::LimitReached);

    clients.pop_back();
    loop.pump();
    silent->ask<wire::Welcome>(hello);
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
    early->expectLetGo(ErrorCode::LimitReached);
    EXPECT_TRUE(later.front()->quiet());

    host->advanceBy(2'000'000'000);
    EXPECT_EQ(engine->closeSilentClients(), std::nullopt) << "all silent ones are gone";
    loop.pump();
    for (const auto& client : later)
        EXPECT_NE(client->expectLetGo(ErrorCode::ProtocolViolation).find("Hello"),
                  std::string::npos);
    speaking->ask<wire::Pong>(wire::Ping{});
}

}  // namespace
}  // namespace kova::engine::test
