// The processes of an end-to-end run of the bridge: kova-camera and kova-pipewire in a sandbox,
// plus the placeholder picture the camera shows while nothing is pushed.
//
// Threading: used from the test's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PixelConversion.h"
#include "Sandbox.h"

namespace kova::pipewire::test {

class BridgeProcesses {
  public:
    explicit BridgeProcesses(Sandbox& sandbox) : sandbox_(sandbox) {}
    // Starts kova-camera and waits for its socket. Throws if it does not come up.
    void start_camera();
    void start_bridge();
    ChildProcess& camera() { return *camera_; }
    ChildProcess& bridge() { return *bridge_; }
    // Stops the camera abruptly, as a crash would.
    void kill_camera();
    // Ends both: the bridge with SIGTERM, as systemd stops it, then the camera. Returns what went
    // wrong, or nothing: the bridge not exiting with status 0, or a sanitizer report in either
    // process's log.
    std::string stop();

  private:
    Sandbox& sandbox_;
    std::unique_ptr<ChildProcess> camera_;
    std::unique_ptr<ChildProcess> bridge_;
};

// Whether `pixels` (BGRA rows of `stride` bytes, 800 × 960) are exactly the camera's placeholder:
// a 0x1E1C1CFF field with panels of 0x2E2C2CFF at rows 120–359 × pixels 100–699 and rows
// 480–839 × pixels 160–639.
bool is_bgra_placeholder(const std::vector<std::uint8_t>& pixels, std::size_t stride);
// The placeholder as BGRA rows of 800 × 4 bytes.
std::vector<std::uint8_t> placeholder_picture();
// The placeholder as the bridge should send it in `format` at `size`, planes packed one after
// the other: libyuv's conversion, done here independently of the bridge's plumbing.
std::vector<std::uint8_t> placeholder_frame(PixelFormat format, Size size);

}  // namespace kova::pipewire::test
