// End-to-end support: a real kova-camera in a private folder, the kova command, raw protocol
// clients, what the camera's process holds, and the placeholder picture.
//
// Threading: everything here is used from the test's thread.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
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
    // Ends the camera (with SIGTERM it must end cleanly; SIGKILL is a crash) and starts a new
    // one on the same socket.
    void restart(int signalNumber = SIGTERM);

    // Open fds of the camera process, leaving out the memory of its own pixel-buffer pool, which
    // grows on demand up to its limit and is kept for reuse.
    std::size_t openFdsBesidesItsPool() const;
    // Open fds of the camera process whose target's name contains `name`.
    std::size_t fdsNaming(const std::string& name) const;
    // Mappings of the camera process whose name contains `name`.
    std::size_t mappingsNaming(const std::string& name) const;
    std::string log() const { return process_->log(); }

  private:
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

    // Hello as `role` and the Welcome; false if no Welcome came.
    bool hello(wire::Role role);
    int fd() const { return connection_.fd(); }
    int send(const wire::Message& message, int fd = -1) const;

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
    bool hungUp() const { return hungUp_; }

    // Registers a buffer with `fd` and `layout`: the BufferRegistered id, or the Error.
    std::variant<std::uint32_t, wire::Error> registerBuffer(int fd,
                                                            const wire::FrameLayout& layout);

  private:
    wire::Connection connection_;
    std::uint32_t nextCookie_ = 1;
    bool hungUp_ = false;
};

// The layout of one frame of the camera's format.
wire::FrameLayout frameLayout();

// The placeholder picture, BGRA rows of kFrameStride bytes.
std::vector<std::uint8_t> placeholderPicture();
// Which row differs first from the placeholder, or nothing when the picture is it.
std::optional<std::size_t> firstRowUnlikePlaceholder(const std::uint8_t* pixels,
                                                     std::size_t stride);

}  // namespace kova::e2e
