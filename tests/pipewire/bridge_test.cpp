// End-to-end tests of kova-pipewire: a private PipeWire daemon and session manager, kova-camera,
// the bridge, and real consumers of the node it publishes.
#include <gtest/gtest.h>
#include <kova/kova.h>
#include <pipewire/keys.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <regex>
#include <set>

#include "PixelConversion.h"
#include "Sandbox.h"
#include "TestConsumer.h"

namespace kova::pipewire::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 800;
constexpr std::uint32_t kHeight = 960;
constexpr auto kTimeout = 10s;

// The placeholder as the bridge should send it in `format` at `size`, planes packed one after
// the other: libyuv's conversion, done here apart from the bridge's plumbing.
std::string placeholder_frame(PixelFormat format, Size size) {
    const auto layouts = plane_layouts(format, size);
    std::size_t total = 0;
    for (const auto& layout : layouts) total += layout.size;
    std::string frame(total, '\0');
    std::vector<Plane> planes;
    auto* data = reinterpret_cast<std::uint8_t*>(frame.data());
    for (const auto& layout : layouts) {
        planes.push_back({data, layout.stride});
        data += layout.size;
    }
    const auto picture = e2e::placeholderPicture();
    FrameConverter(format, {kWidth, kHeight}, size).write(picture.data(), kFrameStride, planes);
    return frame;
}

class BridgeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sandbox_ = new Sandbox(); }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        sandbox_->start_camera_and_bridge();
        ASSERT_TRUE(
            waitUntil([&] { return (node_ = sandbox_->node("kova")).has_value(); }, kTimeout))
            << sandbox_->bridge().log();
    }
    void TearDown() override { sandbox_->stop_bridge_and_camera(); }
    std::unique_ptr<TestConsumer> streaming_consumer() {
        auto streaming = std::make_unique<TestConsumer>(sandbox_->remote(), "kova",
                                                        SPA_VIDEO_FORMAT_BGRA, kWidth, kHeight);
        EXPECT_EQ(streaming->wait_streaming(kTimeout), std::nullopt) << sandbox_->bridge().log();
        return streaming;
    }
    bool bridge_said(const std::string& text) {
        return sandbox_->bridge().log().find(text) != std::string::npos;
    }

    static Sandbox* sandbox_;
    std::optional<nlohmann::json> node_;
};
Sandbox* BridgeTest::sandbox_ = nullptr;

// The camera is viewed only while a consumer streams, and however many consumers take its
// layout, each frame is copied into the graph once.
TEST_F(BridgeTest, ConsumersShareOneCopyOfEachFrameAndTheCameraIsViewedOnlyForThem) {
    EXPECT_FALSE(bridge_said("viewing the camera")) << "viewing the camera with no consumer";
    auto first = streaming_consumer();
    auto second = streaming_consumer();
    const auto seen = first->wait_frame(
        [&](const ReceivedFrame& f) {
            return second->wait_frame([&](const ReceivedFrame& g) { return g.pts == f.pts; }, 0ms)
                .has_value();
        },
        kTimeout);
    ASSERT_TRUE(seen.has_value()) << "no frame reached both consumers";
    EXPECT_TRUE(bridge_said("viewing the camera"));
    first->stop();
    second->stop();
    EXPECT_TRUE(waitUntil([&] { return bridge_said("camera session closed"); }, kTimeout))
        << sandbox_->bridge().log();

    sandbox_->stop_bridge_and_camera();
    const std::string log = sandbox_->bridge().log();
    std::smatch counts;
    ASSERT_TRUE(
        std::regex_search(log, counts, std::regex(R"((\d+) sent: (\d+) copied, (\d+) conv)")))
        << log;
    EXPECT_NE(counts[1], "0");
    EXPECT_EQ(counts[2], counts[1]) << log;
    EXPECT_EQ(counts[3], "0") << log;
}

