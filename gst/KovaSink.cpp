// kovasink: a video sink that pushes every frame it renders into the camera's sink stream, and
// offers upstream a buffer pool whose buffers are the producer's registered shared memory.
//
// Threading: properties and state changes come on the application's thread, allocation on
// upstream's streaming thread, rendering on this sink's; the producer is used under its link's
// mutex, the counters are atomics.
#include <gst/video/gstvideosink.h>
#include <gst/video/video.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Elements.h"
#include "kova/kova.h"

namespace kova::gst {
namespace {

GST_DEBUG_CATEGORY_STATIC(sinkDebug);
#define GST_CAT_DEFAULT sinkDebug

using namespace std::chrono_literals;

// How long rendering waits for the camera to hand back a buffer before the frame is dropped, and
// the steps in which it waits, so that a flush is noticed soon.
constexpr auto kAcquireLimit = 1000ms;
constexpr auto kAcquireStep = 20ms;

// The producer of one run of the element (start to stop), shared with every buffer lent out of
// it: the memory those buffers point into stays mapped until the last of them goes, even once
// the element has stopped.
struct ProducerLink {
    explicit ProducerLink(Producer opened) : producer(std::move(opened)) {}
    std::mutex mutex;  // guards producer
    Producer producer;
};

// One of the producer's frames lent to a GstMemory; the frame goes back to the producer's pool
// with the memory, unless it was pushed first.
struct LentFrame {
    std::shared_ptr<ProducerLink> link;
    std::optional<Producer::Frame> frame;
};

GQuark lentFrameQuark() {
    static const GQuark quark = g_quark_from_static_string("kova-lent-frame");
    return quark;
}

// A buffer whose one memory is `frame`'s shared memory.
GstBuffer* wrapFrame(std::shared_ptr<ProducerLink> link, Producer::Frame frame) {
    std::uint8_t* data = frame.data();
    auto* lent = new LentFrame{std::move(link), std::move(frame)};
    GstMemory* memory =
        gst_memory_new_wrapped(GstMemoryFlags(0), data, kFrameBytes, 0, kFrameBytes, lent,
                               [](gpointer p) { delete static_cast<LentFrame*>(p); });
    gst_mini_object_set_qdata(GST_MINI_OBJECT_CAST(memory), lentFrameQuark(), lent, nullptr);
    GstBuffer* buffer = gst_buffer_new();
    gst_buffer_append_memory(buffer, memory);
    return buffer;
}

// ---- The pool offered upstream ----

// Each buffer it hands out holds a frame lent by the producer; a buffer that comes back is
// freed rather than kept, since its frame may be in the camera by then.
struct KovaSinkPool {
    GstBufferPool parent;
    std::shared_ptr<ProducerLink>* link;
};
struct KovaSinkPoolClass {
    GstBufferPoolClass parent_class;
};

G_DEFINE_TYPE(KovaSinkPool, kova_sink_pool, GST_TYPE_BUFFER_POOL)

void kova_sink_pool_init(KovaSinkPool* pool) {
    pool->link = new std::shared_ptr<ProducerLink>();
}

void kovaSinkPoolFinalize(GObject* object) {
    delete reinterpret_cast<KovaSinkPool*>(object)->link;
    G_OBJECT_CLASS(kova_sink_pool_parent_class)->finalize(object);
}

// Waits for the camera to return a buffer while the pool is active.
GstFlowReturn kovaSinkPoolAcquire(GstBufferPool* pool, GstBuffer** buffer,
                                  GstBufferPoolAcquireParams*) {
    const auto link = *reinterpret_cast<KovaSinkPool*>(pool)->link;
    while (!GST_BUFFER_POOL_IS_FLUSHING(pool)) {
        std::unique_lock lock(link->mutex);
        try {
            Producer::Frame frame = link->producer.acquire(kAcquireStep);
            lock.unlock();
            *buffer = wrapFrame(link, std::move(frame));
            return GST_FLOW_OK;
        } catch (const Error& error) {
            if (error.code() == ErrorCode::Timeout) continue;
            GST_ERROR_OBJECT(pool, "cannot lend a frame: %s", error.what());
            return GST_FLOW_ERROR;
        }
    }
    return GST_FLOW_FLUSHING;
}

GstFlowReturn kovaSinkPoolAlloc(GstBufferPool* pool, GstBuffer** buffer,
                                GstBufferPoolAcquireParams* params) {
    return kovaSinkPoolAcquire(pool, buffer, params);
}

void kovaSinkPoolRelease(GstBufferPool*, GstBuffer* buffer) {
    gst_buffer_unref(buffer);
}

// Nothing is allocated ahead: every frame is lent on demand.
gboolean kovaSinkPoolStart(GstBufferPool*) {
    return TRUE;
}

void kova_sink_pool_class_init(KovaSinkPoolClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = kovaSinkPoolFinalize;
    auto* pool = GST_BUFFER_POOL_CLASS(klass);
    pool->start = kovaSinkPoolStart;
    pool->acquire_buffer = kovaSinkPoolAcquire;
    pool->alloc_buffer = kovaSinkPoolAlloc;
    pool->release_buffer = kovaSinkPoolRelease;
}

// ---- The element ----

struct SinkState {
    std::mutex mutex;  // guards socketPath, takeOver, link and final
    std::string socketPath;
    bool takeOver = false;
    std::shared_ptr<ProducerLink> link;  // while started
    Producer::Counters final;            // the counters of the last run, once stopped

