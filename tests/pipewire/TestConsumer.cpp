// The test consumer: a registry watcher and an input stream on a pw_thread_loop of its own.
#include "TestConsumer.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <time.h>

#include <array>
#include <cstring>
#include <stdexcept>

// libpipewire's method macros are statement expressions, a GNU extension that clang reports
// under -Wpedantic at every call site.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace kova::pipewire::test {
namespace {

constexpr std::size_t kKeptFrames = 8;

std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::optional<VideoFormat> parse_video_format(const spa_pod* param) {
    std::uint32_t media_type = 0;
    std::uint32_t media_subtype = 0;
    if (spa_format_parse(param, &media_type, &media_subtype) < 0 ||
        media_type != SPA_MEDIA_TYPE_video || media_subtype != SPA_MEDIA_SUBTYPE_raw) {
        return std::nullopt;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return std::nullopt;
    return VideoFormat{info.format, info.size.width, info.size.height, info.framerate.num,
                       info.framerate.denom};
}

// An EnumFormat param, one entry per frame rate it offers.
std::vector<VideoFormat> parse_offered(const spa_pod* param) {
    VideoFormat base;
    const spa_pod_prop* format = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_format);
    const spa_pod_prop* size = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_size);
    const spa_pod_prop* rate = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_framerate);
    spa_rectangle rectangle{};
    if (format == nullptr || size == nullptr || rate == nullptr ||
        spa_pod_get_id(&format->value, &base.format) < 0 ||
        spa_pod_get_rectangle(&size->value, &rectangle) < 0) {
        return {};
    }
    base.width = rectangle.width;
    base.height = rectangle.height;
    std::uint32_t count = 0;
    std::uint32_t choice = 0;
    const spa_pod* values = spa_pod_get_values(&rate->value, &count, &choice);
    if (values->type != SPA_TYPE_Fraction ||
        (choice != SPA_CHOICE_None && choice != SPA_CHOICE_Enum)) {
        return {};
    }
    const auto* fractions = static_cast<const spa_fraction*>(SPA_POD_BODY(values));
    std::vector<VideoFormat> offered;
    // An enumeration's first value is its default, repeated among the alternatives.
    for (std::uint32_t i = choice == SPA_CHOICE_None ? 0 : 1; i < count; ++i) {
        VideoFormat entry = base;
        entry.framerate_num = fractions[i].num;
        entry.framerate_denom = fractions[i].denom;
        offered.push_back(entry);
    }
    return offered;
}

}  // namespace

struct TestConsumer::Impl {
    // A node proxy bound to learn the node's properties and offered formats.
    struct BoundNode {
        Impl* impl = nullptr;
        std::uint32_t id = 0;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        int sync_seq = -1;
    };

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook core_listener{};
    spa_hook registry_listener{};
    std::map<std::uint32_t, std::unique_ptr<BoundNode>> bound;  // loop thread only
    pw_stream* stream = nullptr;
    spa_hook stream_listener{};
    bool keep_pixels = true;  // written before the stream exists, read by the loop

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::uint32_t, NodeDescription> nodes;  // guarded by mutex, as is all below
    std::map<std::uint32_t, bool> nodes_complete;
    std::map<std::string, int> removed;
    bool streaming = false;
    std::optional<std::string> error;
    std::optional<VideoFormat> format;
    std::uint64_t received = 0;
    std::deque<ReceivedFrame> kept;
    std::vector<TestConsumer::Arrival> arrivals;

    void notify(const std::function<void()>& update) {
        {
            std::lock_guard lock(mutex);
            update();
        }
        changed.notify_all();
    }

