// Media time conversions and the host clock.
#include "host/media/CMTime.h"

#include <limits>

#include "host/HostBackend.h"

double CMTime::seconds() const {
    if (!isValid() || (flags & kCMTimeFlags_Indefinite) != 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if ((flags & kCMTimeFlags_PositiveInfinity) != 0)
        return std::numeric_limits<double>::infinity();
    if ((flags & kCMTimeFlags_NegativeInfinity) != 0)
        return -std::numeric_limits<double>::infinity();
    if (timescale <= 0) return std::numeric_limits<double>::quiet_NaN();
    return double(value) / double(timescale);
}

CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale) {
    if (timescale <= 0) return kCMTimeInvalid;
    return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

double CMTimeGetSeconds(CMTime time) {
    return time.seconds();
}

// The clock itself has no state: the installed backend keeps the time.
struct CMClock {};

CMClockRef CMClockGetHostTimeClock() {
    static CMClock hostTimeClock;
    return &hostTimeClock;
}

CMTime CMClockGetTime(CMClockRef clock) {
    if (clock != CMClockGetHostTimeClock()) return kCMTimeInvalid;
    const std::uint64_t nanoseconds = kova::host::HostBackend::current()->hostTimeNanoseconds();
    return CMTimeMake(CMTimeValue(nanoseconds), 1'000'000'000);
}
