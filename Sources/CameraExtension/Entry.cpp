// The camera extension's entry steps.
#include "Sources/CameraExtension/Entry.h"

#include "Sources/CameraExtension/CameraProviderSource.h"
#include "Sources/CameraExtension/ExtensionSupport.h"
#include "host/dispatch/RunLoop.h"

std::shared_ptr<CameraProviderSource> providerSource;

void startCameraExtension() {
    providerSource = CameraProviderSource::create(nullptr);
    const CMIOExtensionProviderRef provider = providerSource->provider;
    if (!provider) fatalError();
    CMIOExtensionProvider::startServiceWithProvider(provider);
}

int cameraExtensionMain() {
    startCameraExtension();
    CFRunLoopRun();
    return 0;
}
