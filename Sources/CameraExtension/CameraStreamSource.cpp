// The output stream source and its placeholder timer.
#include "Sources/CameraExtension/CameraStreamSource.h"

#include <algorithm>
#include <utility>

#include "Sources/CameraExtension/ExtensionSupport.h"
#include "Sources/CameraExtension/PlaceholderPicture.h"
#include "host/media/CMSampleBuffer.h"
#include "host/media/CMTime.h"

namespace {

constexpr double kPlaceholderPeriodSeconds = 1.0 / 30;
// A relayed client frame keeps the placeholder away for this long after its presentation time.
constexpr double kPlaceholderIdleSeconds = 0.5;

}  // namespace

std::shared_ptr<CameraStreamSource> CameraStreamSource::create(std::string localizedName,
                                                               CMIOExtensionDeviceRef device) {
    auto source = std::make_shared<CameraStreamSource>(CreateKey{}, std::move(device));
    // The host stream calls back into the source, so it is made once the source is shared.
    source->stream = CMIOExtensionStream::initWithLocalizedName(
        std::move(localizedName), UUID::random(), CMIOExtensionStreamDirectionSource,
        CMIOExtensionStreamClockTypeHostTime, source);
    return source;
}

CameraStreamSource::CameraStreamSource(CreateKey, CMIOExtensionDeviceRef device)
    : placeholderQueue(DispatchQueue::create("camera.placeholder")), device(std::move(device)) {
    const std::int32_t width = int32OrFatal(kWidth);
    const std::int32_t height = int32OrFatal(kHeight);
    // Only whether a description came back matters, not the status.
    CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, width, height,
                                   nullptr, &formatDescription);
    const CMTime duration = frameDuration();
    if (!formatDescription) fatalError();
    _streamFormat = CMIOExtensionStreamFormat::initWithFormatDescription(
        formatDescription, duration, duration, std::nullopt);

    auto pixelBufferAttributes = std::make_shared<CFDictionary>();
    pixelBufferAttributes->entries = {
        {kCVPixelBufferPixelFormatTypeKey, CFNumber{std::uint32_t{kCVPixelFormatType_32BGRA}}},
        {kCVPixelBufferWidthKey, CFNumber{std::int64_t{kWidth}}},
        {kCVPixelBufferHeightKey, CFNumber{std::int64_t{kHeight}}},
        {kCVPixelBufferIOSurfacePropertiesKey, std::make_shared<const CFDictionary>()},
    };
    // Without a pool the stream still works; it only never shows the placeholder.
    CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, pixelBufferAttributes, &pool);
}

std::vector<CMIOExtensionStreamFormatRef> CameraStreamSource::formats() const {
    return {_streamFormat};
}

CMIOExtensionPropertySet CameraStreamSource::availableProperties() const {
    return {CMIOExtensionPropertyStreamActiveFormatIndex, CMIOExtensionPropertyStreamFrameDuration};
}

CMIOExtensionStreamPropertiesRef CameraStreamSource::streamProperties(
    const CMIOExtensionPropertySet& properties, NSError*) {
    auto streamProperties = CMIOExtensionStreamProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyStreamActiveFormatIndex)) {
        streamProperties->setActiveFormatIndex(0);
    }
    if (properties.contains(CMIOExtensionPropertyStreamFrameDuration)) {
        streamProperties->setFrameDuration(frameDuration());
    }
    return streamProperties;
}

bool CameraStreamSource::setStreamProperties(const CMIOExtensionStreamPropertiesRef&, NSError*) {
    return true;
}

bool CameraStreamSource::authorizedToStartStream(const CMIOExtensionClientRef&) {
    return true;
}

