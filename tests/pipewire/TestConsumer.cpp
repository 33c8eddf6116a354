// The test consumer: an input stream, with a PipeWire context of its own, on its own
// pw_thread_loop.
#include "TestConsumer.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <stdexcept>

// libpipewire's method macros are statement expressions, a GNU extension that clang reports
// under -Wpedantic at every call site.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace kova::pipewire::test {

struct TestConsumer::Impl {
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    bool streaming = false;  // guarded by mutex, as is all below
    std::optional<std::string> error;
    std::deque<ReceivedFrame> kept;  // the last few frames

    ~Impl() {
        stop();
        if (loop != nullptr) pw_thread_loop_destroy(loop);
    }
    void stop() {
        if (stream == nullptr) return;
        pw_thread_loop_lock(loop);
        pw_stream_destroy(stream);
        stream = nullptr;
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
    }

    void on_state(pw_stream_state state, const char* message) {
        {
            std::lock_guard lock(mutex);
            streaming = state == PW_STREAM_STATE_STREAMING;
            if (state == PW_STREAM_STATE_ERROR) error = message ? message : "unknown";
        }
        changed.notify_all();
    }

    // Once a format is agreed, asks for the header that carries each frame's timestamp.
    void on_param(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || param == nullptr) return;
        std::array<std::uint8_t, 256> storage{};
        spa_pod_builder builder{storage.data(), sizeof(storage), 0, {}, {}};
        const auto* meta = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
            SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
        pw_stream_update_params(stream, &meta, 1);
    }

    void on_process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (buffer == nullptr) return;
        ReceivedFrame frame;
        frame.received_ns = static_cast<std::uint64_t>(
            std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch()).count());
        const spa_buffer* spa = buffer->buffer;
        if (const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
            frame.pts = header->pts;
        }
        for (const spa_data& data : std::span(spa->datas, spa->n_datas)) {
            if (data.data == nullptr || data.chunk->offset + data.chunk->size > data.maxsize) {
                continue;
            }
            const auto* begin = static_cast<const std::uint8_t*>(data.data) + data.chunk->offset;
            frame.pixels.insert(frame.pixels.end(), begin, begin + data.chunk->size);
        }
        pw_stream_queue_buffer(stream, buffer);
        {
            std::lock_guard lock(mutex);
            kept.push_back(std::move(frame));
            if (kept.size() > 8) kept.pop_front();
        }
        changed.notify_all();
    }
};

TestConsumer::TestConsumer(const std::string& remote, const std::string& target,
                           std::uint32_t spa_format, std::uint32_t width, std::uint32_t height)
    : impl_(std::make_unique<Impl>()) {
    static const pw_stream_events kEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                  const char* message) {
            static_cast<Impl*>(data)->on_state(state, message);
        };
        events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
            static_cast<Impl*>(data)->on_param(id, param);
        };
        events.process = [](void* data) { static_cast<Impl*>(data)->on_process(); };
        return events;
    }();
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    Impl& c = *impl_;
    c.loop = pw_thread_loop_new("kova-test-consumer", nullptr);
    if (c.loop == nullptr) throw std::runtime_error("cannot make a PipeWire loop");
    c.stream = pw_stream_new_simple(
        pw_thread_loop_get_loop(c.loop), "kova-test-consumer",
        pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), PW_KEY_MEDIA_TYPE, "Video",
                          PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_TARGET_OBJECT, target.c_str(), nullptr),
        &kEvents, &c);
    if (c.stream == nullptr || pw_thread_loop_start(c.loop) < 0) {
        throw std::runtime_error("cannot make a PipeWire stream");
    }
    std::array<std::uint8_t, 512> storage{};
    spa_pod_builder builder{storage.data(), sizeof(storage), 0, {}, {}};
    spa_video_info_raw info{};  // no rate: any
    info.format = static_cast<spa_video_format>(spa_format);
    info.size = {width, height};
    const spa_pod* param = spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    pw_thread_loop_lock(c.loop);
    const int res = pw_stream_connect(
        c.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        &param, 1);
    pw_thread_loop_unlock(c.loop);
    if (res < 0) throw std::runtime_error("cannot connect to PipeWire at " + remote);
}

TestConsumer::~TestConsumer() = default;

std::optional<std::string> TestConsumer::wait_streaming(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->streaming || impl_->error; });
    if (impl_->streaming) return std::nullopt;
    return impl_->error.value_or("not streaming after " + std::to_string(timeout.count()) + " ms");
}

std::optional<ReceivedFrame> TestConsumer::wait_frame(
    const std::function<bool(const ReceivedFrame&)>& match, std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    std::optional<ReceivedFrame> found;
    impl_->changed.wait_for(lock, timeout, [&] {
        const auto frame = std::find_if(impl_->kept.begin(), impl_->kept.end(), match);
        if (frame != impl_->kept.end()) found = *frame;
        return found.has_value();
    });
    return found;
}

void TestConsumer::stop() {
    impl_->stop();
}

}  // namespace kova::pipewire::test
