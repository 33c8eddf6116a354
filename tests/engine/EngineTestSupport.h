// Shared pieces of the engine tests: an event loop and callback queue turned by hand, a host
// double that hands the extension's frames and consume requests to the engine, and raw
// protocol clients on socket pairs.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Sources/CameraExtension/CameraDeviceSource.h"
#include "Sources/CameraExtension/CameraProviderSource.h"
#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "base/MemFd.h"
#include "camera/engine/CameraEngine.h"
#include "camera/engine/EventLoop.h"
#include "protocol/Wire.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace kova::engine::test {

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
    std::size_t watchedCount() const { return watched_.size(); }

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
        send(hello);
        EXPECT_EQ(expect<wire::Welcome>().role, *role);
    }

    void send(const wire::Message& message, int fd = -1) {
        ASSERT_EQ(connection.send(message, fd, wire::SendMode::DontWait), 0);
        loop_.pump();
    }
    // The next message waiting for the client; none if nothing waits (or the engine hung up).
    std::optional<wire::Received> next() { return connection.receive().received; }
    // The next message, which must be an M; the test fails if it is not.
    template <class M>
    M expect() {
        auto received = next();
        const M* message = received ? std::get_if<M>(&received->message) : nullptr;
        if (message == nullptr) {
            ADD_FAILURE() << "expected " << wire::messageTypeName(M::kType) << ", got "
                          << (received
                                  ? wire::messageTypeName(std::visit(
                                        [](const auto& m) { return m.kType; }, received->message))
                                  : "nothing");
            return M{};
        }
        lastFd = std::move(received->fd);
        return *message;
    }
    // An Error with this code must be next; returns its text.
    std::string expectError(wire::ErrorCode code) {
        const auto error = expect<wire::Error>();
        EXPECT_EQ(error.code, code) << wire::textOf(error.text);
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
        const base::UniqueFD fresh =
            memory < 0 ? frameMemory(streamLayout().size) : base::UniqueFD();
        client.send(wire::RegisterBuffer{.cookie = cookie, .layout = streamLayout()},
                    memory < 0 ? fresh.get() : memory);
        const auto registered = client.expect<wire::BufferRegistered>();
        EXPECT_EQ(registered.cookie, cookie);
        return registered.bufferId;
    }
    // Starts a sink or view session and takes the answer.
    void startSink(TestClient& client) {
        client.send(wire::SinkStart{});
        client.expect<wire::SinkStarted>();
    }
    void startView(TestClient& client) {
        client.send(wire::ViewStart{});
        client.expect<wire::ViewStarted>();
    }
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

}  // namespace kova::engine::test