    std::atomic<bool> flushing{false};
    std::atomic<std::uint64_t> rendered{0};  // frames given to render
    std::atomic<std::uint64_t> copied{0};    // of them, copied into a frame of the producer's
    std::atomic<std::uint64_t> unsent{0};    // dropped here: no buffer came back in time
    std::optional<GstVideoInfo> info;        // the negotiated format; streaming thread only
};

struct KovaSink {
    GstVideoSink parent;
    SinkState* state;
};
struct KovaSinkClass {
    GstVideoSinkClass parent_class;
};

G_DEFINE_TYPE(KovaSink, kova_sink, GST_TYPE_VIDEO_SINK)

enum { PROP_0, PROP_SOCKET_PATH, PROP_TAKE_OVER, PROP_STATS };

SinkState& stateOf(gpointer element) {
    return *reinterpret_cast<KovaSink*>(element)->state;
}

void kova_sink_init(KovaSink* sink) {
    sink->state = new SinkState();
    // A rendered buffer is handed to the camera; a copy of it kept here would only hold a frame.
    gst_base_sink_set_last_sample_enabled(GST_BASE_SINK(sink), FALSE);
    // A late frame is still the newest picture the camera can show: pushed, not dropped here,
    // and upstream is not told to skip frames to catch up.
    gst_base_sink_set_max_lateness(GST_BASE_SINK(sink), -1);
    gst_base_sink_set_qos_enabled(GST_BASE_SINK(sink), FALSE);
}

// Each buffer is pushed once, when it is rendered: shown at preroll too, the camera would get
// it twice.
GstFlowReturn kovaSinkPreroll(GstBaseSink*, GstBuffer*) {
    return GST_FLOW_OK;
}

void kovaSinkFinalize(GObject* object) {
    delete reinterpret_cast<KovaSink*>(object)->state;
    G_OBJECT_CLASS(kova_sink_parent_class)->finalize(object);
}

GstStructure* sinkStats(SinkState& state) {
    Producer::Counters counters;
    {
        std::lock_guard lock(state.mutex);
        counters = state.final;
        if (state.link) {
            std::lock_guard producerLock(state.link->mutex);
            counters = state.link->producer.counters();
        }
    }
    const std::uint64_t copied = state.copied;
    return gst_structure_new("kovasink-stats", "rendered", G_TYPE_UINT64,
                             std::uint64_t(state.rendered), "pushed", G_TYPE_UINT64, counters.sent,
                             "dropped", G_TYPE_UINT64, counters.dropped + state.unsent, "copied",
                             G_TYPE_UINT64, copied, "zero-copy", G_TYPE_UINT64,
                             std::uint64_t(state.rendered) - copied, nullptr);
}

void kovaSinkSetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    SinkState& state = stateOf(object);
    if (id == PROP_SOCKET_PATH) {
        std::lock_guard lock(state.mutex);
        const char* path = g_value_get_string(value);
        state.socketPath = path ? path : "";
        return;
    }
    if (id == PROP_TAKE_OVER) {
        std::lock_guard lock(state.mutex);
        state.takeOver = g_value_get_boolean(value);
        return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
}

void kovaSinkGetProperty(GObject* object, guint id, GValue* value, GParamSpec* param) {
    SinkState& state = stateOf(object);
    if (id == PROP_SOCKET_PATH) {
        std::lock_guard lock(state.mutex);
        g_value_set_string(value, state.socketPath.empty() ? nullptr : state.socketPath.c_str());
    } else if (id == PROP_TAKE_OVER) {
        std::lock_guard lock(state.mutex);
        g_value_set_boolean(value, state.takeOver);
    } else if (id == PROP_STATS) {
        g_value_take_boxed(value, sinkStats(state));
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
}

gboolean kovaSinkStart(GstBaseSink* base) {
    SinkState& state = stateOf(base);
    std::lock_guard lock(state.mutex);
    try {
        ProducerOptions options;
        options.take_over = state.takeOver;
        state.link = std::make_shared<ProducerLink>(Producer::open({state.socketPath}, options));
    } catch (const Error& error) {
        GST_ELEMENT_ERROR(base, RESOURCE, OPEN_WRITE, ("Cannot push into kova-camera."),
                          ("%s", error.what()));
        return FALSE;
    }
    state.final = {};
    state.rendered = 0;
    state.copied = 0;
    state.unsent = 0;
    return TRUE;
}

// Ends the sink session; frames the camera still queues come back as dropped first, so the
// counters are final. Buffers still lent upstream keep the producer's memory until they go.
gboolean kovaSinkStop(GstBaseSink* base) {
    SinkState& state = stateOf(base);
    std::lock_guard lock(state.mutex);
    if (!state.link) return TRUE;
    {
        std::lock_guard producerLock(state.link->mutex);
        try {
            state.link->producer.close(2000ms);
        } catch (const Error& error) {
            GST_WARNING_OBJECT(base, "the sink session did not end cleanly: %s", error.what());
        }
        state.final = state.link->producer.counters();
    }
    state.link.reset();
    GST_INFO_OBJECT(base,
                    "rendered %" G_GUINT64_FORMAT ", pushed %" G_GUINT64_FORMAT
                    ", dropped %" G_GUINT64_FORMAT ", copied %" G_GUINT64_FORMAT,
                    std::uint64_t(state.rendered), state.final.sent,
                    state.final.dropped + state.unsent, std::uint64_t(state.copied));
    return TRUE;
}

gboolean kovaSinkSetCaps(GstBaseSink* base, GstCaps* caps) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps)) return FALSE;
    stateOf(base).info = info;
    return TRUE;
}

