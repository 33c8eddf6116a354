// CameraStreamSource: the output stream "Kova Video": its format, pool and properties, and the
// timer that sends the placeholder picture while no client frame arrives.
//
// Threading: made on the thread that builds the device. The host's callbacks may come on any
// thread; startStream() and stopStream() swap the timer under a lock. Placeholder ticks run on
// `placeholderQueue`, one at a time, and reach the source only through a weak reference. The
// sink relay writes `lastSinkFrameHostSeconds` and sends on `stream` from the queue on which
// the host completes consume requests; both sides may send at the same time, which the host
// stream allows. `paintedSurfaces` belongs to the ticks; everything else is fixed once
// create() returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/cmio/CMIOExtension.h"
#include "host/dispatch/Dispatch.h"
#include "host/foundation/Foundation.h"
#include "host/media/CVPixelBuffer.h"

class CameraStreamSource : public NSObject, public CMIOExtensionStreamSource {
    struct CreateKey {
        explicit CreateKey() = default;
    };

  public:
    // Builds the source and its host stream object, which calls back into it. A missing format
    // description ends the process; a pool that cannot be made leaves `pool` empty.
    static std::shared_ptr<CameraStreamSource> create(std::string localizedName,
                                                      CMIOExtensionDeviceRef device);
    CameraStreamSource() = delete;
    CameraStreamSource(CreateKey, CMIOExtensionDeviceRef device);

    std::vector<CMIOExtensionStreamFormatRef> formats() const override;
    CMIOExtensionPropertySet availableProperties() const override;
    CMIOExtensionStreamPropertiesRef streamProperties(const CMIOExtensionPropertySet& properties,
                                                      NSError* error) override;
    bool setStreamProperties(const CMIOExtensionStreamPropertiesRef& streamProperties,
                             NSError* error) override;
    bool authorizedToStartStream(const CMIOExtensionClientRef& client) override;
    // Starts a placeholder timer whose first tick fires at once (cancelling a running one).
    bool startStream(NSError* error) override;
    // Cancels the running placeholder timer, if any.
    bool stopStream(NSError* error) override;

  private:
    static void placeholderTick(const std::weak_ptr<CameraStreamSource>& weakSource);
    // Whether the pool's buffer on `surface` holds the picture this tick painted, untouched.
    bool stillPainted(const IOSurfaceRef& surface) const;
    void notePainted(const IOSurfaceRef& surface);

    struct PaintedSurface {
        IOSurfaceID id;
        std::uint32_t seed;  // the surface's seed once the paint was unlocked
    };

    // The fields are declared in the reverse of the order they are released in (the last
    // declared goes first): the stream, the device, the format, the placeholder queue and
    // timer, the pool, the format description, then the rest.

    // One entry per pool buffer painted so far (the pool's ceiling bounds them); touched only
    // by ticks, which run one at a time on `placeholderQueue`.
    std::vector<PaintedSurface> paintedSurfaces;

  public:
    // Host time in seconds of the last relayed client frame; the placeholder stays away for
    // 0.5 s after it.
    std::atomic<double> lastSinkFrameHostSeconds{0.0};

  private:
    CMFormatDescriptionRef formatDescription;
    CVPixelBufferPoolRef pool;
    std::mutex placeholderTimerMutex;
    std::shared_ptr<DispatchSourceTimer> placeholderTimer;  // guarded by placeholderTimerMutex
    const std::shared_ptr<DispatchQueue> placeholderQueue;
    CMIOExtensionStreamFormatRef _streamFormat;

  public:
    const CMIOExtensionDeviceRef device;
    CMIOExtensionStreamRef stream;
};
