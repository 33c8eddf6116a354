// GStreamer's shared-memory relay of the same 800 × 960 BGRA stream, when its tools are
// installed: a live test source into shmsink, a shmsrc consumer, and beside them the same source
// into fakesink, so that what the sink adds can be told apart from what the source costs.
//
// Threading: called from one thread.
#pragma once

#include <cstdint>
#include <string>

namespace kova::bench {

struct GstRelayResult {
    bool available = false;
    std::string why;  // when not available: what is missing or what failed
    double seconds = 0;
    double frames = 0;                        // frames the live source made in the window
    std::uint64_t sinkPipelineCpuNs = 0;      // source ! shmsink
    std::uint64_t plainPipelineCpuNs = 0;     // source ! fakesink
    std::uint64_t consumerPipelineCpuNs = 0;  // shmsrc ! fakesink
};

// Runs the three pipelines at `framesPerSecond` and measures their CPU over the window. Log
// files go into `folder`.
GstRelayResult runGstRelay(const std::string& folder, double framesPerSecond, double warmupSeconds,
                           double windowSeconds);

}  // namespace kova::bench
