// kova_pipewire_latency: measures what the bridge adds. Starts a private PipeWire daemon,
// kova-camera and kova-pipewire; a PipeWire consumer of the node and a plain kova::Viewer then
// receive the same frames, matched by their host time. Reports each one's latency (receive time −
// the frame's host time), the latency the bridge adds frame by frame (node receive − viewer
// receive), the bridge's copies and conversions per frame, and its CPU time idle and streaming.
//
// usage: kova_pipewire_latency [seconds] [--push] [--yuy2]
//   --push  push frames at the stream's rate instead of measuring the placeholder
//   --yuy2  consume YUY2 (one conversion per frame) instead of BGRA (one copy)
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
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

Summary summarise(std::vector<std::int64_t> values_ns) {
    Summary summary;
    summary.count = values_ns.size();
    if (values_ns.empty()) return summary;
    std::sort(values_ns.begin(), values_ns.end());
    const auto at = [&](double q) {
        const auto index = static_cast<std::size_t>(q * static_cast<double>(values_ns.size() - 1));
        return static_cast<double>(values_ns[index]) / 1e6;
    };
    summary.median_ms = at(0.5);
    summary.p99_ms = at(0.99);
    return summary;
}

void print(const char* what, const Summary& summary) {
    std::printf("%-26s %6zu frames, median %.3f ms, p99 %.3f ms\n", what, summary.count,
                summary.median_ms, summary.p99_ms);
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
    bool yuy2 = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--push") == 0) {
            push = true;
        } else if (std::strcmp(argv[i], "--yuy2") == 0) {
            yuy2 = true;
        } else if (std::atoi(argv[i]) > 0) {
            seconds = std::atoi(argv[i]);
        } else {
            std::fprintf(stderr, "usage: %s [seconds] [--push] [--yuy2]\n", argv[0]);
            return 2;
        }
    }
    try {
        auto sandbox = Sandbox::create();
        sandbox->start_camera();
        sandbox->start_bridge();
        auto consumer = TestConsumer::connect(sandbox->remote());
        if (!waitUntil([&] { return sandbox->node("kova").has_value(); }, 10s)) {
            throw std::runtime_error("no kova node");
        }

        // Idle first: with no consumer the bridge should only wait.
        const int idle_seconds = std::min(seconds, 5);
        const long idle_before = cpu_ticks(sandbox->bridge().pid());
        std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
        const long idle_ticks = cpu_ticks(sandbox->bridge().pid()) - idle_before;

        consumer->capture("kova", yuy2 ? SPA_VIDEO_FORMAT_YUY2 : SPA_VIDEO_FORMAT_BGRA, 800, 960,
                          /*keep_pixels=*/false);
        if (!consumer->wait_streaming(10s)) throw std::runtime_error("consumer not streaming");

        const kova::ConnectOptions camera{sandbox->camera_socket()};
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
        const long busy_before = cpu_ticks(sandbox->bridge().pid());
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const long busy_ticks = cpu_ticks(sandbox->bridge().pid()) - busy_before;
        running = false;
        producer_thread.join();
        viewer_thread.join();
        consumer->stop_capture();

        std::vector<std::int64_t> plain;
        std::vector<std::int64_t> through_node;
        std::vector<std::int64_t> added;
        for (const auto& [host_time, received] : viewer_received) {
            plain.push_back(static_cast<std::int64_t>(received - host_time));
        }
        for (const auto& arrival : consumer->arrivals()) {
            through_node.push_back(static_cast<std::int64_t>(arrival.received_ns) - arrival.pts);
            auto viewer = viewer_received.find(static_cast<std::uint64_t>(arrival.pts));
            if (viewer != viewer_received.end()) {
                added.push_back(static_cast<std::int64_t>(arrival.received_ns) -
                                static_cast<std::int64_t>(viewer->second));
            }
        }

        sandbox->bridge().stop(SIGTERM, 10s);
        const double tick_ms = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
        std::printf("frames: %s, consumed as %s, %d s\n",
                    push ? "pushed at the stream rate" : "placeholder", yuy2 ? "YUY2" : "BGRA",
                    seconds);
        print("plain viewer:", summarise(plain));
        print("through the node:", summarise(through_node));
        print("added by the bridge:", summarise(added));
        std::printf("bridge CPU: %.0f ms over %d s idle, %.0f ms over %d s streaming\n",
                    static_cast<double>(idle_ticks) * tick_ms, idle_seconds,
                    static_cast<double>(busy_ticks) * tick_ms, seconds);
        std::printf("bridge counters: %s",
                    last_line_with(sandbox->bridge().log(), "frames from the camera").c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kova_pipewire_latency: %s\n", error.what());
        return 1;
    }
}
