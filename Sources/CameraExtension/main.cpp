// kova-camera: the camera extension process. It takes no arguments.
#include "Sources/CameraExtension/Entry.h"

int main() {
    return cameraExtensionMain();
}
