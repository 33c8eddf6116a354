// The soak and load runs: their clients, samples, tables and verdicts.
#include "Runs.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CameraChild.h"
#include "Churn.h"
#include "Footprint.h"
#include "MeasuredClients.h"
#include "protocol/Protocol.h"

namespace kova::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t kProducerId = 1;
// Before anything is measured: sessions started, the camera's buffers mapped.
constexpr auto kSettle = 2s;

// Collects the reasons a run fails; the run passes when there are none.
class Verdict {
  public:
    void require(bool holds, const std::string& otherwise) {
        if (!holds) reasons_.push_back(otherwise);
    }
    int finish() const {
        for (const auto& reason : reasons_) std::printf("FAIL: %s\n", reason.c_str());
        std::printf("result: %s\n", reasons_.empty() ? "PASS" : "FAIL");
        std::fflush(stdout);
        return reasons_.empty() ? 0 : 1;
    }

  private:
    std::vector<std::string> reasons_;
};

std::string format(const char* pattern, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

double percentChange(double from, double to) {
    return from == 0 ? 0 : (to - from) / from * 100;
}

// Waits until `point`, checking that the camera still runs; false if it ended.
bool sleepUntil(Clock::time_point point, CameraChild& camera) {
    while (Clock::now() < point) {
        if (!camera.running()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(point - Clock::now(), 100ms));
    }
    return camera.running();
}

// The clients' own failures and their accounting, checked once they have stopped.
void checkClients(Verdict& verdict, const ProducerTally& producer,
                  const std::vector<ViewerTally>& viewers) {
    verdict.require(producer.failure.empty(), "the producer failed: " + producer.failure);
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        const ViewerTally& viewer = viewers[i];
        const std::string name = "viewer " + std::to_string(i + 1);
        verdict.require(viewer.failure.empty(), name + " failed: " + viewer.failure);
        verdict.require(viewer.unaccounted == 0,
                        format("%s: %llu output frames skipped without being reported missed",
                               name.c_str(), (unsigned long long)viewer.unaccounted));
        verdict.require(viewer.outOfOrder == 0, format("%s: %llu frames out of order", name.c_str(),
                                                       (unsigned long long)viewer.outOfOrder));
        const std::uint64_t lost = framesLostUncounted(producer, viewer);
        verdict.require(lost == 0, format("%s: %llu accepted frames lost without being counted",
                                          name.c_str(), (unsigned long long)lost));
    }
}

void checkCameraStops(Verdict& verdict, CameraChild& camera) {
    const auto status = camera.stop();
    verdict.require(status.has_value(), "kova-camera did not end on SIGTERM:\n" + camera.log());
    if (status) {
        verdict.require(*status == 0, format("kova-camera ended with status %d:\n%s", *status,
                                             camera.log().c_str()));
    }
}

void printTotals(const ProducerTally& producer, const std::vector<ViewerTally>& viewers) {
    std::printf(
        "producer: %llu pushed, %llu accepted, %llu refused, %llu dropped after "
        "acceptance, %llu stalls\n",
        (unsigned long long)producer.submitted, (unsigned long long)producer.accepted,
        (unsigned long long)producer.refused, (unsigned long long)producer.droppedAfterAccept,
        (unsigned long long)producer.stalls);
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        std::printf(
            "viewer %zu: %llu frames, %llu of the producer (and %llu read after they were taken "
            "back), %llu reported missed, %llu lost uncounted\n",
            i + 1, (unsigned long long)viewers[i].frames, (unsigned long long)viewers[i].marked,
            (unsigned long long)viewers[i].overwritten, (unsigned long long)viewers[i].missed,
            (unsigned long long)framesLostUncounted(producer, viewers[i]));
    }
}

}  // namespace

// ---- soak ----

