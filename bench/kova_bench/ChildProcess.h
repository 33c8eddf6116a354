// Child processes of kova-bench: a kova-camera serving a private socket in a folder of its own,
// and the plain programs (GStreamer pipelines) the comparison starts.
//
// Threading: one owner per object; use it from one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kova::bench {

// A started program. The destructor ends it (SIGTERM, then SIGKILL) if it still runs.
class ChildProcess {
  public:
    // Starts `program` with `arguments`, its standard output and error going to `logPath`, its
    // environment this process's plus `extraEnvironment` ("NAME=value"). Throws
    // std::runtime_error when it cannot be started.
    static ChildProcess start(const std::string& program, const std::vector<std::string>& arguments,
                              const std::string& logPath,
                              const std::vector<std::string>& extraEnvironment = {});
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    bool running();
    // Asks the program to end with `signal` and waits up to `timeout` for it: its exit status
    // (as from waitpid), or nothing if it had to be killed.
    std::optional<int> stop(int signal, std::chrono::milliseconds timeout);

  private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    // Reaps the child if it has ended; true once it is reaped.
    bool reap(int options);

    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A temporary folder, removed with what it holds when the object goes.
class TemporaryFolder {
  public:
    TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder();
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// kova-camera on a socket of its own, serving it once the constructor returns.
class CameraProcess {
  public:
    // Throws std::runtime_error with the camera's log when it does not serve within 5 s.
    CameraProcess(const std::string& cameraProgram, const std::string& folder);
    const std::string& socketPath() const { return socketPath_; }
    pid_t pid() const { return process_.pid(); }
    std::uint64_t cpuNs() const;
    // Ends the camera with SIGTERM; throws if it does not end cleanly.
    void stop();
    std::string log() const;

  private:
    std::string socketPath_;
    std::string logPath_;
    ChildProcess process_;
};

}  // namespace kova::bench
