// The camera-extension object model: provider, device, stream, formats, properties, clients,
// scheduled outputs, and the three source interfaces through which the host calls back.
//
// Ownership: sources own their host objects (provider, device, stream); host objects hold
// their source weakly and check it on every call. A provider owns its devices, a device its
// streams. Threading: host objects may be used from any thread; their lists are guarded.
// Sources' callbacks arrive on whatever queue the host chooses.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "host/dispatch/Dispatch.h"
#include "host/foundation/Foundation.h"
#include "host/media/CMFormatDescription.h"
#include "host/media/CMSampleBuffer.h"
#include "host/media/CMTime.h"

// ---- property keys and values ----

using CMIOExtensionProperty = std::string;
inline const CMIOExtensionProperty CMIOExtensionPropertyProviderManufacturer =
    "provider.manufacturer";
inline const CMIOExtensionProperty CMIOExtensionPropertyProviderName = "provider.name";
inline const CMIOExtensionProperty CMIOExtensionPropertyDeviceModel = "device.model";
inline const CMIOExtensionProperty CMIOExtensionPropertyDeviceTransportType =
    "device.transportType";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamActiveFormatIndex =
    "stream.activeFormatIndex";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamFrameDuration =
    "stream.frameDuration";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamSinkBufferQueueSize =
    "stream.sinkBufferQueueSize";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup =
    "stream.sinkBuffersRequiredForStartup";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamSinkBufferUnderrunCount =
    "stream.sinkBufferUnderrunCount";
inline const CMIOExtensionProperty CMIOExtensionPropertyStreamSinkEndOfData =
    "stream.sinkEndOfData";

using CMIOExtensionPropertyValue = std::variant<std::int64_t, std::string, CMTime>;

struct CMIOExtensionPropertyState {
    std::optional<CMIOExtensionPropertyValue> value;
};
using CMIOExtensionPropertyDictionary = std::map<CMIOExtensionProperty, CMIOExtensionPropertyState>;

// The values a properties object reports, by key. Built from a dictionary, then filled through
// the typed setters of the subclasses.
class CMIOExtensionProperties {
  public:
    explicit CMIOExtensionProperties(CMIOExtensionPropertyDictionary dictionary)
        : dictionary_(std::move(dictionary)) {}
    virtual ~CMIOExtensionProperties() = default;

    const CMIOExtensionPropertyDictionary& propertiesDictionary() const { return dictionary_; }
    void setPropertyState(const CMIOExtensionProperty& key, CMIOExtensionPropertyState state) {
        dictionary_[key] = std::move(state);
    }
    bool has(const CMIOExtensionProperty& key) const;
    std::optional<std::int64_t> integer(const CMIOExtensionProperty& key) const;
    std::optional<std::string> text(const CMIOExtensionProperty& key) const;
    std::optional<CMTime> time(const CMIOExtensionProperty& key) const;

  protected:
    void set(const CMIOExtensionProperty& key, std::optional<CMIOExtensionPropertyValue> value);

  private:
    CMIOExtensionPropertyDictionary dictionary_;
};

class CMIOExtensionProviderProperties : public CMIOExtensionProperties {
  public:
    static std::shared_ptr<CMIOExtensionProviderProperties> initWithDictionary(
        CMIOExtensionPropertyDictionary dictionary);
    using CMIOExtensionProperties::CMIOExtensionProperties;

    void setManufacturer(std::optional<std::string> manufacturer);
    std::optional<std::string> manufacturer() const;
};

class CMIOExtensionDeviceProperties : public CMIOExtensionProperties {
  public:
    static std::shared_ptr<CMIOExtensionDeviceProperties> initWithDictionary(
        CMIOExtensionPropertyDictionary dictionary);
    using CMIOExtensionProperties::CMIOExtensionProperties;

    void setModel(std::optional<std::string> model);
    std::optional<std::string> model() const;
    void setTransportType(std::optional<std::int64_t> transportType);
    std::optional<std::int64_t> transportType() const;
};

class CMIOExtensionStreamProperties : public CMIOExtensionProperties {
  public:
    static std::shared_ptr<CMIOExtensionStreamProperties> initWithDictionary(
        CMIOExtensionPropertyDictionary dictionary);
    using CMIOExtensionProperties::CMIOExtensionProperties;

