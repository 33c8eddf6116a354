// Shared pieces of the engine tests: an event loop and callback queue turned by hand, a host
// double that hands the extension's frames and consume requests to the engine, and raw
// protocol clients on socket pairs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Sources/CameraExtension/CameraProviderSource.h"
#include "base/UniqueFD.h"
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
    int watch(int fd, std::function<void()> onReady) override;
    void unwatch(int fd) override;
    void perform(std::function<void()> work) override;
    // An executor whose work pump() runs after the loop's posted work.
    Executor callbackQueue();
    // Runs posted work, callback work and the callbacks of readable fds until none is left.
    void pump();
    std::size_t watchedCount() const { return watched_.size(); }

  private:
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
                          CMIOExtensionStreamDiscontinuityFlags discontinuity,
                          std::uint64_t hostTimeInNanoseconds) override;
    void consumeSampleBuffer(CMIOExtensionStream& stream, const CMIOExtensionClientRef& client,
                             CMIOExtensionConsumeCompletion completion) override;
};

// A client process as the engine sees it: the client end of a socket pair whose other end the
// engine serves.
class TestClient {
  public:
    // Attaches a new client to the engine; with a role, says hello and takes the Welcome.
    TestClient(CameraEngine& engine, ManualLoop& loop, std::optional<wire::Role> role);

    void send(const wire::Message& message, int fd = -1);
    // The next message waiting for the client; none if nothing waits (or the engine hung up).
    std::optional<wire::Received> next();
    // The next message, which must be an M; the test fails if it is not.
    template <class M>
    M expect() {
        auto received = next();
        if (!received) {
            ADD_FAILURE() << "expected " << wire::messageTypeName(M::kType) << ", got nothing";
            return M{};
        }
        if (const M* message = std::get_if<M>(&received->message)) {
            lastFd = std::move(received->fd);
            return *message;
        }
        ADD_FAILURE() << "expected " << wire::messageTypeName(M::kType) << ", got "
                      << wire::messageTypeName(
                             std::visit([](const auto& m) { return m.kType; }, received->message));
        return M{};
    }
    // An Error with this code must be next; returns its text.
    std::string expectError(wire::ErrorCode code);
    // Nothing waits, and the engine has not hung up.
    bool quiet();
    // The engine has hung up (after any messages still waiting are read).
    bool hungUp();

    wire::Connection connection;
    base::UniqueFD lastFd;  // the fd of the last expected message that carried one

  private:
    TestClient(CameraEngine& engine, ManualLoop& loop, std::optional<wire::Role> role,
               std::pair<base::UniqueFD, base::UniqueFD> ends);

    ManualLoop& loop_;
};

// The sink stream's layout: 800 × 960 BGRA, packed rows.
wire::FrameLayout streamLayout();
// A memfd of `size` bytes, sealed against shrinking and growing unless told otherwise.
base::UniqueFD frameMemory(std::size_t size, bool sealed = true);
// A push of `bufferId` stamped `nanoseconds` on the host clock.
wire::Push pushAt(std::uint32_t bufferId, std::uint64_t nanoseconds);

// The engine serving the real extension, on the hand-turned loop and the host double.
class EngineTest : public ::testing::Test {
  protected:
    EngineTest();
    ~EngineTest() override;

    std::unique_ptr<TestClient> connect(std::optional<wire::Role> role);
    // Registers a fresh sealed buffer of the stream's layout; returns its id.
    std::uint32_t registerBuffer(TestClient& client, std::uint32_t cookie);
    // Starts a sink or view session and takes the answer.
    void startSink(TestClient& client);
    void startView(TestClient& client);
    std::uint64_t now() const { return host->hostTimeNanoseconds(); }
    CMIOExtensionStream& sinkStream() const;
    // Sends one placeholder frame: the output stream's timer fires once.
    void placeholderTick();

    kova::testing::FdLeakGuard leakGuard;
    std::shared_ptr<EngineHost> host;
    ManualLoop loop;
    std::shared_ptr<CameraProviderSource> extension;
    std::shared_ptr<CameraEngine> engine;
};

}  // namespace kova::engine::test
