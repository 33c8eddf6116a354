// The Kova side of kova-bench: a producer and viewers (the client library, each on a thread of
// its own) around a running kova-camera, and what one measuring window of them shows.
//
// Threading: runScenario() is called from one thread; it starts and joins its own threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BareBaseline.h"
#include "Measure.h"

namespace kova::bench {

struct Scenario {
    std::string socketPath;
    pid_t cameraPid = 0;
    int viewers = 1;
    // Whether a producer pushes, and at which rate (none: as fast as the camera takes frames).
    bool producer = true;
    std::optional<double> framesPerSecond;
    double warmupSeconds = 0.5;
    double windowSeconds = 2;
    // When set, the machine's floor is measured over the same window at this rate.
    std::optional<double> bareBaselineRate;
};

// Everything counted inside the measuring window.
struct ScenarioResult {
    double seconds = 0;
    std::uint64_t framesRelayed = 0;  // pushes the camera accepted
    std::uint64_t framesRefused = 0;
    std::uint64_t framesViewed = 0;       // relayed frames received, all viewers together
    std::uint64_t framesMissed = 0;       // frames the camera reported missed, all viewers
    std::uint64_t placeholderFrames = 0;  // placeholder frames the first viewer received
    // Frames whose first bytes did not hold the stamp the producer wrote into them.
    std::uint64_t markerMismatches = 0;
    // Frames a viewer found taken back when it had read them (Frame::intact() false), and frames
    // whose stamp was wrong although intact() said they held still (must be 0).
    std::uint64_t framesTakenBack = 0;
    std::uint64_t framesChangedUnannounced = 0;
    // Wake-ups, preemptions and system calls over the window.
    TaskCounts cameraCounts;
    TaskCounts producerCounts;
    std::vector<TaskCounts> viewerCounts;  // one per viewer
    bool syscallsCounted = false;
    std::vector<double> latencyUs;  // viewer receive time minus host time, every relayed frame
    std::vector<std::uint64_t> placeholderStampsNs;  // host times of placeholder frames
    std::uint64_t cameraCpuNs = 0;
    std::uint64_t producerCpuNs = 0;
    std::uint64_t viewersCpuNs = 0;  // all viewers together
    std::uint64_t cameraMinorFaults = 0;
    std::map<std::string, ThreadUsage> cameraThreads;  // by thread name
    // At the end of the window, with every client still connected:
    std::optional<MemoryStatus> cameraMemory;
    // The producer's buffers the camera has mapped (it needs none to relay them), and the
    // camera's own pixel buffers (the placeholder's pool).
    std::size_t cameraMapsOfProducerBuffers = 0;
    std::size_t cameraMapsOfOwnBuffers = 0;
    std::optional<BareBaselineResult> bare;
};

// Runs the scenario against the camera serving `scenario.socketPath`. Throws
// std::runtime_error when a client fails.
ScenarioResult runScenario(const Scenario& scenario);

}  // namespace kova::bench
