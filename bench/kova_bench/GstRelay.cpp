// GStreamer's shmsink/shmsrc relay, measured from the outside through its processes' CPU clocks.
#include "GstRelay.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Measure.h"
#include "kova/kova.h"

namespace kova::bench {

namespace {

using namespace std::chrono_literals;

const std::string kLaunch = "gst-launch-1.0";

// The stream's caps: 800 × 960 BGRA at the rate as a fraction of hundredths.
std::string capsFor(double framesPerSecond) {
    std::ostringstream caps;
    caps << "video/x-raw,format=BGRA,width=" << kova::kFrameWidth
         << ",height=" << kova::kFrameHeight << ",framerate=" << std::llround(framesPerSecond * 100)
         << "/100";
    return caps.str();
}

// A live source painting one solid colour, so the pictures cost little and the same every frame.
std::vector<std::string> liveSource(double framesPerSecond) {
    return {"videotestsrc",
            "is-live=true",
            "pattern=solid-color",
            "foreground-color=0xff3366aa",
            "!",
            capsFor(framesPerSecond),
            "!"};
}

// Whether `element` exists: gst-inspect-1.0 answers with its exit status.
bool elementExists(const std::string& element, const std::string& log) {
    try {
        ChildProcess inspect = ChildProcess::start("gst-inspect-1.0", {"--exists", element}, log);
        const auto status = inspect.stop(0, 20s);
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::string tail(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    const std::string all = text.str();
    return all.size() > 400 ? all.substr(all.size() - 400) : all;
}

}  // namespace

GstRelayResult runGstRelay(const std::string& folder, double framesPerSecond, double warmupSeconds,
                           double windowSeconds) {
    GstRelayResult result;
    const std::string log = folder + "/gstreamer.log";
    // The first look also builds GStreamer's plugin registry, outside any measurement.
    if (!elementExists("shmsink", log) || !elementExists("shmsrc", log) ||
        !elementExists("videotestsrc", log)) {
        result.why =
            "GStreamer's tools with shmsink, shmsrc and videotestsrc are not installed "
            "(gstreamer1.0-tools, gstreamer1.0-plugins-base, gstreamer1.0-plugins-bad)";
        return result;
    }

    const std::string socket = folder + "/gst-shm.sock";
    std::vector<std::string> sinkPipeline = liveSource(framesPerSecond);
    sinkPipeline.insert(sinkPipeline.end(), {"shmsink", "socket-path=" + socket,
                                             "wait-for-connection=true", "sync=false"});
    std::vector<std::string> plainPipeline = liveSource(framesPerSecond);
    plainPipeline.insert(plainPipeline.end(), {"fakesink", "sync=false"});
    const std::vector<std::string> consumerPipeline = {"shmsrc",
                                                       "socket-path=" + socket,
                                                       "is-live=true",
                                                       "!",
                                                       capsFor(framesPerSecond),
                                                       "!",
                                                       "fakesink",
                                                       "sync=false"};

    const auto withQuiet = [](std::vector<std::string> pipeline) {
        pipeline.insert(pipeline.begin(), "-q");
        return pipeline;
    };
    ChildProcess sink = ChildProcess::start(kLaunch, withQuiet(sinkPipeline), log);
    ChildProcess plain = ChildProcess::start(kLaunch, withQuiet(plainPipeline), log);
    // The consumer needs the sink's socket, which exists once the sink pipeline is playing.
    const auto socketDeadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(socket) && std::chrono::steady_clock::now() < socketDeadline &&
           sink.running()) {
        std::this_thread::sleep_for(10ms);
    }
    ChildProcess consumer = ChildProcess::start(kLaunch, withQuiet(consumerPipeline), log);
    std::this_thread::sleep_for(std::chrono::duration<double>(warmupSeconds));

    const auto cpuOf = [](ChildProcess& process) {
        return process.running() ? processCpuNs(process.pid()) : std::nullopt;
    };
    const auto startNs = monotonicNs();
    const auto sinkStart = cpuOf(sink);
    const auto plainStart = cpuOf(plain);
    const auto consumerStart = cpuOf(consumer);
    std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
    const auto endNs = monotonicNs();
    const auto sinkEnd = cpuOf(sink);
    const auto plainEnd = cpuOf(plain);
    const auto consumerEnd = cpuOf(consumer);
    consumer.stop(SIGINT, 2s);
    sink.stop(SIGINT, 2s);
    plain.stop(SIGINT, 2s);

    if (!sinkStart || !plainStart || !consumerStart || !sinkEnd || !plainEnd || !consumerEnd) {
        result.why = "a GStreamer pipeline ended early: " + tail(log);
        return result;
    }
    result.seconds = double(endNs - startNs) / 1e9;
    // A live source makes its frames on the clock, whatever the sinks do with them.
    result.frames = result.seconds * framesPerSecond;
    // A consumer that gets no frames hardly runs at all.
    if (*consumerEnd - *consumerStart < std::uint64_t(result.frames) * 1000) {
        result.why = "the shmsrc consumer received nothing: " + tail(log);
        return result;
    }
    result.available = true;
    result.sinkPipelineCpuNs = *sinkEnd - *sinkStart;
    result.plainPipelineCpuNs = *plainEnd - *plainStart;
    result.consumerPipelineCpuNs = *consumerEnd - *consumerStart;
    return result;
}

}  // namespace kova::bench
