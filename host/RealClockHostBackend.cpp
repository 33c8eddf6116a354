// RealClockHostBackend: CLOCK_MONOTONIC and a RealTimerDriver.
#include "host/RealClockHostBackend.h"

#include <cstdio>
#include <cstdlib>

namespace kova::host {

RealClockHostBackend::RealClockHostBackend() : timerDriver_(RealTimerDriver::create()) {
    if (!timerDriver_) {
        std::fputs("kova: cannot create the timer driver\n", stderr);
        std::abort();
    }
}

std::uint64_t RealClockHostBackend::hostTimeNanoseconds() {
    return monotonicNanoseconds();
}

DispatchTimerDriver& RealClockHostBackend::timerDriver() {
    return *timerDriver_;
}

}  // namespace kova::host
