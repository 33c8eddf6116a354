// Starts the camera and the bridge for end-to-end runs, and knows the placeholder's pixels.
#include "BridgeProcesses.h"

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <filesystem>
#include <stdexcept>

namespace kova::pipewire::test {

void BridgeProcesses::start_camera() {
    camera_ = sandbox_.start("kova-camera", {KOVA_CAMERA_EXECUTABLE});
    const std::filesystem::path socket = sandbox_.camera_socket();
    if (!eventually([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(10))) {
        throw std::runtime_error("kova-camera did not start:\n" + camera_->log());
    }
}

void BridgeProcesses::start_bridge() {
    bridge_ = sandbox_.start("kova-pipewire", {KOVA_BRIDGE_EXECUTABLE});
}

void BridgeProcesses::kill_camera() {
    camera_->stop(SIGKILL, std::chrono::seconds(5));
    std::error_code ignored;
    std::filesystem::remove(sandbox_.camera_socket(), ignored);
}

std::string BridgeProcesses::stop() {
    std::string faults;
    if (bridge_) {
        const auto status = bridge_->stop(SIGTERM, std::chrono::seconds(10));
        if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
            faults += "kova-pipewire did not end cleanly on SIGTERM\n";
        }
    }
    if (camera_) camera_->stop(SIGTERM, std::chrono::seconds(10));
    for (ChildProcess* process : {bridge_.get(), camera_.get()}) {
        if (process != nullptr && process->log().find("Sanitizer") != std::string::npos) {
            faults += "sanitizer report:\n" + process->log();
        }
    }
    return faults;
}

namespace {

constexpr std::size_t kWidth = 800;
constexpr std::size_t kHeight = 960;

bool in_panel(std::size_t x, std::size_t y) {
    return (y >= 120 && y <= 359 && x >= 100 && x <= 699) ||
           (y >= 480 && y <= 839 && x >= 160 && x <= 639);
}

}  // namespace

bool is_bgra_placeholder(const std::vector<std::uint8_t>& pixels, std::size_t stride) {
    if (stride < kWidth * 4 || pixels.size() < stride * (kHeight - 1) + kWidth * 4) return false;
    constexpr std::array<std::uint8_t, 4> field = {0x1E, 0x1C, 0x1C, 0xFF};
    constexpr std::array<std::uint8_t, 4> panel = {0x2E, 0x2C, 0x2C, 0xFF};
    for (std::size_t y = 0; y < kHeight; ++y) {
        for (std::size_t x = 0; x < kWidth; ++x) {
            const auto& expected = in_panel(x, y) ? panel : field;
            const std::uint8_t* pixel = &pixels[y * stride + x * 4];
            if (!std::equal(expected.begin(), expected.end(), pixel)) return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> placeholder_picture() {
    std::vector<std::uint8_t> pixels(kWidth * 4 * kHeight);
    for (std::size_t y = 0; y < kHeight; ++y) {
        for (std::size_t x = 0; x < kWidth; ++x) {
            const std::uint8_t grey = in_panel(x, y) ? 0x2C : 0x1C;
            std::uint8_t* pixel = &pixels[(y * kWidth + x) * 4];
            pixel[0] = grey + 2;
            pixel[1] = grey;
            pixel[2] = grey;
            pixel[3] = 0xFF;
        }
    }
    return pixels;
}

std::vector<std::uint8_t> placeholder_frame(PixelFormat format, Size size) {
    const auto layouts = plane_layouts(format, size);
    std::size_t total = 0;
    for (const auto& layout : layouts) total += layout.size;
    std::vector<std::uint8_t> frame(total);
    std::vector<Plane> planes;
    std::size_t offset = 0;
    for (const auto& layout : layouts) {
        planes.push_back({frame.data() + offset, layout.stride});
        offset += layout.size;
    }
    const auto picture = placeholder_picture();
    FrameConverter(format, {kWidth, kHeight}, size).write(picture.data(), kWidth * 4, planes);
    return frame;
}

}  // namespace kova::pipewire::test
