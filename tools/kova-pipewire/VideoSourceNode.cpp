// Publishes frames on a PipeWire output stream that presents itself as a camera.
#include "VideoSourceNode.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kova::pipewire {
namespace {

// Offered in order of preference: the camera's own layout first, so that a consumer that takes it
// gets the frame with no conversion.
constexpr std::array kOfferedFormats = {PixelFormat::BGRA, PixelFormat::BGRx, PixelFormat::YUY2};

// Enough for a consumer to hold a frame or two while the next is written.
constexpr std::int32_t kBuffersDefault = 4;
constexpr std::int32_t kBuffersMin = 2;
constexpr std::int32_t kBuffersMax = 8;

spa_video_format to_spa(PixelFormat format) {
    switch (format) {
        case PixelFormat::BGRA:
            return SPA_VIDEO_FORMAT_BGRA;
        case PixelFormat::BGRx:
            return SPA_VIDEO_FORMAT_BGRx;
        case PixelFormat::YUY2:
            return SPA_VIDEO_FORMAT_YUY2;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

std::optional<PixelFormat> from_spa(std::uint32_t format) {
    for (PixelFormat offered : kOfferedFormats) {
        if (to_spa(offered) == format) return offered;
    }
    return std::nullopt;
}

const spa_pod* build_enum_format(spa_pod_builder& builder, const NodeSettings& settings,
                                 PixelFormat format) {
    spa_video_info_raw info{};
    info.format = to_spa(format);
    info.size = spa_rectangle{settings.width, settings.height};
    info.framerate = spa_fraction{settings.framerate_num, settings.framerate_denom};
    return spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

const spa_pod* build_buffers(spa_pod_builder& builder, std::int32_t stride, std::int32_t size) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(&builder, kBuffersDefault);
    spa_pod_builder_int(&builder, kBuffersMin);
    spa_pod_builder_int(&builder, kBuffersMax);
    spa_pod_builder_pop(&builder, &choice);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
    spa_pod_builder_int(&builder, 1);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_size, 0);
    spa_pod_builder_int(&builder, size);
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&builder, stride);
    // Memory we can write into directly; PipeWire shares it with every consumer, so a frame is
    // written once whoever reads it.
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(&builder, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

const spa_pod* build_header_meta(spa_pod_builder& builder) {
    spa_pod_frame object{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&builder, SPA_META_Header);
    spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(&builder, sizeof(spa_meta_header));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

}  // namespace

struct VideoSourceNode::Impl {
    NodeSettings settings;
    StreamingCallback on_streaming;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool streaming = false;
    std::optional<PixelFormat> format;
    std::size_t stride = 0;
    Counters counters;

    void state_changed(pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR) {
            std::fprintf(stderr, "kova-pipewire: stream error: %s\n", error ? error : "unknown");
        }
        const bool now_streaming = state == PW_STREAM_STATE_STREAMING;
        if (now_streaming == streaming) return;
        streaming = now_streaming;
        if (on_streaming) on_streaming(streaming);
    }

    void param_changed(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format) return;
        format.reset();
        if (param == nullptr) return;  // the format was cleared: no consumer any more

        std::uint32_t media_type = 0;
        std::uint32_t media_subtype = 0;
        spa_video_info_raw info{};
        if (spa_format_parse(param, &media_type, &media_subtype) < 0 ||
            media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0) {
            pw_stream_set_error(stream, -EINVAL, "unsupported format");
            return;
        }
        const std::optional<PixelFormat> agreed = from_spa(info.format);
        if (!agreed || info.size.width != settings.width || info.size.height != settings.height) {
            pw_stream_set_error(stream, -EINVAL, "unsupported format");
            return;
        }
        format = agreed;
        stride = packed_stride(*agreed, settings.width);

        std::array<std::uint8_t, 1024> storage{};
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, storage.data(), storage.size());
        std::array<const spa_pod*, 2> params = {
            build_buffers(builder, static_cast<std::int32_t>(stride),
                          static_cast<std::int32_t>(stride * settings.height)),
            build_header_meta(builder),
        };
        pw_stream_update_params(stream, params.data(), params.size());
    }
};

