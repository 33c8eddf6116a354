// kova-camera: the camera extension process. It takes no arguments.
#include "Sources/CameraExtension/Entry.h"
#include "camera/HostEngine.h"
#include "host/HostBackend.h"

int main() {
    // The host must be in place before the extension's first host call.
    kova::host::HostBackend::install(kova::camera::HostEngine::create());
    return cameraExtensionMain();
}
