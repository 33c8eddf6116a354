// RealTimerDriver: a timerfd on CLOCK_MONOTONIC with absolute deadlines, and an eventfd to wake
// the driver when a timer is armed.
#include "host/dispatch/RealTimerDriver.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace kova::host {

std::uint64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

namespace {

bool sameTimer(const std::weak_ptr<DispatchSourceTimer>& a,
               const std::weak_ptr<DispatchSourceTimer>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

void readCounter(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::unique_ptr<RealTimerDriver> RealTimerDriver::create() {
    UniqueFD timerFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    UniqueFD wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!timerFd || !wakeFd) return nullptr;
    return std::unique_ptr<RealTimerDriver>(
        new RealTimerDriver(std::move(timerFd), std::move(wakeFd)));
}

RealTimerDriver::RealTimerDriver(UniqueFD timerFd, UniqueFD wakeFd)
    : timerFd_(std::move(timerFd)), wakeFd_(std::move(wakeFd)) {
    thread_ = std::thread([this] { run(); });
    pthread_setname_np(thread_.native_handle(), "kova.timers");
}

RealTimerDriver::~RealTimerDriver() {
    stopping_.store(true);
    wake();
    thread_.join();
}

void RealTimerDriver::arm(const std::shared_ptr<DispatchSourceTimer>& timer) {
    if (!timer) return;
    {
        std::lock_guard lock(mutex_);
        std::weak_ptr<DispatchSourceTimer> weak = timer;
        auto existing = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
            return sameTimer(entry.timer, weak);
        });
        if (existing != entries_.end()) {
            existing->nextTick = 0;
        } else {
            entries_.push_back(Entry{weak, 0, std::make_shared<std::atomic<bool>>(false)});
        }
    }
    // The new deadline may come before the one the thread waits for.
    wake();
}

void RealTimerDriver::wake() {
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) already means a wake-up is pending.
    while (::write(wakeFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void RealTimerDriver::run() {
    while (!stopping_.load()) {
        const std::uint64_t deadline = nextDeadline();
        itimerspec when{};
        if (deadline != UINT64_MAX) {
            // An all-zero value would disarm the timer, so a deadline of 0 becomes 1 ns.
            const std::uint64_t at = std::max<std::uint64_t>(deadline, 1);
            when.it_value.tv_sec = time_t(at / 1'000'000'000u);
            when.it_value.tv_nsec = long(at % 1'000'000'000u);
        }
        ::timerfd_settime(timerFd_.get(), TFD_TIMER_ABSTIME, &when, nullptr);

        pollfd fds[2] = {{timerFd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("kova: timer driver poll");
            return;
        }
        if (fds[1].revents & POLLIN) readCounter(wakeFd_.get());
        if (fds[0].revents & POLLIN) readCounter(timerFd_.get());
        postDueTicks(monotonicNanoseconds());
    }
}

std::uint64_t RealTimerDriver::nextDeadline() {
    std::lock_guard lock(mutex_);
    std::uint64_t earliest = UINT64_MAX;
    std::erase_if(entries_, [&](const Entry& entry) {
        const auto timer = entry.timer.lock();
        if (!timer || timer->isCancelled()) return true;
        const std::uint64_t deadline = timer->deadlineOfTick(entry.nextTick);
        // A timer with no tick to come is forgotten; scheduling it again arms it again.
        if (deadline == UINT64_MAX) return true;
        earliest = std::min(earliest, deadline);
        return false;
    });
    return earliest;
}

void RealTimerDriver::postDueTicks(std::uint64_t now) {
    struct DueTick {
        std::shared_ptr<DispatchSourceTimer> timer;
        std::shared_ptr<std::atomic<bool>> tickQueued;
    };
    std::vector<DueTick> due;
    {
        std::lock_guard lock(mutex_);
        for (Entry& entry : entries_) {
            auto timer = entry.timer.lock();
            if (!timer || timer->isCancelled()) continue;
            if (timer->deadlineOfTick(entry.nextTick) > now) continue;
            // One tick now for however many deadlines have passed: a late wake-up never bursts.
            entry.nextTick = timer->firstTickAfter(now);
            due.push_back(DueTick{std::move(timer), entry.tickQueued});
        }
    }
    for (DueTick& tick : due) {
        if (tick.tickQueued->exchange(true)) continue;
        std::weak_ptr<DispatchSourceTimer> weak = tick.timer;
        tick.timer->queue()->async([weak, queued = tick.tickQueued] {
            queued->store(false);
            if (auto timer = weak.lock()) timer->fire();
        });
    }
}

}  // namespace kova::host
