// FakeHost: the host test double. A fake clock, timers ticked by hand, fault injection for each
// host operation that can fail, and a record of everything the extension hands the host.
//
// Threading: every member may be called from any thread; records come back as copies. Timer
// handlers and consume completions run inline on the thread that fires or completes them
// (never on the timer's queue), and always without the double's lock held, so they may call
// back into the double. The clock starts at 1000 s, as on a machine that has been up a while.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/HostBackend.h"
#include "host/cmio/CMIOExtension.h"
#include "host/dispatch/Dispatch.h"
#include "host/media/CMSampleBuffer.h"
#include "host/media/CVPixelBuffer.h"

namespace kova::testing {

class FakeHost : public kova::host::HostBackend, public DispatchTimerDriver {
  public:
    // ---- clock ----
    void setHostTime(std::uint64_t ns) { hostTime_.store(ns); }
    std::uint64_t hostTimeNanoseconds() override { return hostTime_.load(); }

    // ---- timers ----
    // The double keeps every timer armed alive, so that a test can fire one that outlived its
    // owner, and a timer dropped without cancel() still counts as armed. Each timer is armed
    // once: scheduling a resumed timer again is not supported.
    //
    // Fires every armed timer whose next deadline is at or before now, once each, in deadline
    // order; a timer that has missed several ticks fires once and goes on from its first
    // deadline after now (as the real driver does).
    void fireDueTimers() { advanceBy(0); }
    // Fires what is due now (as fireDueTimers), then moves the clock forward through every
    // tick up to and including now + `ns`, in deadline order, setting the clock to each tick's
    // deadline before firing it; leaves the clock at now + `ns`.
    void advanceBy(std::uint64_t ns);
    // Timers armed and not cancelled.
    std::size_t armedTimerCount() const;
    // Every timer armed so far, in order.
    std::vector<std::shared_ptr<DispatchSourceTimer>> armedTimers() const {
        return copy(timers_, timersMutex_);
    }

    // ---- faults ----
    // The next call of `op` fails with `status`.
    void failNext(kova::host::HostOperation op, std::int32_t status = -1);
    void setPixelBufferRowPadding(std::size_t bytes) { rowPadding_.store(bytes); }

    // ---- records ----
    // Runs just before each send is recorded, on the sending thread; set before the code under
    // test runs.
    std::function<void()> beforeSend;
    struct SentBuffer {
        CMIOExtensionStream* stream;
        CMSampleBufferRef sampleBuffer;
        CMIOExtensionStreamDiscontinuityFlags discontinuity;
        std::uint64_t hostTimeInNanoseconds;
        std::uint64_t clockAtSend;  // the fake clock when the buffer was sent
    };
    struct ConsumeRequest {
        CMIOExtensionStream* stream;
        CMIOExtensionClientRef client;
        CMIOExtensionConsumeCompletion completion;
    };
    struct ScheduledOutputRecord {
        CMIOExtensionStream* stream;
        std::uint64_t sequenceNumber;
        std::uint64_t hostTimeInNanoseconds;
    };
    std::vector<SentBuffer> sentBuffers() const { return copy(sent_, mutex_); }
    // Requests not completed yet, oldest first.
    std::vector<ConsumeRequest> pendingConsumeRequests() const {
        return copy(pendingConsumes_, mutex_);
    }
    std::vector<ScheduledOutputRecord> scheduledOutputs() const {
        return copy(scheduledOutputs_, mutex_);
    }
    // Host calls in order: "addStream <name>", "addDevice <name>", "startService", "send",
    // "consume", "scheduledOutput".
    std::vector<std::string> callLog() const { return copy(callLog_, mutex_); }
    // The pixel-buffer attributes of every pool asked for, in order.
    std::vector<CFDictionaryRef> requestedPoolAttributes() const {
        return copy(poolAttributes_, mutex_);
    }
    // Forgets every record (and so releases the sample buffers sent); pending consume requests
    // are live, not records, and stay.
    void clearRecords();

    // Completes the oldest pending request for `client`: removes it, then calls its completion
    // on this thread. False if there is none.
    bool completeConsume(const CMIOExtensionClientRef& client, CMSampleBufferRef sampleBuffer,
                         std::uint64_t sequenceNumber,
                         CMIOExtensionStreamDiscontinuityFlags discontinuity = 0,
                         bool hasMore = false, std::optional<NSError> error = std::nullopt);

