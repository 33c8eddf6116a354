// A plain timer thread and one SOCK_SEQPACKET hop to a blocked thread, as the machine's floor.
#include "BareBaseline.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "Measure.h"

namespace kova::bench {

BareBaseline::~BareBaseline() {
    if (sender_.joinable() || receiver_.joinable()) stop();
}

void BareBaseline::start() {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_) != 0) {
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    receiver_ = std::thread([this] {
        receiverStartCpuNs_ = callingThreadCpuNs();
        for (;;) {
            std::uint64_t stamp = 0;
            const ssize_t got = ::recv(ends_[1], &stamp, sizeof stamp, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got != ssize_t(sizeof stamp)) break;  // the sender hung up
            hopLatencyUs_.push_back(double(monotonicNs() - stamp) / 1e3);
        }
        receiverEndCpuNs_ = callingThreadCpuNs();
    });
    sender_ = std::thread([this] {
        const std::uint64_t first = monotonicNs() + std::uint64_t(periodNs_);
        for (std::uint64_t k = 0; !stopping_.load(); ++k) {
            const std::uint64_t deadline =
                first + std::uint64_t(std::llround(double(k) * periodNs_));
            const timespec until{time_t(deadline / 1'000'000'000u),
                                 long(deadline % 1'000'000'000u)};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            const std::uint64_t woke = monotonicNs();
            timerLatenessUs_.push_back(double(woke - deadline) / 1e3);
            if (::send(ends_[0], &woke, sizeof woke, MSG_NOSIGNAL) != ssize_t(sizeof woke)) break;
        }
        ::shutdown(ends_[0], SHUT_WR);
    });
}

BareBaselineResult BareBaseline::stop() {
    stopping_.store(true);
    if (sender_.joinable()) sender_.join();
    if (receiver_.joinable()) receiver_.join();
    for (int& end : ends_) {
        if (end >= 0) ::close(end);
        end = -1;
    }
    return BareBaselineResult{std::move(timerLatenessUs_), std::move(hopLatencyUs_),
                              receiverEndCpuNs_ - receiverStartCpuNs_};
}

}  // namespace kova::bench
