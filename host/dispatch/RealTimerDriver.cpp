// RealTimerDriver: each timer's ticks as timed work on its own queue.
#include "host/dispatch/RealTimerDriver.h"

#include <time.h>

#include <algorithm>

namespace kova::host {

std::uint64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

namespace {

bool sameTimer(const std::weak_ptr<DispatchSourceTimer>& a,
               const std::weak_ptr<DispatchSourceTimer>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

std::unique_ptr<RealTimerDriver> RealTimerDriver::create() {
    return std::unique_ptr<RealTimerDriver>(new RealTimerDriver());
}

void RealTimerDriver::arm(const std::shared_ptr<DispatchSourceTimer>& timer) {
    if (!timer) return;
    const std::weak_ptr<DispatchSourceTimer> weak = timer;
    auto arming = std::make_shared<Arming>();
    {
        std::lock_guard lock(mutex_);
        // Timers that are gone are forgotten here, so the list stays as long as the live ones.
        std::erase_if(entries_, [&](const Entry& entry) {
            const bool retired = entry.timer.expired() || sameTimer(entry.timer, weak);
            if (retired) entry.arming->current.store(false);
            return retired;
        });
        entries_.push_back(Entry{weak, arming});
    }
    queueTick(weak, arming, 0);
}

void RealTimerDriver::queueTick(const std::weak_ptr<DispatchSourceTimer>& weakTimer,
                                const std::shared_ptr<Arming>& arming, std::uint64_t tick) {
    const auto timer = weakTimer.lock();
    if (!timer || timer->isCancelled() || !arming->current.load()) return;
    const std::uint64_t deadline = timer->deadlineOfTick(tick);
    // A timer with no tick to come is done; scheduling it again arms it again.
    if (deadline == UINT64_MAX) return;
    timer->queue()->asyncAt(deadline, [weakTimer, arming] {
        if (!arming->current.load()) return;
        if (const auto timer = weakTimer.lock()) {
            timer->fire();
            // One tick next for however many deadlines passed meanwhile: no burst after a
            // late or slow tick.
            queueTick(weakTimer, arming, timer->firstTickAfter(monotonicNanoseconds()));
        }
    });
}

}  // namespace kova::host
