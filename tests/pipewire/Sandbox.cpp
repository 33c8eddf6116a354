// Starts and stops the private PipeWire daemon, its session manager and the processes under test.
#include "Sandbox.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kova::pipewire::test {
namespace fs = std::filesystem;

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

const std::vector<std::string> kOverridden = {
    "XDG_RUNTIME_DIR=",        "XDG_STATE_HOME=",           "XDG_CONFIG_HOME=",
    "XDG_DATA_HOME=",          "XDG_CURRENT_DESKTOP=",      "XDG_DESKTOP_PORTAL_DIR=",
    "PIPEWIRE_RUNTIME_DIR=",   "PIPEWIRE_REMOTE=",          "PIPEWIRE_CONFIG_DIR=",
    "WIREPLUMBER_CONFIG_DIR=", "DBUS_SESSION_BUS_ADDRESS=", "KOVA_SOCKET="};

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
        if (!waitUntil([&] { return fs::exists(bus); }, std::chrono::seconds(10))) {
            throw std::runtime_error("dbus-daemon did not start; see its log in " +
                                     sandbox->dir_.string());
        }
    }

    sandbox->pipewire_ = sandbox->start("pipewire", {KOVA_PIPEWIRE_EXECUTABLE});
    const fs::path socket = sandbox->remote();
    if (!waitUntil([&] { return fs::exists(socket); }, std::chrono::seconds(10))) {
        throw std::runtime_error("pipewire did not start; see its log in " +
                                 sandbox->dir_.string());
    }
    sandbox->wireplumber_ = sandbox->start("wireplumber", {KOVA_WIREPLUMBER_EXECUTABLE});
    return sandbox;
}

Sandbox::~Sandbox() {
    bridge_.reset();
    camera_.reset();
    wireplumber_.reset();
    pipewire_.reset();
    session_bus_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::unique_ptr<ChildProcess> Sandbox::start(const std::string& name,
                                             const std::vector<std::string>& argv,
                                             const std::vector<std::string>& extra_env) {
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir_.string(),
                                    "XDG_STATE_HOME=" + (dir_ / "state").string(),
                                    "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                    "WIREPLUMBER_CONFIG_DIR=" + (dir_ / "wireplumber").string(),
                                    "XDG_DATA_HOME=" + (dir_ / "data").string(),
                                    "KOVA_SOCKET=" + camera_socket()};
    if (options_.desktop_session) {
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir_ / "bus").string());
    }
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    auto process = std::make_unique<ChildProcess>(
        testing::spawnWith(argv, testing::environmentWith(kOverridden, env), dir_.string(),
                           name + "-" + std::to_string(++started_)));
    if (process->pid() < 0) throw std::runtime_error("cannot start " + argv.front());
    return process;
}

std::optional<std::string> Sandbox::run(const std::string& name,
                                        const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout) {
    auto process = start(name, argv);
    if (process->wait(timeout) != 0) return std::nullopt;
    return testing::readFile(process->stdoutPath());
}

std::optional<nlohmann::json> Sandbox::node(const std::string& name) {
    const auto dump =
        run("pw-dump", {KOVA_PW_DUMP_EXECUTABLE, "-r", remote()}, std::chrono::seconds(10));
    // Failing here, rather than reading no node, keeps a broken pw-dump from passing for a node
    // gone.
    if (!dump) throw std::runtime_error("pw-dump failed");
    for (const auto& object : nlohmann::json::parse(*dump)) {
        if (object.value("type", "") == "PipeWire:Interface:Node" &&
            object["info"]["props"].value("node.name", "") == name) {
            return object;
        }
    }
    return std::nullopt;
}

void Sandbox::start_camera() {
    camera_ = start("kova-camera", {KOVA_CAMERA_EXECUTABLE});
    const fs::path socket = camera_socket();
    if (!waitUntil([&] { return fs::exists(socket); }, std::chrono::seconds(10))) {
        throw std::runtime_error("kova-camera did not start:\n" + camera_->log());
    }
}

void Sandbox::start_bridge() {
    bridge_ = start("kova-pipewire", {KOVA_BRIDGE_EXECUTABLE});
}

void Sandbox::kill_camera() {
    camera_->stop(SIGKILL);
    std::error_code ignored;
    fs::remove(camera_socket(), ignored);
}

std::string Sandbox::stop_bridge_and_camera() {
    std::string faults;
    if (bridge_ && bridge_->stop(SIGTERM) != 0) {
        faults += "kova-pipewire did not end cleanly on SIGTERM:\n" + bridge_->log();
    }
    if (camera_) camera_->stop(SIGTERM);
    return faults;
}

}  // namespace kova::pipewire::test
