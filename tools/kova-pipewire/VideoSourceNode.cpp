// Publishes frames on a PipeWire output stream that presents itself as a camera.
#include "VideoSourceNode.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

// libpipewire's method macros are statement expressions, a GNU extension that clang reports
// under -Wpedantic at every call site.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace kova::pipewire {
namespace {

// Common capture sizes, largest first; the frames' own size comes before them all.
constexpr std::array<Size, 4> kCommonSizes = {Size{1920, 1080}, Size{1280, 720}, Size{640, 480},
                                              Size{640, 360}};
// Whole-number rates applications ask for, highest first.
constexpr std::array<std::uint32_t, 9> kWholeRates = {60, 50, 30, 25, 24, 20, 15, 10, 5};

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
        case PixelFormat::NV12:
            return SPA_VIDEO_FORMAT_NV12;
        case PixelFormat::I420:
            return SPA_VIDEO_FORMAT_I420;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

std::optional<PixelFormat> from_spa(std::uint32_t format) {
    for (PixelFormat offered : kPixelFormats) {
        if (to_spa(offered) == format) return offered;
    }
    return std::nullopt;
}

bool same_rate(Fraction a, Fraction b) {
    return std::uint64_t{a.num} * b.denom == std::uint64_t{b.num} * a.denom;
}

// One format at one size; the rate a choice among every offered rate, the frames' own the
// default. An enumeration rather than a range: consumers that read a range take its minimum.
const spa_pod* build_enum_format(spa_pod_builder& builder, PixelFormat format, Size size,
                                 const std::vector<Fraction>& rates) {
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_id(&builder, to_spa(format));
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&builder, size.width, size.height);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_fraction(&builder, rates.front().num, rates.front().denom);
    for (const Fraction& rate : rates) spa_pod_builder_fraction(&builder, rate.num, rate.denom);
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

// One data block holding every plane, one after the other: consumers read planar frames from the
// first block at offsets that follow from its stride.
const spa_pod* build_buffers(spa_pod_builder& builder, const std::vector<PlaneLayout>& planes) {
    std::size_t size = 0;
    for (const PlaneLayout& plane : planes) size += plane.size;
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
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(size));
    spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(planes.front().stride));
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

std::vector<Size> offered_sizes(Size own) {
    std::vector<Size> sizes = {own};
    for (Size common : kCommonSizes) {
        if (common != own) sizes.push_back(common);
    }
    return sizes;
}

std::vector<Fraction> offered_rates(Fraction own) {
    std::vector<Fraction> rates = {own};
    // The own rate rounded down is what a consumer that wants whole numbers asks for.
    const std::uint32_t rounded_down = own.num / own.denom;
    std::vector<std::uint32_t> whole(kWholeRates.begin(), kWholeRates.end());
    whole.push_back(rounded_down);
    std::sort(whole.begin(), whole.end(), std::greater<>());
    whole.erase(std::unique(whole.begin(), whole.end()), whole.end());
    for (std::uint32_t rate : whole) {
        if (rate > 0 && !same_rate({rate, 1}, own)) rates.push_back({rate, 1});
    }
    return rates;
}

// A consumer whose link to the node fails to agree on a format is left waiting by PipeWire, its
// stream connected but never given a format. This watches the node's links and, when one fails,
// sends the consumer's node an error, which ends its stream (a browser's track, a GStreamer
// pipeline) with a message instead.
class FailedLinkReporter {
  public:
    FailedLinkReporter(pw_core* core, std::string offer) : core_(core), offer_(std::move(offer)) {
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events kEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type,
                               std::uint32_t, const spa_dict* props) {
                static_cast<FailedLinkReporter*>(data)->global(id, type, props);
            };
            events.global_remove = [](void* data, std::uint32_t id) {
                static_cast<FailedLinkReporter*>(data)->remove(id);
            };
            return events;
        }();
        pw_registry_add_listener(registry_, &registry_listener_, &kEvents, this);
    }
    ~FailedLinkReporter() {
        for (auto& [id, link] : links_) {
            spa_hook_remove(&link->listener);
            pw_proxy_destroy(link->proxy);
        }
        spa_hook_remove(&registry_listener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    FailedLinkReporter(const FailedLinkReporter&) = delete;
    FailedLinkReporter& operator=(const FailedLinkReporter&) = delete;

    void set_node_id(std::uint32_t id) { node_id_ = id; }

  private:
    struct Link {
        FailedLinkReporter* owner = nullptr;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool reported = false;
    };

    void global(std::uint32_t id, const char* type, const spa_dict* props) {
        if (props == nullptr) return;
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            if (const char* client = spa_dict_lookup(props, PW_KEY_CLIENT_ID)) {
                node_clients_[id] = static_cast<std::uint32_t>(std::strtoul(client, nullptr, 10));
            }
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0) return;
        const char* output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
        if (output == nullptr || std::strtoul(output, nullptr, 10) != node_id_) return;
        auto link = std::make_unique<Link>();
        link->owner = this;
        link->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, 0));
        if (link->proxy == nullptr) return;
        static const pw_link_events kLinkEvents = [] {
            pw_link_events events{};
            events.version = PW_VERSION_LINK_EVENTS;
            events.info = [](void* data, const pw_link_info* info) {
                auto* link = static_cast<Link*>(data);
                link->owner->link_changed(*link, info);
            };
            return events;
        }();
        pw_proxy_add_object_listener(link->proxy, &link->listener, &kLinkEvents, link.get());
        links_[id] = std::move(link);
    }

    void remove(std::uint32_t id) {
        node_clients_.erase(id);
        auto it = links_.find(id);
        if (it == links_.end()) return;
        spa_hook_remove(&it->second->listener);
        pw_proxy_destroy(it->second->proxy);
        links_.erase(it);
    }

    void link_changed(Link& link, const pw_link_info* info) {
        if (info->state != PW_LINK_STATE_ERROR || link.reported) return;
        link.reported = true;
        const auto client = node_clients_.find(info->input_node_id);
        const std::string message = "no format in common with the camera, which offers " + offer_ +
                                    (info->error ? std::string(" (") + info->error + ")" : "");
        std::fprintf(stderr, "kova-pipewire: consumer node %u: %s\n", info->input_node_id,
                     message.c_str());
        if (client == node_clients_.end()) return;
        auto* proxy = static_cast<pw_client*>(pw_registry_bind(
            registry_, client->second, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
        if (proxy == nullptr) return;
        // The error goes to the client's resources bound to the node: its stream.
        pw_client_error(proxy, info->input_node_id, -EINVAL, message.c_str());
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(proxy));
    }

    pw_core* core_;
    std::string offer_;
    std::uint32_t node_id_ = SPA_ID_INVALID;
    pw_registry* registry_ = nullptr;
    spa_hook registry_listener_{};
    std::map<std::uint32_t, std::unique_ptr<Link>> links_;
    std::map<std::uint32_t, std::uint32_t> node_clients_;  // node id → id of its client
};

