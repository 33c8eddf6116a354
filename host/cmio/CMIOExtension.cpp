// The camera-extension object model: properties objects, host objects and their forwarding to
// the installed host backend.
#include "host/cmio/CMIOExtension.h"

#include <algorithm>
#include <cerrno>

#include "host/HostBackend.h"

using kova::host::HostBackend;
using kova::host::HostOperation;

namespace {

inline const std::string kHostErrorDomain = "com.kova.host";

bool refuse(NSError* error, std::int64_t code, std::string text) {
    if (error) *error = NSError{kHostErrorDomain, code, std::move(text)};
    return false;
}

template <typename Value>
std::optional<Value> valueOf(const CMIOExtensionPropertyDictionary& dictionary,
                             const CMIOExtensionProperty& key) {
    const auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.value) return std::nullopt;
    if (const auto* value = std::get_if<Value>(&*found->second.value)) return *value;
    return std::nullopt;
}

}  // namespace

// ---- properties ----

bool CMIOExtensionProperties::has(const CMIOExtensionProperty& key) const {
    return dictionary_.count(key) != 0;
}

std::optional<std::int64_t> CMIOExtensionProperties::integer(
    const CMIOExtensionProperty& key) const {
    return valueOf<std::int64_t>(dictionary_, key);
}

std::optional<std::string> CMIOExtensionProperties::text(const CMIOExtensionProperty& key) const {
    return valueOf<std::string>(dictionary_, key);
}

std::optional<CMTime> CMIOExtensionProperties::time(const CMIOExtensionProperty& key) const {
    return valueOf<CMTime>(dictionary_, key);
}

void CMIOExtensionProperties::set(const CMIOExtensionProperty& key,
                                  std::optional<CMIOExtensionPropertyValue> value) {
    // Setting nothing takes the key out, so the object no longer reports it.
    if (!value) {
        dictionary_.erase(key);
        return;
    }
    dictionary_[key] = CMIOExtensionPropertyState{std::move(value)};
}

std::shared_ptr<CMIOExtensionProviderProperties>
CMIOExtensionProviderProperties::initWithDictionary(CMIOExtensionPropertyDictionary dictionary) {
    return std::make_shared<CMIOExtensionProviderProperties>(std::move(dictionary));
}

void CMIOExtensionProviderProperties::setManufacturer(std::optional<std::string> manufacturer) {
    set(CMIOExtensionPropertyProviderManufacturer, std::move(manufacturer));
}

std::optional<std::string> CMIOExtensionProviderProperties::manufacturer() const {
    return text(CMIOExtensionPropertyProviderManufacturer);
}

std::shared_ptr<CMIOExtensionDeviceProperties> CMIOExtensionDeviceProperties::initWithDictionary(
    CMIOExtensionPropertyDictionary dictionary) {
    return std::make_shared<CMIOExtensionDeviceProperties>(std::move(dictionary));
}

void CMIOExtensionDeviceProperties::setModel(std::optional<std::string> model) {
    set(CMIOExtensionPropertyDeviceModel, std::move(model));
}

std::optional<std::string> CMIOExtensionDeviceProperties::model() const {
    return text(CMIOExtensionPropertyDeviceModel);
}

void CMIOExtensionDeviceProperties::setTransportType(std::optional<std::int64_t> transportType) {
    set(CMIOExtensionPropertyDeviceTransportType, transportType);
}

std::optional<std::int64_t> CMIOExtensionDeviceProperties::transportType() const {
    return integer(CMIOExtensionPropertyDeviceTransportType);
}

std::shared_ptr<CMIOExtensionStreamProperties> CMIOExtensionStreamProperties::initWithDictionary(
    CMIOExtensionPropertyDictionary dictionary) {
    return std::make_shared<CMIOExtensionStreamProperties>(std::move(dictionary));
}

void CMIOExtensionStreamProperties::setActiveFormatIndex(std::optional<std::int64_t> index) {
    set(CMIOExtensionPropertyStreamActiveFormatIndex, index);
}

std::optional<std::int64_t> CMIOExtensionStreamProperties::activeFormatIndex() const {
    return integer(CMIOExtensionPropertyStreamActiveFormatIndex);
}

void CMIOExtensionStreamProperties::setFrameDuration(std::optional<CMTime> duration) {
    set(CMIOExtensionPropertyStreamFrameDuration, duration);
}

std::optional<CMTime> CMIOExtensionStreamProperties::frameDuration() const {
    return time(CMIOExtensionPropertyStreamFrameDuration);
}

void CMIOExtensionStreamProperties::setSinkBufferQueueSize(std::optional<std::int64_t> size) {
    set(CMIOExtensionPropertyStreamSinkBufferQueueSize, size);
}

std::optional<std::int64_t> CMIOExtensionStreamProperties::sinkBufferQueueSize() const {
    return integer(CMIOExtensionPropertyStreamSinkBufferQueueSize);
}

void CMIOExtensionStreamProperties::setSinkBuffersRequiredForStartup(
    std::optional<std::int64_t> count) {
    set(CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup, count);
}

std::optional<std::int64_t> CMIOExtensionStreamProperties::sinkBuffersRequiredForStartup() const {
    return integer(CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup);
}

// ---- stream formats ----

