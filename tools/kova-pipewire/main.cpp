// kova-pipewire: publishes the Kova camera's output stream as a PipeWire camera node.
#include <kova/kova.h>
#include <pipewire/pipewire.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "CameraFeed.h"
#include "VideoSourceNode.h"
#include "cli/CommandLine.h"

// libpipewire's method macros are statement expressions, a GNU extension that clang reports
// under -Wpedantic at every call site.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace {

using kova::pipewire::CameraFeed;
using kova::pipewire::NodeSettings;
using kova::pipewire::VideoSourceNode;

// The stream's advertised rate as a fraction, 59.83 → 5983/100.
NodeSettings node_settings() {
    NodeSettings settings;
    settings.name = "kova";
    settings.description = "Kova";
    settings.size = {static_cast<std::uint32_t>(kova::kFrameWidth),
                     static_cast<std::uint32_t>(kova::kFrameHeight)};
    settings.rate = {static_cast<std::uint32_t>(kova::kStreamFrameRate * 100.0 + 0.5), 100};
    return settings;
}

struct Bridge {
    pw_main_loop* main_loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook core_listener{};
    std::unique_ptr<CameraFeed> feed;
    std::unique_ptr<VideoSourceNode> node;
    int exit_status = 0;

    ~Bridge() {
        node.reset();
        feed.reset();
        if (core != nullptr) pw_core_disconnect(core);
        if (context != nullptr) pw_context_destroy(context);
        if (main_loop != nullptr) pw_main_loop_destroy(main_loop);
    }

    void publish(const kova::Viewer::Frame& frame) {
        node->publish({frame.data(), frame.stride(), frame.width(), frame.height(),
                       frame.host_time_ns(), frame.sequence()});
    }

    void report() const {
        const auto& camera = feed->counters();
        const auto& sent = node->counters();
        std::fprintf(stderr,
                     "kova-pipewire: %llu frames from the camera (%llu missed, %llu sessions); "
                     "%llu sent: %llu copied, %llu converted, %llu scaled; %llu paced out, "
                     "%llu dropped\n",
                     static_cast<unsigned long long>(camera.received),
                     static_cast<unsigned long long>(camera.missed),
                     static_cast<unsigned long long>(camera.sessions),
                     static_cast<unsigned long long>(sent.sent),
                     static_cast<unsigned long long>(sent.copied),
                     static_cast<unsigned long long>(sent.converted),
                     static_cast<unsigned long long>(sent.scaled),
                     static_cast<unsigned long long>(sent.paced),
                     static_cast<unsigned long long>(sent.dropped));
    }
};

int run() {
    Bridge bridge;
    bridge.main_loop = pw_main_loop_new(nullptr);
    if (bridge.main_loop == nullptr) {
        std::fprintf(stderr, "kova-pipewire: cannot create a PipeWire loop\n");
        return 1;
    }
    pw_loop* loop = pw_main_loop_get_loop(bridge.main_loop);
    const auto quit = [](void* data, int) {
        pw_main_loop_quit(static_cast<Bridge*>(data)->main_loop);
    };
    pw_loop_add_signal(loop, SIGINT, quit, &bridge);
    pw_loop_add_signal(loop, SIGTERM, quit, &bridge);

    bridge.context = pw_context_new(loop, nullptr, 0);
    bridge.core = bridge.context ? pw_context_connect(bridge.context, nullptr, 0) : nullptr;
    if (bridge.core == nullptr) {
        // The client library reports a missing daemon socket as EHOSTDOWN, whose text
        // ("Host is down") names no PipeWire.
        const int error = errno;
        if (error == EHOSTDOWN || error == ENOENT || error == ECONNREFUSED) {
            std::fprintf(stderr,
                         "kova-pipewire: PipeWire is not running for this user (%s); start it, "
                         "e.g. systemctl --user start pipewire.socket\n",
                         std::strerror(error));
        } else {
            std::fprintf(stderr, "kova-pipewire: cannot connect to PipeWire: %s\n",
                         std::strerror(error));
        }
        return 1;
    }
    static const pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = [](void* data, std::uint32_t id, int, int res, const char* message) {
            // Only the connection itself failing is fatal; systemd starts us again.
            if (id != PW_ID_CORE || res != -EPIPE) return;
            auto* bridge = static_cast<Bridge*>(data);
            std::fprintf(stderr, "kova-pipewire: lost PipeWire: %s\n", message);
            bridge->exit_status = 1;
            pw_main_loop_quit(bridge->main_loop);
        };
        return events;
    }();
    pw_core_add_listener(bridge.core, &bridge.core_listener, &kCoreEvents, &bridge);

    bridge.feed = std::make_unique<CameraFeed>(
        loop, kova::ConnectOptions{},
        [&bridge](const kova::Viewer::Frame& frame) { bridge.publish(frame); });
    bridge.node = VideoSourceNode::create(bridge.core, node_settings(), [&bridge](bool streaming) {
        bridge.feed->set_active(streaming);
    });

    pw_main_loop_run(bridge.main_loop);
    bridge.report();
    return bridge.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App program(
        "Publishes the Kova camera as the PipeWire video source \"kova\" (\"Kova\"). The "
        "camera's socket is taken from KOVA_SOCKET, else the default path.",
        "kova-pipewire");
    kova::cli::addVersion(program);
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;
    pw_init(nullptr, nullptr);
    int status = 1;
    try {
        status = run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kova-pipewire: %s\n", error.what());
    }
    pw_deinit();
    return status;
}