int runSoak(const SoakOptions& options) {
    auto camera = CameraChild::start(options.camera);
    std::printf(
        "kova-soak soak: %.0f fps push, %u viewers, %lld s, a sample every %lld s, "
        "warm-up %lld s\n",
        options.fps, options.viewers, (long long)options.duration.count(),
        (long long)options.interval.count(), (long long)options.warmup.count());
    std::printf("camera: pid %d, socket %s\n", int(camera->pid()), camera->socketPath().c_str());

    const ConnectOptions connect{camera->socketPath()};
    std::vector<std::unique_ptr<MeasuringViewer>> viewers;
    for (unsigned i = 0; i < options.viewers; ++i) {
        viewers.push_back(std::make_unique<MeasuringViewer>(
            MeasuringViewer::Options{connect, kProducerId, false}));
    }
    MarkedProducer producer(MarkedProducer::Options{connect, kProducerId, options.fps, false});

    std::printf("%6s %9s %9s %9s %5s %9s", "time", "rss KiB", "anon KiB", "shm KiB", "fds",
                "pushed/s");
    for (unsigned i = 0; i < options.viewers; ++i) std::printf("  viewer%u/s", i + 1);
    std::printf(" %7s %7s %7s %7s\n", "p50 ms", "p99 ms", "max ms", "missed");

    Verdict verdict;
    const auto start = Clock::now();
    ProducerTally producerBefore = producer.tally();
    std::vector<ViewerTally> viewersBefore;
    for (auto& viewer : viewers) viewersBefore.push_back(viewer->tally());
    std::optional<Footprint> atWarmup;
    Footprint last;
    for (auto elapsed = options.interval; elapsed <= options.duration;
         elapsed += options.interval) {
        if (!sleepUntil(start + elapsed, *camera)) {
            verdict.require(false, "kova-camera ended during the soak:\n" + camera->log());
            break;
        }
        const auto footprint = footprintOf(camera->pid());
        if (!footprint) {
            verdict.require(false, "cannot read the camera's footprint");
            break;
        }
        const ProducerTally producerNow = producer.tally();
        std::vector<std::uint64_t> latencies;
        std::printf("%4llds %9llu %9llu %9llu %5zu", (long long)elapsed.count(),
                    (unsigned long long)footprint->residentKiB,
                    (unsigned long long)footprint->anonymousKiB,
                    (unsigned long long)footprint->sharedKiB, footprint->fds);
        std::vector<Figures> figures;
        std::uint64_t missed = 0;
        for (std::size_t i = 0; i < viewers.size(); ++i) {
            const ViewerTally viewerNow = viewers[i]->tally();
            auto taken = viewers[i]->takeLatencies();
            figures.push_back(
                figuresBetween(producerBefore, producerNow, viewersBefore[i], viewerNow, taken));
            latencies.insert(latencies.end(), taken.begin(), taken.end());
            missed += viewerNow.missed - viewersBefore[i].missed;
            viewersBefore[i] = viewerNow;
        }
        const double pushedFps = double(producerNow.accepted - producerBefore.accepted) /
                                 (double(producerNow.atNs - producerBefore.atNs) / 1e9);
        const Latencies latency = summarize(std::move(latencies));
        std::printf(" %9.1f", pushedFps);
        for (const Figures& f : figures) std::printf(" %10.1f", f.viewedFps);
        std::printf(" %7.2f %7.2f %7.2f %7llu\n", latency.p50Ms, latency.p99Ms, latency.maxMs,
                    (unsigned long long)missed);
        std::fflush(stdout);
        producerBefore = producerNow;
        if (!atWarmup && elapsed >= options.warmup) atWarmup = *footprint;
        last = *footprint;
    }

    const ProducerTally producerFinal = producer.stop();
    std::vector<ViewerTally> viewersFinal;
    for (auto& viewer : viewers) viewersFinal.push_back(viewer->stop());
    printTotals(producerFinal, viewersFinal);
    checkClients(verdict, producerFinal, viewersFinal);
    if (atWarmup) {
        const auto residentGrowth =
            std::int64_t(last.residentKiB) - std::int64_t(atWarmup->residentKiB);
        const auto fdGrowth = std::int64_t(last.fds) - std::int64_t(atWarmup->fds);
        std::printf(
            "growth after the warm-up: rss %+lld KiB (bound %llu), fds %+lld (bound "
            "%llu)\n",
            (long long)residentGrowth, (unsigned long long)options.maxResidentGrowthKiB,
            (long long)fdGrowth, (unsigned long long)options.maxFdGrowth);
        verdict.require(residentGrowth <= std::int64_t(options.maxResidentGrowthKiB),
                        format("the camera's resident memory grew by %lld KiB after the warm-up",
                               (long long)residentGrowth));
        verdict.require(
            fdGrowth <= std::int64_t(options.maxFdGrowth),
            format("the camera's open fds grew by %lld after the warm-up", (long long)fdGrowth));
    } else {
        verdict.require(false, "no sample after the warm-up");
    }
    checkCameraStops(verdict, *camera);
    return verdict.finish();
}

