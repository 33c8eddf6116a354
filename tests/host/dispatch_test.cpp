// Dispatch tests: serial queues, timers on the real driver and clock (the fake driver's are the
// extension's tests), and the run loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/UniqueFD.h"
#include "host/RealClockHostBackend.h"
#include "host/dispatch/Dispatch.h"
#include "host/dispatch/RealTimerDriver.h"
#include "host/dispatch/RunLoop.h"
#include "tests/harness/FdCount.h"

namespace {

using namespace std::chrono_literals;
using kova::base::UniqueFD;
using kova::host::HostBackend;
using kova::host::RunLoop;
using kova::testing::FdLeakGuard;

constexpr std::uint64_t kSecond = 1'000'000'000;

// Events from other threads, which a test waits for without sleeping.
class EventLog {
  public:
    void add(std::uint64_t value) {
        {
            std::lock_guard lock(mutex_);
            values_.push_back(value);
        }
        changed_.notify_all();
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return values_.size() >= count; });
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return values_.size();
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

// Waits until everything queued on `queue` so far has run: after cancel(), the end of any tick
// that was under way.
void drain(const std::shared_ptr<DispatchQueue>& queue) {
    std::promise<void> reached;
    queue->async([&reached] { reached.set_value(); });
    ASSERT_EQ(reached.get_future().wait_for(20s), std::future_status::ready);
}

// Work queued behind a gate runs once the returned promise is set.
std::promise<void> closeGate(const std::shared_ptr<DispatchQueue>& queue) {
    std::promise<void> gate;
    queue->async([opened = gate.get_future().share()] { opened.wait(); });
    return gate;
}

// ---- serial queues ----

TEST(SerialQueue, RunsWorkInOrderOnOneThreadOfItsOwn) {
    auto queue = DispatchQueue::create("test.order");
    auto other = DispatchQueue::create("test.other");
    std::vector<int> order;
    std::set<std::thread::id> threads;
    bool alwaysCurrent = true;
    for (int i = 0; i < 1000; ++i) {
        queue->async([&, i] {
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
            alwaysCurrent = alwaysCurrent && queue->isCurrent() && !other->isCurrent();
        });
    }
    drain(queue);
    std::vector<int> expected(1000);
    for (int i = 0; i < 1000; ++i) expected[std::size_t(i)] = i;
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(alwaysCurrent);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, TimedWorkRunsByDeadlineNeverBeforeItAndBehindWorkQueuedFirst) {
    auto queue = DispatchQueue::create("test.timed");
    auto delays = std::make_shared<EventLog>();
    auto early = std::make_shared<std::atomic<int>>(0);
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    // Posted out of deadline order.
    for (const std::uint64_t delay : {30'000'000u, 10'000'000u, 20'000'000u}) {
        queue->asyncAt(now + delay, [delays, early, now, delay] {
            if (kova::host::monotonicNanoseconds() < now + delay) ++*early;
            delays->add(delay);
        });
    }
    // Already due, but behind work queued before it.
    std::vector<int> order;
    auto gate = closeGate(queue);
    queue->async([&order] { order.push_back(1); });
    queue->asyncAt(now, [&order] { order.push_back(2); });
    gate.set_value();

    ASSERT_TRUE(delays->waitForCount(3));
    drain(queue);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(delays->values(), (std::vector<std::uint64_t>{10'000'000, 20'000'000, 30'000'000}));
    EXPECT_EQ(early->load(), 0);
}

TEST(SerialQueue, DestructionFinishesQueuedWorkAndDropsTimedWorkNotYetDue) {
    auto dropped = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    {
        auto queue = DispatchQueue::create("test.finish");
        auto gate = closeGate(queue);
        for (int i = 0; i < 100; ++i) queue->async([&ran] { ++ran; });
        queue->asyncAt(kova::host::monotonicNanoseconds() + 3600 * kSecond,
                       [dropped, &ran] { ++ran; });
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

class RealBackend final : public kova::host::RealClockHostBackend {
  public:
    void deviceAdded(CMIOExtensionProvider&, const CMIOExtensionDeviceRef&) override {}
    void streamAdded(CMIOExtensionDevice&, const CMIOExtensionStreamRef&) override {}
    void startService(const CMIOExtensionProviderRef&) override {}
    void sendSampleBuffer(CMIOExtensionStream&, const CMSampleBufferRef&,
                          CMIOExtensionStreamDiscontinuityFlags, std::uint64_t) override {}
    void consumeSampleBuffer(CMIOExtensionStream&, const CMIOExtensionClientRef&,
                             CMIOExtensionConsumeCompletion) override {}
    void scheduledOutputChanged(CMIOExtensionStream&,
                                const CMIOExtensionScheduledOutputRef&) override {}
};

class RealTimerTest : public ::testing::Test {
  protected:
    void SetUp() override { HostBackend::install(std::make_shared<RealBackend>()); }
    void TearDown() override { HostBackend::install(nullptr); }

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
};

TEST_F(RealTimerTest, TicksRunOnTheQueueNeverBeforeTheirDeadline) {
    auto log = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real");
    const std::uint64_t deadline = kova::host::monotonicNanoseconds() + 20'000'000;
    auto timer = loggingTimer(queue, deadline, 0.005, log);
    ASSERT_TRUE(log->waitForCount(5));
    timer->cancel();
    drain(queue);
    const auto ticks = log->values();
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        ASSERT_NE(ticks[i], 0u) << "tick " << i << " ran off its queue";
        // The i-th handler call is for tick i or a later one (ticks may be skipped), so it
        // never comes before deadline + i periods.
        EXPECT_GE(ticks[i], deadline + 5'000'000 * i) << "tick " << i << " came early";
    }
}

TEST_F(RealTimerTest, CancelledAndReleasedTimersStopWhileOthersGoOn) {
    auto cancelled = std::make_shared<EventLog>();
    auto released = std::make_shared<EventLog>();
    auto reference = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real");
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    auto first = loggingTimer(queue, now, 0.002, cancelled);
    auto second = loggingTimer(queue, now, 0.002, released);
    auto third = loggingTimer(queue, now, 0.002, reference);
    ASSERT_TRUE(cancelled->waitForCount(2) && released->waitForCount(2));
    first->cancel();
    second.reset();
    const std::size_t cancelledAt = cancelled->count(), releasedAt = released->count();
    ASSERT_TRUE(reference->waitForCount(reference->count() + 10));
    third->cancel();
    drain(queue);
    EXPECT_LE(cancelled->count(), cancelledAt + 1);  // at most the tick under way
    EXPECT_LE(released->count(), releasedAt + 1);
}

TEST_F(RealTimerTest, EarlierTimerArmedLaterWakesTheDriver) {
    auto late = std::make_shared<EventLog>();
    auto early = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real");
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    auto hourAway = loggingTimer(queue, now + 3600 * kSecond, 0, late);
    auto soon = loggingTimer(queue, now + 1'000'000, 0, early);
    EXPECT_TRUE(early->waitForCount(1));
    EXPECT_EQ(late->count(), 0u);
}

TEST_F(RealTimerTest, SlowHandlerGetsOneQueuedTickNotAPile) {
    auto blockedTicks = std::make_shared<EventLog>();
    auto clock = std::make_shared<EventLog>();
    auto blockedQueue = DispatchQueue::create("test.blocked");
    auto clockQueue = DispatchQueue::create("test.clock");
    // The blocked timer's queue is held up while twenty of its periods pass.
    auto gate = closeGate(blockedQueue);
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    auto blocked = loggingTimer(blockedQueue, now, 0.001, blockedTicks);
    auto clockTimer = loggingTimer(clockQueue, now, 0.001, clock);
    const bool twentyPeriodsPassed = clock->waitForCount(20);
    std::promise<std::size_t> ranBeforeMarker;
    blockedQueue->async([&] { ranBeforeMarker.set_value(blockedTicks->count()); });
    gate.set_value();
    ASSERT_TRUE(twentyPeriodsPassed);

    auto result = ranBeforeMarker.get_future();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_LE(result.get(), 1u);
}

// ---- run loop ----

class RunLoopTest : public ::testing::Test {
  protected:
    FdLeakGuard fds_;
    RunLoop loop_;
};

TEST_F(RunLoopTest, PerformedWorkRunsInOrderUntilStoppedFromAnyThread) {
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) loop_.perform([&order, i] { order.push_back(i); });
    loop_.perform([this] { loop_.stop(); });
    loop_.perform([&order] { order.push_back(99); });  // left for the next run
    loop_.run();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    loop_.perform([this] { loop_.stop(); });
    loop_.run();
    EXPECT_EQ(order.back(), 99);
    std::thread stopper([this] { loop_.stop(); });  // before or during the run: either ends it
    loop_.run();
    stopper.join();
}

TEST_F(RunLoopTest, WatchedFdCallsBackAndMayUnwatchItself) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const UniqueFD readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    int calls = 0;
    ASSERT_EQ(loop_.watch(readEnd.get(), EPOLLIN,
                          [&](std::uint32_t events) {
                              ++calls;
                              EXPECT_TRUE(events & EPOLLIN);
                              loop_.unwatch(readEnd.get());
                              loop_.perform([this] { loop_.stop(); });
                          }),
              0);
    ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
    loop_.run();
    // Unwatched: data still waiting on the fd calls nobody.
    loop_.perform([this] { loop_.stop(); });
    loop_.run();
    EXPECT_EQ(calls, 1);
}

