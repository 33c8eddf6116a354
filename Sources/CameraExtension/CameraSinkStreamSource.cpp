// The sink stream source and its relay of pushed frames to the output stream.
#include "Sources/CameraExtension/CameraSinkStreamSource.h"

#include <cmath>
#include <utility>

#include "Sources/CameraExtension/CameraStreamSource.h"
#include "Sources/CameraExtension/ExtensionSupport.h"
#include "host/media/CMSampleBuffer.h"

namespace {

constexpr std::int64_t kSinkBufferQueueSize = 8;
constexpr std::int64_t kSinkBuffersRequiredForStartup = 1;

}  // namespace

std::shared_ptr<CameraSinkStreamSource> CameraSinkStreamSource::create(
    std::string localizedName, CMIOExtensionDeviceRef device) {
    auto source = std::make_shared<CameraSinkStreamSource>(CreateKey{}, std::move(device));
    // The host stream calls back into the source, so it is made once the source is shared.
    source->stream = CMIOExtensionStream::initWithLocalizedName(
        std::move(localizedName), UUID::random(), CMIOExtensionStreamDirectionSink,
        CMIOExtensionStreamClockTypeHostTime, source);
    return source;
}

CameraSinkStreamSource::CameraSinkStreamSource(CreateKey, CMIOExtensionDeviceRef device)
    : device(std::move(device)) {
    const std::int32_t width = int32OrFatal(kWidth);
    const std::int32_t height = int32OrFatal(kHeight);
    CMFormatDescriptionRef formatDescription;
    // Only whether a description came back matters, not the status.
    CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, width, height,
                                   nullptr, &formatDescription);
    const CMTime duration = frameDuration();
    if (!formatDescription) fatalError();
    _streamFormat = CMIOExtensionStreamFormat::initWithFormatDescription(
        formatDescription, duration, duration, std::nullopt);
}

std::vector<CMIOExtensionStreamFormatRef> CameraSinkStreamSource::formats() const {
    return {_streamFormat};
}

CMIOExtensionPropertySet CameraSinkStreamSource::availableProperties() const {
    return {CMIOExtensionPropertyStreamActiveFormatIndex,
            CMIOExtensionPropertyStreamFrameDuration,
            CMIOExtensionPropertyStreamSinkBufferQueueSize,
            CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup,
            CMIOExtensionPropertyStreamSinkBufferUnderrunCount,
            CMIOExtensionPropertyStreamSinkEndOfData};
}

CMIOExtensionStreamPropertiesRef CameraSinkStreamSource::streamProperties(
    const CMIOExtensionPropertySet& properties, NSError*) {
    auto streamProperties = CMIOExtensionStreamProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyStreamActiveFormatIndex)) {
        streamProperties->setActiveFormatIndex(0);
    }
    if (properties.contains(CMIOExtensionPropertyStreamFrameDuration)) {
        streamProperties->setFrameDuration(frameDuration());
    }
    if (properties.contains(CMIOExtensionPropertyStreamSinkBufferQueueSize)) {
        streamProperties->setSinkBufferQueueSize(kSinkBufferQueueSize);
    }
    if (properties.contains(CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup)) {
        streamProperties->setSinkBuffersRequiredForStartup(kSinkBuffersRequiredForStartup);
    }
    // The underrun count and end of data are advertised but never given a value.
    return streamProperties;
}

bool CameraSinkStreamSource::setStreamProperties(const CMIOExtensionStreamPropertiesRef&,
                                                 NSError*) {
    return true;
}

bool CameraSinkStreamSource::authorizedToStartStream(const CMIOExtensionClientRef&) {
    return true;
}

bool CameraSinkStreamSource::startStream(NSError*) {
    pumping.store(true);
    return true;
}

bool CameraSinkStreamSource::stopStream(NSError*) {
    pumping.store(false);
    return true;
}

void CameraSinkStreamSource::startPump(const CMIOExtensionClientRef& client) {
    if (!stream) fatalError();
    // The completion keeps the client alive while its request is out, but not this source.
    stream->consumeSampleBufferFromClient(
        client, [weakSource = weakSelf<CameraSinkStreamSource>(), client](
                    CMSampleBufferRef sampleBuffer, std::uint64_t sequenceNumber,
                    CMIOExtensionStreamDiscontinuityFlags, bool, std::optional<NSError>) {
            const std::shared_ptr<CameraSinkStreamSource> source = weakSource.lock();
            if (!source) return;
            if (sampleBuffer) source->relay(sampleBuffer, sequenceNumber);
            if (source->pumping.load()) source->startPump(client);
        });
}

void CameraSinkStreamSource::relay(const CMSampleBufferRef& sampleBuffer,
                                   std::uint64_t sequenceNumber) {
    const double presentationSeconds =
        CMTimeGetSeconds(CMSampleBufferGetPresentationTimeStamp(sampleBuffer));
    // +infinity or a time past 2^64 ns has no host time: the buffer is not sent, but its
    // scheduled output is still reported below.
    const std::optional<std::uint64_t> relayHostTime = relayHostNanoseconds(presentationSeconds);
    if (relayHostTime) {
        if (const std::shared_ptr<CameraStreamSource> output = sourceStream.lock()) {
            // A time that is not a number would keep the placeholder away for good; the
            // moment of relaying stands in for it.
            output->lastSinkFrameHostSeconds.store(
                std::isnan(presentationSeconds) ? currentHostSeconds() : presentationSeconds);
            if (!output->stream) fatalError();
            output->stream->sendSampleBuffer(sampleBuffer, CMIOExtensionStreamDiscontinuityFlagNone,
                                             *relayHostTime);
        }
    }
    if (!stream) fatalError();
    stream->notifyScheduledOutputChanged(CMIOExtensionScheduledOutput::initWithSequenceNumber(
        sequenceNumber, hostNanoseconds(currentHostSeconds())));
}
