// The machine's own floor, measured beside Kova in the same window: a thread that sleeps to
// absolute deadlines at a fixed rate (how late a plain timer wakes) and sends a time stamp
// through a SOCK_SEQPACKET socket pair to a thread blocked on the other end (one hop between two
// threads: its latency, and the CPU one cold wake-up with one receive costs).
//
// Threading: start() and stop() from one thread; the object runs two threads of its own between
// them.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "kova/kova.h"

namespace kova::bench {

struct BareBaselineResult {
    std::vector<double> timerLatenessUs;  // sender's wake-up minus its deadline
    std::vector<double> hopLatencyUs;     // receive time minus the stamp sent
    std::uint64_t receiverCpuNs = 0;      // while it received the hops counted
};

class BareBaseline {
  public:
    explicit BareBaseline(double framesPerSecond) : periodNs_(1e9 / framesPerSecond) {}
    BareBaseline(const BareBaseline&) = delete;
    BareBaseline& operator=(const BareBaseline&) = delete;
    ~BareBaseline();

    // Throws std::runtime_error when the socket pair cannot be made.
    void start();
    BareBaselineResult stop();

  private:
    double periodNs_;
    int ends_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread sender_;
    std::thread receiver_;
    std::vector<double> timerLatenessUs_;  // the sender's until joined
    std::vector<double> hopLatencyUs_;     // the receiver's until joined
    std::uint64_t receiverStartCpuNs_ = 0;
    std::uint64_t receiverEndCpuNs_ = 0;
};

}  // namespace kova::bench