namespace {

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                              const char* error) {
        static_cast<VideoSourceNode::Impl*>(data)->state_changed(state, error);
    };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
        static_cast<VideoSourceNode::Impl*>(data)->param_changed(id, param);
    };
    return events;
}();

}  // namespace

std::unique_ptr<VideoSourceNode> VideoSourceNode::create(pw_core* core,
                                                         const NodeSettings& settings,
                                                         StreamingCallback on_streaming) {
    auto impl = std::make_unique<Impl>();
    impl->settings = settings;
    impl->on_streaming = std::move(on_streaming);

    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CLASS, "Video/Source",
                          PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, settings.name.c_str(),
                          PW_KEY_NODE_DESCRIPTION, settings.description.c_str(), nullptr);
    impl->stream = pw_stream_new(core, settings.description.c_str(), props);
    if (impl->stream == nullptr) throw std::runtime_error("cannot create a PipeWire stream");
    pw_stream_add_listener(impl->stream, &impl->listener, &kStreamEvents, impl.get());

    std::array<std::uint8_t, 2048> storage{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage.data(), storage.size());
    std::array<const spa_pod*, kOfferedFormats.size()> params{};
    for (std::size_t i = 0; i < kOfferedFormats.size(); ++i) {
        params[i] = build_enum_format(builder, settings, kOfferedFormats[i]);
    }
    // We drive the graph: a cycle runs when a frame arrives, not on some other clock.
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    const int res = pw_stream_connect(impl->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags,
                                      params.data(), params.size());
    if (res < 0) {
        pw_stream_destroy(impl->stream);
        throw std::runtime_error(std::string("cannot connect the PipeWire stream: ") +
                                 std::strerror(-res));
    }
    return std::unique_ptr<VideoSourceNode>(new VideoSourceNode(std::move(impl)));
}

VideoSourceNode::VideoSourceNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoSourceNode::~VideoSourceNode() {
    spa_hook_remove(&impl_->listener);
    pw_stream_destroy(impl_->stream);
}

VideoSourceNode::Publish VideoSourceNode::publish(const FrameView& frame) {
    Impl& impl = *impl_;
    if (frame.width != impl.settings.width || frame.height != impl.settings.height ||
        frame.stride < frame.width * 4 || frame.pixels == nullptr) {
        ++impl.counters.dropped;
        return Publish::WrongSize;
    }
    if (!impl.streaming || !impl.format) return Publish::NotStreaming;

    pw_buffer* buffer = pw_stream_dequeue_buffer(impl.stream);
    if (buffer == nullptr) {
        ++impl.counters.dropped;
        return Publish::NoFreeBuffer;
    }
    spa_buffer* spa = buffer->buffer;
    spa_data& data = spa->datas[0];
    const std::size_t size = impl.stride * frame.height;
    if (data.data == nullptr || data.maxsize < size) {
        // Not a buffer we asked for: hand it back empty rather than write past it.
        data.chunk->size = 0;
        data.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
        pw_stream_queue_buffer(impl.stream, buffer);
        ++impl.counters.dropped;
        return Publish::NoFreeBuffer;
    }

    write_frame(*impl.format, frame.pixels, frame.stride, frame.width, frame.height,
                static_cast<std::uint8_t*>(data.data), impl.stride);
    data.chunk->offset = 0;
    data.chunk->size = static_cast<std::uint32_t>(size);
    data.chunk->stride = static_cast<std::int32_t>(impl.stride);
    data.chunk->flags = SPA_CHUNK_FLAG_NONE;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = static_cast<std::int64_t>(frame.host_time_ns);
        header->dts_offset = 0;
        header->seq = frame.sequence;
    }
    pw_stream_queue_buffer(impl.stream, buffer);
    pw_stream_trigger_process(impl.stream);

    ++impl.counters.sent;
    ++(*impl.format == PixelFormat::YUY2 ? impl.counters.converted : impl.counters.copied);
    return Publish::Sent;
}

bool VideoSourceNode::streaming() const {
    return impl_->streaming;
}

std::optional<PixelFormat> VideoSourceNode::format() const {
    return impl_->format;
}

std::uint32_t VideoSourceNode::node_id() const {
    return pw_stream_get_node_id(impl_->stream);
}

const VideoSourceNode::Counters& VideoSourceNode::counters() const {
    return impl_->counters;
}

}  // namespace kova::pipewire
