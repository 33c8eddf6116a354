// FakeCamera: a scripted camera on a private socket, the other end of the client library in
// its unit tests, and the steps its scripts are made of.
//
// Threading: construct, serve() and join() on the test's thread. Each script runs on the fake
// camera's own thread and talks only through its Connection; values it records are read by the
// test after join(), which orders them.
#pragma once

#include <gtest/gtest.h>

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
#include "protocol/Wire.h"
#include "tests/harness/ChildProcess.h"

namespace kova::client::test {

// Thrown by a script step that got something else than it expected; ends the script (after a
// test failure has been recorded) and hangs up, so the client cannot wait for ever.
struct ScriptAborted {};

using Script = std::function<void(wire::Connection& camera)>;

class FakeCamera {
  public:
    FakeCamera();
    ~FakeCamera();
    FakeCamera(const FakeCamera&) = delete;
    FakeCamera& operator=(const FakeCamera&) = delete;

    ConnectOptions options() const { return ConnectOptions{path_}; }
    const std::string& path() const { return path_; }

    // Serves the next client with `scripts[0]`, the one after it with `scripts[1]`, …, on the
    // camera's thread; each connection is closed when its script returns.
    void serve(std::vector<Script> scripts);
    // Waits until every script has run.
    void join();

  private:
    void run(std::vector<Script> scripts);

    kova::testing::TempFolder folder_;
    std::string path_;
    std::unique_ptr<wire::Listener> listener_;
    std::thread thread_;
};

// ---- script steps (on the camera's thread) ----

// The next message, which must be an M; its fd (if any) goes to `fd`.
template <class M>
M expect(wire::Connection& camera, base::UniqueFD* fd = nullptr);

// Waits for the client to hang up; anything else it sends fails the test.
void expectHangUp(wire::Connection& camera);

// The hello of a client in `role`, answered by a Welcome that allows `maxBuffers`
// registrations.
void welcome(wire::Connection& camera, wire::Role role, std::uint32_t maxBuffers = 16);

// A registered buffer as the fake camera holds it.
struct Registered {
    std::uint32_t id = 0;
    base::UniqueFD fd;
    wire::FrameLayout layout{};
};

// A producer's start: hello, `count` registrations (answered with ids 101, 102, …), its return
// ring (mapped into `returns` if given; returns sent as messages need none) and the sink start.
// The Welcome allows `maxBuffers` registrations (by default `count`).
std::vector<Registered> acceptProducer(wire::Connection& camera, std::uint32_t count = 8,
                                       std::optional<std::uint32_t> maxBuffers = std::nullopt,
                                       base::MemoryMapping* returns = nullptr);

// A viewer's start: hello and the view start; the frame states the viewer was sent.
base::WritableMemory acceptViewer(wire::Connection& camera);
// Writes a frame state word as the camera does: the frame's token while it holds still, else 0.
void setFrameState(const base::WritableMemory& states, std::uint32_t slot, std::uint64_t token);
// The tokens the viewer has written as released, by slot (0: none).
std::vector<std::uint64_t> releasedTokens(const base::WritableMemory& states);

// Answers the client's next Ping.
void answerPing(wire::Connection& camera);

void send(wire::Connection& camera, const wire::Message& message, int fd = -1);

// The frame layout the client library registers and viewers get.
wire::FrameLayout frameLayout();

// A sealed memfd of one frame, filled with `byte`.
base::UniqueFD frameMemory(std::uint8_t byte);

// Reads back `size` bytes of shared memory.
std::vector<std::uint8_t> contentsOf(int fd, std::size_t size);

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

// ---- template definitions ----

wire::Received receiveOne(wire::Connection& camera);

template <class M>
M expect(wire::Connection& camera, base::UniqueFD* fd) {
    wire::Received received = receiveOne(camera);
    // A producer asks for returns whenever it finds no buffer free, which may be before or after
    // a refusal reaches it: only a script that waits for the ask sees it.
    while (M::kType != wire::MessageType::ReturnsWanted &&
           std::holds_alternative<wire::ReturnsWanted>(received.message)) {
        received = receiveOne(camera);
    }
    const M* message = std::get_if<M>(&received.message);
    if (message == nullptr) {
        ADD_FAILURE() << "the fake camera expected " << wire::messageTypeName(M::kType) << ", got "
                      << std::visit(
                             [](const auto& m) { return wire::messageTypeName(m.header.type); },
                             received.message);
        throw ScriptAborted{};
    }
    if (fd != nullptr) *fd = std::move(received.fd);
    return *message;
}

}  // namespace kova::client::test
