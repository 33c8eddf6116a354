// The camera extension's entry: the one provider source, and the steps main() runs.
//
// Threading: main thread only. The graph is complete before the host service starts.
#pragma once

#include <memory>

class CameraProviderSource;

// The one provider source; set once by startCameraExtension() and never cleared, so the whole
// graph lives as long as the process.
extern std::shared_ptr<CameraProviderSource> providerSource;

// Builds the provider source (with no client queue) and through it the device and both
// streams, stores it in `providerSource`, and starts the host service with its provider.
void startCameraExtension();

// What main() does: startCameraExtension(), then serve the host on the main run loop. Returns
// 0 should the run loop ever return.
int cameraExtensionMain();
