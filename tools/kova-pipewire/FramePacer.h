// Thins a stream of frames evenly to a lower frame rate, by the frames' timestamps.
//
// Threading: a FramePacer is used by one thread at a time.
#pragma once

#include <cstdint>

namespace kova::pipewire {

struct Fraction {
    std::uint32_t num = 0;
    std::uint32_t denom = 1;
    bool operator==(const Fraction&) const = default;
};

class FramePacer {
  public:
    // `source` is the rate frames arrive at, `wanted` the rate to pass them on at; both above 0.
    FramePacer(Fraction source, Fraction wanted);

    // Whether the frame stamped `time_ns` goes out. At or above the source's rate every frame
    // does; below it, frames are let through one period apart on average, so the gaps between
    // them are as even as the source's frames allow.
    bool take(std::uint64_t time_ns);

  private:
    std::uint64_t period_ns_;
    std::uint64_t slack_ns_;  // half a source interval: a frame a little early still counts
    bool passes_all_;
    bool started_ = false;
    std::uint64_t due_ns_ = 0;
};

}  // namespace kova::pipewire