    void setActiveFormatIndex(std::optional<std::int64_t> index);
    std::optional<std::int64_t> activeFormatIndex() const;
    void setFrameDuration(std::optional<CMTime> duration);
    std::optional<CMTime> frameDuration() const;
    void setSinkBufferQueueSize(std::optional<std::int64_t> size);
    std::optional<std::int64_t> sinkBufferQueueSize() const;
    void setSinkBuffersRequiredForStartup(std::optional<std::int64_t> count);
    std::optional<std::int64_t> sinkBuffersRequiredForStartup() const;
};

using CMIOExtensionProviderPropertiesRef = std::shared_ptr<CMIOExtensionProviderProperties>;
using CMIOExtensionDevicePropertiesRef = std::shared_ptr<CMIOExtensionDeviceProperties>;
using CMIOExtensionStreamPropertiesRef = std::shared_ptr<CMIOExtensionStreamProperties>;

// ---- plain values ----

enum CMIOExtensionStreamDirection : std::int64_t {
    CMIOExtensionStreamDirectionSource = 0,
    CMIOExtensionStreamDirectionSink = 1,
};
enum CMIOExtensionStreamClockType : std::int64_t {
    CMIOExtensionStreamClockTypeHostTime = 0,
    CMIOExtensionStreamClockTypeLinked = 1,
    CMIOExtensionStreamClockTypeCustom = 2,
};
using CMIOExtensionStreamDiscontinuityFlags = std::uint32_t;
inline constexpr CMIOExtensionStreamDiscontinuityFlags CMIOExtensionStreamDiscontinuityFlagNone = 0;
inline constexpr CMIOExtensionStreamDiscontinuityFlags CMIOExtensionStreamDiscontinuityFlagUnknown =
    1u << 0;
inline constexpr CMIOExtensionStreamDiscontinuityFlags CMIOExtensionStreamDiscontinuityFlagTime =
    1u << 1;
inline constexpr CMIOExtensionStreamDiscontinuityFlags
    CMIOExtensionStreamDiscontinuityFlagSampleDropped = 1u << 6;

inline constexpr std::int64_t kIOAudioDeviceTransportTypeVirtual = FourCC("virt");

// A client process of the host: opaque to sources, handed back unchanged.
class CMIOExtensionClient {
  public:
    CMIOExtensionClient(UUID clientID, std::int32_t pid, std::string signingID)
        : clientID_(clientID), pid_(pid), signingID_(std::move(signingID)) {}
    const UUID& clientID() const { return clientID_; }
    std::int32_t pid() const { return pid_; }
    const std::string& signingID() const { return signingID_; }

  private:
    UUID clientID_;
    std::int32_t pid_;
    std::string signingID_;
};
using CMIOExtensionClientRef = std::shared_ptr<const CMIOExtensionClient>;

class CMIOExtensionScheduledOutput {
  public:
    static std::shared_ptr<const CMIOExtensionScheduledOutput> initWithSequenceNumber(
        std::uint64_t sequenceNumber, std::uint64_t hostTimeInNanoseconds) {
        return std::make_shared<const CMIOExtensionScheduledOutput>(sequenceNumber,
                                                                    hostTimeInNanoseconds);
    }
    CMIOExtensionScheduledOutput(std::uint64_t sequenceNumber, std::uint64_t hostTimeInNanoseconds)
        : sequenceNumber_(sequenceNumber), hostTimeInNanoseconds_(hostTimeInNanoseconds) {}
    std::uint64_t sequenceNumber() const { return sequenceNumber_; }
    std::uint64_t hostTimeInNanoseconds() const { return hostTimeInNanoseconds_; }

  private:
    std::uint64_t sequenceNumber_;
    std::uint64_t hostTimeInNanoseconds_;
};
using CMIOExtensionScheduledOutputRef = std::shared_ptr<const CMIOExtensionScheduledOutput>;

