// Frame-rate thinning for the PipeWire node.
#include "FramePacer.h"

namespace kova::pipewire {
namespace {

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

std::uint64_t interval_ns(Fraction rate) {
    return std::uint64_t{rate.denom} * kNanosPerSecond / rate.num;
}

}  // namespace

FramePacer::FramePacer(Fraction source, Fraction wanted)
    : period_ns_(interval_ns(wanted)),
      slack_ns_(interval_ns(source) / 2),
      // wanted >= source, compared without rounding.
      passes_all_(std::uint64_t{wanted.num} * source.denom >=
                  std::uint64_t{source.num} * wanted.denom) {}

bool FramePacer::take(std::uint64_t time_ns) {
    if (passes_all_) return true;
    if (started_ && time_ns + slack_ns_ < due_ns_) {
        // Early: drop it, unless time went back by more than a period (the source restarted
        // with another clock origin), which would otherwise hold every frame back.
        if (due_ns_ - time_ns <= 2 * period_ns_) return false;
    } else if (started_ && time_ns <= due_ns_ + period_ns_) {
        due_ns_ += period_ns_;
        return true;
    }
    // The first frame, a frame after a gap of more than a period, or after a jump back.
    started_ = true;
    due_ns_ = time_ns + period_ns_;
    return true;
}

}  // namespace kova::pipewire
