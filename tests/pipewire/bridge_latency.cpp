// kova_pipewire_latency: measures what the bridge adds. Starts a private PipeWire daemon,
// kova-camera and kova-pipewire, then compares, frame by frame, the latency seen by a PipeWire
// consumer of the node (receive time − buffer timestamp) with that of a plain kova::Viewer
// (receive time − host time), and reports the bridge's copies per frame and its idle CPU.
//
// usage: kova_pipewire_latency [seconds] [--push]
//   --push  push frames at the stream's rate instead of measuring the placeholder
#include <kova/kova.h>
#include <signal.h>
#include <spa/param/video/raw.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BridgeProcesses.h"
#include "Sandbox.h"
#include "TestConsumer.h"

namespace {

using namespace std::chrono_literals;
using namespace kova::pipewire::test;

struct Summary {
    std::size_t count = 0;
    double median_ms = 0;
    double p99_ms = 0;
};

Summary summarise(std::vector<std::int64_t> latencies) {
    Summary summary;
    summary.count = latencies.size();
    if (latencies.empty()) return summary;
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        const auto index = static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1));
        return static_cast<double>(latencies[index]) / 1e6;
    };
    summary.median_ms = at(0.5);
    summary.p99_ms = at(0.99);
    return summary;
}

// User + system CPU time of a process so far, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values((std::istream_iterator<std::string>(fields)),
                                    std::istream_iterator<std::string>());
    return values.size() > 12 ? std::stol(values[11]) + std::stol(values[12]) : -1;
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
    int seconds = 10;
    bool push = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--push") == 0) {
            push = true;
        } else if (std::atoi(argv[i]) > 0) {
            seconds = std::atoi(argv[i]);
        } else {
            std::fprintf(stderr, "usage: %s [seconds] [--push]\n", argv[0]);
            return 2;
        }
    }
    try {
        auto sandbox = Sandbox::create();
        BridgeProcesses processes(*sandbox);
        processes.start_camera();
        processes.start_bridge();
        auto consumer = TestConsumer::connect(sandbox->remote());
        if (!consumer->find_node("kova", 10s)) throw std::runtime_error("no kova node");

        // Idle first: no consumer, so the bridge should only wait.
        const long idle_before = cpu_ticks(processes.bridge().pid());
        std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, 5)));
        const long idle_ticks = cpu_ticks(processes.bridge().pid()) - idle_before;

        consumer->capture("kova", SPA_VIDEO_FORMAT_BGRA, 800, 960, /*keep_pixels=*/false);
        if (!consumer->wait_streaming(10s)) throw std::runtime_error("consumer not streaming");

        const kova::ConnectOptions camera{sandbox->camera_socket()};
        std::atomic<bool> running{true};
        std::vector<std::int64_t> viewer_latencies;
        std::thread viewer_thread([&] {
            auto viewer = kova::Viewer::open(camera);
            while (running) {
                if (auto frame = viewer.next_frame(100ms)) {
                    viewer_latencies.push_back(static_cast<std::int64_t>(frame->received_ns()) -
                                               static_cast<std::int64_t>(frame->host_time_ns()));
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
        const long busy_before = cpu_ticks(processes.bridge().pid());
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const long busy_ticks = cpu_ticks(processes.bridge().pid()) - busy_before;
        running = false;
        producer_thread.join();
        viewer_thread.join();
        consumer->stop_capture();
        const auto through_node = summarise(consumer->latencies());
        const auto plain = summarise(viewer_latencies);

        processes.bridge().stop(SIGTERM, 10s);
        const std::string log = processes.bridge().log();
        const std::string counters = last_line_with(log, "frames from the camera");

        const double tick_ms = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
        std::printf("frames: %s, %d s\n", push ? "pushed at the stream rate" : "placeholder",
                    seconds);
        std::printf("plain viewer:      %6zu frames, median %.3f ms, p99 %.3f ms\n", plain.count,
                    plain.median_ms, plain.p99_ms);
        std::printf("through the node:  %6zu frames, median %.3f ms, p99 %.3f ms\n",
                    through_node.count, through_node.median_ms, through_node.p99_ms);
        std::printf("added by bridge:   median %.3f ms, p99 %.3f ms\n",
                    through_node.median_ms - plain.median_ms, through_node.p99_ms - plain.p99_ms);
        std::printf("bridge CPU: %.0f ms over %d s idle, %.0f ms over %d s streaming\n",
                    static_cast<double>(idle_ticks) * tick_ms, std::min(seconds, 5),
                    static_cast<double>(busy_ticks) * tick_ms, seconds);
        std::printf("bridge counters: %s", counters.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kova_pipewire_latency: %s\n", error.what());
        return 1;
    }
}
