// FakeCamera: the private socket, the camera thread and the script steps.
#include "FakeCamera.h"

#include "protocol/SharedAreas.h"

#include <poll.h>

#include <cstring>

namespace kova::client::test {
namespace {

// How long a step waits for the client before the test counts it as hung.
constexpr int kStepTimeoutMs = 5000;

}  // namespace

FakeCamera::FakeCamera() : path_(folder_.file("camera.sock")) {
    auto listener = wire::Listener::listen(wire::SocketLocation{path_, false});
    if (listener.ok()) {
        listener_ = std::move(listener.value());
    } else {
        ADD_FAILURE() << listener.failure().message;
    }
}

FakeCamera::~FakeCamera() {
    join();
}

void FakeCamera::serve(std::vector<Script> scripts) {
    thread_ =
        std::thread([this, scripts = std::move(scripts)]() mutable { run(std::move(scripts)); });
}

void FakeCamera::join() {
    if (thread_.joinable()) thread_.join();
}

void FakeCamera::run(std::vector<Script> scripts) {
    for (auto& script : scripts) {
        pollfd waiting{listener_->fd(), POLLIN, 0};
        if (::poll(&waiting, 1, kStepTimeoutMs) != 1) {
            ADD_FAILURE() << "no client came to the fake camera";
            return;
        }
        auto socket = listener_->accept();
        if (!socket.ok()) {
            ADD_FAILURE() << socket.failure().message;
            return;
        }
        wire::Connection camera(std::move(socket.value()), wire::Peer::Host);
        try {
            script(camera);
        } catch (const ScriptAborted&) {
            return;
        }
    }
}

wire::Received receiveOne(wire::Connection& camera) {
    if (camera.waitReadable(kStepTimeoutMs) != 1) {
        ADD_FAILURE() << "the client sent nothing to the fake camera";
        throw ScriptAborted{};
    }
    auto result = camera.receive();
    if (result.status != wire::ReceiveResult::Status::Message) {
        ADD_FAILURE() << "the fake camera expected a message; status " << int(result.status) << " "
                      << result.error.reason;
        throw ScriptAborted{};
    }
    return std::move(*result.received);
}

void expectHangUp(wire::Connection& camera) {
    wire::ReceiveResult result;
    do {  // an ask for returns may come first (see expect())
        if (camera.waitReadable(kStepTimeoutMs) != 1) {
            ADD_FAILURE() << "the client did not hang up";
            throw ScriptAborted{};
        }
        result = camera.receive();
    } while (result.status == wire::ReceiveResult::Status::Message &&
             std::holds_alternative<wire::ReturnsWanted>(result.received->message));
    if (result.status != wire::ReceiveResult::Status::Closed) {
        ADD_FAILURE() << "the fake camera expected the client to hang up; status "
                      << int(result.status);
        throw ScriptAborted{};
    }
}

void send(wire::Connection& camera, const wire::Message& message, int fd) {
    if (const int result = camera.send(message, fd); result != 0) {
        ADD_FAILURE() << "the fake camera cannot send: " << std::strerror(-result);
        throw ScriptAborted{};
    }
}

void welcome(wire::Connection& camera, wire::Role role, std::uint32_t maxBuffers) {
    const auto hello = expect<wire::Hello>(camera);
    EXPECT_EQ(hello.role, role);
    EXPECT_EQ(hello.version, wire::kProtocolVersion);
    EXPECT_FALSE(wire::textOf(hello.clientName).empty()) << "the hello names no client";
    wire::Welcome reply;
    reply.role = role;
    reply.maxRegisteredBuffers = maxBuffers;
    send(camera, reply);
}

std::vector<Registered> acceptProducer(wire::Connection& camera, std::uint32_t count,
                                       std::optional<std::uint32_t> maxBuffers,
                                       base::MemoryMapping* returns) {
    welcome(camera, wire::Role::Sink, maxBuffers.value_or(count));
    std::vector<Registered> buffers;
    for (std::uint32_t i = 0; i < count; ++i) {
        Registered buffer;
        const auto registration = expect<wire::RegisterBuffer>(camera, &buffer.fd);
        buffer.id = 101 + i;
        buffer.layout = registration.layout;
        wire::BufferRegistered reply;
        reply.cookie = registration.cookie;
        reply.bufferId = buffer.id;
        send(camera, reply);
        buffers.push_back(std::move(buffer));
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

base::WritableMemory acceptViewer(wire::Connection& camera) {
    welcome(camera, wire::Role::View);
    expect<wire::ViewStart>(camera);
    auto states = base::MemFd::createShared("test-frame-states", wire::kFrameStatesSize);
    EXPECT_TRUE(states);
    send(camera, wire::ViewStarted{}, states ? states->fd.get() : -1);
    return states ? std::move(*states) : base::WritableMemory{};
}

void setFrameState(const base::WritableMemory& states, std::uint32_t slot, std::uint64_t token) {
    wire::storeShared(wire::sharedArea<wire::FrameStates>(states.mapping).held[slot], token);
}

std::vector<std::uint64_t> releasedTokens(const base::WritableMemory& states) {
    const auto& area = wire::sharedArea<wire::FrameStates>(states.mapping);
    std::vector<std::uint64_t> tokens;
    for (const std::uint64_t& word : area.released) tokens.push_back(wire::loadShared(word));
    return tokens;
}

void answerPing(wire::Connection& camera) {
    const auto ping = expect<wire::Ping>(camera);
    wire::Pong pong;
    pong.cookie = ping.cookie;
    send(camera, pong);
}

wire::FrameLayout frameLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, 800, 960, 3200, kFrameBytes};
}

base::UniqueFD frameMemory(std::uint8_t byte) {
    base::UniqueFD fd = base::MemFd::create("fake-camera-frame", kFrameBytes);
    auto mapping = base::MemoryMapping::create(fd.get(), kFrameBytes, true);
    if (mapping) std::memset(mapping->data(), byte, kFrameBytes);
    return fd;
}

std::vector<std::uint8_t> contentsOf(int fd, std::size_t size) {
    auto mapping = base::MemoryMapping::create(fd, size, false);
    if (!mapping) return {};
    return std::vector<std::uint8_t>(mapping->data(), mapping->data() + size);
}

}  // namespace kova::client::test
