// End-to-end support: the camera's process and what it holds, raw clients, the placeholder.
#include "tests/harness/CameraProcess.h"

#include <signal.h>

#include <cstring>
#include <filesystem>
#include <utility>

#include "Footprint.h"

namespace kova::e2e {
namespace {

// How long the camera may take to start serving (sanitizer builds start slowly).
constexpr auto kCameraStartTimeout = 10000ms;

}  // namespace

CommandResult runKova(const std::vector<std::string>& arguments, const std::string& socketPath,
                      const std::string& folder, const std::string& stdinPath) {
    static int runs = 0;
    ChildProcess child =
        startKova(arguments, socketPath, folder, "kova-" + std::to_string(++runs), stdinPath);
    CommandResult result;
    if (child.pid() < 0) return result;
    const auto status = child.wait();
    if (!status) {
        ADD_FAILURE() << "kova did not finish";
        return result;
    }
    result.status = *status;
    result.out = readFile(child.stdoutPath());
    result.err = child.log();
    return result;
}

ChildProcess startKova(const std::vector<std::string>& arguments, const std::string& socketPath,
                       const std::string& folder, const std::string& tag,
                       const std::string& stdinPath) {
    return spawn(KOVA_TOOL_EXECUTABLE, arguments, socketPath, folder, tag, stdinPath);
}

// ---- the camera ----

CameraProcess::CameraProcess() : socketPath_(folder_.file("camera.sock")) {
    start("camera");
}

void CameraProcess::start(const std::string& tag) {
    process_.emplace(spawn(KOVA_CAMERA_EXECUTABLE, {}, socketPath_, folder_.path(), tag));
    if (process_->pid() < 0) return;
    // Connected means accepted into the backlog: the camera listens.
    const bool serving = waitUntil([&] { return wire::connectTo(socketPath_).ok() || !running(); },
                                   kCameraStartTimeout);
    if (!serving || !running()) {
        ADD_FAILURE() << "kova-camera did not start serving " << socketPath_ << "\n" << log();
    }
}

void CameraProcess::stop() {
    if (process_->pid() < 0) return;
    if (!running()) {
        ADD_FAILURE() << "kova-camera ended during the test (status "
                      << process_->exitStatus().value_or(-1) << "):\n"
                      << log();
        return;
    }
    const auto status = process_->stop(SIGTERM, 20000ms);
    EXPECT_EQ(status, 0) << "kova-camera did not end cleanly on SIGTERM:\n" << log();
    EXPECT_FALSE(std::filesystem::exists(socketPath_)) << "kova-camera left its socket behind";
}

void CameraProcess::restart(int signalNumber) {
    if (signalNumber == SIGTERM) {
        stop();
    } else {
        process_->stop(signalNumber);
    }
    start("camera-" + std::to_string(++starts_));
}

CameraProcess::~CameraProcess() {
    stop();
}

std::size_t CameraProcess::openFdsBesidesItsPool() const {
    const auto footprint = soak::footprintOf(pid());
    return (footprint ? footprint->fds : 0) - fdsNaming("/memfd:kova-pixel-buffer");
}

std::size_t CameraProcess::fdsNaming(const std::string& name) const {
    return soak::fdsNaming(pid(), name);
}

std::size_t CameraProcess::mappingsNaming(const std::string& name) const {
    return soak::mappingsNaming(pid(), name);
}

// ---- raw clients ----

namespace {

base::UniqueFD connectOrFail(const std::string& socketPath) {
    auto socket = wire::connectTo(socketPath);
    if (!socket.ok()) {
        ADD_FAILURE() << socket.failure().message;
        return base::UniqueFD();
    }
    return std::move(socket.value());
}

}  // namespace

RawClient::RawClient(const std::string& socketPath)
    : connection_(connectOrFail(socketPath), wire::Peer::Client) {}

bool RawClient::hello(wire::Role role) {
    wire::Hello hello;
    hello.role = role;
    wire::setText(hello.clientName, "e2e-raw-client");
    return send(hello) == 0 && expect<wire::Welcome>().has_value();
}

int RawClient::send(const wire::Message& message, int fd) const {
    return connection_.send(message, fd);
}

std::optional<wire::Received> RawClient::receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto result = connection_.receive();
        switch (result.status) {
            case wire::ReceiveResult::Status::Message:
                return std::move(result.received);
            case wire::ReceiveResult::Status::Invalid:
                ADD_FAILURE() << "the camera sent a malformed message: " << result.error.reason;
                return std::nullopt;
            case wire::ReceiveResult::Status::Closed:
            case wire::ReceiveResult::Status::Failed:  // reset by the peer
                hungUp_ = true;
                return std::nullopt;
            case wire::ReceiveResult::Status::Empty:
                break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || connection_.waitReadable(int(left.count()) + 1) <= 0) {
            return std::nullopt;
        }
    }
}

std::variant<std::uint32_t, wire::Error> RawClient::registerBuffer(
    int fd, const wire::FrameLayout& layout) {
    wire::RegisterBuffer request;
    request.cookie = nextCookie_++;
    request.layout = layout;
    if (const int sent = send(request, fd); sent != 0) {
        ADD_FAILURE() << "cannot send RegisterBuffer: " << std::strerror(-sent);
        return wire::Error{};
    }
    while (auto received = receive()) {
        if (const auto* done = std::get_if<wire::BufferRegistered>(&received->message)) {
            EXPECT_EQ(done->cookie, request.cookie);
            return done->bufferId;
        }
        if (const auto* error = std::get_if<wire::Error>(&received->message)) return *error;
    }
    ADD_FAILURE() << "no answer to RegisterBuffer";
    return wire::Error{};
}

wire::FrameLayout frameLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, 800, 960, 3200, kFrameBytes};
}

// ---- the placeholder ----

std::vector<std::uint8_t> placeholderPicture() {
    // A dark field with two lighter panels: rows 120-359 x pixels 100-699, rows 480-839 x
    // pixels 160-639.
    constexpr std::uint8_t kField[4] = {0x1E, 0x1C, 0x1C, 0xFF};
    constexpr std::uint8_t kPanel[4] = {0x2E, 0x2C, 0x2C, 0xFF};
    std::vector<std::uint8_t> pixels(kFrameBytes);
    for (std::size_t y = 0; y < kFrameHeight; ++y) {
        for (std::size_t x = 0; x < kFrameWidth; ++x) {
            const bool panel = (y >= 120 && y <= 359 && x >= 100 && x <= 699) ||
                               (y >= 480 && y <= 839 && x >= 160 && x <= 639);
            std::memcpy(&pixels[y * kFrameStride + x * 4], panel ? kPanel : kField, 4);
        }
    }
    return pixels;
}

std::optional<std::size_t> firstRowUnlikePlaceholder(const std::uint8_t* pixels,
                                                     std::size_t stride) {
    static const std::vector<std::uint8_t> kPicture = placeholderPicture();
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        if (std::memcmp(pixels + row * stride, &kPicture[row * kFrameStride], kFrameStride) != 0) {
            return row;
        }
    }
    return std::nullopt;
}

}  // namespace kova::e2e
