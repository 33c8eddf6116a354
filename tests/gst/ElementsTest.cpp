// kovasink and kovasrc in real pipelines, run in this process with the plugin from the build
// tree, against a real kova-camera: exact pixels through both, upstream painting straight
// into the producer's memory or a picture painted elsewhere copied once, downstream reading the
// camera's memory.
#include <gst/allocators/gstfdmemory.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <vector>

#include "tests/harness/CameraProcess.h"

namespace kova::gst::test {
namespace {

using e2e::CameraProcess;
using Picture = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A pipeline from a gst-launch description, set to NULL when it goes.
class Pipeline {
  public:
    explicit Pipeline(const std::string& description) {
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) {
            ADD_FAILURE() << "cannot build " << description << ": " << error->message;
            g_error_free(error);
        }
    }
    ~Pipeline() {
        if (pipeline_ == nullptr) return;
        stop();
        gst_object_unref(pipeline_);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    GstElement* element(const char* name) const {
        GstElement* found = gst_bin_get_by_name(GST_BIN(pipeline_), name);
        if (found != nullptr) gst_object_unref(found);  // the pipeline keeps it
        return found;
    }
    // Sets it playing and, when `wait`, waits until it is (a sink prerolls only once it is given
    // a buffer): whether that failed.
    bool play(bool wait = true) {
        return wait ? setState(GST_STATE_PLAYING)
                    : gst_element_set_state(pipeline_, GST_STATE_PLAYING) !=
                          GST_STATE_CHANGE_FAILURE;
    }
    bool stop() { return setState(GST_STATE_NULL); }
    // Waits for EOS or an error on the bus; an empty text means EOS, else the error's text.
    std::optional<std::string> waitForEnd(std::chrono::milliseconds timeout = 10000ms) {
        GstBus* bus = gst_element_get_bus(pipeline_);
        GstMessage* message =
            gst_bus_timed_pop_filtered(bus, GstClockTime(timeout.count()) * GST_MSECOND,
                                       GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        gst_object_unref(bus);
        if (message == nullptr) return std::nullopt;
        std::string text;
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            text = std::string(error->message) + " (" + (debug ? debug : "") + ")";
            g_error_free(error);
            g_free(debug);
        }
        gst_message_unref(message);
        return text;
    }
    // Hands `use` the buffer of a sample from the appsink named `name`: whether one came within
    // `timeout`.
    bool pull(const char* name, const std::function<void(GstBuffer*)>& use,
              std::chrono::milliseconds timeout = 2000ms) {
        GstSample* sample = gst_app_sink_try_pull_sample(
            GST_APP_SINK(element(name)), GstClockTime(timeout.count()) * GST_MSECOND);
        if (sample != nullptr) use(gst_sample_get_buffer(sample));
        if (sample != nullptr) gst_sample_unref(sample);
        return sample != nullptr;
    }
    // An unsigned 64-bit field of the stats structure of the element named `name`.
    std::uint64_t stat(const char* name, const char* field) const {
        GstStructure* stats = nullptr;
        g_object_get(element(name), "stats", &stats, nullptr);
        guint64 value = 0;
        EXPECT_TRUE(stats && gst_structure_get_uint64(stats, field, &value)) << "no " << field;
        if (stats != nullptr) gst_structure_free(stats);
        return value;
    }

  private:
    bool setState(GstState state) {
        return gst_element_set_state(pipeline_, state) != GST_STATE_CHANGE_FAILURE &&
               gst_element_get_state(pipeline_, nullptr, nullptr, 10 * GST_SECOND) !=
                   GST_STATE_CHANGE_FAILURE;
    }
    GstElement* pipeline_ = nullptr;
};

ino_t inodeOf(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// The inodes of the memfds process `pid` holds open whose names contain `name`.
std::set<ino_t> memfdInodes(pid_t pid, const std::string& name) {
    std::set<ino_t> inodes;
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(fd.path(), error);
        if (!error && target.string().find("memfd:" + name) != std::string::npos) {
            inodes.insert(inodeOf(fd.path()));
        }
    }
    return inodes;
}

constexpr int kFrames = 12;
const std::string kCaps =
    "video/x-raw,format=BGRA,width=800,height=960,pixel-aspect-ratio=1/1,framerate=30/1";
// A picture that moves 16 pixels a frame, so that every frame differs from the one before.
const std::string kPattern =
    "videotestsrc pattern=smpte horizontal-speed=16 num-buffers=" + std::to_string(kFrames);

std::vector<Picture> referenceFrames() {
    std::vector<Picture> frames;
    Pipeline reference(kPattern + " ! " + kCaps + " ! appsink name=out sync=false");
    EXPECT_TRUE(reference.play());
    const auto keep = [&](GstBuffer* buffer) {
        GstMapInfo map;
        EXPECT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        frames.emplace_back(map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
    };
    while (reference.pull("out", keep)) {
    }
    EXPECT_EQ(frames.size(), std::size_t(kFrames));
    return frames;
}

// Reference frame `picture` in memory of upstream's own, each row padded with bytes that must
// never reach the camera, its stride told by a video meta.
GstBuffer* paddedCopy(const Picture& picture, std::size_t index) {
    constexpr std::size_t kPaddedStride = kFrameStride + 128;
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, kPaddedStride * kFrameHeight, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    std::memset(map.data, 0xEE, map.size);
    for (std::size_t row = 0; row < kFrameHeight; ++row) {
        std::memcpy(map.data + row * kPaddedStride, picture.data() + row * kFrameStride,
                    kFrameStride);
    }
    gst_buffer_unmap(buffer, &map);
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {gint(kPaddedStride)};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA,
                                   kFrameWidth, kFrameHeight, 1, offsets, strides);
    GST_BUFFER_PTS(buffer) = index * GST_SECOND / 30;
    return buffer;
}

// What a test keeps of a buffer kovasrc made.
struct SourceBuffer {
    std::string origin;
    ino_t memory = 0;  // 0: not fd memory
    bool writable = false;
    int reference = -1;  // the reference frame its pixels are, if any
};

SourceBuffer inspect(GstBuffer* buffer, const std::vector<Picture>& references) {
    SourceBuffer seen;
    if (GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, "KovaFrameMeta")) {
        const GstStructure* fields = gst_custom_meta_get_structure(meta);
        if (const char* origin = gst_structure_get_string(fields, "origin")) seen.origin = origin;
    }
    EXPECT_EQ(gst_buffer_n_memory(buffer), 1u);
    GstMemory* memory = gst_buffer_peek_memory(buffer, 0);
    if (gst_is_fd_memory(memory)) {
        seen.memory = inodeOf("/proc/self/fd/" + std::to_string(gst_fd_memory_get_fd(memory)));
    }
    GstMapInfo map;
    seen.writable = gst_memory_map(memory, &map, GST_MAP_WRITE);
    if (seen.writable) gst_memory_unmap(memory, &map);
    EXPECT_TRUE(gst_memory_map(memory, &map, GST_MAP_READ));
    for (std::size_t i = 0; i < references.size() && map.size == references[i].size(); ++i) {
        if (std::memcmp(map.data, references[i].data(), map.size) == 0) seen.reference = int(i);
    }
    gst_memory_unmap(memory, &map);
    return seen;
}

// Upstream paints either straight into kovasink's pool (a videotestsrc) or into memory of its
// own with padded rows (an appsrc), which kovasink copies once, row by row. Either way kovasrc
// hands on the camera's memory, read-only, holding exactly what upstream made.
TEST(GstElementsTest, PixelsGoThroughBothElementsExactlyCopiedOnlyWhenPaintedElsewhere) {
    const std::vector<Picture> references = referenceFrames();
    for (const bool elsewhere : {false, true}) {
        SCOPED_TRACE(elsewhere ? "painted elsewhere" : "painted into kovasink's pool");
        CameraProcess camera;
        const std::string socket = " socket-path=" + camera.socketPath();
        Pipeline source("kovasrc" + socket + " ! appsink name=out sync=false max-buffers=2");
        ASSERT_TRUE(source.play());
        std::vector<SourceBuffer> seen;
        const auto inspectNext = [&](GstBuffer* buffer) {
            seen.push_back(inspect(buffer, references));
        };
        ASSERT_TRUE(source.pull("out", inspectNext, 5000ms));
        EXPECT_EQ(seen.front().origin, "placeholder");

        // Made before the sink starts, so that they come at the pace of their timestamps.
        std::vector<GstBuffer*> padded;
        for (std::size_t i = 0; elsewhere && i < references.size(); ++i) {
            padded.push_back(paddedCopy(references[i], i));
        }
        Pipeline sink((elsewhere ? "appsrc name=in format=time caps=\"" + kCaps + "\""
                                 : kPattern + " ! " + kCaps) +
                      " ! kovasink name=sink" + socket);
        ASSERT_TRUE(sink.play(/*wait=*/!elsewhere));
        for (GstBuffer* buffer : padded) {
            ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(sink.element("in")), buffer),
                      GST_FLOW_OK);
        }
        if (elsewhere) gst_app_src_end_of_stream(GST_APP_SRC(sink.element("in")));
        // Until the last frame comes out; a frame kovasrc missed never does, so not for ever.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (seen.back().reference < kFrames - 1 && std::chrono::steady_clock::now() < deadline &&
               source.pull("out", inspectNext)) {
        }
        EXPECT_EQ(sink.waitForEnd(), "");
        // Before kovasink stops: the camera holds the producer's memory while its session lasts.
        const std::set<ino_t> producerMemory = memfdInodes(::getpid(), "kova-frame");
        const std::set<ino_t> cameraMemory = memfdInodes(camera.pid(), "");
        ASSERT_TRUE(sink.stop());

        int relayed = 0, lastReference = -1;
        for (const auto& buffer : seen) {
            EXPECT_TRUE(cameraMemory.count(buffer.memory))
                << "kovasrc's memory is not the camera's";
            EXPECT_FALSE(buffer.writable) << "downstream could write into the camera's memory";
            if (buffer.origin != "relayed") continue;
            ++relayed;
            EXPECT_GE(buffer.reference, std::max(lastReference, 0))
                << "a relayed frame is not what upstream made, or came out of order";
            lastReference = buffer.reference;
            EXPECT_TRUE(producerMemory.count(buffer.memory))
                << "a relayed frame is not in the memory kovasink registered";
        }
        // This process runs both pipelines and the comparisons: a loaded machine may make it
        // miss a few frames, never most.
        EXPECT_GE(relayed, kFrames / 2);
        EXPECT_EQ(sink.stat("sink", "copied"), elsewhere ? std::uint64_t(kFrames) : 0u);
        EXPECT_EQ(sink.stat("sink", "zero-copy"), elsewhere ? 0u : std::uint64_t(kFrames));
    }
}

}  // namespace
}  // namespace kova::gst::test

// GLib's library constructor allocates memory it keeps for the life of the process; only what
// is allocated there is not reported as leaked. GLib is built without frame pointers, so the
// stacks of its allocations are unwound the slow way to find where they come from.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n";
}
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

// The plugin as the build made it, loaded into this process (a sanitizer build's plugin cannot load
// into GStreamer's unsanitized plugin scanner).
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    gst_init(&argc, &argv);
    GstPlugin* plugin = gst_plugin_load_file(KOVA_GST_PLUGIN, nullptr);
    if (plugin == nullptr) return 1;
    gst_object_unref(plugin);
    const int result = RUN_ALL_TESTS();
    gst_deinit();
    return result;
}