gboolean kovaSinkProposeAllocation(GstBaseSink* base, GstQuery* query) {
    SinkState& state = stateOf(base);
    GstCaps* caps = nullptr;
    gboolean needPool = FALSE;
    gst_query_parse_allocation(query, &caps, &needPool);
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    std::shared_ptr<ProducerLink> link;
    {
        std::lock_guard lock(state.mutex);
        link = state.link;
    }
    if (caps == nullptr || !link) return TRUE;

    auto* pool = static_cast<KovaSinkPool*>(g_object_new(kova_sink_pool_get_type(), nullptr));
    *pool->link = link;
    GstStructure* config = gst_buffer_pool_get_config(GST_BUFFER_POOL(pool));
    gst_buffer_pool_config_set_params(config, caps, kFrameBytes, 0, 0);
    if (!gst_buffer_pool_set_config(GST_BUFFER_POOL(pool), config)) {
        gst_object_unref(pool);
        return FALSE;
    }
    gst_query_add_allocation_pool(query, GST_BUFFER_POOL(pool), kFrameBytes, 0, 0);
    gst_object_unref(pool);
    return TRUE;
}

gboolean kovaSinkUnlock(GstBaseSink* base) {
    stateOf(base).flushing = true;
    return TRUE;
}

gboolean kovaSinkUnlockStop(GstBaseSink* base) {
    stateOf(base).flushing = false;
    return TRUE;
}

// The producer's frame lent to `buffer`'s memory, taken out of it, if upstream painted into one
// of this run's frames and nothing else holds the buffer to look at it later.
std::optional<Producer::Frame> takeLentFrame(GstBuffer* buffer, const ProducerLink& link) {
    if (gst_buffer_n_memory(buffer) != 1 || !gst_buffer_is_writable(buffer)) return std::nullopt;
    GstMemory* memory = gst_buffer_peek_memory(buffer, 0);
    auto* lent = static_cast<LentFrame*>(
        gst_mini_object_get_qdata(GST_MINI_OBJECT_CAST(memory), lentFrameQuark()));
    if (lent == nullptr || lent->link.get() != &link || !lent->frame ||
        !gst_mini_object_is_writable(GST_MINI_OBJECT_CAST(memory)) ||
        gst_buffer_get_size(buffer) != kFrameBytes) {
        return std::nullopt;
    }
    std::optional<Producer::Frame> frame = std::move(lent->frame);
    lent->frame.reset();
    return frame;
}

