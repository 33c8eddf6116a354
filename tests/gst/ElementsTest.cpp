// kovasink and kovasrc in real pipelines against a real kova-camera: exact pixels through both,
// upstream painting straight into the producer's memory, downstream reading the camera's, the
// copy of a picture painted elsewhere, taking the sink over, and a missing camera.
#include <gst/allocators/gstfdmemory.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "GstSupport.h"
#include "tests/harness/CameraProcess.h"

namespace kova::gst::test {
namespace {

using e2e::CameraProcess;
using Picture = std::vector<std::uint8_t>;

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
    while (GstSample* sample = reference.pull("out")) {
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        EXPECT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
        frames.emplace_back(map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
        gst_sample_unref(sample);
    }
    EXPECT_EQ(frames.size(), std::size_t(kFrames));
    return frames;
}

// What a test keeps of a buffer kovasrc made.
struct SourceBuffer {
    std::string origin;
    ino_t memory = 0;
    bool fdMemory = false;
    bool writable = false;
    int reference = -1;  // the reference frame its pixels are, if any
};

SourceBuffer inspect(GstSample* sample, const std::vector<Picture>& references) {
    SourceBuffer seen;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, "KovaFrameMeta")) {
        const GstStructure* fields = gst_custom_meta_get_structure(meta);
        if (const char* origin = gst_structure_get_string(fields, "origin")) seen.origin = origin;
    }
    EXPECT_EQ(gst_buffer_n_memory(buffer), 1u);
    GstMemory* memory = gst_buffer_peek_memory(buffer, 0);
    seen.fdMemory = gst_is_fd_memory(memory);
    if (seen.fdMemory) seen.memory = inodeOf(gst_fd_memory_get_fd(memory));
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

TEST(GstElementsTest, PixelsGoThroughBothElementsExactlyAndNeitherCopiesThem) {
    const std::vector<Picture> references = referenceFrames();
    CameraProcess camera;
    const std::string socket = " socket-path=" + camera.socketPath();
    Pipeline source("kovasrc name=src" + socket + " ! appsink name=out sync=false max-buffers=2");
    ASSERT_TRUE(source.play());
    GstSample* first = source.pull("out", 5000ms);
    ASSERT_NE(first, nullptr);
    const SourceBuffer placeholder = inspect(first, references);
    gst_sample_unref(first);

    Pipeline sink(kPattern + " ! " + kCaps + " ! kovasink name=sink" + socket);
    ASSERT_TRUE(sink.play());
    // kovasink registered its pool's memory when it started.
    const std::set<ino_t> poolMemory = memfdInodes(::getpid(), "kova-frame");
    std::vector<SourceBuffer> seen;
    // Until the last frame comes out; a frame kovasrc missed never does, so not for ever.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((seen.empty() || seen.back().reference < kFrames - 1) &&
           std::chrono::steady_clock::now() < deadline) {
        GstSample* sample = source.pull("out");
        if (sample == nullptr) break;
        seen.push_back(inspect(sample, references));
        gst_sample_unref(sample);
    }
    EXPECT_EQ(sink.waitForEnd(), "");
    // Before kovasink stops: the camera holds the producer's memory while its session lasts.
    const std::set<ino_t> cameraMemory = memfdInodes(camera.pid(), "");
    ASSERT_TRUE(sink.stop());

    EXPECT_EQ(placeholder.origin, "placeholder");
    EXPECT_EQ(poolMemory.size(), 8u);
    int relayed = 0, lastReference = -1;
    seen.push_back(placeholder);
    for (const auto& buffer : seen) {
        EXPECT_TRUE(buffer.fdMemory && cameraMemory.count(buffer.memory))
            << "kovasrc's memory is not the camera's";
        EXPECT_FALSE(buffer.writable) << "downstream could write into the camera's memory";
        if (buffer.origin != "relayed") continue;
        ++relayed;
        EXPECT_GE(buffer.reference, std::max(lastReference, 0))
            << "a relayed frame is not what upstream made, or came out of order";
        lastReference = buffer.reference;
        EXPECT_TRUE(poolMemory.count(buffer.memory))
            << "a relayed frame is not in the memory kovasink's pool registered";
    }
    // This process runs both pipelines and the comparisons: a loaded machine may make it miss
    // a few frames, never most.
    EXPECT_GE(relayed, kFrames / 2);

    EXPECT_EQ(sink.stat("sink", "copied"), 0u) << "upstream did not paint into kovasink's pool";
    EXPECT_EQ(sink.stat("sink", "zero-copy"), std::uint64_t(kFrames));
}

// Row `row` of picture `index`, then padding that must never reach the camera.
constexpr std::size_t kPaddedStride = kFrameStride + 128;
std::uint8_t paint(std::size_t index, std::size_t row, std::size_t column) {
    return column < kFrameStride ? std::uint8_t(row * 3 + column * 7 + index * 31) : 0xEE;
}

