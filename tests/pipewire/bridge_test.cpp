// End-to-end tests of kova-pipewire: a private PipeWire daemon and session manager, kova-camera,
// the bridge, and real consumers of the node it publishes.
#include <gtest/gtest.h>
#include <kova/kova.h>
#include <pipewire/keys.h>
#include <spa/param/video/raw.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "BridgeProcesses.h"
#include "Sandbox.h"
#include "TestConsumer.h"

namespace kova::pipewire::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 800;
constexpr std::uint32_t kHeight = 960;
constexpr auto kTimeout = 10s;

class BridgeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sandbox_ = Sandbox::create().release(); }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        processes_ = std::make_unique<BridgeProcesses>(*sandbox_);
        processes_->start_camera();
        processes_->start_bridge();
        watcher_ = TestConsumer::connect(sandbox_->remote());
        node_ = watcher_->find_node("kova", kTimeout);
        ASSERT_TRUE(node_.has_value()) << processes_->bridge().log();
    }
    void TearDown() override {
        watcher_.reset();
        EXPECT_EQ(processes_->stop(), "");
    }
    std::unique_ptr<TestConsumer> consumer(std::uint32_t format) {
        auto consumer = TestConsumer::connect(sandbox_->remote());
        consumer->capture("kova", format, kWidth, kHeight);
        EXPECT_TRUE(consumer->wait_streaming(kTimeout)) << processes_->bridge().log();
        return consumer;
    }
    kova::ConnectOptions camera() const { return {sandbox_->camera_socket()}; }

    static Sandbox* sandbox_;
    std::unique_ptr<BridgeProcesses> processes_;
    std::unique_ptr<TestConsumer> watcher_;
    std::optional<NodeDescription> node_;
};
Sandbox* BridgeTest::sandbox_ = nullptr;

TEST_F(BridgeTest, ListsTheCameraNodeAndRemovesItWhenEndedCleanly) {
    EXPECT_EQ(node_->properties.at(PW_KEY_MEDIA_CLASS), "Video/Source");
    EXPECT_EQ(node_->properties.at(PW_KEY_MEDIA_ROLE), "Camera");
    EXPECT_EQ(node_->properties.at(PW_KEY_NODE_DESCRIPTION), "Kova");
    ASSERT_FALSE(node_->offered.empty());
    EXPECT_EQ(node_->offered.front(),
              (VideoFormat{SPA_VIDEO_FORMAT_BGRA, kWidth, kHeight, 5983, 100}));

    EXPECT_EQ(processes_->stop(), "");
    EXPECT_TRUE(eventually([&] { return watcher_->removals("kova") == 1; }, kTimeout));
}

TEST_F(BridgeTest, ConsumersSeeThePlaceholderStampedWithTheCameraHostTime) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    // The host times the camera sends with, seen by a plain viewer at the same moment.
    auto viewer = kova::Viewer::open(camera());
    std::set<std::int64_t> sent_times;
    while (sent_times.size() < 4) {
        auto frame = viewer.next_frame(kTimeout);
        ASSERT_TRUE(frame.has_value());
        sent_times.insert(static_cast<std::int64_t>(frame->host_time_ns()));
    }
    const auto frame = consumer->wait_frame(
        [&](const ReceivedFrame& f) { return sent_times.count(f.pts) != 0; }, kTimeout, true);
    ASSERT_TRUE(frame.has_value()) << "no frame carried a host time the camera sent";
    EXPECT_EQ(frame->stride, kWidth * 4);
    EXPECT_TRUE(is_bgra_placeholder(frame->pixels, frame->stride));
}

TEST_F(BridgeTest, Yuy2ConsumersSeeThePlaceholderConverted) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_YUY2);
    const auto frame =
        consumer->wait_frame([](const ReceivedFrame& f) { return !f.pixels.empty(); }, kTimeout);
    ASSERT_TRUE(frame.has_value()) << processes_->bridge().log();
    EXPECT_EQ(frame->stride, kWidth * 2);
    EXPECT_TRUE(frame->pixels == placeholder_frame(PixelFormat::YUY2, {kWidth, kHeight}));
}

