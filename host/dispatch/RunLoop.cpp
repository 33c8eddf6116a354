// The run loop: epoll over watched fds plus an eventfd that wakes it for posted work and stop.
#include "host/dispatch/RunLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kova::host {

namespace {

constexpr std::uint64_t kWakeupToken = UINT64_MAX;

// The loop whose run() this thread is inside, if any.
thread_local const RunLoop* runningLoop = nullptr;

std::uint64_t tokenFor(int fd, std::uint32_t serial) {
    return (std::uint64_t(serial) << 32) | std::uint32_t(fd);
}

}  // namespace

RunLoop::RunLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeupToken;
    if (!epoll_ || !wakeup_ ||
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeup_.get(), &event) != 0) {
        // Only an exhausted fd table gets here, and a loop that cannot wait serves nothing.
        std::perror("kova: cannot create a run loop");
        std::abort();
    }
}

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
    // Never destroyed: threads may still post to it while the process exits.
    static RunLoop* const mainLoop = new RunLoop();
    return *mainLoop;
}

int RunLoop::watch(int fd, std::uint32_t epollEvents, FdCallback callback) {
    if (fd < 0 || !callback) return -EINVAL;
    std::lock_guard lock(mutex_);
    if (watched_.count(fd) != 0) return -EEXIST;
    const std::uint32_t serial = ++nextSerial_;
    epoll_event event{};
    event.events = epollEvents;
    event.data.u64 = tokenFor(fd, serial);
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) return -errno;
    watched_[fd] = Watch{serial, std::make_shared<FdCallback>(std::move(callback))};
    return 0;
}

void RunLoop::unwatch(int fd) {
    Watch removed;
    {
        std::lock_guard lock(mutex_);
        const auto found = watched_.find(fd);
        if (found == watched_.end()) return;
        removed = std::move(found->second);
        watched_.erase(found);
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    }
    // The callback's captures go outside the lock; they may unwatch or post themselves.
}

void RunLoop::perform(std::function<void()> work) {
    if (!work) return;
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }
    // The loop's own thread drains posted work before it waits again. Another thread writes
    // the eventfd only if no wake-up is pending already: the loop clears the flag after it has
    // read the eventfd and before it drains, so a post it misses writes again.
    if (runningLoop == this) return;
    if (!wakePending_.exchange(true)) wake();
}

void RunLoop::wake() {
    const std::uint64_t one = 1;
    // Async-signal-safe. A full counter (EAGAIN) already means a wake-up is pending.
    while (::write(wakeup_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void RunLoop::stop() {
    stopRequested_.store(true);
    wake();
}

void RunLoop::stopFromSignal() {
    const int savedErrno = errno;
    stopRequested_.store(true);
    wake();
    errno = savedErrno;
}

void RunLoop::run() {
    constexpr int kMaxEvents = 32;
    epoll_event events[kMaxEvents];
    const RunLoop* const outerLoop = std::exchange(runningLoop, this);
    // Work may have been left behind by the last stop without a wake-up: look before waiting.
    bool workWaiting = true;
    while (!stopRequested_.load()) {
        const int count = ::epoll_wait(epoll_.get(), events, kMaxEvents, workWaiting ? 0 : -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            std::perror("kova: run loop");
            break;
        }
        for (int i = 0; i < count && !stopRequested_.load(); ++i) {
            const std::uint64_t token = events[i].data.u64;
            if (token == kWakeupToken) {
                // Read first, then clear: a post that wrote between a clear and the read would
                // have its count read away and leave the flag set, and every later post would
                // skip the write while the loop slept.
                std::uint64_t counter = 0;
                while (::read(wakeup_.get(), &counter, sizeof counter) < 0 && errno == EINTR) {
                }
                wakePending_.store(false);
                continue;
            }
            const int fd = int(std::uint32_t(token));
            std::shared_ptr<FdCallback> callback;
            {
                std::lock_guard lock(mutex_);
                const auto found = watched_.find(fd);
                if (found != watched_.end() && tokenFor(fd, found->second.serial) == token) {
                    callback = found->second.callback;
                }
            }
            if (callback) (*callback)(events[i].events);
        }
        // Posted work runs after each batch of fd events. What it posts in turn waits for the
        // next round, after a look at the fds that does not block, so it cannot starve them.
        workWaiting = drainPosted();
    }
    runningLoop = outerLoop;
    stopRequested_.store(false);
}

bool RunLoop::drainPosted() {
    // Only what was posted before this point.
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = posted_.size();
    }
    for (std::size_t i = 0; i < count && !stopRequested_.load(); ++i) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            work = std::move(posted_.front());
            posted_.pop_front();
        }
        work();
    }
    std::lock_guard lock(mutex_);
    return !posted_.empty();
}

}  // namespace kova::host

void CFRunLoopRun() {
    kova::host::RunLoop::main().run();
}

void CFRunLoopStop(kova::host::RunLoop& loop) {
    loop.stop();
}