// What GStreamer gets with the caps filter a user writes: the placeholder, byte for byte as libyuv
// converts and scales it, for each conversion (the packed, the two planar), the camera's size,
// scaling down and up, and rates at, above and below the camera's. Each case starts a pipeline
// and waits for the node to renegotiate.
TEST_F(BridgeTest, GStreamerGetsTheFormatItsCapsFilterAsksFor) {
    struct Case {
        const char* caps;
        PixelFormat format;
        Size size;
    };
    const Case cases[] = {
        {"format=BGRA,width=800,height=960,framerate=5983/100", PixelFormat::BGRA, {800, 960}},
        {"format=YUY2,width=640,height=480,framerate=60/1", PixelFormat::YUY2, {640, 480}},
        {"format=NV12,width=1920,height=1080,framerate=30/1", PixelFormat::NV12, {1920, 1080}},
        {"format=I420,width=640,height=360,framerate=25/1", PixelFormat::I420, {640, 360}},
    };
    const std::string out = sandbox_->dir() + "/gst-frames";
    for (const Case& c : cases) {
        const auto expected = placeholder_frame(c.format, c.size);
        const auto result = sandbox_->run(
            "gst-launch",
            {KOVA_GST_LAUNCH, "-q", "pipewiresrc", "target-object=kova", "num-buffers=2", "!",
             std::string("video/x-raw,") + c.caps, "!", "filesink", "location=" + out},
            20s);
        ASSERT_TRUE(result.has_value()) << c.caps << ": gst-launch failed or hung";
        const std::string frames = testing::readFile(out);
        ASSERT_EQ(frames.size(), 2 * expected.size()) << c.caps;
        EXPECT_TRUE(frames.substr(expected.size()) == expected)
            << c.caps << ": pixels differ from the reference";
    }
}

// The node, a camera named Kova, outlives the camera: once a camera is back, the frames pushed to
// it come through the node the consumer had all along, with their pixels and presentation time.
// The node goes with the bridge.
TEST_F(BridgeTest, PushedFramesArriveExactlyThroughTheNodeThatOutlivesACameraRestart) {
    const auto& props = (*node_)["info"]["props"];
    EXPECT_EQ(props[PW_KEY_MEDIA_CLASS], "Video/Source");
    EXPECT_EQ(props[PW_KEY_MEDIA_ROLE], "Camera");
    EXPECT_EQ(props[PW_KEY_NODE_DESCRIPTION], "Kova");
    auto consumer = streaming_consumer();
    ASSERT_TRUE(consumer->wait_frame([](const ReceivedFrame&) { return true; }, kTimeout));
    sandbox_->camera().restart(SIGKILL);

    auto producer = Producer::open(sandbox_->camera().options());
    std::vector<std::uint8_t> picture(kFrameBytes);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        picture[i] = static_cast<std::uint8_t>(i * 31 + i / kFrameStride);
    }
    std::set<std::int64_t> pushed_times;
    std::optional<ReceivedFrame> frame;
    for (int attempt = 0; attempt < 50 && !frame; ++attempt) {
        const std::uint64_t time = host_time_now();
        producer.send(picture.data(), kFrameStride, time);
        pushed_times.insert(static_cast<std::int64_t>(time));
        frame = consumer->wait_frame(
            [&](const ReceivedFrame& f) {
                return pushed_times.count(f.pts) != 0 && f.pixels == picture;
            },
            200ms);
    }
    ASSERT_TRUE(frame.has_value()) << "no pushed frame came through the node\n"
                                   << sandbox_->bridge().log();
    const auto node = sandbox_->node("kova");
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ((*node)["id"], (*node_)["id"]) << "the node was taken away and made again";
    EXPECT_TRUE(bridge_said("lost the camera"));
    sandbox_->stop_bridge_and_camera();
    EXPECT_TRUE(waitUntil([&] { return !sandbox_->node("kova"); }, kTimeout));
}

}  // namespace
}  // namespace kova::pipewire::test
