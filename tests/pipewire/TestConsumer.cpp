// The test consumer: a registry watcher and an input stream on a pw_thread_loop of its own.
#include "TestConsumer.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
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

}  // namespace

struct TestConsumer::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook stream_listener{};
    bool keep_pixels = true;  // written before the stream exists, read by the loop

    std::mutex mutex;
    std::condition_variable changed;
    bool streaming = false;  // guarded by mutex, as is all below
    std::optional<std::string> error;
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

    void on_stream_state(pw_stream_state state, const char* message) {
        notify([&] {
            streaming = state == PW_STREAM_STATE_STREAMING;
            if (state == PW_STREAM_STATE_ERROR) error = message ? message : "unknown";
        });
    }

    void on_stream_param(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || param == nullptr) return;
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
    pw_thread_loop_unlock(impl->loop);
    return std::unique_ptr<TestConsumer>(new TestConsumer(std::move(impl)));
}

TestConsumer::~TestConsumer() {
    pw_thread_loop_lock(impl_->loop);
    impl_->destroy_stream();
    pw_core_disconnect(impl_->core);
    pw_thread_loop_unlock(impl_->loop);
    pw_thread_loop_stop(impl_->loop);
    pw_context_destroy(impl_->context);
    pw_thread_loop_destroy(impl_->loop);
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
