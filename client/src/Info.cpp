// query_info and query_status: what the camera publishes, from an info session's InfoReply, and
// who uses it now, from its StatusReply.
#include <algorithm>
#include <string>

#include "Session.h"
#include "kova/kova.h"

namespace kova {

std::string fourcc_text(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((code >> shift) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

const char* output_name(CameraStatus::Output output) {
    switch (output) {
        case CameraStatus::Output::Relayed:
            return "relayed";
        case CameraStatus::Output::Placeholder:
            return "placeholder";
        case CameraStatus::Output::Stopped:
            break;
    }
    return "stopped";
}

namespace {

StreamInfo streamOf(const wire::StreamInfo& stream) {
    StreamInfo info;
    info.name = std::string(wire::textOf(stream.name));
    const bool sink = stream.direction == wire::StreamDirection::Sink;
    info.direction = sink ? "sink" : "source";
    info.fourcc = fourcc_text(stream.pixelFormat);
    info.width = stream.width;
    info.height = stream.height;
    info.frame_duration_value = stream.frameDurationValue;
    info.frame_duration_timescale = stream.frameDurationTimescale;
    info.active_format_index = stream.activeFormatIndex;
    if (sink) {
        info.sink_buffer_queue_size = stream.sinkBufferQueueSize;
        info.sink_buffers_required_for_startup = stream.sinkBuffersRequiredForStartup;
    }
    return info;
}

}  // namespace

CameraInfo query_info(const ConnectOptions& options) {
    const auto session = client::Session::open(client::socketPathOf(options), wire::Role::Info);
    session->send(wire::InfoRequest{});
    const auto reply = client::await<wire::InfoReply>(
        *session, client::Clock::now() + client::kReplyTimeout,
        [](const wire::Received& other) { client::raiseUnexpected(other.message, "InfoReply"); });

    CameraInfo info;
    info.manufacturer = std::string(wire::textOf(reply.providerManufacturer));
    info.device_name = std::string(wire::textOf(reply.deviceName));
    info.device_id = std::string(wire::textOf(reply.deviceId));
    info.legacy_device_id = std::string(wire::textOf(reply.legacyDeviceId));
    info.model = std::string(wire::textOf(reply.deviceModel));
    info.transport_type = reply.transportType;
    const std::size_t count = std::min<std::size_t>(reply.streamCount, wire::kMaxStreams);
    for (std::size_t i = 0; i < count; ++i) info.streams.push_back(streamOf(reply.streams[i]));
    return info;
}

CameraStatus query_status(const ConnectOptions& options) {
    const std::string path = client::socketPathOf(options);
    const auto session = client::Session::open(path, wire::Role::Info);
    session->send(wire::StatusRequest{});
    const auto reply = client::await<wire::StatusReply>(
        *session, client::Clock::now() + client::kReplyTimeout,
        [](const wire::Received& other) { client::raiseUnexpected(other.message, "StatusReply"); });
    CameraStatus status;
    status.socket_path = path;
    status.camera_pid = reply.cameraPid;
    status.uptime_ns = reply.uptimeNs;
    status.output = reply.output == wire::OutputShowing::Relayed ? CameraStatus::Output::Relayed
                    : reply.output == wire::OutputShowing::Placeholder
                        ? CameraStatus::Output::Placeholder
                        : CameraStatus::Output::Stopped;
    if (reply.hasProducer != 0) {
        status.producer = CameraStatus::ProducerStatus{
            std::string(wire::textOf(reply.producerName)), reply.producerPid,
            reply.producerFramesLastSecond, reply.producerPushed, reply.producerDropped};
    }
    status.viewer_count = reply.viewerCount;
    for (std::uint32_t i = 0; i < reply.viewerEntries; ++i) {
        const wire::StatusViewer& viewer = reply.viewers[i];
        status.viewers.push_back(CameraStatus::ViewerStatus{std::string(wire::textOf(viewer.name)),
                                                            viewer.pid, viewer.framesSent,
                                                            viewer.framesMissed});
    }
    status.frames_relayed = reply.framesRelayed;
    status.frames_placeholder = reply.framesPlaceholder;
    status.frames_pushed = reply.framesPushed;
    status.frames_dropped = reply.framesDropped;
    status.frames_missed = reply.framesMissed;
    status.sink_sessions = reply.sinkSessions;
    status.take_overs = reply.takeOvers;
    return status;
}

}  // namespace kova
