// A real sealed memfd registered by another process: wire_test re-executes itself as the peer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "base/MemFd.h"
#include "tests/wire/WireTestSupport.h"

namespace kova::wire::test {
namespace {

constexpr int kPatienceMilliseconds = 10'000;
constexpr std::uint32_t kPeerCookie = 77;

FrameLayout peerLayout() {
    return FrameLayout{PixelFormat::BGRA, 64, 32, 256, 256 * 32};
}

std::uint8_t patternByte(std::size_t index) {
    return static_cast<std::uint8_t>(index * 7 + 3);
}

// The next message, waiting for it up to the patience limit.
std::optional<Received> next(const Connection& connection) {
    if (connection.waitReadable(kPatienceMilliseconds) != 1) return std::nullopt;
    ReceiveResult result = connection.receive();
    if (result.status != ReceiveResult::Status::Message) return std::nullopt;
    return std::move(result.received);
}

// Kills and reaps the child if the test ends early.
struct ChildProcess {
    pid_t pid = -1;
    ~ChildProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    int wait() {
        int status = 0;
        const pid_t reaped = ::waitpid(std::exchange(pid, -1), &status, 0);
        return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

class ProcessTest : public FdLeakCheck {};

TEST_F(ProcessTest, ASealedMemFdFromAnotherProcessArrivesMappableAndIntact) {
    auto [cameraEnd, peerEnd] = socketPair();
    // The peer's end must survive exec.
    ASSERT_EQ(::fcntl(peerEnd.get(), F_SETFD, 0), 0);
    const std::string peerFd = std::to_string(peerEnd.get());
    const char* const arguments[] = {"wire_test", kMemFdPeerFlag, peerFd.c_str(), nullptr};

    ChildProcess peer;
    peer.pid = ::fork();
    ASSERT_GE(peer.pid, 0);
    if (peer.pid == 0) {
        ::execv("/proc/self/exe", const_cast<char* const*>(arguments));
        ::_exit(127);
    }
    peerEnd.reset();
    Connection camera(std::move(cameraEnd), Peer::Host);

    std::optional<Received> hello = next(camera);
    ASSERT_TRUE(hello.has_value());
    ASSERT_TRUE(std::holds_alternative<Hello>(hello->message));
    EXPECT_EQ(std::get<Hello>(hello->message).role, Role::Sink);
    Welcome welcome;
    welcome.role = Role::Sink;
    ASSERT_EQ(camera.send(welcome), 0);

    std::optional<Received> registration = next(camera);
    ASSERT_TRUE(registration.has_value());
    const auto* request = std::get_if<RegisterBuffer>(&registration->message);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->cookie, kPeerCookie);
    const int memory = registration->fd.get();
    ASSERT_GE(memory, 0);
    EXPECT_EQ(::fcntl(memory, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC)
        << "received fds are close-on-exec";
    EXPECT_EQ(base::MemFd::checkImported(memory, request->layout.size), 0);
    EXPECT_NE(::ftruncate(memory, 16), 0) << "the peer's memory must be sealed against shrinking";

    base::Result<base::MemoryMapping> mapping =
        base::MemoryMapping::create(memory, request->layout.size, false);
    ASSERT_TRUE(mapping);
    std::size_t wrongBytes = 0;
    for (std::size_t i = 0; i < mapping->size(); ++i) {
        if (mapping->data()[i] != patternByte(i)) ++wrongBytes;
    }
    EXPECT_EQ(wrongBytes, 0u);

    BufferRegistered registered;
    registered.cookie = request->cookie;
    registered.bufferId = 1;
    ASSERT_EQ(camera.send(registered), 0);
    EXPECT_EQ(peer.wait(), 0);
}

}  // namespace

int runMemFdPeer(int socketFd) {
    Connection camera(base::UniqueFD(socketFd), Peer::Client);
    const FrameLayout layout = peerLayout();
    base::UniqueFD memory = base::MemFd::create("kova-wire-peer", layout.size);
    if (!memory) return 10;
    {
        base::Result<base::MemoryMapping> mapping =
            base::MemoryMapping::create(memory.get(), layout.size, true);
        if (!mapping) return 11;
        for (std::size_t i = 0; i < mapping->size(); ++i) mapping->data()[i] = patternByte(i);
    }

    Hello hello;
    hello.role = Role::Sink;
    setText(hello.clientName, "wire_test peer");
    if (camera.send(hello) != 0) return 12;
    std::optional<Received> welcome = next(camera);
    if (!welcome || !std::holds_alternative<Welcome>(welcome->message)) return 13;

    RegisterBuffer registration;
    registration.cookie = kPeerCookie;
    registration.layout = layout;
    if (camera.send(registration, memory.get()) != 0) return 14;
    std::optional<Received> reply = next(camera);
    if (!reply) return 15;
    const auto* registered = std::get_if<BufferRegistered>(&reply->message);
    return registered != nullptr && registered->cookie == kPeerCookie ? 0 : 16;
}

}  // namespace kova::wire::test
