// kova-timer-lateness: how late the real timer driver's ticks reach a 1/30 s timer's handler.
//
// Usage: kova-timer-lateness [--seconds N]   (default 10)
// Prints the tick lateness (handler start minus the tick's deadline) at p50, p99 and max.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <vector>

#include "cli/CommandLine.h"
#include "host/RealClockHostBackend.h"
#include "host/dispatch/Dispatch.h"
#include "host/dispatch/RealTimerDriver.h"

namespace {

// The real clock and timer driver, and nothing else of a host.
class TimerOnlyBackend final : public kova::host::RealClockHostBackend {
  public:
    void deviceAdded(CMIOExtensionProvider&, const CMIOExtensionDeviceRef&) override {}
    void streamAdded(CMIOExtensionDevice&, const CMIOExtensionStreamRef&) override {}
    void startService(const CMIOExtensionProviderRef&) override {}
    void sendSampleBuffer(CMIOExtensionStream&, const CMSampleBufferRef&,
                          CMIOExtensionStreamDiscontinuityFlags, std::uint64_t) override {}
    void consumeSampleBuffer(CMIOExtensionStream&, const CMIOExtensionClientRef&,
                             CMIOExtensionConsumeCompletion) override {}
    void scheduledOutputChanged(CMIOExtensionStream&,
                                const CMIOExtensionScheduledOutputRef&) override {}
};

// Everything the handler records; touched only on the timer's queue until it is drained.
struct Measurements {
    std::vector<std::uint64_t> latenessNanoseconds;
    std::uint64_t lastTick = 0;
    std::uint64_t missedTicks = 0;
    std::uint64_t endNanoseconds = 0;
    std::promise<void> finished;
    bool finishedSet = false;
};

double percentileMicroseconds(std::vector<std::uint64_t> sorted, double fraction) {
    const std::size_t index =
        std::min(sorted.size() - 1, std::size_t(fraction * double(sorted.size())));
    return double(sorted[index]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App program("How late the real timer driver's ticks reach a 1/30 s timer's handler.",
                     "kova-timer-lateness");
    kova::cli::addVersion(program);
    double seconds = 10;
    program.add_option("--seconds", seconds, "how long to measure")
        ->check(CLI::PositiveNumber & CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;

    kova::host::HostBackend::install(std::make_shared<TimerOnlyBackend>());
    auto queue = DispatchQueue::create("bench.timer");
    auto timer = DispatchSourceTimer::makeTimerSource(queue);
    auto measurements = std::make_shared<Measurements>();
    measurements->latenessNanoseconds.reserve(std::size_t(seconds * 30) + 16);

    const DispatchTime start = DispatchTime::now();
    measurements->endNanoseconds = start.uptimeNanoseconds + std::uint64_t(seconds * 1e9);
    timer->schedule(start, 1.0 / 30.0, DispatchTimeInterval::nanoseconds(0));
    std::weak_ptr<DispatchSourceTimer> weakTimer = timer;
    timer->setEventHandler([measurements, weakTimer] {
        const std::uint64_t now = kova::host::monotonicNanoseconds();
        const auto self = weakTimer.lock();
        if (!self) return;
        // The tick being served is the last one whose deadline has passed.
        const std::uint64_t tick = self->firstTickAfter(now) - 1;
        auto& m = *measurements;
        if (!m.latenessNanoseconds.empty() && tick > m.lastTick + 1) {
            m.missedTicks += tick - m.lastTick - 1;
        }
        m.lastTick = tick;
        m.latenessNanoseconds.push_back(now - self->deadlineOfTick(tick));
        if (now >= m.endNanoseconds && !m.finishedSet) {
            m.finishedSet = true;
            m.finished.set_value();
        }
    });
    auto finished = measurements->finished.get_future();
    timer->resume();
    finished.wait();
    timer->cancel();

    std::promise<void> drained;
    queue->async([&drained] { drained.set_value(); });
    drained.get_future().wait();

    std::vector<std::uint64_t> sorted = measurements->latenessNanoseconds;
    std::sort(sorted.begin(), sorted.end());
    std::printf("ticks: %zu over %.1f s (missed: %llu)\n", sorted.size(), seconds,
                static_cast<unsigned long long>(measurements->missedTicks));
    std::printf("tick lateness: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                percentileMicroseconds(sorted, 0.50), percentileMicroseconds(sorted, 0.99),
                double(sorted.back()) / 1000.0);

    timer.reset();
    queue.reset();
    kova::host::HostBackend::install(nullptr);
    return 0;
}