TEST(GstElementsTest, APicturePaintedElsewhereIsCopiedOnceRowByRow) {
    constexpr std::size_t kPictures = 3;
    CameraProcess camera;
    // The pictures as they must arrive, packed: compared a row at a time, so that the viewer
    // keeps up with the relay in a sanitizer build too (a frame it leaves waiting past the hold
    // limit is taken back).
    std::vector<std::vector<std::uint8_t>> expected(kPictures);
    for (std::size_t i = 0; i < kPictures; ++i) {
        expected[i].resize(kFrameHeight * kFrameStride);
        for (std::size_t row = 0; row < kFrameHeight; ++row) {
            for (std::size_t column = 0; column < kFrameStride; ++column) {
                expected[i][row * kFrameStride + column] = paint(i, row, column);
            }
        }
    }
    // A viewer that keeps up with the relay, reading from before the first push.
    std::vector<bool> exact;
    Viewer viewer = Viewer::open(camera.options());
    std::thread watching([&] {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (exact.size() < kPictures && std::chrono::steady_clock::now() < deadline) {
            const auto frame = viewer.next_frame(200ms);
            if (!frame || frame->origin() != Viewer::Origin::Sink) continue;
            const std::uint8_t* want = expected[exact.size()].data();
            bool same = true;
            for (std::size_t row = 0; row < kFrameHeight && same; ++row) {
                same = std::memcmp(frame->data() + row * frame->stride(), want + row * kFrameStride,
                                   kFrameStride) == 0;
            }
            exact.push_back(same);
        }
    });

    Pipeline pipeline("appsrc name=in format=time ! kovasink name=sink sync=false socket-path=" +
                      camera.socketPath());
    GstCaps* caps = gst_caps_from_string(kCaps.c_str());
    g_object_set(pipeline.element("in"), "caps", caps, nullptr);
    gst_caps_unref(caps);
    // Not waited for: the sink prerolls on the first buffer pushed below.
    ASSERT_TRUE(pipeline.start());
    for (std::size_t i = 0; i < kPictures; ++i) {
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, kPaddedStride * kFrameHeight, nullptr);
        GstMapInfo map;
        ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_WRITE));
        for (std::size_t row = 0; row < kFrameHeight; ++row) {
            for (std::size_t column = 0; column < kPaddedStride; ++column) {
                map.data[row * kPaddedStride + column] = paint(i, row, column);
            }
        }
        gst_buffer_unmap(buffer, &map);
        gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
        gint strides[GST_VIDEO_MAX_PLANES] = {gint(kPaddedStride)};
        gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA,
                                       kFrameWidth, kFrameHeight, 1, offsets, strides);
        GST_BUFFER_PTS(buffer) = i * GST_SECOND / 30;
        ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(pipeline.element("in")), buffer),
                  GST_FLOW_OK);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(pipeline.element("in")));
    EXPECT_EQ(pipeline.waitForEnd(), "");
    watching.join();

    EXPECT_EQ(exact, std::vector<bool>(kPictures, true))
        << "the relayed pictures are not the ones pushed, packed";
    ASSERT_TRUE(pipeline.stop());
    EXPECT_EQ(pipeline.stat("sink", "copied"), kPictures);
    EXPECT_EQ(pipeline.stat("sink", "pushed"), kPictures);
}

TEST(GstElementsTest, ASecondProducerIsRefusedNamingTheHolderUnlessItTakesOver) {
    CameraProcess camera;
    Producer holder = Producer::open(camera.options());
    const std::string sink =
        "videotestsrc ! " + kCaps + " ! kovasink name=sink socket-path=" + camera.socketPath();
    {
        Pipeline refused(sink);
        EXPECT_FALSE(refused.play());
        const auto error = refused.waitForEnd(1000ms);
        ASSERT_TRUE(error);
        EXPECT_NE(error->find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos)
            << *error;
    }
    Pipeline takingOver(sink + " take-over=true");
    ASSERT_TRUE(takingOver.play());
    std::optional<ErrorCode> holderError;
    for (int i = 0; i < 100 && !holderError; ++i) {
        try {
            holder.submit(holder.acquire());
        } catch (const Error& error) {
            holderError = error.code();
        }
    }
    EXPECT_EQ(holderError, ErrorCode::TakenOver);
    EXPECT_TRUE(takingOver.stop());
}

TEST(GstElementsTest, WithoutACameraBothElementsFailToStartAndSaySo) {
    e2e::TempFolder folder;
    const std::string socket = " socket-path=" + folder.file("nothing.sock");
    for (const std::string& element :
         {"videotestsrc ! " + kCaps + " ! kovasink" + socket, "kovasrc" + socket + " ! fakesink"}) {
        Pipeline pipeline(element);
        EXPECT_FALSE(pipeline.play()) << element;
        const auto error = pipeline.waitForEnd(1000ms);
        ASSERT_TRUE(error) << element;
        EXPECT_NE(error->find("kova-camera"), std::string::npos) << *error;
    }
}

}  // namespace
}  // namespace kova::gst::test
