// kova-camera as a real process on a private socket, driven by small raw-protocol clients: what a
// viewer sees, a relayed frame, a second camera, stopping, a garbage client, a stale socket and
// socket activation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Sources/CameraExtension/PlaceholderPicture.h"
#include "host/base/MemFd.h"
#include "host/service/Wire.h"

extern char** environ;

namespace kova::e2e {
namespace {

using host::UniqueFD;

// How long anything may take before the test gives up; generous for sanitizer builds.
constexpr int kPatienceMs = 20'000;
// Frames a viewer looks through for the one it waits for: several seconds of placeholder.
constexpr int kFramesToWaitFor = 300;

std::uint64_t monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A datagram socket playing the service manager's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    const std::string& path() const { return path_; }

    // Waits for a notification that contains `state` (e.g. "READY=1").
    bool waitFor(const std::string& state) {
        for (;;) {
            pollfd ready{socket_.get(), POLLIN, 0};
            if (::poll(&ready, 1, kPatienceMs) != 1) return false;
            char text[4096];
            const ssize_t size = ::recv(socket_.get(), text, sizeof text, 0);
            if (size > 0 && std::string(text, size).find(state) != std::string::npos) return true;
        }
    }

  private:
    std::string path_;
    UniqueFD socket_;
};

// One started process, killed and reaped if the test ends before it does.
class Process {
  public:
    // Runs `arguments` with `extraEnvironment` added, its stderr into the file `stderrPath`, or
    // into `stderrFd` when that is given.
    Process(const std::vector<std::string>& arguments,
            const std::vector<std::string>& extraEnvironment, const std::string& stderrPath,
            int stderrFd = -1) {
        std::vector<std::string> environment = extraEnvironment;
        for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
        std::vector<char*> argv, envp;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stderrFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        pidfd_.reset(int(::syscall(SYS_pidfd_open, pid_, 0)));
        EXPECT_TRUE(pidfd_.isValid());
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void signal(int number) { ::kill(pid_, number); }
    // The exit status once the process has ended; nothing if it did not end in time or was
    // killed by a signal.
    std::optional<int> waitExit() {
        pollfd ended{pidfd_.get(), POLLIN, 0};
        if (::poll(&ended, 1, kPatienceMs) != 1) return std::nullopt;
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        if (!WIFEXITED(status)) return std::nullopt;
        return WEXITSTATUS(status);
    }

  private:
    pid_t pid_ = -1;
    UniqueFD pidfd_;
};

// A client speaking the raw protocol.
class RawClient {
  public:
    RawClient(const std::string& path, wire::Role role) : connection_(connectOrFail(path)) {
        wire::Hello hello;
        hello.role = role;
        wire::setText(hello.clientName, "camera process test");
        EXPECT_EQ(connection_.send(hello), 0);
        const auto welcome = next();
        EXPECT_TRUE(welcome && std::holds_alternative<wire::Welcome>(welcome->message));
    }

    const wire::Connection& connection() const { return connection_; }
    void send(const wire::Message& message, int fd = -1) {
        EXPECT_EQ(connection_.send(message, fd), 0);
    }
    // The next message, waiting for it; nothing on timeout or hang-up.
    std::optional<wire::Received> next() {
        if (connection_.waitReadable(kPatienceMs) != 1) return std::nullopt;
        wire::ReceiveResult result = connection_.receive();
        if (result.status != wire::ReceiveResult::Status::Message) return std::nullopt;
        return std::move(result.received);
    }
    // The next message of type M, skipping others; nothing if none comes.
    template <class M>
    std::optional<M> nextOf() {
        while (auto received = next()) {
            if (const M* message = std::get_if<M>(&received->message)) return *message;
        }
        return std::nullopt;
    }
    // Whether the camera hangs up (after any messages still on their way).
    bool hangsUp() {
        for (;;) {
            if (connection_.waitReadable(kPatienceMs) != 1) return false;
            const auto result = connection_.receive();
            if (result.status == wire::ReceiveResult::Status::Closed) return true;
            if (result.status == wire::ReceiveResult::Status::Failed) {
                return result.systemError == -ECONNRESET;
            }
            if (result.status != wire::ReceiveResult::Status::Message) return false;
        }
    }

