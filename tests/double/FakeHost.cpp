// FakeHost: the host test double's clock, hand-driven timers, faults and records.
#include "tests/double/FakeHost.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace kova::testing {

using kova::host::HostBackend;
using kova::host::HostOperation;

namespace {

constexpr std::uint64_t kInitialHostTime = 1000ull * 1'000'000'000ull;

bool sameTimer(const std::weak_ptr<DispatchSourceTimer>& a,
               const std::weak_ptr<DispatchSourceTimer>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

std::shared_ptr<FakeHost> FakeHost::install() {
    auto host = std::make_shared<FakeHost>();
    HostBackend::install(host);
    return host;
}

FakeHost::FakeHost() : hostTime_(kInitialHostTime) {}

FakeHost::~FakeHost() = default;

// ---- clock ----

void FakeHost::setHostTime(std::uint64_t ns) {
    hostTime_.store(ns);
}

void FakeHost::setHostSeconds(double s) {
    const double ns = std::round(s * 1e9);
    hostTime_.store(ns > 0 && ns < 1.8e19 ? std::uint64_t(ns) : 0);
}

std::uint64_t FakeHost::hostTimeNanoseconds() {
    return hostTime_.load();
}

// ---- timers ----

void FakeHost::arm(const std::shared_ptr<DispatchSourceTimer>& timer) {
    if (!timer) return;
    std::lock_guard lock(mutex_);
    std::weak_ptr<DispatchSourceTimer> weak = timer;
    const std::uint64_t armCount = ++armCounter_;
    for (ArmedTimer& armed : timers_) {
        if (sameTimer(armed.timer, weak)) {
            armed.nextTick = 0;
            armed.armCount = armCount;
            return;
        }
    }
    timers_.push_back(ArmedTimer{weak, 0, armCount});
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
    const std::uint64_t now = hostTime_.load();
    advanceTo(ns > UINT64_MAX - now ? UINT64_MAX : now + ns);
}

void FakeHost::advanceTo(std::uint64_t ns) {
    fireDueTimers();
    for (;;) {
        const auto due = dueTicks(ns);
        if (due.empty()) break;
        const DueTick& tick = due.front();
        if (tick.deadline > hostTime_.load()) hostTime_.store(tick.deadline);
        tick.timer->fire();
        advanceTimer(tick, tick.tick + 1);
    }
    if (ns > hostTime_.load()) hostTime_.store(ns);
}

std::size_t FakeHost::armedTimerCount() const {
    std::lock_guard lock(mutex_);
    return std::size_t(std::count_if(timers_.begin(), timers_.end(), [](const ArmedTimer& armed) {
        const auto timer = armed.timer.lock();
        return timer && !timer->isCancelled();
    }));
}

// ---- faults ----

void FakeHost::failNext(HostOperation op, std::int32_t status, int times) {
    std::lock_guard lock(mutex_);
    if (times <= 0) {
        faults_.erase(op);
        return;
    }
    faults_[op] = Fault{status, times};
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
    const std::int32_t status = found->second.status;
    if (--found->second.remaining == 0) faults_.erase(found);
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

void FakeHost::deviceAdded(CMIOExtensionProvider& /*provider*/,
                           const CMIOExtensionDeviceRef& device) {
    std::lock_guard lock(mutex_);
    callLog_.push_back("addDevice " + device->localizedName());
}

void FakeHost::streamAdded(CMIOExtensionDevice& /*device*/, const CMIOExtensionStreamRef& stream) {
    std::lock_guard lock(mutex_);
    callLog_.push_back("addStream " + stream->localizedName());
}

void FakeHost::startService(const CMIOExtensionProviderRef& provider) {
    std::lock_guard lock(mutex_);
    startedProviders_.push_back(provider);
    callLog_.push_back("startService");
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
    pendingConsumes_.push_back(PendingConsume{&stream, client, std::move(completion)});
    callLog_.push_back("consume");
}

void FakeHost::scheduledOutputChanged(CMIOExtensionStream& stream,
                                      const CMIOExtensionScheduledOutputRef& scheduledOutput) {
    std::lock_guard lock(mutex_);
    scheduledOutputs_.push_back(ScheduledOutputRecord{&stream, scheduledOutput->sequenceNumber(),
                                                      scheduledOutput->hostTimeInNanoseconds()});
    callLog_.push_back("scheduledOutput");
}

// ---- records ----

std::vector<FakeHost::SentBuffer> FakeHost::sentBuffers() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<FakeHost::ConsumeRequest> FakeHost::pendingConsumeRequests() const {
    std::lock_guard lock(mutex_);
    std::vector<ConsumeRequest> requests;
    for (const PendingConsume& pending : pendingConsumes_) {
        requests.push_back(ConsumeRequest{pending.stream, pending.client});
    }
    return requests;
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
                         [&](const PendingConsume& pending) { return pending.client == client; });
        if (found == pendingConsumes_.end()) return false;
        completion = std::move(found->completion);
        pendingConsumes_.erase(found);
    }
    completion(std::move(sampleBuffer), sequenceNumber, discontinuity, hasMore, std::move(error));
    return true;
}

std::size_t FakeHost::completeAllConsumesWithError(NSError error) {
    std::vector<PendingConsume> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pendingConsumes_);
    }
    for (PendingConsume& request : pending) request.completion(nullptr, 0, 0, false, error);
    return pending.size();
}

