// RealTimerDriver: fires dispatch timers at their absolute deadlines on CLOCK_MONOTONIC.
//
// Threading: arm() may be called from any thread. Each tick is timed work on the timer's own
// queue (DispatchQueue::asyncAt): the queue's thread sleeps until the deadline and runs the
// handler itself, so a tick costs one thread wake-up. A tick queues the next one when its
// handler returns, so a slow handler gets one tick, not a pile of them, and ticks already missed
// are skipped. Ticks refer to the driver by nothing, so they may outlive it. Deadlines are
// host-clock nanoseconds, so the driver belongs with a backend whose clock is CLOCK_MONOTONIC
// (see RealClockHostBackend).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/dispatch/Dispatch.h"

namespace kova::host {

// Now on CLOCK_MONOTONIC, in nanoseconds.
std::uint64_t monotonicNanoseconds();

class RealTimerDriver final : public DispatchTimerDriver {
  public:
    static std::unique_ptr<RealTimerDriver> create();
    RealTimerDriver(const RealTimerDriver&) = delete;
    RealTimerDriver& operator=(const RealTimerDriver&) = delete;

    // Starts (or, for a timer already armed, restarts) the timer from tick 0 of its schedule.
    void arm(const std::shared_ptr<DispatchSourceTimer>& timer) override;

  private:
    // One arming of one timer; arming the timer again retires it, and its ticks stop.
    struct Arming {
        std::atomic<bool> current{true};
    };
    struct Entry {
        std::weak_ptr<DispatchSourceTimer> timer;
        std::shared_ptr<Arming> arming;
    };

    RealTimerDriver() = default;
    // Queues tick `tick` of the timer on its queue, unless the timer or this arming is done.
    static void queueTick(const std::weak_ptr<DispatchSourceTimer>& weakTimer,
                          const std::shared_ptr<Arming>& arming, std::uint64_t tick);

    std::mutex mutex_;
    std::vector<Entry> entries_;  // the current arming of each live timer
};

}  // namespace kova::host
