// CameraChild: a kova-camera that this tool starts on a private socket and stops at the end.
//
// Threading: one owner thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

namespace kova::soak {

class CameraChild {
  public:
    // Starts `executable` with KOVA_SOCKET in a fresh folder and waits until it serves. Throws
    // std::runtime_error with the camera's output when it does not.
    static std::unique_ptr<CameraChild> start(const std::string& executable);
    // kova-camera in the folder of this program.
    static std::string besideThisProgram();

    ~CameraChild();
    CameraChild(const CameraChild&) = delete;
    CameraChild& operator=(const CameraChild&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& socketPath() const { return socketPath_; }
    // Whether it is still running (and not reaped).
    bool running();
    // Stops it with SIGTERM: its exit status (0 for a clean exit, 128 + the signal that ended
    // it), or nothing if it did not end within 20 s (it is then killed).
    std::optional<int> stop();
    // What it wrote to stderr.
    std::string log() const;

  private:
    CameraChild(std::string folder, pid_t pid);

    std::string folder_;
    std::string socketPath_;
    pid_t pid_;
    std::optional<int> exitStatus_;
};

}  // namespace kova::soak
