// RealClockHostBackend: CLOCK_MONOTONIC and a RealTimerDriver.
#include "host/RealClockHostBackend.h"

namespace kova::host {

RealClockHostBackend::RealClockHostBackend() : timerDriver_(RealTimerDriver::create()) {}

std::uint64_t RealClockHostBackend::hostTimeNanoseconds() {
    return monotonicNanoseconds();
}

DispatchTimerDriver& RealClockHostBackend::timerDriver() {
    return *timerDriver_;
}

}  // namespace kova::host