  private:
    static wire::Connection connectOrFail(const std::string& path) {
        auto socket = wire::connectTo(path);
        EXPECT_TRUE(socket.ok()) << (socket.ok() ? "" : socket.failure().message);
        return wire::Connection(socket.ok() ? std::move(socket.value()) : UniqueFD(),
                                wire::Peer::Client);
    }

    wire::Connection connection_;
};

// A viewer that maps each buffer once, as a real viewer does, and releases every frame.
class Viewer : public RawClient {
  public:
    explicit Viewer(const std::string& path) : RawClient(path, wire::Role::View) {
        send(wire::ViewStart{});
        EXPECT_TRUE(nextOf<wire::ViewStarted>());
    }

    struct Seen {
        wire::Frame frame;
        std::vector<std::uint8_t> pixels;  // bytesPerRow × height, copied out before release
        struct stat memory {};             // the buffer memory's identity
    };

    // Releases every frame that has arrived, so that the next ones are not missed for want of
    // room; a viewer that stops reading misses frames by design.
    void releaseWaiting() {
        for (;;) {
            wire::ReceiveResult result = connection().receive();
            if (result.status != wire::ReceiveResult::Status::Message) return;
            const auto* frame = std::get_if<wire::Frame>(&result.received->message);
            if (!frame) continue;
            if (frame->fdAttached) buffers_[frame->bufferKey] = std::move(result.received->fd);
            wire::Release release;
            release.token = frame->token;
            send(release);
        }
    }

    // The next frame from `origin`, releasing every frame on the way; nothing if none comes
    // within a few seconds of frames.
    std::optional<Seen> nextFrom(wire::FrameOrigin origin) {
        for (int frames = 0; frames < kFramesToWaitFor; ++frames) {
            auto received = next();
            if (!received) return std::nullopt;
            const auto* frame = std::get_if<wire::Frame>(&received->message);
            if (!frame) continue;
            if (frame->fdAttached) buffers_[frame->bufferKey] = std::move(received->fd);
            std::optional<Seen> seen;
            if (frame->origin == origin) seen = look(*frame);
            wire::Release release;
            release.token = frame->token;
            send(release);
            if (seen) return seen;
        }
        return std::nullopt;
    }

  private:
    Seen look(const wire::Frame& frame) {
        Seen seen{frame, {}, {}};
        const int fd = buffers_[frame.bufferKey].get();
        EXPECT_EQ(::fstat(fd, &seen.memory), 0);
        const std::size_t bytes = std::size_t(frame.layout.bytesPerRow) * frame.layout.height;
        // Read-only, as viewers map it: the camera's and the clients' memory is never theirs.
        void* mapped = ::mmap(nullptr, frame.layout.size, PROT_READ, MAP_SHARED, fd, 0);
        EXPECT_NE(mapped, MAP_FAILED);
        if (mapped != MAP_FAILED) {
            seen.pixels.assign(static_cast<std::uint8_t*>(mapped),
                               static_cast<std::uint8_t*>(mapped) + bytes);
            ::munmap(mapped, frame.layout.size);
        }
        return seen;
    }

    std::map<std::uint64_t, UniqueFD> buffers_;
};

class CameraProcessTest : public ::testing::Test {
  protected:
    CameraProcessTest() {
        char pattern[] = "/tmp/kova-e2e-host-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        socketPath_ = folder_ + "/camera.sock";
    }
    ~CameraProcessTest() override {
        // A sanitizer report in a camera fails the test, even where the test did not look.
        for (const std::string& name : started_) {
            const std::string said = readFile(stderrPath(name));
            EXPECT_EQ(said.find("Sanitizer"), std::string::npos) << said;
        }
        std::filesystem::remove_all(folder_);
    }

    // Starts kova-camera on the private socket and waits until it says it is ready.
    std::unique_ptr<Process> startCamera(const std::string& name = "camera") {
        NotifySocket notify(folder_ + "/" + name + ".notify");
        auto camera =
            std::make_unique<Process>(std::vector<std::string>{KOVA_CAMERA_EXECUTABLE},
                                      std::vector<std::string>{"KOVA_SOCKET=" + socketPath_,
                                                               "NOTIFY_SOCKET=" + notify.path()},
                                      stderrPath(name));
        EXPECT_TRUE(notify.waitFor("READY=1")) << readFile(stderrPath(name));
        started_.push_back(name);
        return camera;
    }
    std::string stderrPath(const std::string& name) const { return folder_ + "/" + name + ".err"; }

