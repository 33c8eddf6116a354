// CameraProviderSource: the provider the host is handed; owns the device source, answers the
// provider queries and starts the sink relay for each client that connects.
//
// Threading: made on the main thread before the host is started; its fields never change
// afterwards. connect() may run on any thread and reads the sink's atomic `pumping` flag; the
// property callbacks read no field.
#pragma once

#include <memory>

#include "host/cmio/CMIOExtension.h"
#include "host/dispatch/Dispatch.h"
#include "host/foundation/Foundation.h"

class CameraDeviceSource;

class CameraProviderSource : public NSObject, public CMIOExtensionProviderSource {
    struct CreateKey {
        explicit CreateKey() = default;
    };

  public:
    // Builds the provider with `clientQueue` (none: the host chooses), the device source with
    // both streams, and adds the device to the provider. A device the host refuses ends the
    // process with the host's error.
    static std::shared_ptr<CameraProviderSource> create(std::shared_ptr<DispatchQueue> clientQueue);
    CameraProviderSource() = delete;
    explicit CameraProviderSource(CreateKey) {}

    // Starts a relay for the client if the sink stream is started at this moment; keeps no
    // record of the client.
    bool connect(const CMIOExtensionClientRef& client, NSError* error) override;
    void disconnect(const CMIOExtensionClientRef& client) override;
    CMIOExtensionPropertySet availableProperties() const override;
    CMIOExtensionProviderPropertiesRef providerProperties(
        const CMIOExtensionPropertySet& properties, NSError* error) override;
    bool setProviderProperties(const CMIOExtensionProviderPropertiesRef& providerProperties,
                               NSError* error) override;

    // Declared in the reverse of the order they are released in: the provider goes first, so
    // the host lets go of the device before the device source that answers for it.
    std::shared_ptr<CameraDeviceSource> deviceSource;
    CMIOExtensionProviderRef provider;
};