// A frame of the producer's with `buffer`'s picture copied in; nothing if the camera returned
// none in time or the element is flushing.
std::optional<Producer::Frame> copyIntoFrame(SinkState& state, Producer& producer,
                                             GstBuffer* buffer) {
    std::optional<Producer::Frame> frame;
    for (auto waited = 0ms; !frame && waited < kAcquireLimit && !state.flushing;
         waited += kAcquireStep) {
        try {
            frame = producer.acquire(kAcquireStep);
        } catch (const Error& error) {
            if (error.code() != ErrorCode::Timeout) throw;
        }
    }
    if (!frame || !state.info) return std::nullopt;
    GstVideoFrame video;
    if (!gst_video_frame_map(&video, &*state.info, buffer, GST_MAP_READ)) return std::nullopt;
    const auto* source = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&video, 0));
    const auto sourceStride = std::size_t(GST_VIDEO_FRAME_PLANE_STRIDE(&video, 0));
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        std::memcpy(frame->data() + row * kFrameStride, source + row * sourceStride, kFrameStride);
    }
    gst_video_frame_unmap(&video);
    return frame;
}

GstFlowReturn kovaSinkShowFrame(GstVideoSink* video, GstBuffer* buffer) {
    SinkState& state = stateOf(video);
    std::shared_ptr<ProducerLink> link;
    {
        std::lock_guard lock(state.mutex);
        link = state.link;
    }
    if (!link) return GST_FLOW_FLUSHING;
    ++state.rendered;
    std::optional<Producer::Frame> frame = takeLentFrame(buffer, *link);
    std::lock_guard lock(link->mutex);
    try {
        if (!frame) {
            ++state.copied;
            frame = copyIntoFrame(state, link->producer, buffer);
        }
        if (!frame) {
            ++state.unsent;
            GST_DEBUG_OBJECT(video, "no frame buffer came back in time: frame dropped");
            return GST_FLOW_OK;
        }
        // Stamped now, on the host clock: the sink renders each buffer at its running time.
        link->producer.push(std::move(*frame));
    } catch (const Error& error) {
        GST_ELEMENT_ERROR(video, RESOURCE, WRITE, ("Cannot push into kova-camera."),
                          ("%s", error.what()));
        return GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
}

void kova_sink_class_init(KovaSinkClass* klass) {
    GST_DEBUG_CATEGORY_INIT(sinkDebug, "kovasink", 0, "kovasink");
    auto* object = G_OBJECT_CLASS(klass);
    object->finalize = kovaSinkFinalize;
    object->set_property = kovaSinkSetProperty;
    object->get_property = kovaSinkGetProperty;
    g_object_class_install_property(
        object, PROP_SOCKET_PATH,
        g_param_spec_string(
            "socket-path", "Socket path",
            "The camera's socket (default: $KOVA_SOCKET, else "
            "$XDG_RUNTIME_DIR/kova/camera.sock, else /tmp/kova-<uid>/camera.sock)",
            nullptr,
            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object, PROP_TAKE_OVER,
        g_param_spec_boolean(
            "take-over", "Take over",
            "When another producer holds the camera's sink, end its session instead of failing",
            FALSE,
            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "Frames rendered, pushed (accepted by the camera), dropped, copied "
                           "and zero-copy (painted by upstream straight into shared memory)",
                           GST_TYPE_STRUCTURE,
                           GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    auto* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(element, "Kova sink", "Sink/Video",
                                          "Pushes video frames into the Kova camera's sink stream",
                                          "Kova");
    GstCaps* caps = gst_caps_new_simple(
        "video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT, int(kFrameWidth),
        "height", G_TYPE_INT, int(kFrameHeight), "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1,
        "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    gst_element_class_add_pad_template(
        element, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

    auto* base = GST_BASE_SINK_CLASS(klass);
    base->start = kovaSinkStart;
    base->stop = kovaSinkStop;
    base->set_caps = kovaSinkSetCaps;
    base->propose_allocation = kovaSinkProposeAllocation;
    base->unlock = kovaSinkUnlock;
    base->unlock_stop = kovaSinkUnlockStop;
    base->preroll = kovaSinkPreroll;
    GST_VIDEO_SINK_CLASS(klass)->show_frame = kovaSinkShowFrame;
}

}  // namespace

GType kovaSinkType() {
    return kova_sink_get_type();
}

}  // namespace kova::gst
