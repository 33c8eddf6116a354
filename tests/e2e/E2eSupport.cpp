// End-to-end test support: processes, the camera's fds and mappings, raw clients, the
// placeholder picture.
#include "E2eSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "base/MemFd.h"

namespace kova::e2e {
namespace {

// How long the camera may take to start serving (sanitizer builds start slowly).
constexpr auto kCameraStartTimeout = 10000ms;

std::size_t countEntries(const std::string& folder) {
    std::size_t count = 0;
    if (DIR* directory = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(directory);
    }
    return count;
}

}  // namespace

CommandResult runKova(const std::vector<std::string>& arguments, const std::string& socketPath,
                      const std::string& folder, const std::string& stdinPath) {
    static int runs = 0;
    ChildProcess child = spawn(KOVA_TOOL_EXECUTABLE, arguments, socketPath, folder,
                               "kova-" + std::to_string(++runs), stdinPath);
    CommandResult result;
    if (child.pid() < 0) return result;
    const auto status = child.wait();
    if (!status) {
        ADD_FAILURE() << "kova did not finish";
        return result;
    }
    result.status = *status;
    result.out = readFile(child.stdoutPath());
    result.err = readFile(child.stderrPath());
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
    const bool serving = waitUntil(
        [&] {
            // Connected means accepted into the backlog: the camera listens.
            return wire::connectTo(socketPath_).ok() || !running();
        },
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
    process_->signal(SIGTERM);
    const auto status = process_->wait();
    if (!status) {
        ADD_FAILURE() << "kova-camera did not end on SIGTERM:\n" << log();
        return;
    }
    EXPECT_EQ(*status, 0) << "kova-camera did not end cleanly:\n" << log();
    EXPECT_FALSE(std::filesystem::exists(socketPath_)) << "kova-camera left its socket behind";
}

void CameraProcess::restart() {
    stop();
    start("camera-" + std::to_string(++starts_));
}

CameraProcess::~CameraProcess() {
    stop();
}

std::size_t CameraProcess::openFdsBesidesItsPool() const {
    return countEntries(fdFolder()) - fdsNaming("/memfd:kova-pixel-buffer");
}

std::size_t CameraProcess::fdsNaming(const std::string& name) const {
    std::size_t count = 0;
    if (DIR* directory = ::opendir(fdFolder().c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] == '.') continue;
            std::error_code error;
            const auto target =
                std::filesystem::read_symlink(fdFolder() + "/" + entry->d_name, error);
            if (!error && target.string().find(name) != std::string::npos) ++count;
        }
        ::closedir(directory);
    }
    return count;
}

