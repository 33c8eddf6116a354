// kova-camera: the camera extension process. It takes no options but --help and --version.
#include "Sources/CameraExtension/Entry.h"
#include "camera/HostEngine.h"
#include "cli/CommandLine.h"
#include "host/HostBackend.h"

int main(int argc, char** argv) {
    CLI::App program(
        "The Kova camera: publishes the device \"Kova\" to clients of its socket, "
        "$KOVA_SOCKET, else $XDG_RUNTIME_DIR/kova/camera.sock, or the one a service manager "
        "hands over.",
        "kova-camera");
    kova::cli::addVersion(program);
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;
    // The host must be in place before the extension's first host call.
    kova::host::HostBackend::install(kova::camera::HostEngine::create());
    return cameraExtensionMain();
}
