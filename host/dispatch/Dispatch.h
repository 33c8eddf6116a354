// Dispatch: serial queues, a repeating timer source on absolute deadlines, and dispatch time.
//
// Threading: a DispatchQueue runs its work items one at a time, in order, on a thread of its
// own; async() and asyncAt() may be called from any thread. Destroying a queue runs what is
// still queued (timed work not yet due is dropped) and joins its thread; when the last reference
// goes inside one of its own work items, the thread finishes the queued work alone. A timer's
// handler runs on its queue (the test double runs it on the thread that ticks it); schedule,
// setEventHandler, resume and cancel may be called from any thread, the handler included. cancel()
// stops further ticks; a tick already under way runs to its end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A point on the host clock (CLOCK_MONOTONIC, nanoseconds).
struct DispatchTime {
    std::uint64_t uptimeNanoseconds = 0;
    static DispatchTime now();
    auto operator<=>(const DispatchTime&) const = default;
};

struct DispatchTimeInterval {
    std::int64_t nanosecondsCount = 0;
    static constexpr DispatchTimeInterval nanoseconds(std::int64_t n) { return {n}; }
};

class DispatchQueue {
  public:
    // A new serial queue, active from the start. Its thread starts with the first work item.
    static std::shared_ptr<DispatchQueue> create(std::string label);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> work);
    // Queues `work` once CLOCK_MONOTONIC reaches `deadlineNanoseconds` (at once if it has), behind
    // what was queued before it fell due. The queue's own thread sleeps until then, so timed work
    // costs one wake-up.
    void asyncAt(std::uint64_t deadlineNanoseconds, std::function<void()> work);
    // True when called from a work item of this queue.
    bool isCurrent() const;

  private:
    // What the queue's thread uses. Shared with that thread, so a queue released by one of its
    // own work items can let the thread finish the remaining work after the object is gone.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> work;
        std::multimap<std::uint64_t, std::function<void()>> timed;  // by deadline
        bool stopping = false;
    };

    explicit DispatchQueue(std::string label);
    void startThread();
    static void drain(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
    std::once_flag startOnce_;
    std::thread thread_;
};

class DispatchSourceTimer;

// Fires armed timers at their deadlines. The host backend supplies one: a thread on the real
// clock in the camera process, ticks driven by hand in tests.
class DispatchTimerDriver {
  public:
    virtual ~DispatchTimerDriver() = default;
    // Called by resume(); the driver keeps only a weak reference.
    virtual void arm(const std::shared_ptr<DispatchSourceTimer>& timer) = 0;
};

class DispatchSourceTimer : public std::enable_shared_from_this<DispatchSourceTimer> {
  public:
    // A new timer, suspended, whose handler runs on `queue` (on a queue of its own if null).
    static std::shared_ptr<DispatchSourceTimer> makeTimerSource(
        std::shared_ptr<DispatchQueue> queue);

    // Tick k fires at deadline + k × repeatingSeconds (absolute, so the timer never drifts).
    // A period that is not positive makes a one-shot timer. Leeway is accepted and not used:
    // every tick aims at its deadline. Scheduling a resumed timer restarts it from tick 0.
    void schedule(DispatchTime deadline, double repeatingSeconds, DispatchTimeInterval leeway);
    void setEventHandler(std::function<void()> handler);
    // Arms the timer with the host's timer driver; a second resume (or one after cancel) does
    // nothing.
    void resume();
    // No further ticks; releases the handler. A tick under way keeps its handler to its end.
    void cancel();
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // --- for timer drivers ---
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    // The deadline of tick `k` in host-clock nanoseconds; UINT64_MAX for a tick that never
    // comes (not scheduled yet, or past the only tick of a one-shot timer).
    std::uint64_t deadlineOfTick(std::uint64_t k) const;
    // The index of the first tick whose deadline is later than `nanoseconds`, for drivers that
    // skip ticks already missed. A one-shot timer has no tick after its first: returns 1.
    std::uint64_t firstTickAfter(std::uint64_t nanoseconds) const;
    // Runs the handler now, on the calling thread, unless the timer was cancelled. The handler
    // runs without any lock held, so it may cancel the timer or replace its handler.
    void fire();

  private:
    explicit DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    std::uint64_t startNanoseconds_ = UINT64_MAX;  // never, until scheduled
    double periodNanoseconds_ = 0;
    // Shared so that a tick keeps the handler it started with while another thread swaps it.
    std::shared_ptr<const std::function<void()>> handler_;
    bool resumed_ = false;
    std::atomic<bool> cancelled_{false};
};
