// Child processes for end-to-end tests: a private folder for their output, starting them (with
// the camera's socket named, or with an environment of their own), waiting for them, and reading
// what they wrote.
//
// Threading: everything here is used from the test's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kova::testing {

using namespace std::chrono_literals;

// A fresh folder under the test's temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Polls `condition` until it holds or `timeout` passes; whether it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms);

// A child process with its output in files. One that is still running when it goes is
// killed, so that a failed test leaves nothing behind.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(pid_t pid, std::string stdoutPath, std::string stderrPath)
        : pid_(pid), stdoutPath_(std::move(stdoutPath)), stderrPath_(std::move(stderrPath)) {}
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& stdoutPath() const { return stdoutPath_; }
    const std::string& stderrPath() const { return stderrPath_; }

    // Whether it still runs; once it has ended, exitStatus() says how.
    bool running();
    // Its exit code, or 128 + the signal that ended it.
    std::optional<int> exitStatus() const { return exitStatus_; }
    // Waits for it to end: its exit status, or nothing if it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = 20000ms);
    void signal(int signalNumber) const;
    // Sends `signalNumber` and waits up to `timeout`, then kills it: its exit status, or nothing
    // if it had to be killed.
    std::optional<int> stop(int signalNumber, std::chrono::milliseconds timeout = 10000ms);
    // What it wrote to stderr.
    std::string log() const;

  private:
    pid_t pid_ = -1;
    std::string stdoutPath_;
    std::string stderrPath_;
    std::optional<int> exitStatus_;
};

// Starts `program` with `arguments`, KOVA_SOCKET set to `socketPath`, stdin from `stdinPath`
// (or /dev/null) and stdout/stderr to files in `folder` named after `tag`. The child is killed
// when the thread that started it ends, so a test that dies leaves no process behind.
ChildProcess spawn(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& socketPath, const std::string& folder, const std::string& tag,
                   const std::string& stdinPath = "/dev/null");
// Starts `argv` with exactly `environment`, its output going to files in `folder` as above.
ChildProcess spawnWith(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment, const std::string& folder,
                       const std::string& tag, const std::string& stdinPath = "/dev/null");
// This process's environment without the variables `dropped` names (NAME=), then `added`.
std::vector<std::string> environmentWith(const std::vector<std::string>& dropped,
                                         const std::vector<std::string>& added);

std::string readFile(const std::string& path);

}  // namespace kova::testing
