// A private PipeWire daemon and session manager in a temporary runtime folder, plus helpers that
// start and stop the processes an end-to-end test needs.
//
// Threading: a Sandbox and its ChildProcesses are used from the test's thread only.
#pragma once

#include <sys/types.h>

#include <thread>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kova::pipewire::test {

class ChildProcess {
  public:
    // Starts `argv` with exactly `env`; its stdout and stderr go to `log_path`. Throws on failure.
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                               const std::vector<std::string>& env,
                                               const std::filesystem::path& log_path);
    ~ChildProcess();  // stops the process if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `signal` and waits up to `timeout` for the process to end, then kills it. Returns the
    // wait status (see WIFEXITED), or nothing if it had to be killed.
    std::optional<int> stop(int signal, std::chrono::milliseconds timeout);
    // The wait status if the process has ended by itself.
    std::optional<int> exited();
    std::string log() const;

  private:
    ChildProcess(pid_t pid, std::filesystem::path log_path)
        : pid_(pid), log_path_(std::move(log_path)) {}
    pid_t pid_;
    std::optional<int> status_;
    std::filesystem::path log_path_;
};

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
    ~Sandbox();  // stops what it started (in reverse order) and removes the folder
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // The daemon's socket, usable as a PipeWire remote name.
    std::string remote() const { return (dir_ / "pipewire-0").string(); }
    std::string camera_socket() const { return (dir_ / "kova" / "camera.sock").string(); }
    // The caller's environment, pointed at this sandbox's daemon, session bus (if any) and
    // camera, with `extra` variables added.
    std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const;
    // Starts a process in the sandbox's environment with a log of its own in the sandbox's
    // folder (name-N.log).
    std::unique_ptr<ChildProcess> start(const std::string& name,
                                        const std::vector<std::string>& argv,
                                        const std::vector<std::string>& extra_env = {});
    // Runs a process to its end; its output if it exits with status 0 within `timeout`.
    std::optional<std::string> run(const std::string& name, const std::vector<std::string>& argv,
                                   std::chrono::milliseconds timeout);

  private:
    Sandbox(std::filesystem::path dir, Options options) : dir_(std::move(dir)), options_(options) {}
    std::filesystem::path dir_;
    Options options_;
    int started_ = 0;
    std::unique_ptr<ChildProcess> session_bus_;
    std::unique_ptr<ChildProcess> pipewire_;
    std::unique_ptr<ChildProcess> wireplumber_;
};

// Polls `condition` until it holds or `timeout` passes; for waiting on other processes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace kova::pipewire::test
