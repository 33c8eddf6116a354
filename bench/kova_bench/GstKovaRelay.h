// The same 800 × 960 BGRA stream relayed through Kova by its GStreamer elements: a live test
// source into kovasink, a kovasrc ! fakesink consumer, and beside them the same source into
// fakesink, each pipeline a kova-bench-gst process, with a kova-camera of their own.
//
// Threading: called from one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kova::bench {

struct GstKovaResult {
    bool available = false;
    std::string why;  // when not available: what is missing or what failed
    double seconds = 0;
    double frames = 0;                     // frames the live source made in the window
    std::uint64_t sinkPipelineCpuNs = 0;   // source ! kovasink
    std::uint64_t plainPipelineCpuNs = 0;  // source ! fakesink
    std::uint64_t srcPipelineCpuNs = 0;    // kovasrc ! fakesink
    std::uint64_t cameraCpuNs = 0;
    std::uint64_t framesReceived = 0;  // relayed frames that reached fakesink in the window
    std::vector<double> latencyUs;     // kovasink's push → fakesink, for each of them
};

// Runs the three pipelines (`helperProgram` is kova-bench-gst) at `framesPerSecond` and
// measures them over the window. Logs go into `folder`.
GstKovaResult runGstKovaRelay(const std::string& helperProgram, const std::string& cameraProgram,
                              const std::string& folder, double framesPerSecond,
                              double warmupSeconds, double windowSeconds);

}  // namespace kova::bench
