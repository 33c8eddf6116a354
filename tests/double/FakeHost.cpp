// FakeHost: the host test double's clock, hand-driven timers, faults and records.
#include "tests/double/FakeHost.h"

#include <unistd.h>

#include <algorithm>

namespace kova::testing {

using kova::host::HostOperation;

// ---- timers ----

void FakeHost::arm(const std::shared_ptr<DispatchSourceTimer>& timer) {
    std::lock_guard lock(timersMutex_);
    timers_.push_back(timer);
    nextTicks_.push_back(0);
}

std::optional<FakeHost::DueTick> FakeHost::firstDue(std::uint64_t limit) const {
    std::lock_guard lock(timersMutex_);
    std::optional<DueTick> first;
    for (std::size_t i = 0; i < timers_.size(); ++i) {
        const std::uint64_t deadline = timers_[i]->deadlineOfTick(nextTicks_[i]);
        if (timers_[i]->isCancelled() || deadline == UINT64_MAX || deadline > limit) continue;
        if (!first || deadline < first->deadline) first = DueTick{timers_[i], i, deadline};
    }
    return first;
}

void FakeHost::advanceBy(std::uint64_t ns) {
    const std::uint64_t end = hostTime_.load() + ns;
    while (const auto due = firstDue(end)) {
        // A tick missed before the call fires once, at the time of the call.
        if (due->deadline > hostTime_.load()) hostTime_.store(due->deadline);
        due->timer->fire();
        const std::uint64_t next = due->timer->firstTickAfter(hostTime_.load());
        std::lock_guard lock(timersMutex_);
        nextTicks_[due->index] = next;
    }
    if (end > hostTime_.load()) hostTime_.store(end);
}

std::size_t FakeHost::armedTimerCount() const {
    std::lock_guard lock(timersMutex_);
    return std::size_t(std::count_if(timers_.begin(), timers_.end(),
                                     [](const auto& timer) { return !timer->isCancelled(); }));
}

// ---- faults ----

void FakeHost::failNext(HostOperation op, std::int32_t status) {
    std::lock_guard lock(mutex_);
    faults_[op] = status;
}

std::int32_t FakeHost::failureFor(HostOperation op) {
    std::lock_guard lock(mutex_);
    const auto fault = faults_.extract(op);
    return fault ? fault.mapped() : 0;
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
    if (beforeSend) beforeSend();
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
