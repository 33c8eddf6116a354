// A private PipeWire daemon and session manager in a temporary runtime folder, and the processes
// an end-to-end test starts in it: kova-camera, the bridge and whatever consumes its node.
//
// Threading: a Sandbox and its processes are used from the test's thread only.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/CameraProcess.h"

namespace kova::pipewire::test {

using kova::testing::ChildProcess;
using kova::testing::waitUntil;

class Sandbox {
  public:
    // Starts pipewire and wireplumber in a fresh runtime folder and waits until PipeWire accepts
    // clients. A desktop session adds a private session bus (that starts no service by itself)
    // and has the session manager grant cameras to portal clients as the permission store says.
    // Throws, naming the log to read, when one does not start.
    explicit Sandbox(bool desktop_session = false);

    const std::string& dir() const { return folder_.path(); }
    // The daemon's socket, usable as a PipeWire remote name.
    std::string remote() const { return folder_.file("pipewire-0"); }
    // Starts a process with the caller's environment pointed at this sandbox's daemon, session
    // bus (if any) and camera, `extra_env` added; its output goes to the sandbox's folder.
    ChildProcess start(const std::string& name, const std::vector<std::string>& argv,
                       const std::vector<std::string>& extra_env = {});
    // Runs a process to its end; its stdout if it exits with status 0 within `timeout`.
    std::optional<std::string> run(const std::string& name, const std::vector<std::string>& argv,
                                   std::chrono::milliseconds timeout);
    // The node named `name` as pw-dump describes it ("id", "info" with "props" and "params"), or
    // nothing while the graph has no such node. Throws if pw-dump fails.
    std::optional<nlohmann::json> node(const std::string& name);

    void start_camera_and_bridge();
    e2e::CameraProcess& camera() { return *camera_; }
    ChildProcess& bridge() { return *bridge_; }
    // Ends the bridge with SIGTERM, as systemd stops it, where it must exit with status 0, then
    // the camera, which must end cleanly too. The bridge's log stays readable.
    void stop_bridge_and_camera();

  private:
    testing::TempFolder folder_;  // first made, last removed
    bool desktop_session_;
    int started_ = 0;
    std::optional<ChildProcess> session_bus_, pipewire_, wireplumber_;
    std::optional<e2e::CameraProcess> camera_;
    std::optional<ChildProcess> bridge_;
};

}  // namespace kova::pipewire::test
