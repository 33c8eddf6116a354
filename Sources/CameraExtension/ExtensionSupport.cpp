// The compiled-in constants, frame duration, host-time conversions and fatal-error reports.
#include "Sources/CameraExtension/ExtensionSupport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

constexpr double kNanosecondsPerSecond = 1'000'000'000.0;
// 2^64 as a double: the first product that no longer fits an unsigned 64-bit integer.
constexpr double kTwoToThe64 = 18446744073709551616.0;

UUID parseDeviceUID() {
    std::optional<UUID> parsed = UUID::fromUUIDString("6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
    if (!parsed) fatalError();
    return *parsed;
}

}  // namespace

const UUID kDeviceUID = parseDeviceUID();

CMTime frameDuration() {
    const double timescale = kFrameRate * 100.0;
    if (!std::isfinite(timescale) || !(timescale > -2147483649.0 && timescale < 2147483648.0)) {
        fatalError();
    }
    return CMTimeMake(100, static_cast<CMTimeScale>(timescale));
}

std::int32_t int32OrFatal(std::int64_t value) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        fatalError();
    }
    return static_cast<std::int32_t>(value);
}

double currentHostSeconds() {
    return CMTimeGetSeconds(CMClockGetTime(CMClockGetHostTimeClock()));
}

std::uint64_t hostNanoseconds(double seconds) {
    const double nanoseconds = seconds * kNanosecondsPerSecond;
    if (!std::isfinite(nanoseconds) || !(nanoseconds > -1.0 && nanoseconds < kTwoToThe64)) {
        fatalError();
    }
    return static_cast<std::uint64_t>(nanoseconds);
}

std::optional<std::uint64_t> relayHostNanoseconds(double presentationSeconds) {
    if (std::isnan(presentationSeconds) || presentationSeconds < 0.0) return 0;
    const double nanoseconds = presentationSeconds * kNanosecondsPerSecond;
    if (!(nanoseconds < kTwoToThe64)) return std::nullopt;
    // To the nearest: seconds * 1e9 can land just below the producer's whole nanosecond, and
    // truncating would relay its time one nanosecond early.
    return static_cast<std::uint64_t>(std::round(nanoseconds));
}

void fatalError() {
    std::abort();
}

void fatalError(const NSError& hostError, int line) {
    std::fprintf(stderr, "CameraExtension/main:%d: Fatal error: %s (domain %s, code %lld)\n", line,
                 hostError.localizedDescription.c_str(), hostError.domain.c_str(),
                 static_cast<long long>(hostError.code));
    std::fflush(stderr);
    std::abort();
}
