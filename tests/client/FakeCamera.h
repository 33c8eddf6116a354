// FakeCamera: a scripted camera on a private socket, the other end of the client library in
// its unit tests, the steps its scripts are made of and the fixture that holds one.
//
// Threading: construct, serve() and join() on the test's thread. Each script runs on the fake
// camera's own thread and talks only through its Connection; values it records are read by the
// test after join(), which orders them.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/MemFd.h"
#include "base/UniqueFD.h"
#include "kova/kova.h"
#include "protocol/Protocol.h"
#include "protocol/SharedAreas.h"
#include "protocol/Wire.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/FdCount.h"

namespace kova::client::test {

// How long a step waits for the client before the test counts it as hung.
constexpr int kStepTimeoutMs = 5000;

// Thrown by a script step that got something else than it expected; ends the script (after a
// test failure has been recorded) and hangs up, so the client cannot wait for ever.
struct ScriptAborted {};

[[noreturn]] inline void abortScript(const std::string& why) {
    ADD_FAILURE() << "the fake camera " << why;
    throw ScriptAborted{};
}

using Script = std::function<void(wire::Connection& camera)>;

class FakeCamera {
  public:
    FakeCamera() {
        auto listener = wire::Listener::listen(wire::SocketLocation{options().socket_path, false});
        EXPECT_TRUE(listener.ok()) << listener.failure().message;
        if (listener.ok()) listener_ = std::move(listener.value());
    }
    ~FakeCamera() { join(); }

    ConnectOptions options() const { return ConnectOptions{folder_.file("camera.sock")}; }

