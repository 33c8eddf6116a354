// Starting, watching and stopping kova-camera on a private socket.
#include "CameraChild.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "protocol/Wire.h"

extern char** environ;

namespace kova::soak {
namespace {

using namespace std::chrono_literals;

// Sanitizer builds start slowly.
constexpr auto kStartTimeout = 20s;
constexpr auto kStopTimeout = 20s;

template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace

std::string CameraChild::besideThisProgram() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path(".") : self.parent_path()) / "kova-camera";
}

std::unique_ptr<CameraChild> CameraChild::start(const std::string& executable) {
    const char* temporary = std::getenv("TMPDIR");
    std::string folder =
        std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
        "/kova-soak-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        throw std::runtime_error("cannot create a folder for the camera's socket: " +
                                 std::string(std::strerror(errno)));
    }
    const std::string socketPath = folder + "/camera.sock";

    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "KOVA_SOCKET=", 12) != 0) environment.emplace_back(*variable);
    }
    environment.push_back("KOVA_SOCKET=" + socketPath);
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string program = executable;
    char* argv[] = {program.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const std::string logPath = folder + "/camera.log";
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        std::filesystem::remove_all(folder);
        throw std::runtime_error("cannot start " + executable + ": " + std::strerror(error));
    }
    std::unique_ptr<CameraChild> camera(new CameraChild(folder, pid));
    const bool serving =
        waitUntil([&] { return wire::connectTo(camera->socketPath()).ok() || !camera->running(); },
                  kStartTimeout);
    if (!serving || !camera->running()) {
        throw std::runtime_error("kova-camera did not start serving:\n" + camera->log());
    }
    return camera;
}

CameraChild::CameraChild(std::string folder, pid_t pid)
    : folder_(std::move(folder)), socketPath_(folder_ + "/camera.sock"), pid_(pid) {}

CameraChild::~CameraChild() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool CameraChild::running() {
    if (exitStatus_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::optional<int> CameraChild::stop() {
    if (running()) ::kill(pid_, SIGTERM);
    if (!waitUntil([this] { return !running(); }, kStopTimeout)) {
        ::kill(pid_, SIGKILL);
        waitUntil([this] { return !running(); }, kStopTimeout);
        return std::nullopt;
    }
    return exitStatus_;
}

std::string CameraChild::log() const {
    std::ifstream file(folder_ + "/camera.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace kova::soak