std::vector<FakeHost::ScheduledOutputRecord> FakeHost::scheduledOutputs() const {
    std::lock_guard lock(mutex_);
    return scheduledOutputs_;
}

std::vector<CMIOExtensionProviderRef> FakeHost::startedProviders() const {
    std::lock_guard lock(mutex_);
    return startedProviders_;
}

std::vector<std::string> FakeHost::callLog() const {
    std::lock_guard lock(mutex_);
    return callLog_;
}

std::vector<CFDictionaryRef> FakeHost::requestedPoolAttributes() const {
    std::lock_guard lock(mutex_);
    return poolAttributes_;
}

void FakeHost::clearRecords() {
    std::vector<SentBuffer> sent;
    {
        std::lock_guard lock(mutex_);
        sent.swap(sent_);
        scheduledOutputs_.clear();
        startedProviders_.clear();
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
    constexpr std::size_t kWidth = 800;
    constexpr std::size_t kHeight = 960;
    // Room for every buffer a test keeps in its records.
    constexpr std::size_t kHelperPoolBuffers = 256;
    std::shared_ptr<CVPixelBufferPool> pool;
    CMFormatDescriptionRef format;
    {
        std::lock_guard lock(mutex_);
        if (!samplePool_) {
            CVPixelBuffer::Layout layout{kWidth, kHeight, kCVPixelFormatType_32BGRA, kWidth * 4};
            samplePool_ = std::make_shared<CVPixelBufferPool>(layout, kHelperPoolBuffers);
            sampleFormat_ = std::make_shared<const CMFormatDescription>(
                kCVPixelFormatType_32BGRA,
                CMVideoDimensions{std::int32_t(kWidth), std::int32_t(kHeight)});
        }
        pool = samplePool_;
        format = sampleFormat_;
    }
    CVPixelBufferRef pixelBuffer;
    if (pool->createPixelBuffer(&pixelBuffer) != kCVReturnSuccess) return nullptr;
    CMSampleTimingInfo timing;
    timing.presentationTimeStamp = presentationTime;
    return std::make_shared<const CMSampleBuffer>(std::move(pixelBuffer), std::move(format),
                                                  timing);
}

ScopedFakeHost::ScopedFakeHost() : host(FakeHost::install()) {}

ScopedFakeHost::~ScopedFakeHost() {
    HostBackend::install(nullptr);
}

}  // namespace kova::testing
