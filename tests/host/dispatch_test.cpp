// Dispatch tests: serial queues, timers under the fake driver and the real one, the run loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
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
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace {

using namespace std::chrono_literals;
using kova::base::UniqueFD;
using kova::host::HostBackend;
using kova::host::RunLoop;
using kova::testing::FdLeakGuard;
using kova::testing::ScopedFakeHost;

constexpr double kPeriod = 1.0 / 30.0;
constexpr std::uint64_t kSecond = 1'000'000'000;

// The deadline of tick k of a 1/30 s timer started at `start`, rounded to the nanosecond.
std::uint64_t thirtiethTick(std::uint64_t start, std::uint64_t k) {
    return start + std::uint64_t(std::llround(double(k) * kPeriod * 1e9));
}

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
    bool waitForCount(std::size_t count, std::chrono::seconds timeout = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
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

// ---- serial queues ----

TEST(SerialQueue, RunsWorkInOrderOnOneThreadOfItsOwn) {
    auto queue = DispatchQueue::create("test.order");
    auto other = DispatchQueue::create("test.other");
    EXPECT_EQ(queue->label(), "test.order");
    EXPECT_FALSE(queue->isCurrent());

    std::vector<int> order;
    std::set<std::thread::id> threads;
    bool alwaysCurrent = true;
    bool otherEverCurrent = false;
    std::promise<void> done;
    for (int i = 0; i < 1000; ++i) {
        queue->async([&, i] {
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
            alwaysCurrent = alwaysCurrent && queue->isCurrent();
            otherEverCurrent = otherEverCurrent || other->isCurrent();
        });
    }
    queue->async([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);

    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[std::size_t(i)], i);
    EXPECT_TRUE(alwaysCurrent);
    EXPECT_FALSE(otherEverCurrent);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(SerialQueue, DestructionFinishesQueuedWork) {
    std::atomic<int> ran{0};
    {
        auto queue = DispatchQueue::create("test.finish");
        std::promise<void> gate;
        std::shared_future<void> opened = gate.get_future().share();
        queue->async([opened] { opened.wait(); });
        for (int i = 0; i < 100; ++i) queue->async([&ran] { ++ran; });
        gate.set_value();
    }
    EXPECT_EQ(ran.load(), 100);
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
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    queue->async([opened] { opened.wait(); });
    queue->async([&order] { order.push_back(1); });
    queue->asyncAt(now, [&order] { order.push_back(2); });
    gate.set_value();

    ASSERT_TRUE(delays->waitForCount(3));
    drain(queue);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(delays->values(), (std::vector<std::uint64_t>{10'000'000, 20'000'000, 30'000'000}));
    EXPECT_EQ(early->load(), 0);
}

TEST(SerialQueue, DestructionDropsTimedWorkNotYetDue) {
    auto dropped = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    {
        auto queue = DispatchQueue::create("test.timed-drop");
        queue->asyncAt(kova::host::monotonicNanoseconds() + 3600 * kSecond,
                       [dropped, &ran] { ++ran; });
        queue->asyncAt(UINT64_MAX, [dropped, &ran] { ++ran; });
        queue->async([&ran] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(dropped.use_count(), 1);  // the dropped work is gone, its captures with it
}

TEST(SerialQueue, QueueReleasedByItsOwnWorkItemStillRunsTheRest) {
    auto queue = DispatchQueue::create("test.self-release");
    std::weak_ptr<DispatchQueue> watcher = queue;
    DispatchQueue* raw = queue.get();
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::promise<bool> afterRelease;

    raw->async([opened] { opened.wait(); });
    raw->async([held = std::move(queue)]() mutable { held.reset(); });
    raw->async([&] { afterRelease.set_value(watcher.expired()); });
    gate.set_value();

    auto result = afterRelease.get_future();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(result.get());  // the queue object was gone while its last item ran
}

// ---- timers under the fake driver ----

class FakeTimerTest : public ::testing::Test {
  protected:
    // A timer on `queue_` whose handler records the host time of each tick.
    std::shared_ptr<DispatchSourceTimer> makeTimer(std::uint64_t deadline, double period,
                                                   std::vector<std::uint64_t>* ticks) {
        auto timer = DispatchSourceTimer::makeTimerSource(queue_);
        timer->schedule(DispatchTime{deadline}, period, DispatchTimeInterval::nanoseconds(0));
        timer->setEventHandler(
            [ticks] { ticks->push_back(DispatchTime::now().uptimeNanoseconds); });
        return timer;
    }

    ScopedFakeHost host_;
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.timer");
    std::vector<std::uint64_t> ticks_;
};

TEST_F(FakeTimerTest, FirstTickFiresAtTheDeadlineAndOnlyOnce) {
    const std::uint64_t start = DispatchTime::now().uptimeNanoseconds;
    auto timer = makeTimer(start, kPeriod, &ticks_);
    EXPECT_EQ(host_->armedTimerCount(), 0u);  // suspended until resumed
    timer->resume();
    EXPECT_EQ(host_->armedTimerCount(), 1u);
    EXPECT_TRUE(ticks_.empty());
    host_->fireDueTimers();
    host_->fireDueTimers();
    EXPECT_EQ(ticks_, (std::vector<std::uint64_t>{start}));
}

TEST_F(FakeTimerTest, AbsoluteDeadlinesDoNotDriftOverManyTicks) {
    const std::uint64_t start = DispatchTime::now().uptimeNanoseconds;
    auto timer = makeTimer(start, kPeriod, &ticks_);
    timer->resume();
    host_->advanceBy(100 * kSecond);
    ASSERT_EQ(ticks_.size(), 3001u);
    for (std::uint64_t k = 0; k < ticks_.size(); ++k) {
        ASSERT_EQ(ticks_[k], thirtiethTick(start, k)) << "tick " << k;
    }
    // A timer adding a rounded period each tick would end 100 ns early here.
    EXPECT_EQ(ticks_.back(), start + 100 * kSecond);
    EXPECT_EQ(host_->hostTimeNanoseconds(), start + 100 * kSecond);
}

TEST_F(FakeTimerTest, ResumingTwiceArmsOnce) {
    auto timer = makeTimer(DispatchTime::now().uptimeNanoseconds, kPeriod, &ticks_);
    timer->resume();
    timer->resume();
    EXPECT_EQ(host_->armedTimerCount(), 1u);
    host_->advanceBy(kSecond);
    EXPECT_EQ(ticks_.size(), 31u);
}

TEST_F(FakeTimerTest, CancelStopsFurtherTicks) {
    auto timer = makeTimer(DispatchTime::now().uptimeNanoseconds, kPeriod, &ticks_);
    timer->resume();
    host_->advanceBy(50'000'000);
    ASSERT_EQ(ticks_.size(), 2u);
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_EQ(host_->armedTimerCount(), 0u);
    host_->advanceBy(kSecond);
    timer->fire();
    timer->resume();  // a cancelled timer never comes back
    host_->advanceBy(kSecond);
    EXPECT_EQ(ticks_.size(), 2u);
}

TEST_F(FakeTimerTest, HandlerMayCancelItsOwnTimer) {
    auto timer = DispatchSourceTimer::makeTimerSource(queue_);
    timer->schedule(DispatchTime::now(), kPeriod, DispatchTimeInterval::nanoseconds(0));
    std::weak_ptr<DispatchSourceTimer> weak = timer;
    int ticks = 0;
    timer->setEventHandler([&ticks, weak] {
        if (++ticks == 3) weak.lock()->cancel();
    });
    timer->resume();
    host_->advanceBy(kSecond);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(host_->armedTimerCount(), 0u);
}

TEST_F(FakeTimerTest, HandlerCanBeReplacedFromOutsideAndFromInside) {
    auto timer = DispatchSourceTimer::makeTimerSource(queue_);
    timer->schedule(DispatchTime::now(), kPeriod, DispatchTimeInterval::nanoseconds(0));
    std::vector<char> calls;
    std::weak_ptr<DispatchSourceTimer> weak = timer;
    timer->setEventHandler([&calls] { calls.push_back('a'); });
    timer->resume();
    host_->fireDueTimers();
    timer->setEventHandler([&calls, weak] {
        calls.push_back('b');
        // Replacing the running handler: this tick finishes in 'b', the next is 'c'.
        weak.lock()->setEventHandler([&calls] { calls.push_back('c'); });
        calls.push_back('B');
    });
    host_->advanceBy(70'000'000);  // ticks 1 and 2
    EXPECT_EQ(calls, (std::vector<char>{'a', 'b', 'B', 'c'}));
}

TEST_F(FakeTimerTest, ReleasedTimerIsForgotten) {
    auto timer = makeTimer(DispatchTime::now().uptimeNanoseconds, kPeriod, &ticks_);
    timer->resume();
    host_->fireDueTimers();
    timer.reset();
    EXPECT_EQ(host_->armedTimerCount(), 0u);
    host_->advanceBy(kSecond);
    EXPECT_EQ(ticks_.size(), 1u);
}

TEST_F(FakeTimerTest, MissedTicksFireOnceThenKeepTheSchedule) {
    const std::uint64_t start = DispatchTime::now().uptimeNanoseconds;
    auto timer = makeTimer(start, kPeriod, &ticks_);
    timer->resume();
    host_->fireDueTimers();
    host_->setHostTime(start + 10 * kSecond + 5'000'000);
    host_->fireDueTimers();
    EXPECT_EQ(ticks_.size(), 2u);
    EXPECT_EQ(ticks_.back(), start + 10 * kSecond + 5'000'000);
    // The next tick is the first deadline after that moment: tick 301.
    host_->advanceTo(thirtiethTick(start, 301));
    ASSERT_EQ(ticks_.size(), 3u);
    EXPECT_EQ(ticks_.back(), thirtiethTick(start, 301));
}

TEST_F(FakeTimerTest, OneShotFiresOnceAndUnscheduledNever) {
    auto once = makeTimer(DispatchTime::now().uptimeNanoseconds, 0, &ticks_);
    once->resume();
    std::vector<std::uint64_t> neverTicks;
    auto never = DispatchSourceTimer::makeTimerSource(queue_);
    never->setEventHandler([&neverTicks] { neverTicks.push_back(0); });
    never->resume();
    host_->advanceBy(10 * kSecond);
    EXPECT_EQ(ticks_.size(), 1u);
    EXPECT_TRUE(neverTicks.empty());
}

TEST_F(FakeTimerTest, SchedulingAResumedTimerRestartsIt) {
    const std::uint64_t start = DispatchTime::now().uptimeNanoseconds;
    auto timer = makeTimer(start, kPeriod, &ticks_);
    timer->resume();
    host_->advanceBy(40'000'000);  // ticks 0 and 1
    const std::uint64_t restart = start + kSecond;
    timer->schedule(DispatchTime{restart}, 0.5, DispatchTimeInterval::nanoseconds(0));
    host_->advanceTo(restart + kSecond);
    const std::vector<std::uint64_t> expected = {start, thirtiethTick(start, 1), restart,
                                                 restart + kSecond / 2, restart + kSecond};
    EXPECT_EQ(ticks_, expected);
}

// ---- timers on the real clock ----

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

    // A timer whose handler logs the host time of each tick (or 0 if off its queue). The log
    // is shared with the handler, so a tick still under way at the end of a test is harmless.
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
        return timer;
    }

    FdLeakGuard fds_;
};

TEST_F(RealTimerTest, TicksRunOnTheQueueNeverBeforeTheirDeadline) {
    auto log = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real");
    const std::uint64_t deadline = kova::host::monotonicNanoseconds() + 20'000'000;
    auto timer = loggingTimer(queue, deadline, 0.005, log);
    timer->resume();
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

TEST_F(RealTimerTest, CancelledTimersStopWhileOthersGoOn) {
    auto selfCancelled = std::make_shared<EventLog>();
    auto cancelledFromOutside = std::make_shared<EventLog>();
    auto reference = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real-a");
    auto otherQueue = DispatchQueue::create("test.real-b");
    const std::uint64_t now = kova::host::monotonicNanoseconds();

    auto first = DispatchSourceTimer::makeTimerSource(queue);
    first->schedule(DispatchTime{now}, 0.002, DispatchTimeInterval::nanoseconds(0));
    std::weak_ptr<DispatchSourceTimer> weakFirst = first;
    first->setEventHandler([selfCancelled, weakFirst] {
        selfCancelled->add(1);
        if (selfCancelled->count() == 2) weakFirst.lock()->cancel();
    });
    auto second = loggingTimer(otherQueue, now, 0.002, cancelledFromOutside);
    auto third = loggingTimer(otherQueue, now, 0.002, reference);
    first->resume();
    second->resume();
    third->resume();

    ASSERT_TRUE(selfCancelled->waitForCount(2));
    ASSERT_TRUE(cancelledFromOutside->waitForCount(2));
    second->cancel();
    const std::size_t secondAtCancel = cancelledFromOutside->count();
    ASSERT_TRUE(reference->waitForCount(reference->count() + 10));
    third->cancel();
    drain(queue);
    drain(otherQueue);
    EXPECT_EQ(selfCancelled->count(), 2u);
    EXPECT_LE(cancelledFromOutside->count(), secondAtCancel + 1);  // at most the tick under way
}

TEST_F(RealTimerTest, EarlierTimerArmedLaterWakesTheDriver) {
    auto late = std::make_shared<EventLog>();
    auto early = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real");
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    auto hourAway = loggingTimer(queue, now + 3600 * kSecond, 0, late);
    hourAway->resume();
    auto soon = loggingTimer(queue, now + 1'000'000, 0, early);
    soon->resume();
    EXPECT_TRUE(early->waitForCount(1));
    EXPECT_EQ(late->count(), 0u);
}

TEST_F(RealTimerTest, SlowHandlerGetsOneQueuedTickNotAPile) {
    auto blockedTicks = std::make_shared<EventLog>();
    auto clock = std::make_shared<EventLog>();
    auto blockedQueue = DispatchQueue::create("test.blocked");
    auto clockQueue = DispatchQueue::create("test.clock");
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    auto blocked = loggingTimer(blockedQueue, now, 0.001, blockedTicks);
    auto clockTimer = loggingTimer(clockQueue, now, 0.001, clock);

    // The blocked timer's queue is held up while twenty of its periods pass.
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> opened = gate->get_future().share();
    blockedQueue->async([opened] { opened.wait(); });
    blocked->resume();
    clockTimer->resume();
    const bool twentyPeriodsPassed = clock->waitForCount(20);
    auto ranBeforeMarker = std::make_shared<std::promise<std::size_t>>();
    blockedQueue->async(
        [ranBeforeMarker, blockedTicks] { ranBeforeMarker->set_value(blockedTicks->count()); });
    gate->set_value();
    ASSERT_TRUE(twentyPeriodsPassed);

    auto result = ranBeforeMarker->get_future();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_LE(result.get(), 1u);
}

TEST_F(RealTimerTest, ReleasedTimerIsDroppedWhileOthersGoOn) {
    auto released = std::make_shared<EventLog>();
    auto kept = std::make_shared<EventLog>();
    auto queue = DispatchQueue::create("test.real");
    const std::uint64_t now = kova::host::monotonicNanoseconds();
    auto gone = loggingTimer(queue, now, 0.001, released);
    auto stays = loggingTimer(queue, now, 0.001, kept);
    gone->resume();
    stays->resume();
    ASSERT_TRUE(released->waitForCount(1));
    gone.reset();
    const std::size_t atRelease = released->count();
    ASSERT_TRUE(kept->waitForCount(kept->count() + 10));
    EXPECT_LE(released->count(), atRelease + 1);  // at most the tick under way
}

// ---- run loop ----

class RunLoopTest : public ::testing::Test {
  protected:
    FdLeakGuard fds_;
    RunLoop loop_;
};

TEST_F(RunLoopTest, PerformedWorkRunsInOrderUntilStopped) {
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) loop_.perform([&order, i] { order.push_back(i); });
    loop_.perform([this] { loop_.stop(); });
    loop_.perform([&order] { order.push_back(99); });  // left for the next run
    loop_.run();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    loop_.perform([this] { loop_.stop(); });
    loop_.run();
    EXPECT_EQ(order.back(), 99);
}

TEST_F(RunLoopTest, StopBeforeRunMakesRunReturnAtOnce) {
    loop_.stop();
    loop_.run();
    SUCCEED();  // reaching here is the test: run() did not block
}

TEST_F(RunLoopTest, StopFromAnotherThread) {
    std::thread stopper([this] { loop_.stop(); });
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
    EXPECT_EQ(calls, 1);
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
    EXPECT_GE(firstCalls, 1);
    EXPECT_EQ(staleCalls, 0);
    loop_.unwatch(firstRead.get());
    loop_.unwatch(secondRead.get());
}

TEST_F(RunLoopTest, WatchRefusesBadArguments) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const UniqueFD readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    auto ignore = [](std::uint32_t) {};
    EXPECT_EQ(loop_.watch(readEnd.get(), EPOLLIN, ignore), 0);
    EXPECT_EQ(loop_.watch(readEnd.get(), EPOLLIN, ignore), -EEXIST);
    EXPECT_EQ(loop_.watch(-1, EPOLLIN, ignore), -EINVAL);
    EXPECT_EQ(loop_.watch(writeEnd.get(), EPOLLOUT, nullptr), -EINVAL);
    EXPECT_EQ(loop_.watch(999'999, EPOLLIN, ignore), -EBADF);
    loop_.unwatch(readEnd.get());
    loop_.unwatch(readEnd.get());  // a second unwatch is harmless
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

RunLoop* signalledLoop = nullptr;

TEST_F(RunLoopTest, SignalHandlerCanStopTheLoop) {
    signalledLoop = &loop_;
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { signalledLoop->stopFromSignal(); };
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    loop_.perform([] { ::raise(SIGUSR1); });
    loop_.run();
    ::sigaction(SIGUSR1, &previous, nullptr);
    signalledLoop = nullptr;
}

TEST(MainRunLoop, RunsUntilStopped) {
    bool ran = false;
    RunLoop::main().perform([&ran] {
        ran = true;
        CFRunLoopStop(RunLoop::main());
    });
    CFRunLoopRun();
    EXPECT_TRUE(ran);
    EXPECT_EQ(&RunLoop::main(), &RunLoop::main());
}

}  // namespace