class CMIOExtensionStreamFormat {
  public:
    static std::shared_ptr<const CMIOExtensionStreamFormat> initWithFormatDescription(
        CMFormatDescriptionRef formatDescription, CMTime maxFrameDuration, CMTime minFrameDuration,
        std::optional<std::vector<CMTime>> validFrameDurations);
    CMIOExtensionStreamFormat(CMFormatDescriptionRef formatDescription, CMTime maxFrameDuration,
                              CMTime minFrameDuration,
                              std::optional<std::vector<CMTime>> validFrameDurations)
        : formatDescription_(std::move(formatDescription)),
          maxFrameDuration_(maxFrameDuration),
          minFrameDuration_(minFrameDuration),
          validFrameDurations_(std::move(validFrameDurations)) {}

    const CMFormatDescriptionRef& formatDescription() const { return formatDescription_; }
    CMTime maxFrameDuration() const { return maxFrameDuration_; }
    CMTime minFrameDuration() const { return minFrameDuration_; }
    const std::optional<std::vector<CMTime>>& validFrameDurations() const {
        return validFrameDurations_;
    }

  private:
    CMFormatDescriptionRef formatDescription_;
    CMTime maxFrameDuration_;
    CMTime minFrameDuration_;
    std::optional<std::vector<CMTime>> validFrameDurations_;
};
using CMIOExtensionStreamFormatRef = std::shared_ptr<const CMIOExtensionStreamFormat>;

// ---- source interfaces (implemented by the extension, called by the host) ----

using CMIOExtensionPropertySet = std::set<CMIOExtensionProperty>;

// A callback that can fail fills `error` (when not null) and returns false.
class CMIOExtensionProviderSource {
  public:
    virtual ~CMIOExtensionProviderSource() = default;
    virtual bool connect(const CMIOExtensionClientRef& client, NSError* error) = 0;
    virtual void disconnect(const CMIOExtensionClientRef& client) = 0;
    virtual CMIOExtensionPropertySet availableProperties() const = 0;
    virtual CMIOExtensionProviderPropertiesRef providerProperties(
        const CMIOExtensionPropertySet& properties, NSError* error) = 0;
    virtual bool setProviderProperties(const CMIOExtensionProviderPropertiesRef& providerProperties,
                                       NSError* error) = 0;
};

class CMIOExtensionDeviceSource {
  public:
    virtual ~CMIOExtensionDeviceSource() = default;
    virtual CMIOExtensionPropertySet availableProperties() const = 0;
    virtual CMIOExtensionDevicePropertiesRef deviceProperties(
        const CMIOExtensionPropertySet& properties, NSError* error) = 0;
    virtual bool setDeviceProperties(const CMIOExtensionDevicePropertiesRef& deviceProperties,
                                     NSError* error) = 0;
};

class CMIOExtensionStreamSource {
  public:
    virtual ~CMIOExtensionStreamSource() = default;
    virtual std::vector<CMIOExtensionStreamFormatRef> formats() const = 0;
    virtual CMIOExtensionPropertySet availableProperties() const = 0;
    virtual CMIOExtensionStreamPropertiesRef streamProperties(
        const CMIOExtensionPropertySet& properties, NSError* error) = 0;
    virtual bool setStreamProperties(const CMIOExtensionStreamPropertiesRef& streamProperties,
                                     NSError* error) = 0;
    virtual bool authorizedToStartStream(const CMIOExtensionClientRef& client) = 0;
    virtual bool startStream(NSError* error) = 0;
    virtual bool stopStream(NSError* error) = 0;
};

// ---- host objects ----

// Called once per consume request: (sample buffer or none, sequence number, discontinuity,
// more buffers available, error or none).
using CMIOExtensionConsumeCompletion =
    std::function<void(CMSampleBufferRef sampleBuffer, std::uint64_t sequenceNumber,
                       CMIOExtensionStreamDiscontinuityFlags discontinuity,
                       bool hasMoreSampleBuffers, std::optional<NSError> error)>;

class CMIOExtensionStream {
  public:
    static std::shared_ptr<CMIOExtensionStream> initWithLocalizedName(
        std::string localizedName, UUID streamID, CMIOExtensionStreamDirection direction,
        CMIOExtensionStreamClockType clockType, std::weak_ptr<CMIOExtensionStreamSource> source);
    CMIOExtensionStream(std::string localizedName, UUID streamID,
                        CMIOExtensionStreamDirection direction,
                        CMIOExtensionStreamClockType clockType,
                        std::weak_ptr<CMIOExtensionStreamSource> source);