    void on_global(std::uint32_t id, const char* type, const spa_dict* props) {
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
        auto node = std::make_unique<BoundNode>();
        node->impl = this;
        node->id = id;
        node->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (node->proxy == nullptr) return;
        static const pw_node_events kNodeEvents = [] {
            pw_node_events events{};
            events.version = PW_VERSION_NODE_EVENTS;
            events.info = [](void* data, const pw_node_info* info) {
                auto* node = static_cast<BoundNode*>(data);
                if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0 || !info->props) return;
                std::map<std::string, std::string> props;
                const spa_dict_item* item = nullptr;
                spa_dict_for_each(item, info->props) props[item->key] = item->value;
                node->impl->notify([&] { node->impl->nodes[node->id].properties = props; });
            };
            events.param = [](void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                              const spa_pod* param) {
                auto* node = static_cast<BoundNode*>(data);
                if (id != SPA_PARAM_EnumFormat || param == nullptr) return;
                const auto formats = parse_offered(param);
                node->impl->notify([&] {
                    auto& offered = node->impl->nodes[node->id].offered;
                    offered.insert(offered.end(), formats.begin(), formats.end());
                });
            };
            return events;
        }();
        pw_proxy_add_object_listener(node->proxy, &node->listener, &kNodeEvents, node.get());
        pw_node_enum_params(reinterpret_cast<pw_node*>(node->proxy), 0, SPA_PARAM_EnumFormat, 0,
                            UINT32_MAX, nullptr);
        // Replies come in order: once this sync is done, every EnumFormat param has come.
        node->sync_seq = pw_core_sync(core, PW_ID_CORE, 0);
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        notify([&] {
            nodes[id].id = id;
            if (name) nodes[id].properties[PW_KEY_NODE_NAME] = name;
            nodes_complete[id] = false;
        });
        bound[id] = std::move(node);
    }

    void on_global_remove(std::uint32_t id) {
        auto it = bound.find(id);
        if (it == bound.end()) return;
        spa_hook_remove(&it->second->listener);
        pw_proxy_destroy(it->second->proxy);
        bound.erase(it);
        notify([&] {
            auto node = nodes.find(id);
            if (node != nodes.end()) {
                auto name = node->second.properties.find(PW_KEY_NODE_NAME);
                if (name != node->second.properties.end()) ++removed[name->second];
                nodes.erase(node);
            }
            nodes_complete.erase(id);
        });
    }

    void on_core_done(std::uint32_t id, int seq) {
        if (id != PW_ID_CORE) return;
        for (auto& [node_id, node] : bound) {
            if (node->sync_seq == seq) {
                const std::uint32_t done_id = node_id;
                notify([&] { nodes_complete[done_id] = true; });
            }
        }
    }

    void on_stream_state(pw_stream_state state, const char* message) {
        notify([&] {
            streaming = state == PW_STREAM_STATE_STREAMING;
            if (state == PW_STREAM_STATE_ERROR) error = message ? message : "unknown";
        });
    }

    void on_stream_param(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format) return;
        std::optional<VideoFormat> agreed = param ? parse_video_format(param) : std::nullopt;
        notify([&] { format = agreed; });
        if (!agreed) return;
        // Ask for the header that carries each frame's timestamp.
        std::array<std::uint8_t, 256> storage{};
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, storage.data(), storage.size());
        spa_pod_frame object{};
        spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
        spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
        spa_pod_builder_id(&builder, SPA_META_Header);
        spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
        spa_pod_builder_int(&builder, sizeof(spa_meta_header));
        const auto* meta = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
        pw_stream_update_params(stream, &meta, 1);
    }

    void on_process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (buffer == nullptr) return;
        ReceivedFrame frame;
        frame.received_ns = monotonic_ns();
        spa_buffer* spa = buffer->buffer;
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
            frame.pts = header->pts;
            frame.seq = header->seq;
        }
        frame.stride = static_cast<std::uint32_t>(spa->datas[0].chunk->stride);
        for (std::uint32_t i = 0; i < spa->n_datas; ++i) {
            const spa_data& data = spa->datas[i];
            if (keep_pixels && data.data != nullptr && data.chunk->size > 0 &&
                data.chunk->offset + data.chunk->size <= data.maxsize) {
                const auto* begin =
                    static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
                frame.pixels.insert(frame.pixels.end(), begin, begin + data.chunk->size);
            }
        }
        pw_stream_queue_buffer(stream, buffer);
        notify([&] {
            frame.index = received++;
            arrivals.push_back({frame.pts, frame.received_ns});
            kept.push_back(std::move(frame));
            if (kept.size() > kKeptFrames) kept.pop_front();
        });
    }

    void destroy_stream() {
        if (stream == nullptr) return;
        spa_hook_remove(&stream_listener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
};

TestConsumer::TestConsumer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<TestConsumer> TestConsumer::connect(const std::string& remote) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

    auto impl = std::make_unique<Impl>();
    impl->loop = pw_thread_loop_new("kova-test-consumer", nullptr);
    impl->context = pw_context_new(pw_thread_loop_get_loop(impl->loop), nullptr, 0);
    if (impl->loop == nullptr || impl->context == nullptr) {
        throw std::runtime_error("cannot create a PipeWire context");
    }
    if (pw_thread_loop_start(impl->loop) < 0) throw std::runtime_error("cannot start loop");

    pw_thread_loop_lock(impl->loop);
    impl->core = pw_context_connect(
        impl->context, pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr), 0);
    if (impl->core == nullptr) {
        pw_thread_loop_unlock(impl->loop);
        pw_thread_loop_stop(impl->loop);
        pw_context_destroy(impl->context);
        pw_thread_loop_destroy(impl->loop);
        throw std::runtime_error("cannot connect to PipeWire at " + remote);
    }
    static const pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = [](void* data, std::uint32_t id, int seq) {
            static_cast<Impl*>(data)->on_core_done(id, seq);
        };
        return events;
    }();
    static const pw_registry_events kRegistryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type,
                           std::uint32_t, const spa_dict* props) {
            static_cast<Impl*>(data)->on_global(id, type, props);
        };
        events.global_remove = [](void* data, std::uint32_t id) {
            static_cast<Impl*>(data)->on_global_remove(id);
        };
        return events;
    }();
    pw_core_add_listener(impl->core, &impl->core_listener, &kCoreEvents, impl.get());
    impl->registry = pw_core_get_registry(impl->core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(impl->registry, &impl->registry_listener, &kRegistryEvents,
                             impl.get());
    pw_thread_loop_unlock(impl->loop);
    return std::unique_ptr<TestConsumer>(new TestConsumer(std::move(impl)));
}

