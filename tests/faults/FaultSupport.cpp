// The bystanding clients and the camera's state around a fault.
#include "FaultSupport.h"

#include <iostream>
#include <thread>

#include "Footprint.h"

namespace kova::faults {
namespace {

constexpr std::uint64_t kBystanderId = 7;
// Heap the camera may keep after a fault, above what it had: allocator caches in a plain build;
// in a sanitizer build, also freed memory the sanitizer holds back to catch its reuse.
#if defined(KOVA_FAULTS_SANITIZED)
constexpr std::uint64_t kHeapSlackKiB = 64 * 1024;
#else
constexpr std::uint64_t kHeapSlackKiB = 1024;
#endif

constexpr std::chrono::seconds kShortestStretch{1};

const std::string kMemfd = "/memfd:";
const std::string kPoolMemfd = "/memfd:kova-pixel-buffer";

}  // namespace

// ---- bystanders ----

Bystanders::Bystanders(const ConnectOptions& options, bool reconnect)
    // The viewer first, so that it sees the producer's first frame.
    : viewer_(soak::MeasuringViewer::Options{options, kBystanderId, reconnect}),
      producer_(soak::MarkedProducer::Options{options, kBystanderId, kBystanderFps, reconnect,
                                              /*takeBack=*/true}) {
    startStretch();
}

bool Bystanders::flowing() {
    const std::uint64_t before = viewer_.tally().marked;
    return e2e::waitUntil([&] { return viewer_.tally().marked >= before + 30; }, 10000ms);
}

void Bystanders::startStretch() {
    producerFrom_ = producer_.tally();
    viewerFrom_ = viewer_.tally();
    viewer_.takeLatencies();
    stretchFrom_ = std::chrono::steady_clock::now();
}

soak::Figures Bystanders::stretch() {
    return soak::figuresBetween(producerFrom_, producer_.tally(), viewerFrom_, viewer_.tally(),
                                viewer_.takeLatencies());
}

soak::Figures Bystanders::expectFullRate(const std::string& during, Viewed viewed) {
    std::this_thread::sleep_until(stretchFrom_ + kShortestStretch);
    const soak::Figures figures = stretch();
    const double fullRate = kFullRateShare * kBystanderFps;
    if (viewed == Viewed::Producers) {
        EXPECT_GE(figures.pushedFps, fullRate)
            << "the bystanding producer slowed down " << during << " (" << figures.refused
            << " pushes refused, " << figures.stalls << " waits for a buffer)";
    }
    EXPECT_GE(viewed == Viewed::Producers ? figures.viewedFps : figures.outputFps, fullRate)
        << "the bystanding viewer slowed down " << during << " (" << figures.missed
        << " frames missed)";
    EXPECT_EQ(figures.refused, 0u) << "the camera refused the bystander's pushes " << during;
    EXPECT_EQ(figures.stalls, 0u) << "the bystander waited for its buffers " << during;
    return figures;
}

void Bystanders::stopAndExpectAllCounted(bool accountable) {
    if (stopped_) return;
    stopped_ = true;
    const soak::ProducerTally producer = producer_.stop();
    const soak::ViewerTally viewer = viewer_.stop();
    EXPECT_EQ(producer.failure, "") << "the bystanding producer failed";
    EXPECT_EQ(viewer.failure, "") << "the bystanding viewer failed";
    EXPECT_EQ(viewer.outOfOrder, 0u) << "the bystanding viewer got frames out of order";
    if (accountable) {
        EXPECT_EQ(viewer.unaccounted, 0u)
            << "output frames skipped the bystanding viewer without being reported missed";
        EXPECT_EQ(soak::framesLostUncounted(producer, viewer), 0u)
            << "frames the camera took were lost without being counted: " << producer.accepted
            << " taken, " << viewer.marked << " seen, " << viewer.missed << " reported missed, "
            << producer.droppedAfterAccept << " reported dropped";
    }
}

// ---- the camera's state ----

std::ostream& operator<<(std::ostream& out, const CameraState& state) {
    return out << state.fds << " fds (" << state.clientMemory << " of client memory), "
               << state.clientMappings << " client mappings, " << state.heapKiB << " KiB heap";
}

CameraState stateOf(pid_t pid) {
    CameraState state;
    const std::size_t poolFds = soak::fdsNaming(pid, kPoolMemfd);
    if (const auto footprint = soak::footprintOf(pid)) {
        state.fds = footprint->fds - poolFds;
        state.heapKiB = footprint->anonymousKiB;
    }
    state.clientMemory = soak::fdsNaming(pid, kMemfd) - poolFds;
    state.clientMappings =
        soak::mappingsNaming(pid, kMemfd) - soak::mappingsNaming(pid, kPoolMemfd);
    return state;
}

CameraState expectCameraBackTo(pid_t pid, const CameraState& before, std::size_t grownBuffers) {
    CameraState now;
    const bool back = e2e::waitUntil([&] {
        now = stateOf(pid);
        const std::size_t grown =
            now.clientMemory - std::min(now.clientMemory, before.clientMemory);
        return grown <= grownBuffers && now.fds == before.fds + grown &&
               now.clientMemory >= before.clientMemory &&
               now.clientMappings == before.clientMappings &&
               now.heapKiB <= before.heapKiB + kHeapSlackKiB;
    });
    EXPECT_TRUE(back) << "the camera did not come back to what it held before the fault:\n"
                      << "  before: " << before << "\n  after:  " << now;
    return now;
}

void reportFigures(const std::string& test, const soak::Figures& figures, const CameraState& before,
                   const CameraState& after) {
    std::cout << "[ figures  ] " << test << ": bystanders over " << figures.seconds << " s: pushed "
              << figures.pushedFps << "/s, viewed " << figures.viewedFps << "/s (output "
              << figures.outputFps << "/s), latency p50 " << figures.latency.p50Ms << " ms, p99 "
              << figures.latency.p99Ms << " ms, " << figures.missed << " missed, "
              << figures.refused << " refused\n"
              << "[ figures  ] " << test << ": camera before: " << before << "; after: " << after
              << std::endl;
}

}  // namespace kova::faults