    // ---- helpers for tests ----
    static CMIOExtensionClientRef makeClient();
    // An 800 × 960 BGRA sample buffer (zeroed pixels on first use of its memory) with the given
    // presentation time, from a pool of the double's own; null only if memory runs out.
    CMSampleBufferRef makeSampleBuffer(CMTime presentationTime);

    // ---- HostBackend ----
    DispatchTimerDriver& timerDriver() override { return *this; }
    std::int32_t failureFor(kova::host::HostOperation op) override;
    std::size_t pixelBufferRowPadding() override { return rowPadding_.load(); }
    void pixelBufferPoolRequested(const CFDictionaryRef& attributes) override;
    void deviceAdded(CMIOExtensionProvider&, const CMIOExtensionDeviceRef& device) override {
        log("addDevice " + device->localizedName());
    }
    void streamAdded(CMIOExtensionDevice&, const CMIOExtensionStreamRef& stream) override {
        log("addStream " + stream->localizedName());
    }
    void startService(const CMIOExtensionProviderRef&) override { log("startService"); }
    void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                          CMIOExtensionStreamDiscontinuityFlags discontinuity,
                          std::uint64_t hostTimeInNanoseconds) override;
    void consumeSampleBuffer(CMIOExtensionStream& stream, const CMIOExtensionClientRef& client,
                             CMIOExtensionConsumeCompletion completion) override;
    void scheduledOutputChanged(CMIOExtensionStream& stream,
                                const CMIOExtensionScheduledOutputRef& scheduledOutput) override;

    // ---- DispatchTimerDriver ----
    void arm(const std::shared_ptr<DispatchSourceTimer>& timer) override;

  private:
    struct DueTick {
        std::shared_ptr<DispatchSourceTimer> timer;
        std::size_t index;  // in timers_ and nextTicks_, which only grow
        std::uint64_t deadline;
    };

    template <class Records>
    static Records copy(const Records& records, std::mutex& mutex) {
        std::lock_guard lock(mutex);
        return records;
    }
    void log(std::string call);
    // The tick due first at or before `limit`; of two due at once, the timer armed first.
    std::optional<DueTick> firstDue(std::uint64_t limit) const;

    mutable std::mutex mutex_;
    std::atomic<std::uint64_t> hostTime_{1000ull * 1'000'000'000ull};
    std::atomic<std::size_t> rowPadding_{0};
    std::map<kova::host::HostOperation, std::int32_t> faults_;
    // The timers have a lock of their own: firing one from a thread shares no lock with the
    // threads that only make records.
    mutable std::mutex timersMutex_;
    std::vector<std::shared_ptr<DispatchSourceTimer>> timers_;
    std::vector<std::uint64_t> nextTicks_;  // of each timer, the next tick to fire

    std::vector<SentBuffer> sent_;
    std::vector<ConsumeRequest> pendingConsumes_;
    std::vector<ScheduledOutputRecord> scheduledOutputs_;
    std::vector<std::string> callLog_;
    std::vector<CFDictionaryRef> poolAttributes_;

    // The helper pool's buffers are made without the fault injection the extension sees; it has
    // room for every buffer a test keeps in its records.
    const std::shared_ptr<CVPixelBufferPool> samplePool_ = std::make_shared<CVPixelBufferPool>(
        CVPixelBuffer::Layout{800, 960, kCVPixelFormatType_32BGRA, 800 * 4}, 256);
    const CMFormatDescriptionRef sampleFormat_ = std::make_shared<const CMFormatDescription>(
        kCVPixelFormatType_32BGRA, CMVideoDimensions{800, 960});
};

// Installs a fresh host double for a scope (a test) and uninstalls it at the end.
template <class Host>
struct ScopedHost {
    std::shared_ptr<Host> host = std::make_shared<Host>();
    ScopedHost() { kova::host::HostBackend::install(host); }
    ~ScopedHost() { kova::host::HostBackend::install(nullptr); }
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;
    Host* operator->() const { return host.get(); }
};
using ScopedFakeHost = ScopedHost<FakeHost>;

}  // namespace kova::testing