std::shared_ptr<const CMIOExtensionStreamFormat>
CMIOExtensionStreamFormat::initWithFormatDescription(
    CMFormatDescriptionRef formatDescription, CMTime maxFrameDuration, CMTime minFrameDuration,
    std::optional<std::vector<CMTime>> validFrameDurations) {
    return std::make_shared<const CMIOExtensionStreamFormat>(std::move(formatDescription),
                                                             maxFrameDuration, minFrameDuration,
                                                             std::move(validFrameDurations));
}

// ---- streams ----

std::shared_ptr<CMIOExtensionStream> CMIOExtensionStream::initWithLocalizedName(
    std::string localizedName, UUID streamID, CMIOExtensionStreamDirection direction,
    CMIOExtensionStreamClockType clockType, std::weak_ptr<CMIOExtensionStreamSource> source) {
    return std::make_shared<CMIOExtensionStream>(std::move(localizedName), streamID, direction,
                                                 clockType, std::move(source));
}

CMIOExtensionStream::CMIOExtensionStream(std::string localizedName, UUID streamID,
                                         CMIOExtensionStreamDirection direction,
                                         CMIOExtensionStreamClockType clockType,
                                         std::weak_ptr<CMIOExtensionStreamSource> source)
    : localizedName_(std::move(localizedName)),
      streamID_(streamID),
      direction_(direction),
      clockType_(clockType),
      source_(std::move(source)) {}

void CMIOExtensionStream::sendSampleBuffer(const CMSampleBufferRef& sampleBuffer,
                                           CMIOExtensionStreamDiscontinuityFlags discontinuity,
                                           std::uint64_t hostTimeInNanoseconds) {
    if (!sampleBuffer) return;
    HostBackend::current()->sendSampleBuffer(*this, sampleBuffer, discontinuity,
                                             hostTimeInNanoseconds);
}

void CMIOExtensionStream::consumeSampleBufferFromClient(
    const CMIOExtensionClientRef& client, CMIOExtensionConsumeCompletion completionHandler) {
    // A request nobody can be told the answer to, or for nobody, asks for nothing.
    if (!client || !completionHandler) return;
    HostBackend::current()->consumeSampleBuffer(*this, client, std::move(completionHandler));
}

void CMIOExtensionStream::notifyScheduledOutputChanged(
    const CMIOExtensionScheduledOutputRef& scheduledOutput) {
    if (!scheduledOutput) return;
    HostBackend::current()->scheduledOutputChanged(*this, scheduledOutput);
}

// ---- devices ----

std::shared_ptr<CMIOExtensionDevice> CMIOExtensionDevice::initWithLocalizedName(
    std::string localizedName, UUID deviceID, std::optional<std::string> legacyDeviceID,
    std::weak_ptr<CMIOExtensionDeviceSource> source) {
    return std::make_shared<CMIOExtensionDevice>(std::move(localizedName), deviceID,
                                                 std::move(legacyDeviceID), std::move(source));
}

CMIOExtensionDevice::CMIOExtensionDevice(std::string localizedName, UUID deviceID,
                                         std::optional<std::string> legacyDeviceID,
                                         std::weak_ptr<CMIOExtensionDeviceSource> source)
    : localizedName_(std::move(localizedName)),
      deviceID_(deviceID),
      legacyDeviceID_(std::move(legacyDeviceID)),
      source_(std::move(source)) {}

bool CMIOExtensionDevice::addStream(const CMIOExtensionStreamRef& stream, NSError* error) {
    if (!stream) return refuse(error, -EINVAL, "no stream to add");
    const auto backend = HostBackend::current();
    if (const std::int32_t status = backend->failureFor(HostOperation::AddStream)) {
        return refuse(error, status, "the host refused the stream");
    }
    {
        std::lock_guard lock(mutex_);
        if (std::find(streams_.begin(), streams_.end(), stream) != streams_.end()) {
            return refuse(error, -EEXIST, "the stream is on this device already");
        }
        streams_.push_back(stream);
    }
    backend->streamAdded(*this, stream);
    return true;
}

std::vector<CMIOExtensionStreamRef> CMIOExtensionDevice::streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
}

// ---- providers ----

std::shared_ptr<CMIOExtensionProvider> CMIOExtensionProvider::initWithSource(
    std::weak_ptr<CMIOExtensionProviderSource> source, std::shared_ptr<DispatchQueue> clientQueue) {
    return std::make_shared<CMIOExtensionProvider>(std::move(source), std::move(clientQueue));
}

CMIOExtensionProvider::CMIOExtensionProvider(std::weak_ptr<CMIOExtensionProviderSource> source,
                                             std::shared_ptr<DispatchQueue> clientQueue)
    : source_(std::move(source)), clientQueue_(std::move(clientQueue)) {}

void CMIOExtensionProvider::startServiceWithProvider(
    const std::shared_ptr<CMIOExtensionProvider>& provider) {
    if (!provider) return;
    HostBackend::current()->startService(provider);
}

bool CMIOExtensionProvider::addDevice(const CMIOExtensionDeviceRef& device, NSError* error) {
    if (!device) return refuse(error, -EINVAL, "no device to add");
    const auto backend = HostBackend::current();
    if (const std::int32_t status = backend->failureFor(HostOperation::AddDevice)) {
        return refuse(error, status, "the host refused the device");
    }
    {
        std::lock_guard lock(mutex_);
        if (std::find(devices_.begin(), devices_.end(), device) != devices_.end()) {
            return refuse(error, -EEXIST, "the device is on this provider already");
        }
        devices_.push_back(device);
    }
    backend->deviceAdded(*this, device);
    return true;
}

std::vector<CMIOExtensionDeviceRef> CMIOExtensionProvider::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}