TEST_F(RunLoopTest, EventFetchedBeforeAnFdWasWatchedAgainIsDropped) {
    int first[2], second[2];
    ASSERT_EQ(::pipe2(first, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(second, O_CLOEXEC | O_NONBLOCK), 0);
    const UniqueFD firstRead(first[0]), firstWrite(first[1]);
    const UniqueFD secondRead(second[0]), secondWrite(second[1]);
    int firstCalls = 0;
    int staleCalls = 0;
    // Both fds are readable, so one epoll batch holds both events. Whichever callback runs
    // first watches the other fd again for writing only, which a pipe's read end never is:
    // the readable event already fetched for it belongs to the old watch.
    auto callback = [&](int other) {
        return [&, other](std::uint32_t) {
            if (++firstCalls > 1) return;
            loop_.unwatch(other);
            EXPECT_EQ(loop_.watch(other, EPOLLOUT, [&](std::uint32_t) { ++staleCalls; }), 0);
            loop_.perform([this] { loop_.stop(); });
        };
    };
    ASSERT_EQ(loop_.watch(firstRead.get(), EPOLLIN, callback(secondRead.get())), 0);
    ASSERT_EQ(loop_.watch(secondRead.get(), EPOLLIN, callback(firstRead.get())), 0);
    ASSERT_EQ(::write(firstWrite.get(), "x", 1), 1);
    ASSERT_EQ(::write(secondWrite.get(), "x", 1), 1);
    loop_.run();
    EXPECT_EQ(staleCalls, 0);
    loop_.unwatch(firstRead.get());
    loop_.unwatch(secondRead.get());
}

TEST_F(RunLoopTest, WorkThatPostsItselfForEverDoesNotStarveAWatchedFd) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const UniqueFD readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    ASSERT_EQ(loop_.watch(readEnd.get(), EPOLLIN,
                          [this, &readEnd](std::uint32_t) {
                              loop_.unwatch(readEnd.get());
                              loop_.stop();
                          }),
              0);
    // The fd becomes readable while the work goes on posting itself.
    int rounds = 0;
    std::function<void()> again = [&] {
        if (++rounds == 100) {
            EXPECT_EQ(::write(writeEnd.get(), "x", 1), 1);
        }
        loop_.perform(again);
    };
    loop_.perform(again);
    loop_.run();
    EXPECT_GE(rounds, 100);
}

TEST_F(RunLoopTest, WorkPostedFromManyThreadsAtOnceAllRuns) {
    constexpr int kThreads = 4;
    constexpr int kPosts = 2000;
    int ran = 0;  // the loop's thread only
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kPosts; ++i) {
                loop_.perform([&] {
                    if (++ran == kThreads * kPosts) loop_.stop();
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
}

}  // namespace
