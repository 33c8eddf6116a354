// The device source: the device's identity, its two streams and its property answers.
#include "Sources/CameraExtension/CameraDeviceSource.h"

#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "Sources/CameraExtension/CameraStreamSource.h"
#include "Sources/CameraExtension/ExtensionSupport.h"

namespace {

// Where the fatal reports say the refused streams were added.
constexpr int kAddOutputStreamLine = 214;
constexpr int kAddSinkStreamLine = 215;

}  // namespace

std::shared_ptr<CameraDeviceSource> CameraDeviceSource::create() {
    auto source = std::make_shared<CameraDeviceSource>(CreateKey{});
    const std::string legacyDeviceID = kDeviceUID.uuidString();
    source->device =
        CMIOExtensionDevice::initWithLocalizedName("Kova", kDeviceUID, legacyDeviceID, source);
    if (!source->device) fatalError();

    source->sourceStream = CameraStreamSource::create("Kova Video", source->device);
    source->sinkStream = CameraSinkStreamSource::create("Kova Sink", source->device);
    source->sinkStream->sourceStream = source->sourceStream;

    NSError error;
    if (!source->sourceStream || !source->sourceStream->stream) fatalError();
    if (!source->device->addStream(source->sourceStream->stream, &error)) {
        fatalError(error, kAddOutputStreamLine);
    }
    if (!source->sinkStream || !source->sinkStream->stream) fatalError();
    if (!source->device->addStream(source->sinkStream->stream, &error)) {
        fatalError(error, kAddSinkStreamLine);
    }
    return source;
}

CMIOExtensionPropertySet CameraDeviceSource::availableProperties() const {
    return {CMIOExtensionPropertyDeviceTransportType, CMIOExtensionPropertyDeviceModel};
}

CMIOExtensionDevicePropertiesRef CameraDeviceSource::deviceProperties(
    const CMIOExtensionPropertySet& properties, NSError*) {
    auto deviceProperties = CMIOExtensionDeviceProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyDeviceTransportType)) {
        deviceProperties->setTransportType(kIOAudioDeviceTransportTypeVirtual);
    }
    if (properties.contains(CMIOExtensionPropertyDeviceModel)) {
        deviceProperties->setModel("Kova");
    }
    return deviceProperties;
}

bool CameraDeviceSource::setDeviceProperties(const CMIOExtensionDevicePropertiesRef&, NSError*) {
    return true;
}
