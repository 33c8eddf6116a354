// Starts and stops the private PipeWire daemon, its session manager and the processes under test.
#include "Sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kova::pipewire::test {
namespace fs = std::filesystem;

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                  const std::vector<std::string>& env,
                                                  const fs::path& log_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& var : env) envp.push_back(const_cast<char*>(var.c_str()));
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int res = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (res != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(res));
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid, log_path));
}

ChildProcess::~ChildProcess() {
    stop(SIGTERM, std::chrono::seconds(5));
}

std::optional<int> ChildProcess::exited() {
    if (status_) return status_;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_;
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (exited()) return status_;
    kill(pid_, signal);
    if (eventually([&] { return exited().has_value(); }, timeout)) return status_;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    return std::nullopt;
}

std::string ChildProcess::log() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

// The session manager's packaged configuration with our own list of what it enables; the portal
// access rules only with a session bus, which they need.
void write_wireplumber_config(const fs::path& target, bool portal_access) {
    fs::create_directories(target);
    for (const char* part : {"main.lua.d", "policy.lua.d"}) {
        fs::copy(fs::path(KOVA_WIREPLUMBER_DATA_DIR) / part, target / part,
                 fs::copy_options::recursive);
    }
    const fs::path ours(KOVA_TEST_WIREPLUMBER_CONFIG);
    fs::copy_file(ours / "wireplumber.conf", target / "wireplumber.conf");
    std::ifstream in(ours / "90-enable-all.lua");
    std::stringstream text;
    text << in.rdbuf();
    std::string enable_all = text.str();
    if (portal_access) {
        const std::string off = "[\"enable-flatpak-portal\"] = false";
        const auto at = enable_all.find(off);
        if (at == std::string::npos)
            throw std::runtime_error("90-enable-all.lua: no portal switch");
        enable_all.replace(at, off.size(), "[\"enable-flatpak-portal\"] = true");
    }
    std::ofstream(target / "main.lua.d" / "90-enable-all.lua", std::ios::trunc) << enable_all;
}

// A session bus for this sandbox alone, that starts no service by itself.
void write_session_bus_config(const fs::path& dir) {
    std::ofstream(dir / "session-bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << (dir / "bus").string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
           "own=\"*\"/></policy></busconfig>\n";
}

bool is_overridden(const std::string& var) {
    for (const char* name :
         {"XDG_RUNTIME_DIR=", "XDG_STATE_HOME=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=",
          "XDG_CURRENT_DESKTOP=", "XDG_DESKTOP_PORTAL_DIR=", "PIPEWIRE_RUNTIME_DIR=",
          "PIPEWIRE_REMOTE=", "PIPEWIRE_CONFIG_DIR=", "WIREPLUMBER_CONFIG_DIR=",
          "DBUS_SESSION_BUS_ADDRESS=", "KOVA_SOCKET="}) {
        if (var.rfind(name, 0) == 0) return true;
    }
    return false;
}

}  // namespace

std::unique_ptr<Sandbox> Sandbox::create(Options options) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kova-pipewire-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a runtime folder: " +
                                 std::string(std::strerror(errno)));
    }
    std::unique_ptr<Sandbox> sandbox(new Sandbox(pattern, options));
    write_wireplumber_config(sandbox->dir_ / "wireplumber", options.desktop_session);
    if (options.desktop_session) {
        write_session_bus_config(sandbox->dir_);
        sandbox->session_bus_ = sandbox->start(
            "dbus-daemon", {KOVA_DBUS_DAEMON_EXECUTABLE,
                            "--config-file=" + (sandbox->dir_ / "session-bus.conf").string(),
                            "--nofork", "--nopidfile"});
        const fs::path bus = sandbox->dir_ / "bus";
        if (!eventually([&] { return fs::exists(bus); }, std::chrono::seconds(10))) {
            throw std::runtime_error("dbus-daemon did not start; see its log in " +
                                     sandbox->dir_.string());
        }
    }

    sandbox->pipewire_ = sandbox->start("pipewire", {KOVA_PIPEWIRE_EXECUTABLE});
    const fs::path socket = sandbox->remote();
    if (!eventually([&] { return fs::exists(socket); }, std::chrono::seconds(10))) {
        throw std::runtime_error("pipewire did not start; see its log in " +
                                 sandbox->dir_.string());
    }
    sandbox->wireplumber_ = sandbox->start("wireplumber", {KOVA_WIREPLUMBER_EXECUTABLE});
    return sandbox;
}

Sandbox::~Sandbox() {
    wireplumber_.reset();
    pipewire_.reset();
    session_bus_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::vector<std::string> Sandbox::environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> env;
    for (char** var = environ; *var != nullptr; ++var) {
        if (!is_overridden(*var)) env.emplace_back(*var);
    }
    env.push_back("XDG_RUNTIME_DIR=" + dir_.string());
    env.push_back("XDG_STATE_HOME=" + (dir_ / "state").string());
    env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
    env.push_back("WIREPLUMBER_CONFIG_DIR=" + (dir_ / "wireplumber").string());
    env.push_back("XDG_DATA_HOME=" + (dir_ / "data").string());
    env.push_back("KOVA_SOCKET=" + camera_socket());
    if (options_.desktop_session) {
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir_ / "bus").string());
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::unique_ptr<ChildProcess> Sandbox::start(const std::string& name,
                                             const std::vector<std::string>& argv,
                                             const std::vector<std::string>& extra_env) {
    const std::string log = name + "-" + std::to_string(++started_) + ".log";
    return ChildProcess::spawn(argv, environment(extra_env), dir_ / log);
}

std::optional<std::string> Sandbox::run(const std::string& name,
                                        const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout) {
    auto process = start(name, argv);
    if (!eventually([&] { return process->exited().has_value(); }, timeout)) return std::nullopt;
    const int status = *process->exited();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return process->log();
}

}  // namespace kova::pipewire::test