bool CameraStreamSource::startStream(NSError*) {
    auto timer = DispatchSourceTimer::makeTimerSource(placeholderQueue);
    timer->schedule(DispatchTime::now(), kPlaceholderPeriodSeconds,
                    DispatchTimeInterval::nanoseconds(0));
    timer->setEventHandler(
        [weakSource = weakSelf<CameraStreamSource>()] { placeholderTick(weakSource); });
    timer->resume();

    std::lock_guard lock(placeholderTimerMutex);
    // A second start without a stop must not leave the first timer ticking unreachable.
    if (placeholderTimer) placeholderTimer->cancel();
    placeholderTimer = std::move(timer);
    return true;
}

bool CameraStreamSource::stopStream(NSError*) {
    std::lock_guard lock(placeholderTimerMutex);
    if (placeholderTimer) placeholderTimer->cancel();
    placeholderTimer.reset();
    return true;
}

void CameraStreamSource::placeholderTick(const std::weak_ptr<CameraStreamSource>& weakSource) {
    const std::shared_ptr<CameraStreamSource> source = weakSource.lock();
    if (!source) return;

    const double now = currentHostSeconds();
    // Strict: exactly 0.5 s, or a difference that is not a number, sends nothing.
    if (!(now - source->lastSinkFrameHostSeconds.load() > kPlaceholderIdleSeconds)) return;
    if (!source->pool || !source->formatDescription) return;

    CVPixelBufferRef pixelBuffer;
    if (CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, source->pool, &pixelBuffer) !=
            kCVReturnSuccess ||
        !pixelBuffer) {
        return;
    }
    // The picture never changes, and the pool's buffers reach viewers sealed against writing:
    // a buffer nobody has written to since this tick painted it still holds the picture.
    const IOSurfaceRef surface = CVPixelBufferGetIOSurface(pixelBuffer);
    if (!source->stillPainted(surface)) {
        CVPixelBufferLockBaseAddress(pixelBuffer, 0);
        // Without a base address the frame still goes out, with whatever the buffer holds.
        auto* base = static_cast<std::uint8_t*>(CVPixelBufferGetBaseAddress(pixelBuffer));
        if (base) paintPlaceholder(base, CVPixelBufferGetBytesPerRow(pixelBuffer));
        CVPixelBufferUnlockBaseAddress(pixelBuffer, 0);
        if (base) source->notePainted(surface);
    }

    // The frame is stamped after painting, not with the `now` of the idle test.
    CMSampleTimingInfo timing;
    timing.duration = frameDuration();
    timing.presentationTimeStamp = CMClockGetTime(CMClockGetHostTimeClock());
    timing.decodeTimeStamp = kCMTimeInvalid;

    CMSampleBufferRef sampleBuffer;
    const OSStatus status =
        CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, pixelBuffer, true, nullptr, nullptr,
                                           source->formatDescription, &timing, &sampleBuffer);
    if (status != noErr || !sampleBuffer) return;

    if (!source->stream) fatalError();
    source->stream->sendSampleBuffer(
        sampleBuffer, CMIOExtensionStreamDiscontinuityFlagNone,
        hostNanoseconds(CMTimeGetSeconds(timing.presentationTimeStamp)));
}

bool CameraStreamSource::stillPainted(const IOSurfaceRef& surface) const {
    const IOSurfaceID id = IOSurfaceGetID(surface);
    return id != 0 && std::any_of(paintedSurfaces.begin(), paintedSurfaces.end(),
                                  [&](const PaintedSurface& painted) {
                                      return painted.id == id &&
                                             painted.seed == IOSurfaceGetSeed(surface);
                                  });
}

void CameraStreamSource::notePainted(const IOSurfaceRef& surface) {
    const IOSurfaceID id = IOSurfaceGetID(surface);
    if (id == 0) return;
    const PaintedSurface painted{id, IOSurfaceGetSeed(surface)};
    const auto known = std::find_if(paintedSurfaces.begin(), paintedSurfaces.end(),
                                    [&](const PaintedSurface& other) { return other.id == id; });
    if (known != paintedSurfaces.end()) {
        *known = painted;
    } else {
        paintedSurfaces.push_back(painted);
    }
}
