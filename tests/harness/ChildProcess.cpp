// Child processes for end-to-end tests, and the folders their output goes to.
#include "tests/harness/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace kova::testing {

TempFolder::TempFolder() {
    std::string pattern = ::testing::TempDir() + "kova-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary folder: " << std::strerror(errno);
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && running()) {
        signal(SIGKILL);
        wait();
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdoutPath_(std::move(other.stdoutPath_)),
      stderrPath_(std::move(other.stderrPath_)),
      exitStatus_(other.exitStatus_) {}

bool ChildProcess::running() {
    if (pid_ <= 0 || exitStatus_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    waitUntil([&] { return !running(); }, timeout);
    return exitStatus_;
}

void ChildProcess::signal(int signalNumber) const {
    if (pid_ > 0 && !exitStatus_) ::kill(pid_, signalNumber);
}

std::optional<int> ChildProcess::stop(int signalNumber, std::chrono::milliseconds timeout) {
    signal(signalNumber);
    if (const auto status = wait(timeout)) return status;
    signal(SIGKILL);
    wait();
    return std::nullopt;
}

std::string ChildProcess::log() const {
    return readFile(stderrPath_);
}

std::vector<std::string> environmentWith(const std::vector<std::string>& dropped,
                                         const std::vector<std::string>& added) {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        if (std::none_of(dropped.begin(), dropped.end(),
                         [&](const std::string& name) { return text.rfind(name, 0) == 0; })) {
            environment.push_back(text);
        }
    }
    environment.insert(environment.end(), added.begin(), added.end());
    return environment;
}

ChildProcess spawn(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& socketPath, const std::string& folder, const std::string& tag,
                   const std::string& stdinPath) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawnWith(argv, environmentWith({"KOVA_SOCKET="}, {"KOVA_SOCKET=" + socketPath}), folder,
                     tag, stdinPath);
}

ChildProcess spawnWith(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment, const std::string& folder,
                       const std::string& tag, const std::string& stdinPath) {
    const std::string& program = arguments.front();
    const std::string stdoutPath = folder + "/" + tag + ".out";
    const std::string stderrPath = folder + "/" + tag + ".err";
    std::vector<std::string> variables = environment, words = arguments;
    std::vector<char*> envp, argv;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    // A CLOEXEC pipe tells a failed exec from a child that started: it closes on exec, or
    // carries the exec's errno.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(errno);
        return ChildProcess();
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only system calls from here on, as in any child of a threaded process. A test that
        // dies takes its children with it rather than leaving cameras behind.
        ::close(report[0]);
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(127);
        const int in = ::open(stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
        const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (in >= 0 && out >= 0 && err >= 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 &&
            ::dup2(err, 2) == 2) {
            ::execve(program.c_str(), argv.data(), envp.data());
        }
        const int failure = errno;
        [[maybe_unused]] const ssize_t told = ::write(report[1], &failure, sizeof failure);
        _exit(127);
    }
    ::close(report[1]);
    int failure = 0;
    const ssize_t told = pid > 0 ? TEMP_FAILURE_RETRY(::read(report[0], &failure, sizeof failure))
                                 : (failure = errno, ssize_t(sizeof failure));
    ::close(report[0]);
    if (told != 0) {
        if (pid > 0) ::waitpid(pid, nullptr, 0);
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(failure);
        return ChildProcess();
    }
    return ChildProcess(pid, stdoutPath, stderrPath);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

}  // namespace kova::testing