    // Serves the next client with `scripts[0]`, the one after it with `scripts[1]`, …, on the
    // camera's thread; each connection is closed when its script returns.
    void serve(std::vector<Script> scripts) {
        thread_ = std::thread([this, scripts = std::move(scripts)] {
            for (const auto& script : scripts) {
                pollfd waiting{listener_->fd(), POLLIN, 0};
                if (::poll(&waiting, 1, kStepTimeoutMs) != 1) FAIL() << "no client came";
                auto socket = listener_->accept();
                if (!socket.ok()) FAIL() << socket.failure().message;
                wire::Connection camera(std::move(socket.value()), wire::Peer::Host);
                try {
                    script(camera);
                } catch (const ScriptAborted&) {
                    return;
                }
            }
        });
    }
    // Waits until every script has run.
    void join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    kova::testing::TempFolder folder_;
    std::unique_ptr<wire::Listener> listener_;
    std::thread thread_;
};

class ClientTest : public ::testing::Test {
  protected:
    kova::testing::FdLeakGuard fdGuard;
    FakeCamera camera;
};

// ---- script steps (on the camera's thread) ----

// The client's next message, or nothing once it hangs up. A producer asks for returns whenever
// it finds no buffer free, which may be before or after a refusal reaches it: only a script
// that waits for the ask (`asks`) sees it.
inline std::optional<wire::Received> receive(wire::Connection& camera, bool asks = false) {
    for (;;) {
        if (camera.waitReadable(kStepTimeoutMs) != 1) abortScript("heard nothing from the client");
        auto result = camera.receive();
        if (result.status == wire::ReceiveResult::Status::Closed) return std::nullopt;
        if (result.status != wire::ReceiveResult::Status::Message) {
            abortScript("expected a message; status " + std::to_string(int(result.status)) + " " +
                        result.error.reason);
        }
        if (asks || !std::holds_alternative<wire::ReturnsWanted>(result.received->message)) {
            return std::move(*result.received);
        }
    }
}

// The next message, which must be an M; its fd (if any) goes to `fd`.
template <class M>
M expect(wire::Connection& camera, base::UniqueFD* fd = nullptr) {
    auto received = receive(camera, M::kType == wire::MessageType::ReturnsWanted);
    const M* message = received ? std::get_if<M>(&received->message) : nullptr;
    if (message == nullptr) {
        abortScript(std::string("expected ") + wire::messageTypeName(M::kType) +
                    (received ? ", got another message" : ", got a hang-up"));
    }
    if (fd != nullptr) *fd = std::move(received->fd);
    return *message;
}

inline void expectHangUp(wire::Connection& camera) {
    if (receive(camera)) abortScript("expected the client to hang up");
}

inline void send(wire::Connection& camera, const wire::Message& message, int fd = -1) {
    if (const int result = camera.send(message, fd); result != 0) {
        abortScript(std::string("cannot send: ") + std::strerror(-result));
    }
}

// The hello of a client in `role`, answered by a Welcome that allows `maxBuffers`
// registrations.
inline void welcome(wire::Connection& camera, wire::Role role, std::uint32_t maxBuffers = 16) {
    EXPECT_EQ(expect<wire::Hello>(camera).role, role);
    send(camera, wire::Welcome{.role = role, .maxRegisteredBuffers = maxBuffers});
}

// A producer's start: hello, `count` registrations (answered with ids 101, 102, …; their fds
// come back in that order), its return ring (mapped into `returns` if given; returns sent as
// messages need none) and the sink start. The Welcome allows `maxBuffers` registrations (by
// default `count`).
inline std::vector<base::UniqueFD> acceptProducer(wire::Connection& camera, std::uint32_t count = 8,
                                                  std::optional<std::uint32_t> maxBuffers = {},
                                                  base::MemoryMapping* returns = nullptr) {
    welcome(camera, wire::Role::Sink, maxBuffers.value_or(count));
    std::vector<base::UniqueFD> buffers(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        send(camera, wire::BufferRegistered{
                         .cookie = expect<wire::RegisterBuffer>(camera, &buffers[i]).cookie,
                         .bufferId = 101 + i});
    }
    base::UniqueFD ring;
    expect<wire::ReturnsArea>(camera, &ring);
    if (returns) {
        auto mapping = base::MemoryMapping::create(ring.get(), sizeof(wire::FrameReturns), true);
        EXPECT_TRUE(mapping) << "the return ring cannot be mapped writable";
        if (mapping) *returns = std::move(*mapping);
    }
    expect<wire::SinkStart>(camera);
    send(camera, wire::SinkStarted{});
    return buffers;
}

// A viewer's start: hello and the view start; the frame states the viewer was sent.
inline base::WritableMemory acceptViewer(wire::Connection& camera) {
    welcome(camera, wire::Role::View);
    expect<wire::ViewStart>(camera);
    auto states = base::MemFd::createShared("test-frame-states", wire::kFrameStatesSize);
    EXPECT_TRUE(states);
    send(camera, wire::ViewStarted{}, states ? states->fd.get() : -1);
    return states ? std::move(*states) : base::WritableMemory{};
}

// Writes a frame state word as the camera does: the frame's token while it holds still, else 0.
inline void setFrameState(const base::WritableMemory& states, std::uint32_t slot,
                          std::uint64_t token) {
    wire::storeShared(wire::sharedArea<wire::FrameStates>(states.mapping).held[slot], token);
}

// The tokens the viewer has written as released, by slot (0: none).
inline std::vector<std::uint64_t> releasedTokens(const base::WritableMemory& states) {
    std::vector<std::uint64_t> tokens;
    for (const std::uint64_t& word : wire::sharedArea<wire::FrameStates>(states.mapping).released) {
        tokens.push_back(wire::loadShared(word));
    }
    return tokens;
}

// Answers the client's next Ping.
inline void answerPing(wire::Connection& camera) {
    send(camera, wire::Pong{.cookie = expect<wire::Ping>(camera).cookie});
}

// A sealed memfd of one frame, filled with `byte`.
inline base::UniqueFD frameMemory(std::uint8_t byte) {
    base::UniqueFD fd = base::MemFd::create("fake-camera-frame", kFrameBytes);
    auto mapping = base::MemoryMapping::create(fd.get(), kFrameBytes, true);
    if (mapping) std::memset(mapping->data(), byte, kFrameBytes);
    return fd;
}

// The code of the Error that `call` throws; nothing when it returns.
template <class Call>
std::optional<ErrorCode> codeOf(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.code();
    }
    return std::nullopt;
}

}  // namespace kova::client::test
