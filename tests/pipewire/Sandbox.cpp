// Starts and stops the private PipeWire daemon, its session manager and the processes under test.
#include "Sandbox.h"

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kova::pipewire::test {
namespace fs = std::filesystem;

namespace {

// The variables of the caller's environment that would point a child at the user's session.
const std::vector<std::string> kOverridden = {
    "XDG_RUNTIME_DIR=",        "XDG_STATE_HOME=",           "XDG_CONFIG_HOME=",
    "XDG_DATA_HOME=",          "XDG_CURRENT_DESKTOP=",      "XDG_DESKTOP_PORTAL_DIR=",
    "PIPEWIRE_RUNTIME_DIR=",   "PIPEWIRE_REMOTE=",          "PIPEWIRE_CONFIG_DIR=",
    "WIREPLUMBER_CONFIG_DIR=", "DBUS_SESSION_BUS_ADDRESS=", "KOVA_SOCKET="};

}  // namespace

Sandbox::Sandbox(bool desktop_session) : desktop_session_(desktop_session) {
    // The session manager's packaged scripts, with our own list of what it enables; the portal
    // access rules only with a session bus, which they need.
    const fs::path config = folder_.file("wireplumber"), ours = KOVA_TEST_WIREPLUMBER_CONFIG;
    fs::create_directories(config);
    for (const char* part : {"main.lua.d", "policy.lua.d"}) {
        fs::copy(fs::path(KOVA_WIREPLUMBER_DATA_DIR) / part, config / part,
                 fs::copy_options::recursive);
    }
    fs::copy_file(ours / "wireplumber.conf", config / "wireplumber.conf");
    fs::copy_file(ours / "90-enable-all.lua", config / "main.lua.d" / "90-enable-all.lua",
                  fs::copy_options::overwrite_existing);
    std::ofstream(config / "main.lua.d" / "80-portal.lua")
        << "default_access.properties[\"enable-flatpak-portal\"] = "
        << (desktop_session ? "true" : "false") << "\n";
    const auto wait_for = [&](const std::string& name, const std::string& path) {
        if (!waitUntil([&] { return fs::exists(path); }, std::chrono::seconds(10))) {
            throw std::runtime_error(name + " did not start; see its log in " + dir());
        }
    };
    if (desktop_session) {
        std::ofstream(folder_.file("session-bus.conf"))
            << "<busconfig><type>session</type><listen>unix:path=" << folder_.file("bus")
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
               "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
               "own=\"*\"/></policy></busconfig>\n";
        session_bus_.emplace(start(
            "dbus-daemon", {KOVA_DBUS_DAEMON_EXECUTABLE, "--nofork",
                            "--config-file=" + folder_.file("session-bus.conf"), "--nopidfile"}));
        wait_for("dbus-daemon", folder_.file("bus"));
    }
    pipewire_.emplace(start("pipewire", {KOVA_PIPEWIRE_EXECUTABLE}));
    wait_for("pipewire", remote());
    wireplumber_.emplace(start("wireplumber", {KOVA_WIREPLUMBER_EXECUTABLE}));
}

ChildProcess Sandbox::start(const std::string& name, const std::vector<std::string>& argv,
                            const std::vector<std::string>& extra_env) {
    std::vector<std::string> env = {
        "XDG_RUNTIME_DIR=" + dir(), "XDG_STATE_HOME=" + folder_.file("state"),
        "XDG_CONFIG_HOME=" + folder_.file("config"), "XDG_DATA_HOME=" + folder_.file("data"),
        "WIREPLUMBER_CONFIG_DIR=" + folder_.file("wireplumber")};
    if (camera_) env.push_back("KOVA_SOCKET=" + camera_->socketPath());
    if (desktop_session_)
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder_.file("bus"));
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    ChildProcess process = testing::spawnWith(argv, testing::environmentWith(kOverridden, env),
                                              dir(), name + "-" + std::to_string(++started_));
    if (process.pid() < 0) throw std::runtime_error("cannot start " + argv.front());
    return process;
}

std::optional<std::string> Sandbox::run(const std::string& name,
                                        const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout) {
    ChildProcess process = start(name, argv);
    if (process.wait(timeout) != 0) return std::nullopt;
    return testing::readFile(process.stdoutPath());
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

void Sandbox::start_camera_and_bridge() {
    camera_.emplace();
    bridge_.emplace(start("kova-pipewire", {KOVA_BRIDGE_EXECUTABLE}));
}

void Sandbox::stop_bridge_and_camera() {
    if (bridge_) {
        EXPECT_EQ(bridge_->stop(SIGTERM), 0) << "kova-pipewire did not end cleanly on SIGTERM:\n"
                                             << bridge_->log();
    }
    camera_.reset();
}

}  // namespace kova::pipewire::test
