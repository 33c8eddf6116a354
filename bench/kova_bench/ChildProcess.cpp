// Starting, watching and ending kova-bench's child processes.
#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Measure.h"
#include "kova/kova.h"

extern char** environ;

namespace kova::bench {

namespace {

using namespace std::chrono_literals;

std::vector<char*> pointersTo(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

// ---- ChildProcess ----

ChildProcess ChildProcess::start(const std::string& program,
                                 const std::vector<std::string>& arguments,
                                 const std::string& logPath,
                                 const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : extraEnvironment) replaced |= extra.rfind(name, 0) == 0;
        if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    auto argPointers = pointersTo(argv);
    auto environmentPointers = pointersTo(environment);
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argPointers.data(),
                                      environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
    }
    return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !status_) stop(SIGTERM, 2s);
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) stop(SIGTERM, 2s);
}

bool ChildProcess::reap(int options) {
    if (status_) return true;
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid_, &status, options);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == pid_) status_ = status;
    return status_.has_value();
}

bool ChildProcess::running() {
    return pid_ > 0 && !reap(WNOHANG);
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (!reap(WNOHANG)) {
        ::kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!reap(WNOHANG) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        if (!status_) {
            ::kill(pid_, SIGKILL);
            reap(0);
            return std::nullopt;
        }
    }
    return status_;
}

// ---- TemporaryFolder ----

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kova-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("cannot make a temporary folder: ") +
                                 std::strerror(errno));
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// ---- CameraProcess ----

CameraProcess::CameraProcess(const std::string& cameraProgram, const std::string& folder)
    : socketPath_(folder + "/camera.sock"),
      logPath_(folder + "/camera.log"),
      process_(ChildProcess::start(cameraProgram, {}, logPath_, {"KOVA_SOCKET=" + socketPath_})) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        try {
            kova::query_info(kova::ConnectOptions{socketPath_});
            return;
        } catch (const kova::Error& error) {
            if (error.code() != kova::ErrorCode::NoCamera) throw;
        }
        if (!process_.running()) {
            throw std::runtime_error("kova-camera ended before serving its socket:\n" + log());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("kova-camera did not serve " + socketPath_ + " within 5 s:\n" +
                                     log());
        }
        std::this_thread::sleep_for(10ms);
    }
}

std::uint64_t CameraProcess::cpuNs() const {
    return processCpuNs(process_.pid()).value_or(0);
}

void CameraProcess::stop() {
    const auto status = process_.stop(SIGTERM, 5s);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        throw std::runtime_error("kova-camera did not end cleanly on SIGTERM:\n" + log());
    }
}

std::string CameraProcess::log() const {
    std::ifstream file(logPath_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace kova::bench
