// The camera's socket service: listening or socket activation, accepting and checking clients,
// readiness and the stop signals.
#include "camera/service/CameraService.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "camera/engine/Log.h"

namespace kova::service {

namespace {

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// The socket handed over by a service manager, or the one this camera binds itself.
base::Result<std::unique_ptr<wire::Listener>> listenerForThisProcess() {
    // The variables are cleared, so nothing this process starts would take the socket too.
    const int handedOver = sd_listen_fds(/*unset_environment=*/1);
    if (handedOver < 0) {
        return base::Failure{handedOver, std::string("cannot read the handed-over sockets: ") +
                                             std::strerror(-handedOver)};
    }
    if (handedOver == 0) return wire::Listener::listen(wire::resolveSocketPath());
    if (handedOver > 1) {
        for (int i = 1; i < handedOver; ++i) ::close(SD_LISTEN_FDS_START + i);
        engine::log(
            engine::Priority::Warning,
            std::to_string(handedOver) + " sockets were handed over; the first one is served");
    }
    return wire::Listener::adopt(base::UniqueFD(SD_LISTEN_FDS_START));
}

}  // namespace

void CameraService::blockStopSignals() {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

base::Result<std::unique_ptr<CameraService>> CameraService::open(
    host::RunLoop& loop, std::shared_ptr<engine::CameraEngine> engine) {
    const sigset_t signals = stopSignals();
    base::UniqueFD signalFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signalFd) {
        return base::Failure{-errno,
                             std::string("cannot watch for stop signals: ") + std::strerror(errno)};
    }
    auto listener = listenerForThisProcess();
    if (!listener.ok()) return listener.failure();
    return std::unique_ptr<CameraService>(new CameraService(
        loop, std::move(engine), std::move(listener.value()), std::move(signalFd)));
}

CameraService::CameraService(host::RunLoop& loop, std::shared_ptr<engine::CameraEngine> engine,
                             std::unique_ptr<wire::Listener> listener, base::UniqueFD signals)
    : loop_(loop),
      engine_(std::move(engine)),
      listener_(std::move(listener)),
      listenerFd_(listener_->fd()),
      signals_(std::move(signals)),
      peerCheck_(::geteuid()) {}

CameraService::~CameraService() {
    if (listener_) loop_.unwatch(listenerFd_);
    loop_.unwatch(signals_.get());
}

int CameraService::serve() {
    if (const int watched =
            loop_.watch(signals_.get(), EPOLLIN, [this](std::uint32_t) { readSignals(); });
        watched < 0) {
        return watched;
    }
    if (const int watched =
            loop_.watch(listenerFd_, EPOLLIN, [this](std::uint32_t) { acceptClients(); });
        watched < 0) {
        return watched;
    }
    sd_notify(0, "READY=1");
    return 0;
}

void CameraService::acceptClients() {
    for (;;) {
        base::Result<base::UniqueFD> accepted = listener_->accept();
        if (!accepted.ok()) {
            const int error = accepted.failure().error;
            if (error != -EAGAIN && error != -EWOULDBLOCK)
                engine::log(engine::Priority::Error, accepted.failure().message);
            return;
        }
        base::UniqueFD socket = std::move(accepted.value());
        base::Result<wire::PeerIdentity> peer = peerCheck_.check(socket.get());
        if (!peer.ok()) {
            engine::log(engine::Priority::Warning, "refused a client: " + peer.failure().message);
            wire::Error error;
            error.code = wire::ErrorCode::PermissionDenied;
            error.disconnecting = 1;
            wire::setText(error.text, peer.failure().message);
            wire::Connection(std::move(socket), wire::Peer::Host)
                .send(error, -1, wire::SendMode::DontWait);
            continue;
        }
        engine_->attach(std::move(socket), peer.value());
    }
}

void CameraService::readSignals() {
    signalfd_siginfo info{};
    while (::read(signals_.get(), &info, sizeof info) == sizeof info) {
        if (stopping_) {
            // Asked twice: stop without waiting for the clients' sessions to end.
            loop_.stop();
            return;
        }
        stop();
    }
}

void CameraService::stop() {
    if (stopping_) return;
    stopping_ = true;
    sd_notify(0, "STOPPING=1");
    loop_.unwatch(listenerFd_);
    // Removes the socket file first, so no new client finds a camera that is going.
    listener_.reset();
    engine_->shutdown([loop = &loop_] { loop->stop(); });
}

}  // namespace kova::service