// What GStreamer gets with the caps filter a user writes, for each layout, size and rate the node
// offers: the placeholder, byte for byte as libyuv converts and scales it. Each case starts a
// pipeline and waits for the node to renegotiate, which the sanitizer builds make slow (seconds
// a case under ASan); they run the cases marked `All`: each conversion (the packed, the
// two planar), the camera's size, scaling down and up, and rates at, above and below the
// camera's.
TEST_F(BridgeTest, GStreamerGetsTheFormatItsCapsFilterAsksFor) {
    enum Builds { Plain, All };  // the plain build only, or the sanitizer builds too
    struct Case {
        const char* caps;
        PixelFormat format;
        Size size;
        Builds builds;
    };
    const Case cases[] = {
        {"format=BGRA,width=800,height=960,framerate=5983/100", PixelFormat::BGRA, {800, 960}, All},
        {"format=BGRx,width=1280,height=720,framerate=30/1", PixelFormat::BGRx, {1280, 720}, Plain},
        {"format=YUY2,width=800,height=960,framerate=59/1", PixelFormat::YUY2, {800, 960}, Plain},
        {"format=YUY2,width=640,height=480,framerate=60/1", PixelFormat::YUY2, {640, 480}, All},
        {"format=NV12,width=1920,height=1080,framerate=30/1", PixelFormat::NV12, {1920, 1080}, All},
        {"format=NV12,width=800,height=960,framerate=15/1", PixelFormat::NV12, {800, 960}, Plain},
        {"format=I420,width=640,height=360,framerate=25/1", PixelFormat::I420, {640, 360}, All},
        {"format=I420,width=1280,height=720,framerate=5983/100",
         PixelFormat::I420,
         {1280, 720},
         Plain},
    };
    const auto out = sandbox_->dir() / "gst-frames";
    for (const Case& c : cases) {
#ifdef KOVA_PIPEWIRE_TESTS_SANITIZED
        if (c.builds != All) continue;
#endif
        const auto expected = placeholder_frame(c.format, c.size);
        std::filesystem::remove(out);
        const auto result = sandbox_->run(
            "gst-launch",
            {KOVA_GST_LAUNCH, "-q", "pipewiresrc", "target-object=kova", "num-buffers=2", "!",
             std::string("video/x-raw,") + c.caps, "!", "filesink", "location=" + out.string()},
            20s);
        ASSERT_TRUE(result.has_value()) << c.caps << ": gst-launch failed or hung";
        std::ifstream in(out, std::ios::binary);
        const std::vector<std::uint8_t> frames((std::istreambuf_iterator<char>(in)),
                                               std::istreambuf_iterator<char>());
        ASSERT_EQ(frames.size(), 2 * expected.size()) << c.caps;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frames.end() - expected.size()))
            << c.caps << ": pixels differ from the reference";
    }
}

TEST_F(BridgeTest, PushedFramesArriveWithTheirPixelsAndPresentationTime) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    auto producer = kova::Producer::open(camera());
    std::vector<std::uint8_t> picture(kova::kFrameBytes);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        picture[i] = static_cast<std::uint8_t>(i * 31 + i / kova::kFrameStride);
    }
    std::set<std::int64_t> pushed_times;
    std::optional<ReceivedFrame> frame;
    for (int attempt = 0; attempt < 50 && !frame; ++attempt) {
        const std::uint64_t time = kova::host_time_now();
        producer.send(picture.data(), kova::kFrameStride, time);
        pushed_times.insert(static_cast<std::int64_t>(time));
        frame = consumer->wait_frame(
            [&](const ReceivedFrame& f) {
                return pushed_times.count(f.pts) != 0 && f.pixels == picture;
            },
            200ms, true);
    }
    ASSERT_TRUE(frame.has_value()) << "no pushed frame came through the node";
}

TEST_F(BridgeTest, SurvivesTheCameraRestartingWithTheNodeInPlace) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    ASSERT_TRUE(consumer->wait_frame([](const ReceivedFrame&) { return true; }, kTimeout));

    processes_->kill_camera();
    processes_->start_camera();
    const auto frame = consumer->wait_frame(
        [](const ReceivedFrame& f) { return is_bgra_placeholder(f.pixels, f.stride); }, kTimeout);
    ASSERT_TRUE(frame.has_value()) << processes_->bridge().log();
    EXPECT_EQ(watcher_->removals("kova"), 0);
    const auto node = watcher_->find_node("kova", kTimeout);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->id, node_->id);
    EXPECT_NE(processes_->bridge().log().find("lost the camera"), std::string::npos);
}

TEST_F(BridgeTest, ViewsTheCameraOnlyWhileAConsumerStreams) {
    const std::string viewing = "viewing the camera";
    EXPECT_EQ(processes_->bridge().log().find(viewing), std::string::npos)
        << "viewing the camera with no consumer";
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    ASSERT_TRUE(consumer->wait_frame([](const ReceivedFrame&) { return true; }, kTimeout));
    EXPECT_NE(processes_->bridge().log().find(viewing), std::string::npos);

    consumer->stop_capture();
    EXPECT_TRUE(eventually(
        [&] {
            return processes_->bridge().log().find("camera session closed") != std::string::npos;
        },
        kTimeout))
        << processes_->bridge().log();
}

}  // namespace
}  // namespace kova::pipewire::test