struct VideoSourceNode::Impl {
    NodeSettings settings;
    std::vector<Size> sizes;
    std::vector<Fraction> rates;
    StreamingCallback on_streaming;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool streaming = false;
    std::optional<AgreedFormat> format;
    std::optional<FrameConverter> converter;
    std::optional<FramePacer> pacer;
    std::vector<PlaneLayout> planes;  // one after the other in a buffer's one data block
    std::size_t frame_size = 0;
    std::unique_ptr<FailedLinkReporter> failed_links;
    Counters counters;

    void state_changed(pw_stream_state state, const char* error) {
        if (failed_links && state != PW_STREAM_STATE_UNCONNECTED) {
            failed_links->set_node_id(pw_stream_get_node_id(stream));
        }
        if (state == PW_STREAM_STATE_ERROR) {
            std::fprintf(stderr, "kova-pipewire: stream error: %s\n", error ? error : "unknown");
        }
        const bool now_streaming = state == PW_STREAM_STATE_STREAMING;
        if (now_streaming == streaming) return;
        streaming = now_streaming;
        if (on_streaming) on_streaming(streaming);
    }

    // The format, if the node offers it. PipeWire only agrees on formats the node offered; this
    // guards against a peer that does not.
    std::optional<AgreedFormat> offered(const spa_pod* param) const {
        std::uint32_t media_type = 0;
        std::uint32_t media_subtype = 0;
        spa_video_info_raw info{};
        if (spa_format_parse(param, &media_type, &media_subtype) < 0 ||
            media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw ||
            spa_format_video_raw_parse(param, &info) < 0) {
            return std::nullopt;
        }
        const std::optional<PixelFormat> format = from_spa(info.format);
        const Size size{info.size.width, info.size.height};
        const Fraction rate{info.framerate.num, info.framerate.denom};
        if (!format || std::find(sizes.begin(), sizes.end(), size) == sizes.end() ||
            std::none_of(rates.begin(), rates.end(),
                         [&](Fraction offered) { return same_rate(offered, rate); })) {
            return std::nullopt;
        }
        return AgreedFormat{*format, size, rate};
    }

    void param_changed(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format) return;
        format.reset();
        converter.reset();
        pacer.reset();
        if (param == nullptr) return;  // the format was cleared: no consumer any more

        const std::optional<AgreedFormat> agreed = offered(param);
        if (!agreed) {
            pw_stream_set_error(stream, -EINVAL, "unsupported format");
            return;
        }
        format = agreed;
        converter.emplace(agreed->format, settings.size, agreed->size);
        pacer.emplace(settings.rate, agreed->rate);
        planes = plane_layouts(agreed->format, agreed->size);
        frame_size = 0;
        for (const PlaneLayout& plane : planes) frame_size += plane.size;
        std::fprintf(stderr, "kova-pipewire: consumers agreed on %s %ux%u at %u/%u\n",
                     pixel_format_name(agreed->format), agreed->size.width, agreed->size.height,
                     agreed->rate.num, agreed->rate.denom);

