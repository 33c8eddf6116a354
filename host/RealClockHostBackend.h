// RealClockHostBackend: the clock and timers of a real host, for backends that run on the
// machine's own time.
//
// Threading: hostTimeNanoseconds() and timerDriver() may be called from any thread. Timers tick
// on their own queues' threads.
#pragma once

#include <memory>

#include "host/HostBackend.h"
#include "host/dispatch/RealTimerDriver.h"

namespace kova::host {

// The host clock is CLOCK_MONOTONIC and timers fire on a RealTimerDriver. What the extension
// hands the host is left to the subclass.
class RealClockHostBackend : public HostBackend {
  public:
    std::uint64_t hostTimeNanoseconds() override;
    DispatchTimerDriver& timerDriver() override;

  protected:
    RealClockHostBackend();

  private:
    std::unique_ptr<RealTimerDriver> timerDriver_;
};

}  // namespace kova::host
