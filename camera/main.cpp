// kova-camera: the camera extension process. It takes no options but --help and --version.
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Sources/CameraExtension/Entry.h"
#include "camera/HostEngine.h"
#include "camera/engine/Log.h"
#include "cli/CommandLine.h"
#include "host/HostBackend.h"

namespace {

// Every client holds a socket and its buffers' fds, and the camera waits with epoll, not
// select(): the soft limit on fds (often 1024, kept low for select()'s sake) is raised to the
// hard one, so that the camera runs out of descriptors only where its administrator says.
void raiseFdLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max ||
        limit.rlim_max == RLIM_INFINITY) {
        return;
    }
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        kova::engine::log(
            kova::engine::Priority::Warning,
            std::string("cannot raise the limit on open files: ") + std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App program(
        "The Kova camera: publishes the device \"Kova\" to clients of its socket, "
        "$KOVA_SOCKET, else $XDG_RUNTIME_DIR/kova/camera.sock, or the one a service manager "
        "hands over.",
        "kova-camera");
    kova::cli::addVersion(program);
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;
    raiseFdLimit();
    // The host must be in place before the extension's first host call.
    kova::host::HostBackend::install(kova::camera::HostEngine::create());
    return cameraExtensionMain();
}
