// A producer and viewers on threads of their own around kova-camera, measured over one window.
#include "KovaRelay.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "Measure.h"
#include "kova/kova.h"

namespace kova::bench {

namespace {

using namespace std::chrono_literals;

// The names of the memfds that hold a producer's frames and the camera's own pixel buffers.
const std::string kProducerMemory = "memfd:kova-frame";
const std::string kCameraMemory = "memfd:kova-pixel-buffer";
constexpr std::uint64_t kStampTolerance = 1000;  // ns

// What the threads and the measuring thread share.
struct SharedState {
    std::atomic<bool> stop{false};
    std::atomic<bool> recording{false};
    std::atomic<int> ready{0};
    std::atomic<bool> failed{false};
    std::mutex failureMutex;
    std::string failure;  // guarded by failureMutex

    void fail(const std::string& what) {
        std::lock_guard lock(failureMutex);
        if (failure.empty()) failure = what;
        failed.store(true);
    }
};

// Counters of one viewer; its vectors are only touched by its thread until it is joined.
struct ViewerRecord {
    std::atomic<std::uint64_t> viewed{0};
    std::atomic<std::uint64_t> missed{0};
    std::atomic<std::uint64_t> placeholders{0};
    std::atomic<std::uint64_t> mismatches{0};
    std::atomic<std::uint64_t> takenBack{0};
    std::atomic<std::uint64_t> unannounced{0};
    std::atomic<pid_t> tid{0};
    std::vector<double> latencyUs;
    std::vector<std::uint64_t> placeholderStampsNs;
};

struct ProducerRecord {
    std::atomic<pid_t> tid{0};
    std::atomic<std::uint64_t> pushed{0};
    std::atomic<std::uint64_t> dropped{0};  // refused, or dropped after it was taken
};

void runViewer(const std::string& socketPath, SharedState& shared, ViewerRecord& record) {
    try {
        kova::Viewer viewer = kova::Viewer::open(kova::ConnectOptions{socketPath});
        record.tid.store(callingThreadId());
        shared.ready.fetch_add(1);
        while (!shared.stop.load()) {
            const std::optional<kova::Viewer::Frame> frame = viewer.next_frame(50ms);
            if (!frame) continue;
            const bool recording = shared.recording.load();
            if (frame->origin() == kova::Viewer::Origin::Placeholder) {
                if (recording) {
                    record.placeholders.fetch_add(1);
                    record.placeholderStampsNs.push_back(frame->host_time_ns());
                }
                continue;
            }
            // The producer wrote the frame's host time into its first bytes: reading it back
            // here shows that this viewer reads the very memory the producer wrote.
            std::uint64_t marker = 0;
            std::memcpy(&marker, frame->data(), sizeof marker);
            const bool intact = frame->intact();
            if (!recording) continue;
            // The relay passes the time through seconds as a double, which may move it by a
            // few nanoseconds; a buffer written again for a later frame is off by far more.
            const std::uint64_t time = frame->host_time_ns();
            const std::uint64_t apart = marker > time ? marker - time : time - marker;
            if (apart > kStampTolerance) record.mismatches.fetch_add(1);
            if (!intact) record.takenBack.fetch_add(1);
            if (apart > kStampTolerance && intact) record.unannounced.fetch_add(1);
            record.viewed.fetch_add(1);
            record.missed.fetch_add(frame->missed_before());
            record.latencyUs.push_back(double(frame->received_ns() - frame->host_time_ns()) /
                                       1000.0);
        }
    } catch (const std::exception& error) {
        shared.fail(std::string("viewer: ") + error.what());
    }
}

void runProducer(const Scenario& scenario, SharedState& shared, ProducerRecord& record) {
    try {
        kova::Producer producer = kova::Producer::open(kova::ConnectOptions{scenario.socketPath});
        if (scenario.framesPerSecond) producer.set_frame_rate(*scenario.framesPerSecond);
        record.tid.store(callingThreadId());
        shared.ready.fetch_add(1);
        while (!shared.stop.load()) {
            if (scenario.framesPerSecond) producer.sleep_until_next_frame();
            kova::Producer::Frame frame = producer.acquire(1s);
            // The pixels stay as they are but for a stamp the viewers check.
            const std::uint64_t stamp = kova::host_time_now();
            std::memcpy(frame.data(), &stamp, sizeof stamp);
            // push() leaves the camera's answer to the next acquire(): no round trip a frame.
            producer.push(std::move(frame), stamp);
            record.pushed.fetch_add(1);
            record.dropped.store(producer.counters().dropped);
        }
        producer.close();
    } catch (const std::exception& error) {
        shared.fail(std::string("producer: ") + error.what());
    }
}

// A consistent look at the counters and clocks, taken at the edges of the window.
struct Snapshot {
    std::uint64_t timeNs = 0;
    std::uint64_t cameraCpuNs = 0;
    std::uint64_t producerCpuNs = 0;
    std::uint64_t viewersCpuNs = 0;
    std::uint64_t accepted = 0;
    std::uint64_t refused = 0;
    std::uint64_t cameraMinorFaults = 0;
    std::map<std::string, ThreadUsage> cameraThreads;
};

}  // namespace

ScenarioResult runScenario(const Scenario& scenario) {
    SharedState shared;
    std::vector<std::unique_ptr<ViewerRecord>> viewers;
    ProducerRecord producer;
    std::vector<std::thread> viewerThreads;
    std::thread producerThread;

    // Whatever happens, the threads end before their records go.
    struct Joiner {
        SharedState& shared;
        std::vector<std::thread>& viewerThreads;
        std::thread& producerThread;
        ~Joiner() {
            shared.stop.store(true);
            if (producerThread.joinable()) producerThread.join();
            for (std::thread& thread : viewerThreads) thread.join();
        }
    } joiner{shared, viewerThreads, producerThread};

    const auto awaitReady = [&](int count) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (shared.ready.load() < count && !shared.failed.load()) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("the bench's clients did not start within 10 s");
            }
            std::this_thread::sleep_for(2ms);
        }
    };
    const auto raiseFailure = [&] {
        std::lock_guard lock(shared.failureMutex);
        if (shared.failed.load()) throw std::runtime_error(shared.failure);
    };

    for (int i = 0; i < scenario.viewers; ++i) {
        viewers.push_back(std::make_unique<ViewerRecord>());
        viewerThreads.emplace_back(runViewer, scenario.socketPath, std::ref(shared),
                                   std::ref(*viewers.back()));
    }
    awaitReady(scenario.viewers);
    if (scenario.producer) {
        producerThread =
            std::thread(runProducer, std::cref(scenario), std::ref(shared), std::ref(producer));
        awaitReady(scenario.viewers + 1);
    }
    raiseFailure();
    std::this_thread::sleep_for(std::chrono::duration<double>(scenario.warmupSeconds));

    const auto snapshot = [&] {
        Snapshot taken;
        taken.timeNs = monotonicNs();
        taken.cameraCpuNs = processCpuNs(scenario.cameraPid).value_or(0);
        if (producerThread.joinable()) {
            taken.producerCpuNs = threadCpuNs(producerThread.native_handle());
        }
        for (std::thread& thread : viewerThreads) {
            taken.viewersCpuNs += threadCpuNs(thread.native_handle());
        }
        taken.refused = producer.dropped.load();
        taken.accepted = producer.pushed.load() - taken.refused;
        if (const auto memory = memoryStatusOf(scenario.cameraPid)) {
            taken.cameraMinorFaults = memory->minorFaults;
        }
        taken.cameraThreads = threadUsageByName(scenario.cameraPid);
        return taken;
    };

    std::optional<BareBaseline> bare;
    if (scenario.bareBaselineRate) {
        bare.emplace(*scenario.bareBaselineRate);
        bare->start();
    }
    TaskCounters cameraCounters(tasksOf(scenario.cameraPid));
    TaskCounters producerCounters(
        producerThread.joinable() ? std::vector<pid_t>{producer.tid.load()} : std::vector<pid_t>{});
    std::vector<std::unique_ptr<TaskCounters>> viewerCounters;
    for (const auto& viewer : viewers) {
        viewerCounters.push_back(
            std::make_unique<TaskCounters>(std::vector<pid_t>{viewer->tid.load()}));
    }
    shared.recording.store(true);
    cameraCounters.start();
    producerCounters.start();
    for (auto& counters : viewerCounters) counters->start();
    const Snapshot start = snapshot();
    std::this_thread::sleep_for(std::chrono::duration<double>(scenario.windowSeconds));
    const Snapshot end = snapshot();
    ScenarioResult result;
    result.cameraCounts = cameraCounters.stop();
    result.producerCounts = producerCounters.stop();
    for (auto& counters : viewerCounters) result.viewerCounts.push_back(counters->stop());
    result.syscallsCounted = cameraCounters.syscallsCounted();
    if (bare) result.bare = bare->stop();
    result.cameraMemory = memoryStatusOf(scenario.cameraPid);
    result.cameraMapsOfProducerBuffers = sharedMappingsNamed(scenario.cameraPid, kProducerMemory);
    result.cameraMapsOfOwnBuffers = sharedMappingsNamed(scenario.cameraPid, kCameraMemory);
    shared.recording.store(false);
    shared.stop.store(true);
    if (producerThread.joinable()) producerThread.join();
    for (std::thread& thread : viewerThreads) thread.join();
    viewerThreads.clear();
    raiseFailure();

    result.seconds = double(end.timeNs - start.timeNs) / 1e9;
    result.framesRelayed = end.accepted - start.accepted;
    result.framesRefused = end.refused - start.refused;
    result.cameraCpuNs = end.cameraCpuNs - start.cameraCpuNs;
    result.producerCpuNs = end.producerCpuNs - start.producerCpuNs;
    result.viewersCpuNs = end.viewersCpuNs - start.viewersCpuNs;
    result.cameraMinorFaults = end.cameraMinorFaults - start.cameraMinorFaults;
    for (const auto& [name, usage] : end.cameraThreads) {
        ThreadUsage before;
        if (const auto found = start.cameraThreads.find(name); found != start.cameraThreads.end()) {
            before = found->second;
        }
        result.cameraThreads[name] =
            ThreadUsage{usage.cpuNs - before.cpuNs, usage.sleeps - before.sleeps};
    }
    for (const auto& viewer : viewers) {
        result.framesViewed += viewer->viewed.load();
        result.framesMissed += viewer->missed.load();
        result.markerMismatches += viewer->mismatches.load();
        result.framesTakenBack += viewer->takenBack.load();
        result.framesChangedUnannounced += viewer->unannounced.load();
        result.latencyUs.insert(result.latencyUs.end(), viewer->latencyUs.begin(),
                                viewer->latencyUs.end());
    }
    if (!viewers.empty()) {
        result.placeholderFrames = viewers.front()->placeholders.load();
        result.placeholderStampsNs = viewers.front()->placeholderStampsNs;
    }
    return result;
}

}  // namespace kova::bench
