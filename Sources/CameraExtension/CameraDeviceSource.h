// CameraDeviceSource: the virtual camera device "Kova", which builds and links both stream
// sources and answers the device queries.
//
// Threading: made on the main thread before the host is started; its fields never change
// afterwards. The property callbacks read no field and may run on any thread at once.
#pragma once

#include <memory>

#include "host/cmio/CMIOExtension.h"
#include "host/foundation/Foundation.h"

class CameraStreamSource;
class CameraSinkStreamSource;

class CameraDeviceSource : public NSObject, public CMIOExtensionDeviceSource {
    struct CreateKey {
        explicit CreateKey() = default;
    };

  public:
    // Builds the device, the output stream source, then the sink stream source linked to it, and
    // adds the output stream and then the sink stream to the device. A stream the host refuses
    // ends the process with the host's error.
    static std::shared_ptr<CameraDeviceSource> create();
    CameraDeviceSource() = delete;
    explicit CameraDeviceSource(CreateKey) {}

    CMIOExtensionPropertySet availableProperties() const override;
    CMIOExtensionDevicePropertiesRef deviceProperties(const CMIOExtensionPropertySet& properties,
                                                      NSError* error) override;
    bool setDeviceProperties(const CMIOExtensionDevicePropertiesRef& deviceProperties,
                             NSError* error) override;

    // Declared in the reverse of the order they are released in: the device first, then the
    // output stream source, then the sink stream source that links to it.
    std::shared_ptr<CameraSinkStreamSource> sinkStream;
    std::shared_ptr<CameraStreamSource> sourceStream;
    CMIOExtensionDeviceRef device;
};
