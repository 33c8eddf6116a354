// Serial dispatch queues, dispatch time and timer sources.
#include "host/dispatch/Dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include "host/HostBackend.h"

namespace {

// The state of the queue whose work item this thread is running, if any.
thread_local const void* currentQueueState = nullptr;

std::uint64_t deadlineOf(std::uint64_t start, double period, std::uint64_t k) {
    if (start == UINT64_MAX) return UINT64_MAX;
    if (k == 0) return start;
    if (period <= 0) return UINT64_MAX;
    const double offset = std::round(double(k) * period);
    if (!(offset < 1.8e19)) return UINT64_MAX;
    const auto whole = std::uint64_t(offset);
    return whole > UINT64_MAX - start ? UINT64_MAX : start + whole;
}

}  // namespace

DispatchTime DispatchTime::now() {
    return DispatchTime{kova::host::HostBackend::current()->hostTimeNanoseconds()};
}

// ---- DispatchQueue ----

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label)));
}

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (!thread_.joinable()) return;
    // Released by one of its own work items: the thread holds the state and finishes alone.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void DispatchQueue::startThread() {
    std::call_once(startOnce_, [this] {
        thread_ = std::thread(drain, state_);
        // Thread names are at most 15 characters; the start of the label is what helps.
        pthread_setname_np(thread_.native_handle(), label_.substr(0, 15).c_str());
    });
}

void DispatchQueue::async(std::function<void()> work) {
    if (!work) return;
    startThread();
    {
        std::lock_guard lock(state_->mutex);
        state_->work.push_back(std::move(work));
    }
    state_->wake.notify_one();
}

void DispatchQueue::asyncAt(std::uint64_t deadlineNanoseconds, std::function<void()> work) {
    if (!work) return;
    startThread();
    {
        std::lock_guard lock(state_->mutex);
        // Past the steady clock's range a deadline is as good as never.
        state_->timed.emplace(std::min<std::uint64_t>(deadlineNanoseconds, INT64_MAX),
                              std::move(work));
    }
    state_->wake.notify_one();
}

bool DispatchQueue::isCurrent() const {
    return currentQueueState == state_.get();
}

void DispatchQueue::drain(const std::shared_ptr<State>& state) {
    using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the host clock
    currentQueueState = state.get();
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (!state->timed.empty()) {
            const auto now = std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               Clock::now().time_since_epoch())
                                               .count());
            while (!state->timed.empty() && state->timed.begin()->first <= now) {
                state->work.push_back(std::move(state->timed.begin()->second));
                state->timed.erase(state->timed.begin());
            }
        }
        if (state->work.empty()) {
            if (state->stopping) break;  // everything queued has run; timed work is dropped
            if (state->timed.empty()) {
                state->wake.wait(lock);
            } else {
                const auto due = std::chrono::nanoseconds(state->timed.begin()->first);
                state->wake.wait_until(lock, Clock::time_point(due));
            }
            continue;
        }
        std::function<void()> item = std::move(state->work.front());
        state->work.pop_front();
        lock.unlock();
        item();
        // The item's captures go before the lock is taken again: their destructors may post.
        item = nullptr;
        lock.lock();
    }
    currentQueueState = nullptr;
}

// ---- DispatchSourceTimer ----

std::shared_ptr<DispatchSourceTimer> DispatchSourceTimer::makeTimerSource(
    std::shared_ptr<DispatchQueue> queue) {
    if (!queue) queue = DispatchQueue::create("dispatch.timer");
    return std::shared_ptr<DispatchSourceTimer>(new DispatchSourceTimer(std::move(queue)));
}

void DispatchSourceTimer::schedule(DispatchTime deadline, double repeatingSeconds,
                                   DispatchTimeInterval /*leeway*/) {
    double period = 0;
    if (std::isfinite(repeatingSeconds) && repeatingSeconds > 0) {
        period = std::max(repeatingSeconds * 1e9, 1.0);
    }
    bool rearm = false;
    {
        std::lock_guard lock(mutex_);
        startNanoseconds_ = deadline.uptimeNanoseconds;
        periodNanoseconds_ = period;
        rearm = resumed_ && !isCancelled();
    }
    if (rearm) kova::host::HostBackend::current()->timerDriver().arm(shared_from_this());
}

void DispatchSourceTimer::setEventHandler(std::function<void()> handler) {
    auto replacement = std::make_shared<const std::function<void()>>(std::move(handler));
    std::lock_guard lock(mutex_);
    if (isCancelled()) return;
    // The old handler, if a tick is running it, lives on in that tick's copy.
    handler_.swap(replacement);
}

void DispatchSourceTimer::resume() {
    {
        std::lock_guard lock(mutex_);
        if (resumed_ || isCancelled()) return;
        resumed_ = true;
    }
    kova::host::HostBackend::current()->timerDriver().arm(shared_from_this());
}

void DispatchSourceTimer::cancel() {
    std::shared_ptr<const std::function<void()>> released;
    {
        std::lock_guard lock(mutex_);
        cancelled_.store(true, std::memory_order_release);
        released = std::move(handler_);
    }
    // `released` goes here, outside the lock: the handler's captures may touch this timer.
}

std::uint64_t DispatchSourceTimer::deadlineOfTick(std::uint64_t k) const {
    std::lock_guard lock(mutex_);
    return deadlineOf(startNanoseconds_, periodNanoseconds_, k);
}

std::uint64_t DispatchSourceTimer::firstTickAfter(std::uint64_t nanoseconds) const {
    std::lock_guard lock(mutex_);
    const std::uint64_t start = startNanoseconds_;
    const double period = periodNanoseconds_;
    if (start == UINT64_MAX || nanoseconds < start) return 0;
    if (period <= 0) return 1;
    // An estimate from the division, then corrected for rounding in either direction.
    const double estimate = std::min(double(nanoseconds - start) / period, 1.8e19);
    std::uint64_t k = std::uint64_t(estimate) + 1;
    while (k > 1 && deadlineOf(start, period, k - 1) > nanoseconds) --k;
    for (;;) {
        const std::uint64_t deadline = deadlineOf(start, period, k);
        if (deadline > nanoseconds || deadline == UINT64_MAX) return k;
        ++k;
    }
}

void DispatchSourceTimer::fire() {
    std::shared_ptr<const std::function<void()>> handler;
    {
        std::lock_guard lock(mutex_);
        if (isCancelled()) return;
        handler = handler_;
    }
    if (handler && *handler) (*handler)();
}
