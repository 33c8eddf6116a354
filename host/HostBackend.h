// The seam between the host API and whoever plays the host: the camera process's engine, or
// the test double. Every host API call that needs the host (the clock, timers, the operations
// that can fail, what the extension hands over) goes through the installed backend, so
// extension code cannot tell the two apart.
//
// Threading: install() once before any host API use (tests: per test, with nothing running).
// Backends are called from any thread and must be thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "host/cmio/CMIOExtension.h"
#include "host/dispatch/Dispatch.h"

namespace kova::host {

// Host operations that may fail, each of which a test can make fail.
enum class HostOperation {
    CreateFormatDescription,
    CreatePixelBufferPool,
    CreatePixelBuffer,
    LockBaseAddress,  // failing this leaves the buffer without a base address
    CreateSampleBuffer,
    AddStream,
    AddDevice,
};

class HostBackend {
  public:
    virtual ~HostBackend() = default;

    // Installs `backend` for the whole process (null uninstalls). The camera process installs
    // its engine before main() runs; tests install the double.
    static void install(std::shared_ptr<HostBackend> backend);
    // The installed backend. Using the host API with none installed is a fatal error.
    static std::shared_ptr<HostBackend> current();

    // ---- clock and timers ----
    virtual std::uint64_t hostTimeNanoseconds() = 0;
    virtual DispatchTimerDriver& timerDriver() = 0;

    // ---- operations that may fail: 0, or the status the operation reports ----
    virtual std::int32_t failureFor(HostOperation) { return 0; }
    // Extra bytes at the end of every pixel-buffer row (0: rows are packed).
    virtual std::size_t pixelBufferRowPadding() { return 0; }
    // The pixel-buffer attributes a pool is asked for, as given, before they are checked.
    virtual void pixelBufferPoolRequested(const CFDictionaryRef& /*attributes*/) {}

    // ---- what the extension hands the host ----
    virtual void deviceAdded(CMIOExtensionProvider& provider,
                             const CMIOExtensionDeviceRef& device) = 0;
    virtual void streamAdded(CMIOExtensionDevice& device, const CMIOExtensionStreamRef& stream) = 0;
    virtual void startService(const CMIOExtensionProviderRef& provider) = 0;
    virtual void sendSampleBuffer(CMIOExtensionStream& stream,
                                  const CMSampleBufferRef& sampleBuffer,
                                  CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                  std::uint64_t hostTimeInNanoseconds) = 0;
    virtual void consumeSampleBuffer(CMIOExtensionStream& stream,
                                     const CMIOExtensionClientRef& client,
                                     CMIOExtensionConsumeCompletion completion) = 0;
    virtual void scheduledOutputChanged(CMIOExtensionStream& stream,
                                        const CMIOExtensionScheduledOutputRef& scheduledOutput) = 0;
};

}  // namespace kova::host