// ---- load ----

namespace {

// How long a fresh churn runs before its stretch is measured.
constexpr auto kChurnSettle = 1s;

struct Phase {
    ProducerTally producer;
    ViewerTally viewer;
};

Phase tallies(const MarkedProducer& producer, const MeasuringViewer& viewer) {
    return Phase{producer.tally(), viewer.tally()};
}

// Stretches of one kind taken apart in time, added up as if they were one.
class Stretches {
  public:
    void add(const Phase& from, const Phase& to) {
        total_.producer.atNs += to.producer.atNs - from.producer.atNs;
        total_.producer.accepted += to.producer.accepted - from.producer.accepted;
        total_.producer.refused += to.producer.refused - from.producer.refused;
        total_.producer.stalls += to.producer.stalls - from.producer.stalls;
        total_.viewer.marked += to.viewer.marked - from.viewer.marked;
        total_.viewer.frames += to.viewer.frames - from.viewer.frames;
        total_.viewer.missed += to.viewer.missed - from.viewer.missed;
    }
    Figures figures(std::vector<std::uint64_t> latencies) const {
        return figuresBetween({}, total_.producer, {}, total_.viewer, std::move(latencies));
    }

  private:
    Phase total_;  // from a start of zero
};

void printFiguresRow(const char* name, const Figures& f) {
    std::printf("%-10s %7.1f %9.1f %9.1f %7.2f %7.2f %7.2f %7llu %7llu\n", name, f.seconds,
                f.pushedFps, f.viewedFps, f.latency.p50Ms, f.latency.p99Ms, f.latency.maxMs,
                (unsigned long long)f.missed, (unsigned long long)f.refused);
    std::fflush(stdout);
}

}  // namespace