    std::string folder_;
    std::string socketPath_;
    std::vector<std::string> started_;  // cameras started, by name
};

TEST_F(CameraProcessTest, AViewerSeesThePlaceholdersExactPixels) {
    auto camera = startCamera();
    Viewer viewer(socketPath_);
    const auto seen = viewer.nextFrom(wire::FrameOrigin::Placeholder);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->frame.layout.width, 800u);
    EXPECT_EQ(seen->frame.layout.height, 960u);
    std::vector<std::uint8_t> expected(seen->pixels.size());
    paintPlaceholder(expected.data(), seen->frame.layout.bytesPerRow);
    EXPECT_TRUE(seen->pixels == expected) << "the placeholder's pixels differ";
}

TEST_F(CameraProcessTest, APushedFrameIsRelayedInTheClientsOwnMemory) {
    auto camera = startCamera();
    Viewer viewer(socketPath_);
    ASSERT_TRUE(viewer.nextFrom(wire::FrameOrigin::Placeholder));

    RawClient sink(socketPath_, wire::Role::Sink);
    const wire::FrameLayout layout{wire::PixelFormat::BGRA, 800, 960, 3200, 3200ull * 960};
    UniqueFD memory = host::MemFd::create("e2e-frame", layout.size);
    ASSERT_TRUE(memory.isValid());
    {
        auto mapping = host::MemoryMapping::map(memory.get(), layout.size, true);
        ASSERT_TRUE(mapping);
        for (std::size_t i = 0; i < layout.size; ++i) mapping->data()[i] = std::uint8_t(i * 7);
    }
    wire::RegisterBuffer request;
    request.cookie = 5;
    request.layout = layout;
    sink.send(request, memory.get());
    const auto registered = sink.nextOf<wire::BufferRegistered>();
    ASSERT_TRUE(registered);
    sink.send(wire::SinkStart{});
    ASSERT_TRUE(sink.nextOf<wire::SinkStarted>());

    // The viewer has not read while the sink set up: it catches up before the push.
    viewer.releaseWaiting();
    wire::Push push;
    push.bufferId = registered->bufferId;
    push.timeFlags = wire::kTimeFlagValid;
    push.timeValue = std::int64_t(monotonicNow());
    push.timeScale = 1'000'000'000;
    sink.send(push);

    const auto seen = viewer.nextFrom(wire::FrameOrigin::Sink);
    ASSERT_TRUE(seen) << readFile(stderrPath("camera"));
    struct stat ours {};
    ASSERT_EQ(::fstat(memory.get(), &ours), 0);
    EXPECT_EQ(seen->memory.st_ino, ours.st_ino) << "the frame was copied";
    EXPECT_EQ(seen->memory.st_dev, ours.st_dev);
    bool same = seen->pixels.size() == layout.size;
    for (std::size_t i = 0; same && i < seen->pixels.size(); ++i) {
        same = seen->pixels[i] == std::uint8_t(i * 7);
    }
    EXPECT_TRUE(same) << "the relayed pixels differ from the pushed ones";
    const auto returned = sink.nextOf<wire::BufferReturned>();
    ASSERT_TRUE(returned);
    EXPECT_EQ(returned->bufferId, registered->bufferId);
    EXPECT_EQ(returned->outcome, wire::PushOutcome::Relayed);
}

TEST_F(CameraProcessTest, ASecondCameraIsRefusedAndTheFirstServesOn) {
    auto first = startCamera();
    Process second({KOVA_CAMERA_EXECUTABLE}, {"KOVA_SOCKET=" + socketPath_}, stderrPath("second"));
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_NE(readFile(stderrPath("second")).find("another kova-camera is already serving"),
              std::string::npos)
        << readFile(stderrPath("second"));
    Viewer viewer(socketPath_);
    EXPECT_TRUE(viewer.nextFrom(wire::FrameOrigin::Placeholder));
}

TEST_F(CameraProcessTest, SigtermRemovesTheSocketAndExitsWithZero) {
    auto camera = startCamera();
    Viewer viewer(socketPath_);
    ASSERT_TRUE(viewer.nextFrom(wire::FrameOrigin::Placeholder));
    camera->signal(SIGTERM);
    EXPECT_TRUE(viewer.hangsUp());
    EXPECT_EQ(camera->waitExit(), 0) << readFile(stderrPath("camera"));
    EXPECT_FALSE(std::filesystem::exists(socketPath_));
    EXPECT_EQ(readFile(stderrPath("camera")), "");
}

TEST_F(CameraProcessTest, AGarbageClientIsCutOffWhileAViewerKeepsReceiving) {
    auto camera = startCamera();
    Viewer viewer(socketPath_);
    ASSERT_TRUE(viewer.nextFrom(wire::FrameOrigin::Placeholder));

    auto socket = wire::connectTo(socketPath_);
    ASSERT_TRUE(socket.ok());
    const char garbage[] = "\x01\x00\x00\x00\xff\xff\xff\xff garbage";
    ASSERT_GT(::send(socket.value().get(), garbage, sizeof garbage, MSG_NOSIGNAL), 0);
    wire::Connection cutOff(std::move(socket.value()), wire::Peer::Client);
    ASSERT_EQ(cutOff.waitReadable(kPatienceMs), 1);
    const auto answer = cutOff.receive();
    ASSERT_EQ(answer.status, wire::ReceiveResult::Status::Message);
    const auto* error = std::get_if<wire::Error>(&answer.received->message);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, wire::ErrorCode::ProtocolViolation);
    EXPECT_EQ(error->disconnecting, 1u);
    ASSERT_EQ(cutOff.waitReadable(kPatienceMs), 1);
    EXPECT_EQ(cutOff.receive().status, wire::ReceiveResult::Status::Closed);

