// What the camera tells about itself: the info reply, read from the extension, and the status
// reply, from the engine's own counts.
#include <unistd.h>

#include <algorithm>

#include "camera/engine/CameraEngine.h"
#include "camera/engine/EngineClient.h"

namespace kova::engine {

wire::InfoReply CameraEngine::infoOnCallbackQueue() {
    wire::InfoReply reply;
    if (const auto source = provider_ ? provider_->source() : nullptr) {
        NSError error;
        const auto properties =
            source->providerProperties({CMIOExtensionPropertyProviderManufacturer}, &error);
        if (properties && properties->manufacturer()) {
            wire::setText(reply.providerManufacturer, *properties->manufacturer());
        }
    }
    if (!device_) return reply;
    wire::setText(reply.deviceName, device_->localizedName());
    wire::setText(reply.deviceId, device_->deviceID().uuidString());
    wire::setText(reply.legacyDeviceId, device_->legacyDeviceID().value_or(""));
    if (const auto source = device_->source()) {
        NSError error;
        const auto properties = source->deviceProperties(
            {CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType}, &error);
        if (properties) {
            wire::setText(reply.deviceModel, properties->model().value_or(""));
            reply.transportType = std::uint32_t(properties->transportType().value_or(0));
        }
    }
    for (const CMIOExtensionStreamRef& stream : device_->streams()) {
        if (reply.streamCount == wire::kMaxStreams) break;
        wire::StreamInfo& info = reply.streams[reply.streamCount++];
        wire::setText(info.name, stream->localizedName());
        info.direction = stream->direction() == CMIOExtensionStreamDirectionSink
                             ? wire::StreamDirection::Sink
                             : wire::StreamDirection::Source;
        const auto source = stream->source();
        if (!source) continue;
        NSError error;
        const auto properties = source->streamProperties(source->availableProperties(), &error);
        if (!properties) continue;
        const std::int64_t active = properties->activeFormatIndex().value_or(0);
        const auto formats = source->formats();
        if (active >= 0 && std::size_t(active) < formats.size() && formats[active] &&
            formats[active]->formatDescription()) {
            const CMFormatDescriptionRef& description = formats[active]->formatDescription();
            info.pixelFormat = description->mediaSubType();
            info.width = std::uint32_t(std::max(description->dimensions().width, 0));
            info.height = std::uint32_t(std::max(description->dimensions().height, 0));
        }
        if (const auto duration = properties->frameDuration()) {
            info.frameDurationValue = duration->value;
            info.frameDurationTimescale = duration->timescale;
        }
        auto count = [](std::optional<std::int64_t> value) {
            return std::uint32_t(std::clamp<std::int64_t>(value.value_or(0), 0, UINT32_MAX));
        };
        info.activeFormatIndex = count(active);
        info.sinkBufferQueueSize = count(properties->sinkBufferQueueSize());
        info.sinkBuffersRequiredForStartup = count(properties->sinkBuffersRequiredForStartup());
    }
    return reply;
}

// ---- status ----

std::shared_ptr<CameraEngine::Client> CameraEngine::sinkHolder(std::uint64_t except) const {
    for (const auto& [id, client] : clients_) {
        if (id == except || client->takenOverBy) continue;
        if (client->sink == SessionState::Starting || client->sink == SessionState::Started) {
            return client;
        }
    }
    return nullptr;
}

void CameraEngine::handleStatusRequest(Client& client) {
    wire::StatusReply reply;
    reply.cameraPid = std::uint32_t(::getpid());
    const std::uint64_t now = hostTime_();
    reply.uptimeNs = now - startedAt_;
    const ViewerFanOut::Tally tally = fanOut_.tally();
    reply.output = tally.viewers.empty() || !tally.lastOrigin ? wire::OutputShowing::Stopped
                   : *tally.lastOrigin == wire::FrameOrigin::Sink
                       ? wire::OutputShowing::Relayed
                       : wire::OutputShowing::Placeholder;
    if (const auto holder = sinkHolder(0)) {
        while (!holder->acceptedTimes.empty() &&
               holder->acceptedTimes.front() + kRateWindowNanoseconds < now) {
            holder->acceptedTimes.pop_front();
        }
        reply.hasProducer = 1;
        reply.producerPid = std::uint32_t(holder->peer.pid);
        wire::setText(reply.producerName, holder->name);
        reply.producerFramesLastSecond = std::uint32_t(holder->acceptedTimes.size());
        reply.producerPushed = holder->framesPushed;
        reply.producerDropped = holder->framesDropped;
    }
    reply.framesRelayed = tally.relayed;
    reply.framesPlaceholder = tally.placeholder;
    reply.framesPushed = totalPushed_;
    reply.framesDropped = totalDropped_;
    reply.framesMissed = tally.missed;
    reply.sinkSessions = sinkSessionsStarted_;
    reply.takeOvers = takeOvers_;
    for (const auto& [viewerId, viewerTally] : tally.viewers) {
        const auto viewer = find(viewerId);
        if (!viewer) continue;
        ++reply.viewerCount;
        if (reply.viewerEntries == wire::kMaxStatusViewers) continue;
        wire::StatusViewer& entry = reply.viewers[reply.viewerEntries++];
        wire::setText(entry.name, viewer->name);
        entry.pid = std::uint32_t(viewer->peer.pid);
        entry.framesSent = viewerTally.sent;
        entry.framesMissed = viewerTally.missed;
    }
    sendTo(client, reply);
}

}  // namespace kova::engine
