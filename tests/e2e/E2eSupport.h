// End-to-end test support: a real kova-camera on a private socket, child processes (the kova
// command), raw protocol clients, and what the camera's process holds.
//
// Threading: everything here is used from the test's thread.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFD.h"
#include "kova/kova.h"
#include "protocol/Protocol.h"
#include "protocol/Wire.h"
#include "tests/harness/ChildProcess.h"

namespace kova::e2e {

using namespace std::chrono_literals;

using testing::ChildProcess;
using testing::readFile;
using testing::spawn;
using testing::TempFolder;
using testing::waitUntil;

// What the kova command did.
struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs build/bin/kova with `arguments` against the camera at `socketPath` and waits for it.
CommandResult runKova(const std::vector<std::string>& arguments, const std::string& socketPath,
                      const std::string& folder, const std::string& stdinPath = "/dev/null");
ChildProcess startKova(const std::vector<std::string>& arguments, const std::string& socketPath,
                       const std::string& folder, const std::string& tag,
                       const std::string& stdinPath = "/dev/null");

// kova-camera running on a private socket for one test; stopped (SIGTERM) at the end, when
// it must exit cleanly: a crash or a sanitizer report in the camera fails the test.
class CameraProcess {
  public:
    CameraProcess();
    ~CameraProcess();
    CameraProcess(const CameraProcess&) = delete;
    CameraProcess& operator=(const CameraProcess&) = delete;

    const std::string& socketPath() const { return socketPath_; }
    ConnectOptions options() const { return ConnectOptions{socketPath_}; }
    const TempFolder& folder() const { return folder_; }
    pid_t pid() const { return process_->pid(); }
    bool running() { return process_->running(); }
    // Stops the camera (it must end cleanly) and starts a new one on the same socket.
    void restart();

    // Open fds of the camera process (entries of /proc/<pid>/fd), leaving out the memory of its
    // own pixel-buffer pool, which grows on demand up to its limit and is kept for reuse.
    std::size_t openFdsBesidesItsPool() const;
    // Open fds of the camera process whose target's name contains `name`.
    std::size_t fdsNaming(const std::string& name) const;
    // Shared-memory mappings of the camera process whose name contains `name`.
    std::size_t memfdMappings(const std::string& name) const;
    std::string log() const { return readFile(process_->stderrPath()); }

  private:
    std::string fdFolder() const { return "/proc/" + std::to_string(process_->pid()) + "/fd"; }
    void start(const std::string& tag);
    void stop();

    TempFolder folder_;
    std::string socketPath_;
    std::optional<ChildProcess> process_;
    int starts_ = 0;
};

// A protocol client that talks raw messages, to play clients the library would never be.
class RawClient {
  public:
    explicit RawClient(const std::string& socketPath);

    // Hello as `role` (with `version`) and the Welcome; false if no Welcome came.
    bool hello(wire::Role role, std::uint32_t version = wire::kProtocolVersion);
    int fd() const { return connection_.fd(); }
    int send(const wire::Message& message, int fd = -1) const;
    // Sends bytes as one packet with `fds` attached, bypassing every check.
    void sendRaw(const void* bytes, std::size_t size, const std::vector<int>& fds = {}) const;

    // The next message within `timeout`, or nothing (timeout or hang-up; see hungUp()).
    std::optional<wire::Received> receive(std::chrono::milliseconds timeout = 5000ms);
    template <class M>
    std::optional<M> expect(std::chrono::milliseconds timeout = 5000ms) {
        auto received = receive(timeout);
        if (!received) return std::nullopt;
        if (const M* message = std::get_if<M>(&received->message)) return *message;
        ADD_FAILURE() << "expected " << wire::messageTypeName(M::kType) << ", got "
                      << std::visit(
                             [](const auto& m) { return wire::messageTypeName(m.header.type); },
                             received->message);
        return std::nullopt;
    }
    // Whether the camera hangs up within `timeout` (messages before it are skipped).
    bool hangsUp(std::chrono::milliseconds timeout = 5000ms);
    bool hungUp() const { return hungUp_; }

    // Registers a buffer with `fd` and `layout`: the BufferRegistered id, or the Error.
    std::variant<std::uint32_t, wire::Error> registerBuffer(int fd,
                                                            const wire::FrameLayout& layout);
    // A sink session, opened by `start` (SinkStart or SinkTakeOver), with `count` registered
    // frame buffers; their ids.
    std::vector<std::uint32_t> startSink(std::size_t count,
                                         const wire::Message& start = wire::SinkStart{});

  private:
    wire::Connection connection_;
    std::vector<base::UniqueFD> memory_;  // the buffers registered by startSink()
    std::uint32_t nextCookie_ = 1;
    bool hungUp_ = false;
};

// The layout of one frame of the camera's format.
wire::FrameLayout frameLayout();
// A Push of `bufferId` stamped `timeNs` on the host clock.
wire::Push pushAt(std::uint32_t bufferId, std::uint64_t timeNs);

// The placeholder picture, BGRA, one row of it.
std::vector<std::uint8_t> placeholderRow(std::size_t row);
// Which row differs first from the placeholder, or nothing when the picture is it.
std::optional<std::size_t> firstRowUnlikePlaceholder(const std::uint8_t* pixels,
                                                     std::size_t stride);

}  // namespace kova::e2e
