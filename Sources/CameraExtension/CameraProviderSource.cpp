// The provider source: builds the graph under the provider, connects clients to the relay and
// answers the provider queries.
#include "Sources/CameraExtension/CameraProviderSource.h"

#include <utility>

#include "Sources/CameraExtension/CameraDeviceSource.h"
#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "Sources/CameraExtension/ExtensionSupport.h"

namespace {

// Where the fatal report says the refused device was added.
constexpr int kAddDeviceLine = 246;

}  // namespace

std::shared_ptr<CameraProviderSource> CameraProviderSource::create(
    std::shared_ptr<DispatchQueue> clientQueue) {
    auto source = std::make_shared<CameraProviderSource>(CreateKey{});
    source->provider = CMIOExtensionProvider::initWithSource(source, std::move(clientQueue));
    source->deviceSource = CameraDeviceSource::create();

    if (!source->provider || !source->deviceSource || !source->deviceSource->device) fatalError();
    NSError error;
    if (!source->provider->addDevice(source->deviceSource->device, &error)) {
        fatalError(error, kAddDeviceLine);
    }
    return source;
}

bool CameraProviderSource::connect(const CMIOExtensionClientRef& client, NSError*) {
    if (!deviceSource || !deviceSource->sinkStream) fatalError();
    CameraSinkStreamSource& sinkStream = *deviceSource->sinkStream;
    if (sinkStream.pumping.load()) sinkStream.startPump(client);
    return true;
}

void CameraProviderSource::disconnect(const CMIOExtensionClientRef&) {}

CMIOExtensionPropertySet CameraProviderSource::availableProperties() const {
    return {CMIOExtensionPropertyProviderManufacturer};
}

CMIOExtensionProviderPropertiesRef CameraProviderSource::providerProperties(
    const CMIOExtensionPropertySet& properties, NSError*) {
    auto providerProperties = CMIOExtensionProviderProperties::initWithDictionary({});
    if (properties.contains(CMIOExtensionPropertyProviderManufacturer)) {
        providerProperties->setManufacturer("Lantern Works");
    }
    return providerProperties;
}

bool CameraProviderSource::setProviderProperties(const CMIOExtensionProviderPropertiesRef&,
                                                 NSError*) {
    return true;
}
