// A private PipeWire daemon and session manager in a temporary runtime folder, and the processes
// an end-to-end test starts in it: kova-camera, the bridge and whatever consumes its node.
//
// Threading: a Sandbox and its processes are used from the test's thread only.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"

namespace kova::pipewire::test {

using kova::testing::ChildProcess;
using kova::testing::waitUntil;

class Sandbox {
  public:
    struct Options {
        // A private D-Bus session bus (no service activation: tests start what they need), and a
        // session manager that grants cameras to portal clients as the permission store says.
        bool desktop_session = false;
    };
    // Makes the runtime folder, starts pipewire and wireplumber in it (after the session bus, if
    // any) and waits until PipeWire accepts clients. Throws (naming the log to read) when one
    // fails to start.
    static std::unique_ptr<Sandbox> create(Options options);
    static std::unique_ptr<Sandbox> create() { return create(Options{}); }
    ~Sandbox();  // stops what it started and removes the folder
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // The daemon's socket, usable as a PipeWire remote name.
    std::string remote() const { return (dir_ / "pipewire-0").string(); }
    std::string camera_socket() const { return (dir_ / "kova" / "camera.sock").string(); }
    // Starts a process with the caller's environment pointed at this sandbox's daemon, session
    // bus (if any) and camera, `extra_env` added; its output goes to the sandbox's folder.
    std::unique_ptr<ChildProcess> start(const std::string& name,
                                        const std::vector<std::string>& argv,
                                        const std::vector<std::string>& extra_env = {});
    // Runs a process to its end; its stdout if it exits with status 0 within `timeout`.
    std::optional<std::string> run(const std::string& name, const std::vector<std::string>& argv,
                                   std::chrono::milliseconds timeout);

    // The node named `name` as pw-dump describes it ("id", "info" with "props" and "params"), or
    // nothing while the graph has no such node. Throws if pw-dump fails.
    std::optional<nlohmann::json> node(const std::string& name);

    // Starts kova-camera and waits for its socket. Throws if it does not come up.
    void start_camera();
    void start_bridge();
    ChildProcess& camera() { return *camera_; }
    ChildProcess& bridge() { return *bridge_; }
    // Stops the camera abruptly, as a crash would.
    void kill_camera();
    // Ends the bridge with SIGTERM, as systemd stops it, then the camera. What went wrong, or
    // nothing: the bridge not exiting with status 0.
    std::string stop_bridge_and_camera();

  private:
    Sandbox(std::filesystem::path dir, Options options) : dir_(std::move(dir)), options_(options) {}
    std::filesystem::path dir_;
    Options options_;
    int started_ = 0;
    std::unique_ptr<ChildProcess> session_bus_, pipewire_, wireplumber_, camera_, bridge_;
};

}  // namespace kova::pipewire::test
