// CameraSinkStreamSource: the sink stream "Kova Sink" that a client pushes frames into, and the
// relay that hands each pushed frame on to the output stream.
//
// Threading: made on the thread that builds the device; `sourceStream` is set right after, before
// the host is started, and never changes. The host's callbacks may come on any thread. `pumping`
// is atomic: start/stop write it, connect and every relay completion read it. Relay completions
// run on whatever thread the host completes consume requests on, several at once for several
// relays; each holds the source only weakly.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/cmio/CMIOExtension.h"
#include "host/foundation/Foundation.h"

class CameraStreamSource;

class CameraSinkStreamSource : public NSObject, public CMIOExtensionStreamSource {
    struct CreateKey {
        explicit CreateKey() = default;
    };

  public:
    // Builds the source and its host stream object. A missing format description ends the
    // process.
    static std::shared_ptr<CameraSinkStreamSource> create(std::string localizedName,
                                                          CMIOExtensionDeviceRef device);
    CameraSinkStreamSource() = delete;
    CameraSinkStreamSource(CreateKey, CMIOExtensionDeviceRef device);

    std::vector<CMIOExtensionStreamFormatRef> formats() const override;
    CMIOExtensionPropertySet availableProperties() const override;
    CMIOExtensionStreamPropertiesRef streamProperties(const CMIOExtensionPropertySet& properties,
                                                      NSError* error) override;
    bool setStreamProperties(const CMIOExtensionStreamPropertiesRef& streamProperties,
                             NSError* error) override;
    bool authorizedToStartStream(const CMIOExtensionClientRef& client) override;
    // Sets `pumping`; asks the host for nothing.
    bool startStream(NSError* error) override;
    // Clears `pumping`; cancels nothing, so a request already made still relays its buffer.
    bool stopStream(NSError* error) override;

    // Asks the host for the client's next pushed buffer. Its completion relays the buffer and,
    // while `pumping` is set, asks for the next one. Callers call it only while `pumping` is set.
    void startPump(const CMIOExtensionClientRef& client);

  private:
    friend class CameraProviderSource;  // connect(to:) reads `pumping`

    void relay(const CMSampleBufferRef& sampleBuffer, std::uint64_t sequenceNumber);

    // The fields are declared in the reverse of the order they are released in (the last
    // declared goes first): the stream, the device, the format, then the link to the output
    // stream source.
    std::atomic<bool> pumping{false};

  public:
    // The output stream source that relayed frames go to; set once by the device source.
    std::weak_ptr<CameraStreamSource> sourceStream;

  private:
    CMIOExtensionStreamFormatRef _streamFormat;

  public:
    const CMIOExtensionDeviceRef device;
    CMIOExtensionStreamRef stream;
};
