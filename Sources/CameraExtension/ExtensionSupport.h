// What every unit of the camera extension shares: the compiled-in constants, the frame
// duration, host-time conversions and the fatal-error reports.
//
// Threading: everything here is a constant or a function without state; call it from any
// thread.
#pragma once

#include <cstdint>
#include <optional>

#include "host/foundation/Foundation.h"
#include "host/media/CMTime.h"

// Frames per second that both streams advertise.
inline constexpr double kFrameRate = 59.83;
// The frame size in pixels of both streams.
inline constexpr std::int64_t kWidth = 800;
inline constexpr std::int64_t kHeight = 960;
// The device's fixed identifier, parsed from its text form before main() runs; a text that
// does not parse ends the process.
extern const UUID kDeviceUID;

// Value 100 over the timescale kFrameRate × 100 truncated to 32 bits: 100/5983 s. Computed
// afresh at each use; a product that is not finite or does not fit ends the process.
CMTime frameDuration();

// The value as a signed 32-bit integer; a value outside that range ends the process.
std::int32_t int32OrFatal(std::int64_t value);

// The host clock's current time in seconds.
double currentHostSeconds();

// seconds × 10^9 truncated toward zero. The product must be finite, greater than -1 and below
// 2^64; anything else ends the process.
std::uint64_t hostNanoseconds(double seconds);

// The host time a relayed buffer is sent with: 0 for a presentation time that is negative or
// not a number, else seconds × 10^9 rounded to the nearest nanosecond. A time that is +infinity or
// whose nanoseconds would reach 2^64 has none: nothing.
std::optional<std::uint64_t> relayHostNanoseconds(double presentationSeconds);

// Ends the process without a message: a broken invariant at start, or a missing object that
// construction guarantees.
[[noreturn]] void fatalError();

// Ends the process after writing the host's error and the location "CameraExtension/main",
// `line` on stderr. Used where the host refuses part of the object graph at start.
[[noreturn]] void fatalError(const NSError& hostError, int line);
