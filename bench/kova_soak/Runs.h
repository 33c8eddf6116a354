// The two runs of kova-soak: the soak (a steady push with two viewers for a long time, watching
// the camera's memory and fds) and the load (every client slot churning while one producer and
// one viewer are measured against an idle camera).
//
// Threading: each run uses the calling thread and the threads of its clients.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kova::soak {

struct SoakOptions {
    std::string camera;  // the kova-camera executable
    std::chrono::seconds duration{120};
    std::chrono::seconds interval{10};
    // Memory and fds are compared with the first sample at or after the warm-up.
    std::chrono::seconds warmup{30};
    double fps = 60;
    unsigned viewers = 2;
    std::uint64_t maxResidentGrowthKiB = 1024;
    std::uint64_t maxFdGrowth = 0;
};

struct LoadOptions {
    std::string camera;
    std::chrono::seconds duration{60};
    // The churn runs in stretches of `interval`, each after `idle` of quiet: the measured figures
    // of all quiet stretches are compared with those of all churning ones.
    std::chrono::seconds idle{10};
    std::chrono::seconds interval{10};
    double fps = 60;
    // How far the measured figures under load may fall behind the idle ones, in percent.
    double tolerancePercent = 10;
    // Latency under load may also exceed the idle one by this much, whatever the percentage: on
    // a shared machine the median of a 70 µs wake-up path moves by a few tens of microseconds
    // with what else runs, which is not the camera's doing.
    double latencySlackMs = 0.25;
};

// Each prints its figures as it goes and a verdict at the end; 0 when every bound held, 1 when
// one did not or something failed.
int runSoak(const SoakOptions& options);
int runLoad(const LoadOptions& options);

}  // namespace kova::soak