        std::array<std::uint8_t, 1024> storage{};
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, storage.data(), storage.size());
        std::array<const spa_pod*, 2> params = {build_buffers(builder, planes),
                                                build_header_meta(builder)};
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
    impl->sizes = offered_sizes(settings.size);
    impl->rates = offered_rates(settings.rate);
    impl->on_streaming = std::move(on_streaming);

    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CLASS, "Video/Source",
                          PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, settings.name.c_str(),
                          PW_KEY_NODE_DESCRIPTION, settings.description.c_str(), nullptr);
    std::string offer;
    for (PixelFormat format : kPixelFormats) {
        offer += std::string(offer.empty() ? "" : ", ") + pixel_format_name(format);
    }
    for (std::size_t i = 0; i < impl->sizes.size(); ++i) {
        offer += (i == 0 ? " at " : ", ") + std::to_string(impl->sizes[i].width) + "x" +
                 std::to_string(impl->sizes[i].height);
    }
    offer += ", " + std::to_string(settings.rate.num) + "/" + std::to_string(settings.rate.denom) +
             " and whole-number rates to 60/1";
    impl->failed_links = std::make_unique<FailedLinkReporter>(core, offer);
    impl->stream = pw_stream_new(core, settings.description.c_str(), props);
    if (impl->stream == nullptr) throw std::runtime_error("cannot create a PipeWire stream");
    pw_stream_add_listener(impl->stream, &impl->listener, &kStreamEvents, impl.get());

    // Every size in every format, the frames' own size first and in it their own layout first,
    // so that a consumer that takes it gets each frame for one copy.
    std::vector<std::uint8_t> storage(16384);
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
    std::vector<const spa_pod*> params;
    for (Size size : impl->sizes) {
        for (PixelFormat format : kPixelFormats) {
            params.push_back(build_enum_format(builder, format, size, impl->rates));
        }
    }
    if (std::find(params.begin(), params.end(), nullptr) != params.end()) {
        throw std::runtime_error("the offered formats overflow their builder");
    }
    // We drive the graph: a cycle runs when a frame arrives, not on some other clock.
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS);
    const int res = pw_stream_connect(impl->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags,
                                      params.data(), static_cast<std::uint32_t>(params.size()));
    if (res < 0) {
        pw_stream_destroy(impl->stream);
        throw std::runtime_error(std::string("cannot connect the PipeWire stream: ") +
                                 std::strerror(-res));
    }
    return std::unique_ptr<VideoSourceNode>(new VideoSourceNode(std::move(impl)));
}

VideoSourceNode::VideoSourceNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoSourceNode::~VideoSourceNode() {
    impl_->failed_links.reset();
    spa_hook_remove(&impl_->listener);
    pw_stream_destroy(impl_->stream);
}

VideoSourceNode::Publish VideoSourceNode::publish(const FrameView& frame) {
    Impl& impl = *impl_;
    if (frame.width != impl.settings.size.width || frame.height != impl.settings.size.height ||
        frame.stride < frame.width * 4 || frame.pixels == nullptr) {
        ++impl.counters.dropped;
        return Publish::WrongSize;
    }
    if (!impl.streaming || !impl.converter) return Publish::NotStreaming;
    if (!impl.pacer->take(frame.host_time_ns)) {
        ++impl.counters.paced;
        return Publish::Paced;
    }

    pw_buffer* buffer = pw_stream_dequeue_buffer(impl.stream);
    if (buffer == nullptr) {
        ++impl.counters.dropped;
        return Publish::NoFreeBuffer;
    }
    spa_buffer* spa = buffer->buffer;
    spa_data& data = spa->datas[0];
    if (spa->n_datas == 0 || data.data == nullptr || data.maxsize < impl.frame_size) {
        // Not a buffer we asked for: hand it back empty rather than write past it.
        if (spa->n_datas > 0) {
            data.chunk->size = 0;
            data.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
        }
        pw_stream_queue_buffer(impl.stream, buffer);
        ++impl.counters.dropped;
        return Publish::NoFreeBuffer;
    }
    std::array<Plane, 3> planes{};
    auto* next = static_cast<std::uint8_t*>(data.data);
    for (std::size_t i = 0; i < impl.planes.size(); ++i) {
        planes[i] = {next, impl.planes[i].stride};
        next += impl.planes[i].size;
    }
    impl.converter->write(frame.pixels, frame.stride, {planes.data(), impl.planes.size()});
    data.chunk->offset = 0;
    data.chunk->size = static_cast<std::uint32_t>(impl.frame_size);
    data.chunk->stride = static_cast<std::int32_t>(impl.planes[0].stride);
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
    const bool packed_bgra =
        impl.format->format == PixelFormat::BGRA || impl.format->format == PixelFormat::BGRx;
    ++(impl.converter->scales() ? impl.counters.scaled
       : packed_bgra            ? impl.counters.copied
                                : impl.counters.converted);
    return Publish::Sent;
}

bool VideoSourceNode::streaming() const {
    return impl_->streaming;
}

std::optional<AgreedFormat> VideoSourceNode::format() const {
    return impl_->format;
}

std::uint32_t VideoSourceNode::node_id() const {
    return pw_stream_get_node_id(impl_->stream);
}

const VideoSourceNode::Counters& VideoSourceNode::counters() const {
    return impl_->counters;
}

}  // namespace kova::pipewire
