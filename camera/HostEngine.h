// HostEngine: the host of the camera process. The machine's clock and timers, the callback
// queue "host.callbacks", the engine on the main run loop, and the socket service.
//
// Threading: made by main(), on the main thread, before any other thread exists.
// startService() runs on the main thread before the run loop does; the other members may be
// called from any thread, as HostBackend allows.
#pragma once

#include <memory>

#include "camera/engine/CameraEngine.h"
#include "camera/engine/EventLoop.h"
#include "camera/service/CameraService.h"
#include "host/RealClockHostBackend.h"
#include "host/dispatch/Dispatch.h"

namespace kova::camera {

class HostEngine final : public host::RealClockHostBackend {
  public:
    // Blocks SIGTERM and SIGINT for every thread made from now on (the service reads them from
    // a signalfd), then builds the host.
    static std::shared_ptr<HostEngine> create();
    ~HostEngine() override;

    // The provider lists its own devices and streams; the engine reads them when it starts.
    void deviceAdded(CMIOExtensionProvider&, const CMIOExtensionDeviceRef&) override {}
    void streamAdded(CMIOExtensionDevice&, const CMIOExtensionStreamRef&) override {}
    // Opens the socket and serves it on the main run loop once the engine is ready. A socket
    // that cannot be served (another camera has it) ends the process with a message.
    void startService(const CMIOExtensionProviderRef& provider) override;
    void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                          CMIOExtensionStreamDiscontinuityFlags discontinuity,
                          std::uint64_t hostTimeInNanoseconds) override;
    void consumeSampleBuffer(CMIOExtensionStream& stream, const CMIOExtensionClientRef& client,
                             CMIOExtensionConsumeCompletion completion) override;
    void scheduledOutputChanged(CMIOExtensionStream& stream,
                                const CMIOExtensionScheduledOutputRef& scheduledOutput) override;

  private:
    HostEngine();

    engine::RunLoopEvents loop_;
    std::shared_ptr<DispatchQueue> callbackQueue_;
    std::shared_ptr<engine::CameraEngine> engine_;
    std::unique_ptr<service::CameraService> service_;
};

}  // namespace kova::camera