std::size_t CameraProcess::memfdMappings(const std::string& name) const {
    std::ifstream maps("/proc/" + std::to_string(process_->pid()) + "/maps");
    std::size_t count = 0;
    const std::string needle = "/memfd:" + name;
    for (std::string line; std::getline(maps, line);) {
        if (line.find(needle) != std::string::npos) ++count;
    }
    return count;
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

bool RawClient::hello(wire::Role role, std::uint32_t version) {
    wire::Hello hello;
    hello.role = role;
    wire::setText(hello.clientName, "e2e-raw-client");
    if (version == wire::kProtocolVersion) {
        if (send(hello) != 0) return false;
    } else {
        hello.version = version;
        sendRaw(&hello, sizeof hello);
    }
    return expect<wire::Welcome>().has_value();
}

int RawClient::send(const wire::Message& message, int fd) const {
    return connection_.send(message, fd);
}

void RawClient::sendRaw(const void* bytes, std::size_t size, const std::vector<int>& fds) const {
    const std::span<const std::byte> packet(static_cast<const std::byte*>(bytes), size);
    if (const int sent = wire::sendPacket(connection_.fd(), packet, fds); sent < 0) {
        ADD_FAILURE() << "cannot send a raw packet: " << std::strerror(-sent);
    }
}

std::optional<wire::Received> RawClient::receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto result = connection_.receive();
        switch (result.status) {
            case wire::ReceiveResult::Status::Message:
                return std::move(result.received);
            case wire::ReceiveResult::Status::Closed:
                hungUp_ = true;
                return std::nullopt;
            case wire::ReceiveResult::Status::Invalid:
                ADD_FAILURE() << "the camera sent a malformed message: " << result.error.reason;
                return std::nullopt;
            case wire::ReceiveResult::Status::Failed:
                hungUp_ = true;  // reset by the peer
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

bool RawClient::hangsUp(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!hungUp_ && std::chrono::steady_clock::now() < deadline) {
        receive(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
    }
    return hungUp_;
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
    for (;;) {
        auto received = receive();
        if (!received) {
            ADD_FAILURE() << "no answer to RegisterBuffer";
            return wire::Error{};
        }
        if (const auto* done = std::get_if<wire::BufferRegistered>(&received->message)) {
            EXPECT_EQ(done->cookie, request.cookie);
            return done->bufferId;
        }
        if (const auto* error = std::get_if<wire::Error>(&received->message)) return *error;
    }
}

std::vector<std::uint32_t> RawClient::startSink(std::size_t count, const wire::Message& start) {
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < count; ++i) {
        memory_.push_back(base::MemFd::create("e2e-frame", kFrameBytes));
        const auto registered = registerBuffer(memory_.back().get(), frameLayout());
        if (const auto* id = std::get_if<std::uint32_t>(&registered)) {
            ids.push_back(*id);
        } else {
            ADD_FAILURE() << "registration refused: "
                          << wire::textOf(std::get<wire::Error>(registered).text);
        }
    }
    send(start);
    EXPECT_TRUE(expect<wire::SinkStarted>());
    return ids;
}

wire::FrameLayout frameLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, 800, 960, 3200, kFrameBytes};
}

wire::Push pushAt(std::uint32_t bufferId, std::uint64_t timeNs) {
    wire::Push push;
    push.bufferId = bufferId;
    push.timeFlags = wire::kTimeFlagValid;
    push.timeValue = std::int64_t(timeNs);
    push.timeScale = 1'000'000'000;
    return push;
}

// ---- the placeholder ----

std::vector<std::uint8_t> placeholderRow(std::size_t row) {
    constexpr std::uint8_t kBackground[4] = {0x1E, 0x1C, 0x1C, 0xFF};
    constexpr std::uint8_t kPanel[4] = {0x2E, 0x2C, 0x2C, 0xFF};
    std::size_t panelFirst = 0, panelLast = 0;  // pixels, inclusive
    bool panel = false;
    if (row >= 120 && row <= 359) {
        panel = true;
        panelFirst = 100;
        panelLast = 699;
    } else if (row >= 480 && row <= 839) {
        panel = true;
        panelFirst = 160;
        panelLast = 639;
    }
    std::vector<std::uint8_t> pixels(kFrameStride);
    for (std::size_t x = 0; x < kFrameWidth; ++x) {
        const bool inPanel = panel && x >= panelFirst && x <= panelLast;
        std::memcpy(pixels.data() + x * 4, inPanel ? kPanel : kBackground, 4);
    }
    return pixels;
}

std::optional<std::size_t> firstRowUnlikePlaceholder(const std::uint8_t* pixels,
                                                     std::size_t stride) {
    // The picture has three kinds of row: background only, and one for each panel.
    static const std::vector<std::uint8_t> kBackgroundRow = placeholderRow(0);
    static const std::vector<std::uint8_t> kUpperPanelRow = placeholderRow(120);
    static const std::vector<std::uint8_t> kLowerPanelRow = placeholderRow(480);
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        const auto& expected = row >= 120 && row <= 359   ? kUpperPanelRow
                               : row >= 480 && row <= 839 ? kLowerPanelRow
                                                          : kBackgroundRow;
        if (std::memcmp(pixels + row * stride, expected.data(), kFrameStride) != 0) return row;
    }
    return std::nullopt;
}

}  // namespace kova::e2e
