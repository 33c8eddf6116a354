// kova-pipewire-latency: what the PipeWire bridge adds to a frame's latency, and its CPU time.
//
// Starts a private PipeWire daemon, kova-camera and kova-pipewire (the tests' sandbox); a
// PipeWire consumer of the node and a plain kova::Viewer then receive the same frames, matched by
// their host time. Reports each one's latency (receive time − the frame's host time), the latency
// the bridge adds frame by frame (node receive − viewer receive), the bridge's CPU time idle and
// streaming, and its counters of copies and conversions.
#include <kova/kova.h>
#include <signal.h>
#include <spa/param/video/raw.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "TestConsumer.h"
#include "cli/CommandLine.h"

namespace {

using namespace std::chrono_literals;
using namespace kova::pipewire::test;

void print(const char* what, std::vector<std::int64_t> values_ns) {
    if (values_ns.empty()) {
        std::printf("%-26s no frames\n", what);
        return;
    }
    std::sort(values_ns.begin(), values_ns.end());
    const auto at = [&](double q) {
        const auto index = static_cast<std::size_t>(q * static_cast<double>(values_ns.size() - 1));
        return static_cast<double>(values_ns[index]) / 1e6;
    };
    std::printf("%-26s %6zu frames, median %.3f ms, p99 %.3f ms\n", what, values_ns.size(), at(0.5),
                at(0.99));
}

// User + system CPU time of a process so far, in milliseconds.
double cpu_ms(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values((std::istream_iterator<std::string>(fields)),
                                    std::istream_iterator<std::string>());
    if (values.size() <= 12) return -1;
    return static_cast<double>(std::stol(values[11]) + std::stol(values[12])) * 1000.0 /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The last line of `text` that holds `needle`, with its newline.
std::string last_line_with(const std::string& text, const std::string& needle) {
    const auto at = text.rfind(needle);
    if (at == std::string::npos) return "(none reported)\n";
    const auto newline_before = text.rfind('\n', at);
    const auto begin = newline_before == std::string::npos ? 0 : newline_before + 1;
    const auto end = text.find('\n', at);
    return text.substr(begin, end == std::string::npos ? std::string::npos : end + 1 - begin);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App program("What the PipeWire bridge adds to a frame's latency, and its CPU time.",
                     "kova-pipewire-latency");
    kova::cli::addVersion(program);
    int seconds = 10;
    bool push = false;
    bool yuy2 = false;
    program.add_option("--seconds", seconds, "how long to stream (idle: at most 5 s before)")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    program.add_flag("--push", push, "push frames at the stream's rate, not the placeholder");
    program.add_flag("--yuy2", yuy2, "consume YUY2 (one conversion a frame), not BGRA (one copy)");
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;
    try {
        Sandbox sandbox;
        sandbox.start_camera_and_bridge();
        if (!waitUntil([&] { return sandbox.node("kova").has_value(); }, 10s)) {
            throw std::runtime_error("no kova node");
        }
        const pid_t bridge = sandbox.bridge().pid();

        // Idle first: with no consumer the bridge should only wait.
        const int idle_seconds = std::min(seconds, 5);
        const double idle_before = cpu_ms(bridge);
        std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
        const double idle_ms = cpu_ms(bridge) - idle_before;

        TestConsumer consumer(sandbox.remote(), "kova",
                              yuy2 ? SPA_VIDEO_FORMAT_YUY2 : SPA_VIDEO_FORMAT_BGRA, 800, 960);
        if (const auto why = consumer.wait_streaming(10s)) throw std::runtime_error(*why);

        const kova::ConnectOptions camera = sandbox.camera().options();
        std::atomic<bool> running{true};
        std::map<std::uint64_t, std::uint64_t> viewer_received;  // host time → receive time
        std::thread viewer_thread([&] {
            auto viewer = kova::Viewer::open(camera);
            while (running) {
                if (auto frame = viewer.next_frame(100ms)) {
                    viewer_received[frame->host_time_ns()] = frame->received_ns();
                }
            }
        });
        std::thread producer_thread([&] {
            if (!push) return;
            auto producer = kova::Producer::open(camera);
            std::vector<std::uint8_t> picture(kova::kFrameBytes, 0x80);
            while (running) {
                producer.send(picture.data(), kova::kFrameStride);
                producer.sleep_until_next_frame();
            }
        });
        const double busy_before = cpu_ms(bridge);
        // Every frame the node delivers, by its host time; the consumer shows each one it keeps
        // to every wait, so a frame may be seen more than once.
        std::map<std::int64_t, std::uint64_t> node_received;
        consumer.wait_frame(
            [&](const ReceivedFrame& frame) {
                node_received.emplace(frame.pts, frame.received_ns);
                return false;
            },
            std::chrono::seconds(seconds));
        const double busy_ms = cpu_ms(bridge) - busy_before;
        running = false;
        producer_thread.join();
        viewer_thread.join();
        consumer.stop();

        std::vector<std::int64_t> plain, through_node, added;
        for (const auto& [host_time, received] : viewer_received) {
            plain.push_back(static_cast<std::int64_t>(received - host_time));
        }
        for (const auto& [pts, received] : node_received) {
            through_node.push_back(static_cast<std::int64_t>(received) - pts);
            const auto viewer = viewer_received.find(static_cast<std::uint64_t>(pts));
            if (viewer != viewer_received.end()) {
                added.push_back(static_cast<std::int64_t>(received - viewer->second));
            }
        }

        sandbox.bridge().stop(SIGTERM, 10s);
        std::printf("frames: %s, consumed as %s, %d s\n",
                    push ? "pushed at the stream rate" : "placeholder", yuy2 ? "YUY2" : "BGRA",
                    seconds);
        print("plain viewer:", plain);
        print("through the node:", through_node);
        print("added by the bridge:", added);
        std::printf("bridge CPU: %.0f ms over %d s idle, %.0f ms over %d s streaming\n", idle_ms,
                    idle_seconds, busy_ms, seconds);
        std::printf("bridge counters: %s",
                    last_line_with(sandbox.bridge().log(), "frames from the camera").c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kova-pipewire-latency: %s\n", error.what());
        return 1;
    }
}
