// RealTimerDriver: fires dispatch timers at their absolute deadlines on CLOCK_MONOTONIC.
//
// Threading: arm() may be called from any thread. The driver has one thread of its own, which
// waits for the earliest deadline and posts each tick to its timer's queue, where the handler
// runs; the destructor stops and joins it (so destroy the driver from any other thread).
// Deadlines are host-clock nanoseconds, so the driver belongs with a backend whose clock is
// CLOCK_MONOTONIC (see RealClockHostBackend).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/base/UniqueFD.h"
#include "host/dispatch/Dispatch.h"

namespace kova::host {

// Now on CLOCK_MONOTONIC, in nanoseconds.
std::uint64_t monotonicNanoseconds();

class RealTimerDriver final : public DispatchTimerDriver {
  public:
    // A running driver, or null when the kernel gives no timer or wake-up fd.
    static std::unique_ptr<RealTimerDriver> create();
    ~RealTimerDriver() override;
    RealTimerDriver(const RealTimerDriver&) = delete;
    RealTimerDriver& operator=(const RealTimerDriver&) = delete;

    // Starts (or, for a timer already armed, restarts) the timer from tick 0 of its schedule.
    void arm(const std::shared_ptr<DispatchSourceTimer>& timer) override;

  private:
    struct Entry {
        std::weak_ptr<DispatchSourceTimer> timer;
        std::uint64_t nextTick = 0;
        // Set while a tick waits on the timer's queue, so a slow handler gets one tick, not a
        // pile of them.
        std::shared_ptr<std::atomic<bool>> tickQueued;
    };

    RealTimerDriver(UniqueFD timerFd, UniqueFD wakeFd);
    void run();
    void wake();
    // The earliest deadline among live timers, dropping cancelled and destroyed ones.
    std::uint64_t nextDeadline();
    // Posts one tick for every timer due at `now`; ticks already missed are skipped.
    void postDueTicks(std::uint64_t now);

    UniqueFD timerFd_;
    UniqueFD wakeFd_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kova::host
