// Media time (CMTime) and the host clock.
//
// Threading: CMTime is a value. The host clock may be read from any thread.
#pragma once

#include <cstdint>

using CMTimeValue = std::int64_t;
using CMTimeScale = std::int32_t;
using CMTimeEpoch = std::int64_t;

enum CMTimeFlags : std::uint32_t {
    kCMTimeFlags_Valid = 1u << 0,
    kCMTimeFlags_HasBeenRounded = 1u << 1,
    kCMTimeFlags_PositiveInfinity = 1u << 2,
    kCMTimeFlags_NegativeInfinity = 1u << 3,
    kCMTimeFlags_Indefinite = 1u << 4,
};

// A rational time: value / timescale seconds, valid only with the valid flag and a positive
// timescale.
struct CMTime {
    CMTimeValue value = 0;
    CMTimeScale timescale = 0;
    std::uint32_t flags = 0;
    CMTimeEpoch epoch = 0;

    bool isValid() const { return (flags & kCMTimeFlags_Valid) != 0; }
    // The time in seconds: NaN for an invalid or indefinite time, ±infinity for the infinite ones.
    double seconds() const;

    bool operator==(const CMTime&) const = default;
};

inline constexpr CMTime kCMTimeInvalid{0, 0, 0, 0};
inline constexpr CMTime kCMTimeZero{0, 1, kCMTimeFlags_Valid, 0};
inline constexpr CMTime kCMTimePositiveInfinity{
    0, 0, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity, 0};
inline constexpr CMTime kCMTimeNegativeInfinity{
    0, 0, kCMTimeFlags_Valid | kCMTimeFlags_NegativeInfinity, 0};
inline constexpr CMTime kCMTimeIndefinite{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_Indefinite, 0};

// value / timescale; a timescale that is not positive gives kCMTimeInvalid.
CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale);
double CMTimeGetSeconds(CMTime time);

// The host clock: CLOCK_MONOTONIC, shared by every process on the machine, in nanoseconds
// (timescale 1 000 000 000). The handle is borrowed: never released by the caller.
struct CMClock;
using CMClockRef = CMClock*;
CMClockRef CMClockGetHostTimeClock();
CMTime CMClockGetTime(CMClockRef clock);
