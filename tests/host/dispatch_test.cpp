// Dispatch tests: serial queues, timers on the real driver and clock (the fake driver's are the
// extension's tests), and the run loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/UniqueFD.h"
#include "host/dispatch/Dispatch.h"
#include "host/dispatch/RealTimerDriver.h"
#include "host/dispatch/RunLoop.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace {

using namespace std::chrono_literals;
using kova::base::UniqueFD;
using kova::host::monotonicNanoseconds;
using kova::host::RunLoop;
using kova::testing::FdLeakGuard;

// Events from other threads, which a test waits for without sleeping.
class EventLog {
  public:
    void add(std::uint64_t value) {
        std::lock_guard lock(mutex_);
        values_.push_back(value);
        changed_.notify_all();
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return values_.size() >= count; });
    }
    std::vector<std::uint64_t> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint64_t> values_;
};

// Work queued behind a gate runs once the returned promise is set.
std::promise<void> closeGate(const std::shared_ptr<DispatchQueue>& queue) {
    std::promise<void> gate;
    queue->async([opened = gate.get_future().share()] { opened.wait(); });
    return gate;
}

// ---- serial queues ----

// Plain work in the order queued, on one thread of the queue's own; timed work by deadline,
// never before it, and behind work queued before it once due.
TEST(SerialQueue, RunsWorkInOrderOnOneThreadOfItsOwnAndTimedWorkByDeadline) {
    auto queue = DispatchQueue::create("test.order");
    auto other = DispatchQueue::create("test.other");
    std::vector<std::uint64_t> order, expected;  // these on the queue's thread until it is done
    std::set<std::thread::id> threads;
    bool alwaysCurrent = true;
    int early = 0;
    const auto record = [&](std::uint64_t value, std::uint64_t deadline) {
        expected.push_back(value);
        return [&, value, deadline] {
            order.push_back(value);
            threads.insert(std::this_thread::get_id());
            alwaysCurrent = alwaysCurrent && queue->isCurrent() && !other->isCurrent();
            early += monotonicNanoseconds() < deadline;
        };
    };
    auto gate = closeGate(queue);
    for (std::uint64_t i = 0; i < 1000; ++i) queue->async(record(i, 0));
    const std::uint64_t now = monotonicNanoseconds();
    queue->asyncAt(now, record(now, now));  // due, but behind the work above
    // Queued out of deadline order.
    const std::uint64_t deadlines[] = {now + 30'000'000, now + 10'000'000, now + 20'000'000};
    for (const std::uint64_t deadline : deadlines)
        queue->asyncAt(deadline, record(deadline, deadline));
    std::sort(expected.end() - 3, expected.end());
    std::promise<void> done;
    queue->asyncAt(now + 40'000'000, [&done] { done.set_value(); });
    gate.set_value();
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(alwaysCurrent);
    EXPECT_EQ(early, 0);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(SerialQueue, DestructionFinishesQueuedWorkAndDropsTimedWorkNotYetDue) {
    auto dropped = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    {
        auto queue = DispatchQueue::create("test.finish");
        auto gate = closeGate(queue);
        for (int i = 0; i < 100; ++i) queue->async([&ran] { ++ran; });
        queue->asyncAt(monotonicNanoseconds() + 3'600'000'000'000, [dropped, &ran] { ++ran; });
        queue->asyncAt(UINT64_MAX, [dropped, &ran] { ++ran; });
        gate.set_value();
    }
    EXPECT_EQ(ran.load(), 100);
    EXPECT_EQ(dropped.use_count(), 1);  // the dropped work is gone, its captures with it
}

TEST(SerialQueue, QueueReleasedByItsOwnWorkItemStillRunsTheRest) {
    auto queue = DispatchQueue::create("test.self-release");
    std::weak_ptr<DispatchQueue> watcher = queue;
    DispatchQueue* raw = queue.get();
    auto gate = closeGate(queue);
    std::promise<bool> afterRelease;
    raw->async([held = std::move(queue)]() mutable { held.reset(); });
    raw->async([&] { afterRelease.set_value(watcher.expired()); });
    gate.set_value();
    auto result = afterRelease.get_future();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(result.get());  // the queue object was gone while its last item ran
}

// ---- timers on the real driver ----

// The host double on the real clock, with the real timer driver.
class RealTimersHost final : public kova::testing::FakeHost {
  public:
    std::uint64_t hostTimeNanoseconds() override { return monotonicNanoseconds(); }
    DispatchTimerDriver& timerDriver() override { return *driver_; }

  private:
    std::unique_ptr<kova::host::RealTimerDriver> driver_ = kova::host::RealTimerDriver::create();
};

class RealTimerTest : public ::testing::Test {
  protected:
    // A resumed timer whose handler logs the host time of each tick (or 0 if off its queue).
    // The log is shared with the handler, so a tick still under way at the end is harmless.
    static std::shared_ptr<DispatchSourceTimer> loggingTimer(
        const std::shared_ptr<DispatchQueue>& queue, std::uint64_t deadline, double period,
        std::shared_ptr<EventLog> log) {
        auto timer = DispatchSourceTimer::makeTimerSource(queue);
        timer->schedule(DispatchTime{deadline}, period, DispatchTimeInterval::nanoseconds(0));
        std::weak_ptr<DispatchQueue> weakQueue = queue;
        timer->setEventHandler([log, weakQueue] {
            const auto queue = weakQueue.lock();
            log->add(queue && queue->isCurrent() ? DispatchTime::now().uptimeNanoseconds : 0);
        });
        timer->resume();
        return timer;
    }

    FdLeakGuard fds_;
    kova::testing::ScopedHost<RealTimersHost> host_;
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.real");
};

// Ticks run on the timer's queue, never before their deadline, until the timer is cancelled or
// released, while the others go on; an hour-away timer armed first keeps the driver asleep for
// none of them.
TEST_F(RealTimerTest, TicksRunOnTheQueueNeverEarlyUntilCancelledOrReleased) {
    auto hourAwayTicks = std::make_shared<EventLog>();
    auto ticks = std::make_shared<EventLog>();
    auto cancelledTicks = std::make_shared<EventLog>();
    auto releasedTicks = std::make_shared<EventLog>();
    const std::uint64_t deadline = monotonicNanoseconds() + 20'000'000;
    auto hourAway = loggingTimer(queue_, deadline + 3'600'000'000'000, 0, hourAwayTicks);
    auto timer = loggingTimer(queue_, deadline, 0.002, ticks);
    auto cancelled = loggingTimer(queue_, deadline, 0.002, cancelledTicks);
    auto released = loggingTimer(queue_, deadline, 0.002, releasedTicks);
    ASSERT_TRUE(cancelledTicks->waitForCount(2) && releasedTicks->waitForCount(2));
    cancelled->cancel();
    released.reset();
    const std::size_t cancelledAt = cancelledTicks->values().size();
    const std::size_t releasedAt = releasedTicks->values().size();
    ASSERT_TRUE(ticks->waitForCount(ticks->values().size() + 10));
    timer->cancel();
    std::promise<void> drained;  // once the tick under way, if any, is over
    queue_->async([&drained] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_LE(cancelledTicks->values().size(), cancelledAt + 1);  // at most the tick under way
    EXPECT_LE(releasedTicks->values().size(), releasedAt + 1);
    EXPECT_TRUE(hourAwayTicks->values().empty());
    const auto times = ticks->values();
    for (std::size_t i = 0; i < times.size(); ++i) {
        ASSERT_NE(times[i], 0u) << "tick " << i << " ran off its queue";
        // The i-th handler call is for tick i or a later one (ticks may be skipped), so it
        // never comes before deadline + i periods.
        EXPECT_GE(times[i], deadline + 2'000'000 * i) << "tick " << i << " came early";
    }
}

// ---- run loop ----

class RunLoopTest : public ::testing::Test {
  protected:
    // A pipe whose read end becomes readable by poke().
    struct Pipe {
        UniqueFD read, write;
        Pipe() {
            int fds[2];
            EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
        void poke() const { EXPECT_EQ(::write(write.get(), "x", 1), 1); }
    };
    // Runs what is queued so far, then returns.
    void runQueued() {
        loop_.perform([this] { loop_.stop(); });
        loop_.run();
    }

    FdLeakGuard fds_;
    RunLoop loop_;
};

// Both fds are readable, so one epoll batch holds both events. Whichever callback runs first
// unwatches its own fd and watches the other again for writing only, which a pipe's read end
// never is: the readable event already fetched for it belongs to the old watch. Data left
// waiting on an unwatched fd calls nobody.
TEST_F(RunLoopTest, EventFetchedBeforeAnFdWasWatchedAgainIsDropped) {
    const Pipe first, second;
    int calls = 0;
    int staleCalls = 0;
    auto callback = [&](int self, int other) {
        return [&, self, other](std::uint32_t events) {
            ++calls;
            EXPECT_TRUE(events & EPOLLIN);
            loop_.unwatch(self);
            loop_.unwatch(other);
            EXPECT_EQ(loop_.watch(other, EPOLLOUT, [&](std::uint32_t) { ++staleCalls; }), 0);
            loop_.perform([this] { loop_.stop(); });
        };
    };
    ASSERT_EQ(loop_.watch(first.read.get(), EPOLLIN, callback(first.read.get(), second.read.get())),
              0);
    ASSERT_EQ(
        loop_.watch(second.read.get(), EPOLLIN, callback(second.read.get(), first.read.get())), 0);
    first.poke();
    second.poke();
    loop_.run();
    runQueued();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(staleCalls, 0);
    loop_.unwatch(first.read.get());
    loop_.unwatch(second.read.get());
}

// Work posted from many threads at once all runs, each thread's in the order it was posted,
// with no wake-up lost; work posted after a stop waits for the next run, and a stop from
// another thread, before or during a run, ends it.
TEST_F(RunLoopTest, WorkPostedFromManyThreadsRunsInOrderUntilStopped) {
    constexpr int kThreads = 4;
    constexpr int kPosts = 2000;
    std::vector<int> next(kThreads, 0);  // the loop's thread only, as are these
    int ran = 0;
    int outOfOrder = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i) {
                loop_.perform([&, t, i] {
                    outOfOrder += next[std::size_t(t)]++ != i;
                    if (++ran < kThreads * kPosts) return;
                    loop_.stop();
                    loop_.perform([&] { ++ran; });  // left for the next run
                });
            }
        });
    }
    // A lost wake-up would leave work waiting for ever: the watchdog ends the test instead.
    std::promise<void> finished;
    std::thread watchdog([&, done = finished.get_future()] {
        if (done.wait_for(20s) == std::future_status::timeout) loop_.stop();
    });
    loop_.run();
    finished.set_value();
    watchdog.join();
    for (std::thread& poster : posters) poster.join();
    EXPECT_EQ(ran, kThreads * kPosts);
    EXPECT_EQ(outOfOrder, 0);
    runQueued();
    EXPECT_EQ(ran, kThreads * kPosts + 1);
    std::thread stopper([this] { loop_.stop(); });  // before or during the run: either ends it
    loop_.run();
    stopper.join();
}

}  // namespace