    const std::string& localizedName() const { return localizedName_; }
    const UUID& streamID() const { return streamID_; }
    CMIOExtensionStreamDirection direction() const { return direction_; }
    CMIOExtensionStreamClockType clockType() const { return clockType_; }
    // The source, while it exists.
    std::shared_ptr<CMIOExtensionStreamSource> source() const { return source_.lock(); }

    // Source streams: hands a frame to the stream's clients.
    void sendSampleBuffer(const CMSampleBufferRef& sampleBuffer,
                          CMIOExtensionStreamDiscontinuityFlags discontinuity,
                          std::uint64_t hostTimeInNanoseconds);
    // Sink streams: asks for the client's next pushed buffer; the completion runs once, later.
    void consumeSampleBufferFromClient(const CMIOExtensionClientRef& client,
                                       CMIOExtensionConsumeCompletion completionHandler);
    // Sink streams: tells the host when a consumed buffer was output.
    void notifyScheduledOutputChanged(const CMIOExtensionScheduledOutputRef& scheduledOutput);

  private:
    std::string localizedName_;
    UUID streamID_;
    CMIOExtensionStreamDirection direction_;
    CMIOExtensionStreamClockType clockType_;
    std::weak_ptr<CMIOExtensionStreamSource> source_;
};
using CMIOExtensionStreamRef = std::shared_ptr<CMIOExtensionStream>;

class CMIOExtensionDevice {
  public:
    static std::shared_ptr<CMIOExtensionDevice> initWithLocalizedName(
        std::string localizedName, UUID deviceID, std::optional<std::string> legacyDeviceID,
        std::weak_ptr<CMIOExtensionDeviceSource> source);
    CMIOExtensionDevice(std::string localizedName, UUID deviceID,
                        std::optional<std::string> legacyDeviceID,
                        std::weak_ptr<CMIOExtensionDeviceSource> source);

    const std::string& localizedName() const { return localizedName_; }
    const UUID& deviceID() const { return deviceID_; }
    const std::optional<std::string>& legacyDeviceID() const { return legacyDeviceID_; }
    std::shared_ptr<CMIOExtensionDeviceSource> source() const { return source_.lock(); }

    // Adds a stream; false with `error` filled when the host refuses it.
    bool addStream(const CMIOExtensionStreamRef& stream, NSError* error);
    std::vector<CMIOExtensionStreamRef> streams() const;

  private:
    std::string localizedName_;
    UUID deviceID_;
    std::optional<std::string> legacyDeviceID_;
    std::weak_ptr<CMIOExtensionDeviceSource> source_;
    mutable std::mutex mutex_;
    std::vector<CMIOExtensionStreamRef> streams_;
};
using CMIOExtensionDeviceRef = std::shared_ptr<CMIOExtensionDevice>;

class CMIOExtensionProvider {
  public:
    static std::shared_ptr<CMIOExtensionProvider> initWithSource(
        std::weak_ptr<CMIOExtensionProviderSource> source,
        std::shared_ptr<DispatchQueue> clientQueue);
    CMIOExtensionProvider(std::weak_ptr<CMIOExtensionProviderSource> source,
                          std::shared_ptr<DispatchQueue> clientQueue);

    // Hands the provider to the host, which begins its calls; returns once it has started.
    static void startServiceWithProvider(const std::shared_ptr<CMIOExtensionProvider>& provider);

    std::shared_ptr<CMIOExtensionProviderSource> source() const { return source_.lock(); }
    const std::shared_ptr<DispatchQueue>& clientQueue() const { return clientQueue_; }

    // Adds a device; false with `error` filled when the host refuses it.
    bool addDevice(const CMIOExtensionDeviceRef& device, NSError* error);
    std::vector<CMIOExtensionDeviceRef> devices() const;

  private:
    std::weak_ptr<CMIOExtensionProviderSource> source_;
    std::shared_ptr<DispatchQueue> clientQueue_;
    mutable std::mutex mutex_;
    std::vector<CMIOExtensionDeviceRef> devices_;
};
using CMIOExtensionProviderRef = std::shared_ptr<CMIOExtensionProvider>;
