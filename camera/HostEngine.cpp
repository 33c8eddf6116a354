// The camera process's host: clock, timers, callback queue, engine and socket service.
#include "camera/HostEngine.h"

#include <cstdlib>
#include <cstring>

#include "camera/engine/Log.h"

namespace kova::camera {

std::shared_ptr<HostEngine> HostEngine::create() {
    // Before the base class starts the timer thread, which must not take the stop signals.
    service::CameraService::blockStopSignals();
    return std::shared_ptr<HostEngine>(new HostEngine());
}

HostEngine::HostEngine()
    : loop_(host::RunLoop::main()), callbackQueue_(DispatchQueue::create("host.callbacks")) {
    engine_ = engine::CameraEngine::create(engine::CameraEngine::Environment{
        loop_,
        [queue = callbackQueue_](std::function<void()> work) { queue->async(std::move(work)); },
        [this] { return hostTimeNanoseconds(); }});
}

HostEngine::~HostEngine() {
    // The service refers to the engine; both go before the queue their work may still be on.
    service_.reset();
    engine_.reset();
}

void HostEngine::startService(const CMIOExtensionProviderRef& provider) {
    auto opened = service::CameraService::open(host::RunLoop::main(), engine_);
    if (!opened.ok()) {
        engine::log(engine::Priority::Error, opened.failure().message);
        std::exit(EXIT_FAILURE);
    }
    service_ = std::move(opened.value());
    // Clients wait in the socket's backlog until the engine knows the streams.
    engine_->serve(provider, [service = service_.get()] {
        if (const int served = service->serve(); served < 0) {
            engine::log(engine::Priority::Error,
                        "cannot serve " + service->path() + ": " + std::strerror(-served));
            std::exit(EXIT_FAILURE);
        }
        engine::log(engine::Priority::Info, "serving on " + service->path());
    });
}

void HostEngine::sendSampleBuffer(CMIOExtensionStream& stream,
                                  const CMSampleBufferRef& sampleBuffer,
                                  CMIOExtensionStreamDiscontinuityFlags,
                                  std::uint64_t hostTimeInNanoseconds) {
    engine_->sendSampleBuffer(stream, sampleBuffer, hostTimeInNanoseconds);
}

void HostEngine::consumeSampleBuffer(CMIOExtensionStream& stream,
                                     const CMIOExtensionClientRef& client,
                                     CMIOExtensionConsumeCompletion completion) {
    engine_->consumeSampleBuffer(stream, client, std::move(completion));
}

void HostEngine::scheduledOutputChanged(CMIOExtensionStream& stream,
                                        const CMIOExtensionScheduledOutputRef& scheduledOutput) {
    engine_->scheduledOutputChanged(stream, scheduledOutput);
}

}  // namespace kova::camera
