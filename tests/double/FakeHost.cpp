// FakeHost: the host test double's clock, hand-driven timers, faults and records.
#include "tests/double/FakeHost.h"

#include <unistd.h>

#include <algorithm>

namespace kova::testing {

using kova::host::HostOperation;

// ---- timers ----

void FakeHost::arm(const std::shared_ptr<DispatchSourceTimer>& timer) {
    std::lock_guard lock(mutex_);
    const std::uint64_t armCount = ++armCounter_;
    for (ArmedTimer& armed : timers_) {
        if (armed.timer.lock() == timer) {
            armed.nextTick = 0;
            armed.armCount = armCount;
            return;
        }
    }
    timers_.push_back(ArmedTimer{timer, 0, armCount});
}

std::vector<FakeHost::DueTick> FakeHost::dueTicks(std::uint64_t limit) {
    std::vector<DueTick> due;
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [](const ArmedTimer& armed) {
        const auto timer = armed.timer.lock();
        return !timer || timer->isCancelled();
    });
    for (const ArmedTimer& armed : timers_) {
        auto timer = armed.timer.lock();
        const std::uint64_t deadline = timer->deadlineOfTick(armed.nextTick);
        if (deadline == UINT64_MAX || deadline > limit) continue;
        due.push_back(DueTick{std::move(timer), armed.nextTick, deadline, armed.armCount});
    }
    // Ties keep the order in which the timers were first armed.
    std::stable_sort(due.begin(), due.end(),
                     [](const DueTick& a, const DueTick& b) { return a.deadline < b.deadline; });
    return due;
}

void FakeHost::advanceTimer(const DueTick& tick, std::uint64_t nextTick) {
    std::lock_guard lock(mutex_);
    for (ArmedTimer& armed : timers_) {
        if (armed.armCount == tick.armCount) armed.nextTick = nextTick;
    }
}

void FakeHost::fireDueTimers() {
    const std::uint64_t now = hostTime_.load();
    for (const DueTick& tick : dueTicks(now)) {
        tick.timer->fire();
        advanceTimer(tick, tick.timer->firstTickAfter(now));
    }
}

void FakeHost::advanceBy(std::uint64_t ns) {
    const std::uint64_t end = hostTime_.load() + ns;
    fireDueTimers();
    for (auto due = dueTicks(end); !due.empty(); due = dueTicks(end)) {
        const DueTick& tick = due.front();
        if (tick.deadline > hostTime_.load()) hostTime_.store(tick.deadline);
        tick.timer->fire();
        advanceTimer(tick, tick.tick + 1);
    }
    if (end > hostTime_.load()) hostTime_.store(end);
}

std::size_t FakeHost::armedTimerCount() const {
    std::lock_guard lock(mutex_);
    return std::size_t(std::count_if(timers_.begin(), timers_.end(), [](const ArmedTimer& armed) {
        const auto timer = armed.timer.lock();
        return timer && !timer->isCancelled();
    }));
}

// ---- faults ----

void FakeHost::failNext(HostOperation op, std::int32_t status) {
    std::lock_guard lock(mutex_);
    faults_[op] = status;
}

void FakeHost::setPixelBufferRowPadding(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    rowPadding_ = bytes;
}

std::size_t FakeHost::attempts(HostOperation op) const {
    std::lock_guard lock(mutex_);
    const auto found = attempts_.find(op);
    return found == attempts_.end() ? 0 : found->second;
}

std::int32_t FakeHost::failureFor(HostOperation op) {
    std::lock_guard lock(mutex_);
    ++attempts_[op];
    const auto found = faults_.find(op);
    if (found == faults_.end()) return 0;
    const std::int32_t status = found->second;
    faults_.erase(found);
    return status;
}

std::size_t FakeHost::pixelBufferRowPadding() {
    std::lock_guard lock(mutex_);
    return rowPadding_;
}

void FakeHost::pixelBufferPoolRequested(const CFDictionaryRef& attributes) {
    std::lock_guard lock(mutex_);
    poolAttributes_.push_back(attributes);
}

// ---- what the extension hands the host ----

void FakeHost::log(std::string call) {
    std::lock_guard lock(mutex_);
    callLog_.push_back(std::move(call));
}

void FakeHost::sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                                CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                std::uint64_t hostTimeInNanoseconds) {
    std::lock_guard lock(mutex_);
    sent_.push_back(
        SentBuffer{&stream, sampleBuffer, discontinuity, hostTimeInNanoseconds, hostTime_.load()});
    callLog_.push_back("send");
}

void FakeHost::consumeSampleBuffer(CMIOExtensionStream& stream,
                                   const CMIOExtensionClientRef& client,
                                   CMIOExtensionConsumeCompletion completion) {
    std::lock_guard lock(mutex_);
    pendingConsumes_.push_back(ConsumeRequest{&stream, client, std::move(completion)});
    callLog_.push_back("consume");
}

void FakeHost::scheduledOutputChanged(CMIOExtensionStream& stream,
                                      const CMIOExtensionScheduledOutputRef& scheduledOutput) {
    std::lock_guard lock(mutex_);
    scheduledOutputs_.push_back(ScheduledOutputRecord{&stream, scheduledOutput->sequenceNumber(),
                                                      scheduledOutput->hostTimeInNanoseconds()});
    callLog_.push_back("scheduledOutput");
}

bool FakeHost::completeConsume(const CMIOExtensionClientRef& client, CMSampleBufferRef sampleBuffer,
                               std::uint64_t sequenceNumber,
                               CMIOExtensionStreamDiscontinuityFlags discontinuity, bool hasMore,
                               std::optional<NSError> error) {
    CMIOExtensionConsumeCompletion completion;
    {
        std::lock_guard lock(mutex_);
        const auto found =
            std::find_if(pendingConsumes_.begin(), pendingConsumes_.end(),
                         [&](const ConsumeRequest& pending) { return pending.client == client; });
        if (found == pendingConsumes_.end()) return false;
        completion = std::move(found->completion);
        pendingConsumes_.erase(found);
    }
    completion(std::move(sampleBuffer), sequenceNumber, discontinuity, hasMore, std::move(error));
    return true;
}

void FakeHost::clearRecords() {
    std::vector<SentBuffer> sent;
    {
        std::lock_guard lock(mutex_);
        sent.swap(sent_);
        scheduledOutputs_.clear();
        callLog_.clear();
        poolAttributes_.clear();
    }
    // Sample buffers go outside the lock: a buffer's release may run pool code.
}

// ---- helpers ----

CMIOExtensionClientRef FakeHost::makeClient() {
    return std::make_shared<const CMIOExtensionClient>(UUID::random(), std::int32_t(::getpid()),
                                                       "com.kova.test-client");
}

CMSampleBufferRef FakeHost::makeSampleBuffer(CMTime presentationTime) {
    CVPixelBufferRef pixelBuffer;
    if (samplePool_->createPixelBuffer(&pixelBuffer) != kCVReturnSuccess) return nullptr;
    CMSampleTimingInfo timing;
    timing.presentationTimeStamp = presentationTime;
    return std::make_shared<const CMSampleBuffer>(std::move(pixelBuffer), sampleFormat_, timing);
}

}  // namespace kova::testing
