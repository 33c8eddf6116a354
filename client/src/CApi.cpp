// The C interface (kova_c.h) over the C++ one: handles wrap the C++ objects, and every C++
// exception becomes a status and a per-thread message.
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "kova/kova.h"
#include "kova/kova_c.h"

struct kova_producer {
    kova::Producer producer;
};
struct kova_producer_frame {
    kova::Producer::Frame frame;
};
struct kova_viewer {
    kova::Viewer viewer;
};
struct kova_viewer_frame {
    kova::Viewer::Frame frame;
};

namespace {

// A fixed buffer, so that recording a failure cannot itself fail.
thread_local char lastError[1024] = "";

kova_status fail(kova_status status, const char* message) noexcept {
    std::snprintf(lastError, sizeof lastError, "%s", message);
    return status;
}

kova_status statusOf(kova::ErrorCode code) {
    switch (code) {
        case kova::ErrorCode::NoCamera:
            return KOVA_ERROR_NO_CAMERA;
        case kova::ErrorCode::Refused:
            return KOVA_ERROR_REFUSED;
        case kova::ErrorCode::ProtocolError:
            return KOVA_ERROR_PROTOCOL;
        case kova::ErrorCode::Disconnected:
            return KOVA_ERROR_DISCONNECTED;
        case kova::ErrorCode::InvalidArgument:
            return KOVA_ERROR_INVALID_ARGUMENT;
        case kova::ErrorCode::SystemError:
            return KOVA_ERROR_SYSTEM;
        case kova::ErrorCode::Timeout:
            return KOVA_ERROR_TIMEOUT;
        case kova::ErrorCode::Untrusted:
            return KOVA_ERROR_UNTRUSTED;
        case kova::ErrorCode::SinkBusy:
            return KOVA_ERROR_SINK_BUSY;
        case kova::ErrorCode::TakenOver:
            return KOVA_ERROR_TAKEN_OVER;
    }
    return KOVA_ERROR_INTERNAL;
}

// Runs `body`, turning whatever it throws into a status and the thread's message.
template <class Body>
kova_status guarded(Body&& body) noexcept {
    try {
        body();
        return KOVA_OK;
    } catch (const kova::Error& error) {
        return fail(statusOf(error.code()), error.what());
    } catch (const std::bad_alloc&) {
        return fail(KOVA_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::exception& error) {
        return fail(KOVA_ERROR_INTERNAL, error.what());
    } catch (...) {
        return fail(KOVA_ERROR_INTERNAL, "an unknown failure inside libkova-client");
    }
}

kova_status missing(const char* what) noexcept {
    char message[128];
    std::snprintf(message, sizeof message, "%s is NULL", what);
    return fail(KOVA_ERROR_INVALID_ARGUMENT, message);
}

kova_status checkFlags(std::uint32_t flags, std::uint32_t known) noexcept {
    if ((flags & ~known) == 0) return KOVA_OK;
    char message[128];
    std::snprintf(message, sizeof message, "unknown flags 0x%x", unsigned(flags));
    return fail(KOVA_ERROR_INVALID_ARGUMENT, message);
}

std::optional<std::chrono::milliseconds> durationOf(int timeoutMs) {
    if (timeoutMs < 0) return std::nullopt;
    return std::chrono::milliseconds(timeoutMs);
}

kova_status negativeTimeout() noexcept {
    return fail(KOVA_ERROR_INVALID_ARGUMENT, "a timeout cannot be negative");
}

std::optional<std::uint64_t> timeOf(std::uint64_t presentationTimeNs) {
    if (presentationTimeNs == KOVA_TIME_NOW) return std::nullopt;
    return presentationTimeNs;
}

// A push's answer: *accepted, and the camera's reason for a refusal as the thread's message.
void answer(const kova::Producer::PushResult& result, int* accepted) {
    if (accepted != nullptr) *accepted = result.accepted ? 1 : 0;
    if (!result) fail(KOVA_OK, result.refusal.c_str());
}

kova::ConnectOptions optionsOf(const char* socketPath) {
    return kova::ConnectOptions{socketPath != nullptr ? socketPath : ""};
}

}  // namespace

extern "C" {

const char* kova_last_error(void) {
    return lastError;
}

const char* kova_status_name(kova_status status) {
    switch (status) {
        case KOVA_OK:
            return "KOVA_OK";
        case KOVA_ERROR_NO_CAMERA:
            return "KOVA_ERROR_NO_CAMERA";
        case KOVA_ERROR_REFUSED:
            return "KOVA_ERROR_REFUSED";
        case KOVA_ERROR_PROTOCOL:
            return "KOVA_ERROR_PROTOCOL";
        case KOVA_ERROR_DISCONNECTED:
            return "KOVA_ERROR_DISCONNECTED";
        case KOVA_ERROR_INVALID_ARGUMENT:
            return "KOVA_ERROR_INVALID_ARGUMENT";
        case KOVA_ERROR_SYSTEM:
            return "KOVA_ERROR_SYSTEM";
        case KOVA_ERROR_TIMEOUT:
            return "KOVA_ERROR_TIMEOUT";
        case KOVA_ERROR_NO_MEMORY:
            return "KOVA_ERROR_NO_MEMORY";
        case KOVA_ERROR_INTERNAL:
            return "KOVA_ERROR_INTERNAL";
        case KOVA_ERROR_UNTRUSTED:
            return "KOVA_ERROR_UNTRUSTED";
        case KOVA_ERROR_SINK_BUSY:
            return "KOVA_ERROR_SINK_BUSY";
        case KOVA_ERROR_TAKEN_OVER:
            return "KOVA_ERROR_TAKEN_OVER";
    }
    return "unknown kova_status";
}

uint64_t kova_host_time_now(void) {
    return kova::host_time_now();
}

// ---- Producers ----

kova_status kova_producer_open(const char* socket_path, uint32_t flags, kova_producer** producer) {
    if (producer == nullptr) return missing("the producer to fill in");
    *producer = nullptr;
    if (const kova_status status =
            checkFlags(flags, KOVA_PRODUCER_TAKE_OVER | KOVA_PRODUCER_KEEP_STILL);
        status != KOVA_OK) {
        return status;
    }
    return guarded([&] {
        kova::ProducerOptions options;
        options.take_over = (flags & KOVA_PRODUCER_TAKE_OVER) != 0;
        auto opened = std::make_unique<kova_producer>(
            kova_producer{kova::Producer::open(optionsOf(socket_path), options)});
        if ((flags & KOVA_PRODUCER_KEEP_STILL) != 0) opened->producer.keep_still(true);
        *producer = opened.release();
    });
}

void kova_producer_free(kova_producer* producer) {
    delete producer;
}

kova_status kova_producer_acquire(kova_producer* producer, int timeout_ms,
                                  kova_producer_frame** frame) {
    if (frame == nullptr) return missing("the frame to fill in");
    *frame = nullptr;
    if (producer == nullptr) return missing("the producer");
    const auto timeout = durationOf(timeout_ms);
    if (!timeout) return negativeTimeout();
    return guarded([&] { *frame = new kova_producer_frame{producer->producer.acquire(*timeout)}; });
}

uint8_t* kova_producer_frame_pixels(const kova_producer_frame* frame) {
    return frame != nullptr ? frame->frame.data() : nullptr;
}

size_t kova_producer_frame_stride(const kova_producer_frame* frame) {
    return frame != nullptr ? frame->frame.stride() : 0;
}

void kova_producer_frame_release(kova_producer_frame* frame) {
    delete frame;
}

kova_status kova_producer_push(kova_producer* producer, kova_producer_frame* frame,
                               uint64_t presentation_time_ns) {
    // The frame is consumed on every path, also the failing ones: it goes back to its pool.
    std::unique_ptr<kova_producer_frame> owned(frame);
    if (producer == nullptr) return missing("the producer");
    if (owned == nullptr) return missing("the frame");
    return guarded(
        [&] { producer->producer.push(std::move(owned->frame), timeOf(presentation_time_ns)); });
}

kova_status kova_producer_submit(kova_producer* producer, kova_producer_frame* frame,
                                 uint64_t presentation_time_ns, int* accepted) {
    std::unique_ptr<kova_producer_frame> owned(frame);
    if (accepted != nullptr) *accepted = 0;
    if (producer == nullptr) return missing("the producer");
    if (owned == nullptr) return missing("the frame");
    return guarded([&] {
        answer(producer->producer.submit(std::move(owned->frame), timeOf(presentation_time_ns)),
               accepted);
    });
}

kova_status kova_producer_send(kova_producer* producer, const uint8_t* pixels, size_t stride,
                               uint64_t presentation_time_ns, int* accepted) {
    if (accepted != nullptr) *accepted = 0;
    if (producer == nullptr) return missing("the producer");
    return guarded([&] {
        answer(producer->producer.send(pixels, stride, timeOf(presentation_time_ns)), accepted);
    });
}

kova_status kova_producer_set_frame_rate(kova_producer* producer, double fps) {
    if (producer == nullptr) return missing("the producer");
    return guarded([&] { producer->producer.set_frame_rate(fps); });
}

kova_status kova_producer_sleep_until_next_frame(kova_producer* producer) {
    if (producer == nullptr) return missing("the producer");
    return guarded([&] { producer->producer.sleep_until_next_frame(); });
}

kova_status kova_producer_counters_get(const kova_producer* producer,
                                       kova_producer_counters* counters) {
    if (producer == nullptr) return missing("the producer");
    if (counters == nullptr) return missing("the counters to fill in");
    return guarded([&] {
        const auto now = producer->producer.counters();
        *counters = kova_producer_counters{now.sent, now.dropped, now.fps};
    });
}

kova_status kova_producer_close(kova_producer* producer, int timeout_ms) {
    if (producer == nullptr) return missing("the producer");
    const auto timeout = durationOf(timeout_ms);
    if (!timeout) return negativeTimeout();
    return guarded([&] { producer->producer.close(*timeout); });
}

kova_status kova_producer_reconnect(kova_producer* producer) {
    if (producer == nullptr) return missing("the producer");
    return guarded([&] { producer->producer.reconnect(); });
}

// ---- Viewers ----

kova_status kova_viewer_open(const char* socket_path, uint32_t flags, kova_viewer** viewer) {
    if (viewer == nullptr) return missing("the viewer to fill in");
    *viewer = nullptr;
    if (const kova_status status = checkFlags(flags, 0); status != KOVA_OK) return status;
    return guarded([&] { *viewer = new kova_viewer{kova::Viewer::open(optionsOf(socket_path))}; });
}

void kova_viewer_free(kova_viewer* viewer) {
    delete viewer;
}

kova_status kova_viewer_next_frame(kova_viewer* viewer, int timeout_ms, kova_viewer_frame** frame) {
    if (frame == nullptr) return missing("the frame to fill in");
    *frame = nullptr;
    if (viewer == nullptr) return missing("the viewer");
    const auto timeout = durationOf(timeout_ms);
    if (!timeout) return negativeTimeout();
    return guarded([&] {
        if (auto next = viewer->viewer.next_frame(*timeout)) {
            *frame = new kova_viewer_frame{std::move(*next)};
        }
    });
}

int kova_viewer_poll_fd(const kova_viewer* viewer) {
    return viewer != nullptr ? viewer->viewer.poll_fd() : -1;
}

uint64_t kova_viewer_frames_missed(const kova_viewer* viewer) {
    return viewer != nullptr ? viewer->viewer.frames_missed() : 0;
}

kova_status kova_viewer_reconnect(kova_viewer* viewer) {
    if (viewer == nullptr) return missing("the viewer");
    return guarded([&] { viewer->viewer.reconnect(); });
}

uint64_t kova_viewer_frame_sequence(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.sequence() : 0;
}

uint64_t kova_viewer_frame_host_time_ns(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.host_time_ns() : 0;
}

uint64_t kova_viewer_frame_received_ns(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.received_ns() : 0;
}

kova_origin kova_viewer_frame_origin(const kova_viewer_frame* frame) {
    return frame != nullptr && frame->frame.origin() == kova::Viewer::Origin::Placeholder
               ? KOVA_ORIGIN_PLACEHOLDER
               : KOVA_ORIGIN_SINK;
}

uint64_t kova_viewer_frame_missed_before(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.missed_before() : 0;
}

const uint8_t* kova_viewer_frame_pixels(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.data() : nullptr;
}

int kova_viewer_frame_intact(const kova_viewer_frame* frame) {
    return frame != nullptr && frame->frame.intact() ? 1 : 0;
}

size_t kova_viewer_frame_stride(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.stride() : 0;
}

size_t kova_viewer_frame_width(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.width() : 0;
}

size_t kova_viewer_frame_height(const kova_viewer_frame* frame) {
    return frame != nullptr ? frame->frame.height() : 0;
}

void kova_viewer_frame_release(kova_viewer_frame* frame) {
    delete frame;
}

}  // extern "C"