    for (int i = 0; i < 3; ++i) EXPECT_TRUE(viewer.nextFrom(wire::FrameOrigin::Placeholder));
    EXPECT_NE(readFile(stderrPath("camera")).find("broke the protocol"), std::string::npos);
}

TEST_F(CameraProcessTest, ASocketLeftByACameraThatDiedIsReplaced) {
    auto dead = startCamera("dead");
    dead->signal(SIGKILL);
    EXPECT_EQ(dead->waitExit(), std::nullopt);
    ASSERT_TRUE(std::filesystem::exists(socketPath_));
    auto camera = startCamera();
    Viewer viewer(socketPath_);
    EXPECT_TRUE(viewer.nextFrom(wire::FrameOrigin::Placeholder));
}

TEST_F(CameraProcessTest, ASocketHandedOverByAServiceManagerIsServedAndLeftInPlace) {
    const char* const activator = "/usr/bin/systemd-socket-activate";
    if (::access(activator, X_OK) != 0) GTEST_SKIP() << "systemd-socket-activate is not installed";
    NotifySocket notify(folder_ + "/activated.notify");
    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    UniqueFD readEnd(output[0]), writeEnd(output[1]);
    // The activator binds the socket, then runs the camera on the first connection.
    Process camera({activator, "--seqpacket", "--listen=" + socketPath_,
                    "--setenv=NOTIFY_SOCKET=" + notify.path(), KOVA_CAMERA_EXECUTABLE},
                   {}, "", writeEnd.get());
    writeEnd.reset();
    // The activator says where it listens once it does.
    std::string said;
    while (said.find("Listening on") == std::string::npos) {
        pollfd ready{readEnd.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, kPatienceMs), 1) << said;
        char text[256];
        const ssize_t size = ::read(readEnd.get(), text, sizeof text);
        ASSERT_GT(size, 0) << said;
        said.append(text, std::size_t(size));
    }
    RawClient info(socketPath_, wire::Role::Info);
    ASSERT_TRUE(notify.waitFor("READY=1"));
    info.send(wire::InfoRequest{});
    const auto reply = info.nextOf<wire::InfoReply>();
    ASSERT_TRUE(reply);
    EXPECT_EQ(wire::textOf(reply->deviceName), "Kova");

    camera.signal(SIGTERM);
    EXPECT_EQ(camera.waitExit(), 0);
    EXPECT_TRUE(std::filesystem::exists(socketPath_)) << "the service manager's socket was removed";
}

}  // namespace
}  // namespace kova::e2e
