// FramePacer: the deadlines of a push loop at a fixed rate, on an absolute grid.
//
// Threading: plain value; one owner.
#pragma once

#include <cmath>
#include <cstdint>

namespace kova::client {

// Deadline n is start + n × period, computed from n each time, so rounding never accumulates
// and the loop never drifts. A caller late by less than a period gets its slot at once (the
// deadline has passed); one that fell further behind skips the slots it missed instead of
// bursting to catch up.
class FramePacer {
  public:
    explicit FramePacer(double framesPerSecond) : periodNs_(1e9 / framesPerSecond) {}

    double periodNs() const { return periodNs_; }

    // The deadline to sleep until, given the clock's time now. The first call starts the grid
    // at `nowNs` and returns its next slot.
    std::uint64_t nextDeadline(std::uint64_t nowNs) {
        if (!started_) {
            started_ = true;
            startNs_ = nowNs;
            slot_ = 0;
        }
        ++slot_;
        if (double(deadlineOf(slot_)) + periodNs_ <= double(nowNs)) {
            slot_ = std::uint64_t(std::floor(double(nowNs - startNs_) / periodNs_));
            while (deadlineOf(slot_) <= nowNs) ++slot_;
        }
        return deadlineOf(slot_);
    }

  private:
    std::uint64_t deadlineOf(std::uint64_t slot) const {
        return startNs_ + std::uint64_t(std::llround(double(slot) * periodNs_));
    }

    double periodNs_;
    bool started_ = false;
    std::uint64_t startNs_ = 0;
    std::uint64_t slot_ = 0;
};

}  // namespace kova::client
