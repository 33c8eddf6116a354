// CameraService: the camera's socket. It binds it (or takes the one a service manager handed
// over), accepts clients of the camera's own user and hands them to the engine, tells the
// service manager when the camera is ready, and ends everything cleanly on SIGTERM or SIGINT.
//
// Threading: made and used on the main run loop's thread only. SIGTERM and SIGINT must be
// blocked in every thread (blockStopSignals() before any thread is made), so that they arrive
// through the service's signalfd and nowhere else.
#pragma once

#include <memory>
#include <string>

#include "base/UniqueFD.h"
#include "camera/engine/CameraEngine.h"
#include "host/dispatch/RunLoop.h"
#include "protocol/Wire.h"

namespace kova::service {

class CameraService {
  public:
    // Blocks SIGTERM and SIGINT for the calling thread and every thread it makes afterwards.
    static void blockStopSignals();

    // Takes the socket a service manager handed over, if any, else binds the one the
    // environment names. Fails with a sentence for a person, e.g. when another camera serves
    // the path.
    static base::Result<std::unique_ptr<CameraService>> open(
        host::RunLoop& loop, std::shared_ptr<engine::CameraEngine> engine);
    ~CameraService();
    CameraService(const CameraService&) = delete;
    CameraService& operator=(const CameraService&) = delete;

    // Starts accepting clients and reading the stop signals, and tells the service manager the
    // camera is ready. Returns 0 or -errno.
    int serve();
    // Stops accepting and removes the socket file (one the service manager made stays), ends
    // every client, and stops the run loop once their sessions have ended. A second stop signal
    // stops the run loop at once.
    void stop();

    const std::string& path() const { return listener_->path(); }

  private:
    CameraService(host::RunLoop& loop, std::shared_ptr<engine::CameraEngine> engine,
                  std::unique_ptr<wire::Listener> listener, base::UniqueFD signals);
    void acceptClients();
    void readSignals();

    host::RunLoop& loop_;
    std::shared_ptr<engine::CameraEngine> engine_;
    std::unique_ptr<wire::Listener> listener_;
    int listenerFd_ = -1;
    base::UniqueFD signals_;
    wire::PeerCheck peerCheck_;
    bool stopping_ = false;
};

}  // namespace kova::service
