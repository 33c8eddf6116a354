// kovasrc: a live source of the camera's output frames, each one handed downstream as fd memory
// of the camera's own buffer, read-only and held until downstream lets it go.
//
// Threading: properties and state changes come on the application's thread, create() on the
// streaming thread (the only user of the viewer while streaming); the counters are atomics.
#include <gst/allocators/gstfdmemory.h>
#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Elements.h"
#include "kova/kova.h"

namespace kova::gst {
namespace {

GST_DEBUG_CATEGORY_STATIC(srcDebug);
#define GST_CAT_DEFAULT srcDebug

using namespace std::chrono_literals;

// How long create() waits for a frame at a time before it looks whether it is flushing.
constexpr auto kWaitStep = 50ms;
// The camera takes a frame back once it has sent this many newer ones, so no more can be held.
constexpr GstClockTime kHeldFrames = 4;
constexpr const char* kFrameMetaName = "KovaFrameMeta";

GstClockTime frameDuration() {
    return gst_util_uint64_scale_int(GST_SECOND, 100, 5983);
}

// ---- fd memory that maps through the viewer's own mapping ----

// GstFdMemory of the camera's buffer. Mapping it reuses the viewer's read-only mapping of the
// buffer rather than mapping the fd again for every frame; the frame, which keeps fd and mapping,
// goes (and the camera gets the buffer back) when the memory goes.
struct KovaFdAllocator {
    GstFdAllocator parent;
};
struct KovaFdAllocatorClass {
    GstFdAllocatorClass parent_class;
};

G_DEFINE_TYPE(KovaFdAllocator, kova_fd_allocator, GST_TYPE_FD_ALLOCATOR)

GQuark viewerFrameQuark() {
    static const GQuark quark = g_quark_from_static_string("kova-viewer-frame");
    return quark;
}

// A shared part of a memory has the whole one as its parent.
const Viewer::Frame* frameOf(GstMemory* memory) {
    while (memory->parent != nullptr) memory = memory->parent;
    return static_cast<const Viewer::Frame*>(
        gst_mini_object_get_qdata(GST_MINI_OBJECT_CAST(memory), viewerFrameQuark()));
}

gpointer kovaFdMap(GstMemory* memory, gsize, GstMapFlags flags) {
    const Viewer::Frame* frame = frameOf(memory);
    if (frame == nullptr || (flags & GST_MAP_WRITE) != 0) return nullptr;
    return const_cast<std::uint8_t*>(frame->data());
}

void kovaFdUnmap(GstMemory*) {}

void kova_fd_allocator_init(KovaFdAllocator* allocator) {
    auto* base = GST_ALLOCATOR_CAST(allocator);
    base->mem_map = kovaFdMap;
    base->mem_unmap = kovaFdUnmap;
    base->mem_map_full = nullptr;
    base->mem_unmap_full = nullptr;
}

void kova_fd_allocator_class_init(KovaFdAllocatorClass*) {}

// The frame's memory, read-only: its fd, the camera's buffer, is borrowed from the frame.
GstMemory* wrapFrame(GstAllocator* allocator, Viewer::Frame frame) {
    const gsize size = frame.stride() * frame.height();
    GstMemory* memory =
        gst_fd_allocator_alloc(allocator, frame.fd(), size, GST_FD_MEMORY_FLAG_DONT_CLOSE);
    GST_MINI_OBJECT_FLAG_SET(memory, GST_MEMORY_FLAG_READONLY);
    gst_mini_object_set_qdata(GST_MINI_OBJECT_CAST(memory), viewerFrameQuark(),
                              new Viewer::Frame(std::move(frame)),
                              [](gpointer p) { delete static_cast<Viewer::Frame*>(p); });
    return memory;
}

// ---- The element ----

struct SrcState {
    std::mutex mutex;  // guards socketPath
    std::string socketPath;
    std::optional<Viewer> viewer;       // while started
    GstAllocator* allocator = nullptr;  // while started
    GstClockTime lastPts = 0;           // streaming thread only
    std::atomic<bool> flushing{false};
    std::atomic<std::uint64_t> frames{0};       // buffers made
    std::atomic<std::uint64_t> relayed{0};      // of them, frames a producer pushed
    std::atomic<std::uint64_t> placeholder{0};  // of them, the camera's placeholder
    std::atomic<std::uint64_t> missed{0};       // frames the camera sent that this source missed
};

struct KovaSrc {
    GstPushSrc parent;
    SrcState* state;
};
struct KovaSrcClass {
    GstPushSrcClass parent_class;
};

G_DEFINE_TYPE(KovaSrc, kova_src, GST_TYPE_PUSH_SRC)

enum { PROP_0, PROP_SOCKET_PATH, PROP_STATS };

SrcState& stateOf(gpointer element) {
    return *reinterpret_cast<KovaSrc*>(element)->state;
}

void kova_src_init(KovaSrc* src) {
    src->state = new SrcState();
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}

void kovaSrcFinalize(GObject* object) {
    delete reinterpret_cast<KovaSrc*>(object)->state;
    G_OBJECT_CLASS(kova_src_parent_class)->finalize(object);
}

void kovaSrcSetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    SrcState& state = stateOf(object);
    if (id == PROP_SOCKET_PATH) {
        std::lock_guard lock(state.mutex);
        const char* path = g_value_get_string(value);
        state.socketPath = path ? path : "";
        return;
    }
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
}

void kovaSrcGetProperty(GObject* object, guint id, GValue* value, GParamSpec* param) {
    SrcState& state = stateOf(object);
    if (id == PROP_SOCKET_PATH) {
        std::lock_guard lock(state.mutex);
        g_value_set_string(value, state.socketPath.empty() ? nullptr : state.socketPath.c_str());
    } else if (id == PROP_STATS) {
        g_value_take_boxed(
            value,
            gst_structure_new("kovasrc-stats", "frames", G_TYPE_UINT64, std::uint64_t(state.frames),
                              "relayed", G_TYPE_UINT64, std::uint64_t(state.relayed), "placeholder",
                              G_TYPE_UINT64, std::uint64_t(state.placeholder), "missed",
                              G_TYPE_UINT64, std::uint64_t(state.missed), nullptr));
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
}

gboolean kovaSrcStart(GstBaseSrc* base) {
    SrcState& state = stateOf(base);
    std::string path;
    {
        std::lock_guard lock(state.mutex);
        path = state.socketPath;
    }
    try {
        state.viewer = Viewer::open({path});
    } catch (const Error& error) {
        GST_ELEMENT_ERROR(base, RESOURCE, OPEN_READ, ("Cannot watch kova-camera."),
                          ("%s", error.what()));
        return FALSE;
    }
    state.allocator = GST_ALLOCATOR_CAST(g_object_new(kova_fd_allocator_get_type(), nullptr));
    state.lastPts = 0;
    state.frames = 0;
    state.relayed = 0;
    state.placeholder = 0;
    state.missed = 0;
    return TRUE;
}

// Frames still held downstream keep their buffers mapped; the camera sees the session end.
gboolean kovaSrcStop(GstBaseSrc* base) {
    SrcState& state = stateOf(base);
    state.viewer.reset();
    if (state.allocator != nullptr) gst_object_unref(state.allocator);
    state.allocator = nullptr;
    return TRUE;
}

gboolean kovaSrcUnlock(GstBaseSrc* base) {
    stateOf(base).flushing = true;
    return TRUE;
}

gboolean kovaSrcUnlockStop(GstBaseSrc* base) {
    stateOf(base).flushing = false;
    return TRUE;
}

gboolean kovaSrcQuery(GstBaseSrc* base, GstQuery* query) {
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        // A frame is sent once it is whole, so it comes at most a frame after its time.
        gst_query_set_latency(query, TRUE, frameDuration(), kHeldFrames * frameDuration());
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(kova_src_parent_class)->query(base, query);
}

// The frame's host time as running time of the element's pipeline clock: the clock is read
// beside the host clock, so any clock that runs at the host clock's rate will do.
GstClockTime runningTimeOf(GstElement* element, std::uint64_t hostTimeNs) {
    GstClock* clock = gst_element_get_clock(element);
    if (clock == nullptr) return GST_CLOCK_TIME_NONE;
    const GstClockTime clockNow = gst_clock_get_time(clock);
    const std::uint64_t hostNow = host_time_now();
    gst_object_unref(clock);
    const std::uint64_t age = hostNow > hostTimeNs ? hostNow - hostTimeNs : 0;
    const GstClockTime base = gst_element_get_base_time(element);
    return clockNow > base + age ? clockNow - age - base : 0;
}

void addFrameMeta(GstBuffer* buffer, const Viewer::Frame& frame) {
    GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, kFrameMetaName);
    if (meta == nullptr) return;
    gst_structure_set(gst_custom_meta_get_structure(meta), "sequence", G_TYPE_UINT64,
                      frame.sequence(), "host-time", G_TYPE_UINT64, frame.host_time_ns(),
                      "received", G_TYPE_UINT64, frame.received_ns(), "origin", G_TYPE_STRING,
                      frame.origin() == Viewer::Origin::Sink ? "relayed" : "placeholder",
                      "missed-before", G_TYPE_UINT64, frame.missed_before(), nullptr);
}

GstFlowReturn kovaSrcCreate(GstPushSrc* push, GstBuffer** out) {
    SrcState& state = stateOf(push);
    std::optional<Viewer::Frame> frame;
    try {
        while (!frame) {
            if (state.flushing) return GST_FLOW_FLUSHING;
            frame = state.viewer->next_frame(kWaitStep);
        }
    } catch (const Error& error) {
        GST_ELEMENT_ERROR(push, RESOURCE, READ, ("Lost kova-camera's output."),
                          ("%s", error.what()));
        return GST_FLOW_ERROR;
    }

    GstBuffer* buffer = gst_buffer_new();
    // Host times may step back a little where the output switches between relayed frames and
    // the placeholder; downstream gets time that never does.
    GstClockTime pts = runningTimeOf(GST_ELEMENT(push), frame->host_time_ns());
    if (GST_CLOCK_TIME_IS_VALID(pts)) {
        pts = std::max(pts, state.lastPts);
        state.lastPts = pts;
    }
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DURATION(buffer) = frameDuration();
    GST_BUFFER_OFFSET(buffer) = frame->sequence();
    if (frame->missed_before() > 0) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    addFrameMeta(buffer, *frame);

    ++state.frames;
    ++(frame->origin() == Viewer::Origin::Sink ? state.relayed : state.placeholder);
    state.missed += frame->missed_before();
    gst_buffer_append_memory(buffer, wrapFrame(state.allocator, std::move(*frame)));
    *out = buffer;
    return GST_FLOW_OK;
}

void kova_src_class_init(KovaSrcClass* klass) {
    GST_DEBUG_CATEGORY_INIT(srcDebug, "kovasrc", 0, "kovasrc");
    static const gchar* tags[] = {GST_META_TAG_VIDEO_STR, nullptr};
    gst_meta_register_custom(kFrameMetaName, tags, nullptr, nullptr, nullptr);

    auto* object = G_OBJECT_CLASS(klass);
    object->finalize = kovaSrcFinalize;
    object->set_property = kovaSrcSetProperty;
    object->get_property = kovaSrcGetProperty;
    g_object_class_install_property(
        object, PROP_SOCKET_PATH,
        g_param_spec_string(
            "socket-path", "Socket path",
            "The camera's socket (default: $KOVA_SOCKET, else "
            "$XDG_RUNTIME_DIR/kova/camera.sock, else /tmp/kova-<uid>/camera.sock)",
            nullptr,
            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "Frames made, of them relayed from a producer and placeholder, and "
                           "frames of the camera's this source missed",
                           GST_TYPE_STRUCTURE,
                           GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    auto* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(
        element, "Kova source", "Source/Video",
        "The Kova camera's output frames, without a copy (KovaFrameMeta on each buffer: "
        "sequence, host-time, received, origin, missed-before)",
        "Kova");
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width",
                                        G_TYPE_INT, int(kFrameWidth), "height", G_TYPE_INT,
                                        int(kFrameHeight), "pixel-aspect-ratio", GST_TYPE_FRACTION,
                                        1, 1, "framerate", GST_TYPE_FRACTION, 5983, 100, nullptr);
    gst_element_class_add_pad_template(
        element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

    auto* base = GST_BASE_SRC_CLASS(klass);
    base->start = kovaSrcStart;
    base->stop = kovaSrcStop;
    base->unlock = kovaSrcUnlock;
    base->unlock_stop = kovaSrcUnlockStop;
    base->query = kovaSrcQuery;
    GST_PUSH_SRC_CLASS(klass)->create = kovaSrcCreate;
}

}  // namespace

GType kovaSrcType() {
    return kova_src_get_type();
}

}  // namespace kova::gst