TestConsumer::~TestConsumer() {
    pw_thread_loop_lock(impl_->loop);
    impl_->destroy_stream();
    for (auto& [id, node] : impl_->bound) {
        spa_hook_remove(&node->listener);
        pw_proxy_destroy(node->proxy);
    }
    impl_->bound.clear();
    spa_hook_remove(&impl_->registry_listener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(impl_->registry));
    spa_hook_remove(&impl_->core_listener);
    pw_core_disconnect(impl_->core);
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    pw_context_destroy(impl_->context);
    pw_thread_loop_destroy(impl_->loop);
}

std::optional<NodeDescription> TestConsumer::find_node(const std::string& name,
                                                       std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    std::optional<NodeDescription> found;
    impl_->changed.wait_for(lock, timeout, [&] {
        for (const auto& [id, node] : impl_->nodes) {
            auto it = node.properties.find(PW_KEY_NODE_NAME);
            // Complete once the info event has brought more than the name.
            if (it != node.properties.end() && it->second == name && impl_->nodes_complete[id] &&
                node.properties.size() > 1) {
                found = node;
                return true;
            }
        }
        return false;
    });
    return found;
}

int TestConsumer::removals(const std::string& name) {
    std::lock_guard lock(impl_->mutex);
    return impl_->removed[name];
}

void TestConsumer::capture(const std::string& target, std::uint32_t spa_format, std::uint32_t width,
                           std::uint32_t height, bool keep_pixels) {
    pw_thread_loop_lock(impl_->loop);
    impl_->destroy_stream();
    impl_->keep_pixels = keep_pixels;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_TARGET_OBJECT, target.c_str(), PW_KEY_NODE_NAME, "kova-test-consumer", nullptr);
    impl_->stream = pw_stream_new(impl_->core, "kova-test-consumer", props);
    static const pw_stream_events kStreamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                  const char* message) {
            static_cast<Impl*>(data)->on_stream_state(state, message);
        };
        events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
            static_cast<Impl*>(data)->on_stream_param(id, param);
        };
        events.process = [](void* data) { static_cast<Impl*>(data)->on_process(); };
        return events;
    }();
    pw_stream_add_listener(impl_->stream, &impl_->stream_listener, &kStreamEvents, impl_.get());

    std::array<std::uint8_t, 512> storage{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage.data(), storage.size());
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_id(&builder, spa_format);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(&builder, width, height);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(&builder, 30, 1);
    spa_pod_builder_fraction(&builder, 0, 1);
    spa_pod_builder_fraction(&builder, 1000, 1);
    spa_pod_builder_pop(&builder, &choice);
    const auto* param = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));

    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    const int res =
        pw_stream_connect(impl_->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, &param, 1);
    pw_thread_loop_unlock(impl_->loop);
    if (res < 0) throw std::runtime_error("cannot connect the consumer stream");
}

void TestConsumer::stop_capture() {
    pw_thread_loop_lock(impl_->loop);
    impl_->destroy_stream();
    pw_thread_loop_unlock(impl_->loop);
    impl_->notify([&] {
        impl_->streaming = false;
        impl_->error.reset();
        impl_->format.reset();
    });
}

bool TestConsumer::wait_streaming(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->streaming; });
}

std::optional<std::string> TestConsumer::wait_error(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->error.has_value(); });
    return impl_->error;
}

std::optional<ReceivedFrame> TestConsumer::wait_frame(
    const std::function<bool(const ReceivedFrame&)>& match, std::chrono::milliseconds timeout,
    bool include_kept) {
    std::unique_lock lock(impl_->mutex);
    const std::uint64_t first = include_kept ? 0 : impl_->received;
    std::optional<ReceivedFrame> found;
    std::uint64_t checked = first;  // frames before this index were already tried
    impl_->changed.wait_for(lock, timeout, [&] {
        for (const ReceivedFrame& frame : impl_->kept) {
            if (frame.index < checked) continue;
            checked = frame.index + 1;
            if (match(frame)) {
                found = frame;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<TestConsumer::Arrival> TestConsumer::arrivals() {
    std::lock_guard lock(impl_->mutex);
    return impl_->arrivals;
}

}  // namespace kova::pipewire::test