int runLoad(const LoadOptions& options) {
    // Every slot but the measured producer's and viewer's churns, shared among the three kinds.
    const unsigned churning = wire::kMaxClients - 2;
    Churn::Options churnOptions;
    churnOptions.sinks = churning / 3;
    churnOptions.viewers = churning / 3;
    churnOptions.infos = churning - 2 * (churning / 3);

    auto camera = CameraChild::start(options.camera);
    churnOptions.socketPath = camera->socketPath();
    std::printf(
        "kova-soak load: %u churning clients (%u sink, %u view, %u info) and a measured "
        "producer (%.0f fps) and viewer: %u, the camera's most; %lld s of churn in stretches "
        "of %lld s, each after %lld s quiet\n",
        churning, churnOptions.sinks, churnOptions.viewers, churnOptions.infos, options.fps,
        wire::kMaxClients, (long long)options.duration.count(), (long long)options.interval.count(),
        (long long)options.idle.count());
    std::printf("camera: pid %d, socket %s\n", int(camera->pid()), camera->socketPath().c_str());

    const ConnectOptions connect{camera->socketPath()};
    MeasuringViewer viewer(MeasuringViewer::Options{connect, kProducerId, false});
    MarkedProducer producer(MarkedProducer::Options{connect, kProducerId, options.fps, false});
    Verdict verdict;
    std::printf("%-10s %7s %9s %9s %7s %7s %7s %7s %7s\n", "phase", "seconds", "pushed/s",
                "viewed/s", "p50 ms", "p99 ms", "max ms", "missed", "refused");

    // Quiet and churning stretches alternate, so that both sample the machine alike: on a shared
    // machine the median wake-up latency drifts by more than the bound between two stretches
    // taken a minute apart.
    auto start = Clock::now();
    bool cameraRan = sleepUntil(start + kSettle, *camera);
    std::vector<std::uint64_t> idleLatencies, loadLatencies;
    Stretches idleStretches, loadStretches;
    ChurnTally churned;
    auto measureStretch = [&](const char* kind, unsigned round, Stretches& into,
                              std::vector<std::uint64_t>& pooled, std::chrono::seconds length) {
        viewer.takeLatencies();  // those of the time between stretches are not counted
        const Phase from = tallies(producer, viewer);
        cameraRan = cameraRan && sleepUntil(Clock::now() + length, *camera);
        const Phase to = tallies(producer, viewer);
        std::vector<std::uint64_t> latencies = viewer.takeLatencies();
        pooled.insert(pooled.end(), latencies.begin(), latencies.end());
        into.add(from, to);
        printFiguresRow(format("%s %u", kind, round).c_str(),
                        figuresBetween(from.producer, to.producer, from.viewer, to.viewer,
                                       std::move(latencies)));
    };
    const unsigned rounds = unsigned((options.duration + options.interval - 1s) / options.interval);
    for (unsigned round = 1; round <= rounds && cameraRan; ++round) {
        measureStretch("quiet", round, idleStretches, idleLatencies, options.idle);
        const auto length =
            std::min(options.interval, options.duration - (round - 1) * options.interval);
        Churn churn(churnOptions);
        // The churn's first sessions open before the stretch is measured.
        cameraRan = cameraRan && sleepUntil(Clock::now() + kChurnSettle, *camera);
        measureStretch("churn", round, loadStretches, loadLatencies, length);
        churned += churn.stop();
    }
    const Figures idle = idleStretches.figures(std::move(idleLatencies));
    const Figures load = loadStretches.figures(std::move(loadLatencies));
    printFiguresRow("quiet", idle);
    printFiguresRow("churn", load);
    verdict.require(cameraRan, "kova-camera ended during the run:\n" + camera->log());

    std::printf(
        "churn: %llu sink clients refused the sink (%llu pushes, %llu answered), %llu view "
        "sessions "
        "(%llu frames), %llu info sessions; %llu connections refused at the limit, %llu "
        "probes for one client more let in\n",
        (unsigned long long)churned.sinksRefused, (unsigned long long)churned.pushes,
        (unsigned long long)churned.pushesAnswered, (unsigned long long)churned.viewSessions,
        (unsigned long long)churned.framesViewed, (unsigned long long)churned.infoSessions,
        (unsigned long long)churned.refusedAtLimit, (unsigned long long)churned.probesAdmitted);
    for (const auto& failure : churned.failures) {
        verdict.require(false, "a churning client met the unexpected: " + failure);
    }
    verdict.require(churned.refusedAtLimit > 0,
                    "the camera never turned a client away: the churn did not reach its limit");

    const double keep = 1 - options.tolerancePercent / 100;
    const double grow = 1 + options.tolerancePercent / 100;
    std::printf(
        "under load: pushed %+.1f %%, viewed %+.1f %%, latency p50 %+.1f %% (%+.2f ms), "
        "p99 %+.1f %% (%+.2f ms)\n",
        percentChange(idle.pushedFps, load.pushedFps),
        percentChange(idle.viewedFps, load.viewedFps),
        percentChange(idle.latency.p50Ms, load.latency.p50Ms),
        load.latency.p50Ms - idle.latency.p50Ms,
        percentChange(idle.latency.p99Ms, load.latency.p99Ms),
        load.latency.p99Ms - idle.latency.p99Ms);
    verdict.require(load.pushedFps >= keep * idle.pushedFps,
                    format("the producer pushed %.1f frames a second under load, %.1f idle",
                           load.pushedFps, idle.pushedFps));
    verdict.require(load.viewedFps >= keep * idle.viewedFps,
                    format("the viewer got %.1f frames a second under load, %.1f idle",
                           load.viewedFps, idle.viewedFps));
    verdict.require(load.latency.p50Ms <= std::max(grow * idle.latency.p50Ms,
                                                   idle.latency.p50Ms + options.latencySlackMs),
                    format("median latency %.2f ms under load, %.2f ms idle", load.latency.p50Ms,
                           idle.latency.p50Ms));

    const ProducerTally producerFinal = producer.stop();
    const ViewerTally viewerFinal = viewer.stop();
    printTotals(producerFinal, {viewerFinal});
    checkClients(verdict, producerFinal, {viewerFinal});
    checkCameraStops(verdict, *camera);
    return verdict.finish();
}

}  // namespace kova::soak
