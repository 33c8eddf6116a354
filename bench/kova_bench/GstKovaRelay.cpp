// Kova's GStreamer elements relaying a live source, measured from the outside: the processes'
// CPU clocks, and the latencies the consumer recorded.
#include "GstKovaRelay.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "ChildProcess.h"
#include "Measure.h"
#include "kova/kova.h"

namespace kova::bench {

namespace {

using namespace std::chrono_literals;

std::string tail(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    const std::string all = text.str();
    return all.size() > 400 ? all.substr(all.size() - 400) : all;
}

}  // namespace

GstKovaResult runGstKovaRelay(const std::string& helperProgram, const std::string& cameraProgram,
                              const std::string& folder, double framesPerSecond,
                              double warmupSeconds, double windowSeconds) {
    GstKovaResult result;
    if (!std::filesystem::exists(helperProgram)) {
        result.why = helperProgram + " is not built (it needs the GStreamer development packages)";
        return result;
    }
    const std::string ownFolder = folder + "/gst-kova";
    std::filesystem::create_directory(ownFolder);
    const std::string log = ownFolder + "/pipelines.log";
    const std::string latencyFile = ownFolder + "/latencies";
    const std::string rate = std::to_string(std::llround(framesPerSecond * 100));

    CameraProcess camera(cameraProgram, ownFolder);
    const std::string& socket = camera.socketPath();
    // The consumer first, so that it sees the first frames kovasink pushes.
    ChildProcess src = ChildProcess::start(helperProgram, {"src", socket, rate, latencyFile}, log);
    ChildProcess plain = ChildProcess::start(helperProgram, {"plain", socket, rate}, log);
    ChildProcess sink = ChildProcess::start(helperProgram, {"sink", socket, rate}, log);
    std::this_thread::sleep_for(std::chrono::duration<double>(warmupSeconds));

    const auto cpuOf = [](ChildProcess& process) {
        return process.running() ? processCpuNs(process.pid()) : std::nullopt;
    };
    const auto hostStart = kova::host_time_now();
    const auto startNs = monotonicNs();
    const auto sinkStart = cpuOf(sink);
    const auto plainStart = cpuOf(plain);
    const auto srcStart = cpuOf(src);
    const auto cameraStart = camera.cpuNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
    const auto endNs = monotonicNs();
    const auto sinkEnd = cpuOf(sink);
    const auto plainEnd = cpuOf(plain);
    const auto srcEnd = cpuOf(src);
    const auto cameraEnd = camera.cpuNs();
    const auto hostEnd = kova::host_time_now();
    const auto sinkStatus = sink.stop(SIGINT, 5s);
    const auto srcStatus = src.stop(SIGINT, 5s);
    plain.stop(SIGINT, 5s);
    camera.stop();

    if (!sinkStart || !plainStart || !srcStart || !sinkEnd || !plainEnd || !srcEnd) {
        result.why = "a pipeline ended early: " + tail(log);
        return result;
    }
    if (!srcStatus || !WIFEXITED(*srcStatus) || WEXITSTATUS(*srcStatus) != 0 || !sinkStatus) {
        result.why = "a pipeline did not end cleanly: " + tail(log);
        return result;
    }
    // Only frames kovasink pushed within the window count.
    std::ifstream arrivals(latencyFile);
    std::uint64_t hostTimeNs = 0;
    double latencyUs = 0;
    while (arrivals >> hostTimeNs >> latencyUs) {
        if (hostTimeNs >= hostStart && hostTimeNs < hostEnd) result.latencyUs.push_back(latencyUs);
    }
    result.seconds = double(endNs - startNs) / 1e9;
    result.frames = result.seconds * framesPerSecond;
    result.framesReceived = result.latencyUs.size();
    if (result.framesReceived == 0) {
        result.why = "kovasrc received no relayed frame: " + tail(log);
        return result;
    }
    result.available = true;
    result.sinkPipelineCpuNs = *sinkEnd - *sinkStart;
    result.plainPipelineCpuNs = *plainEnd - *plainStart;
    result.srcPipelineCpuNs = *srcEnd - *srcStart;
    result.cameraCpuNs = cameraEnd - cameraStart;
    return result;
}

}  // namespace kova::bench
