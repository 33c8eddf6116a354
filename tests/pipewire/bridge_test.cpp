// End-to-end tests of kova-pipewire: a private PipeWire daemon and session manager, kova-camera,
// the bridge, and real consumers of the node it publishes.
#include <gtest/gtest.h>
#include <kova/kova.h>
#include <pipewire/keys.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "PixelConversion.h"
#include "Sandbox.h"
#include "TestConsumer.h"
#include "tests/harness/CameraProcess.h"

namespace kova::pipewire::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 800;
constexpr std::uint32_t kHeight = 960;
constexpr auto kTimeout = 10s;

bool is_placeholder(const ReceivedFrame& frame) {
    return frame.pixels.size() >= std::size_t{frame.stride} * kHeight &&
           !kova::e2e::firstRowUnlikePlaceholder(frame.pixels.data(), frame.stride);
}

// The placeholder as the bridge should send it in `format` at `size`, planes packed one after
// the other: libyuv's conversion, done here apart from the bridge's plumbing.
std::vector<std::uint8_t> placeholder_frame(PixelFormat format, Size size) {
    const auto layouts = plane_layouts(format, size);
    std::size_t total = 0;
    for (const auto& layout : layouts) total += layout.size;
    std::vector<std::uint8_t> frame(total);
    std::vector<Plane> planes;
    for (std::size_t i = 0, offset = 0; i < layouts.size(); offset += layouts[i++].size) {
        planes.push_back({frame.data() + offset, layouts[i].stride});
    }
    const auto picture = kova::e2e::placeholderPicture();
    FrameConverter(format, {kWidth, kHeight}, size)
        .write(picture.data(), kova::kFrameStride, planes);
    return frame;
}

class BridgeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sandbox_ = Sandbox::create().release(); }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        sandbox_->start_camera();
        sandbox_->start_bridge();
        ASSERT_TRUE(
            waitUntil([&] { return (node_ = sandbox_->node("kova")).has_value(); }, kTimeout))
            << sandbox_->bridge().log();
    }
    void TearDown() override { EXPECT_EQ(sandbox_->stop_bridge_and_camera(), ""); }
    std::unique_ptr<TestConsumer> consumer(std::uint32_t format) {
        auto consumer = TestConsumer::connect(sandbox_->remote());
        consumer->capture("kova", format, kWidth, kHeight);
        EXPECT_TRUE(consumer->wait_streaming(kTimeout)) << sandbox_->bridge().log();
        return consumer;
    }
    kova::ConnectOptions camera() const { return {sandbox_->camera_socket()}; }

    static Sandbox* sandbox_;
    std::optional<nlohmann::json> node_;
};
Sandbox* BridgeTest::sandbox_ = nullptr;

TEST_F(BridgeTest, ListsACameraOfferingEveryLayoutSizeAndCommonRateAndRemovesItWhenEnded) {
    const auto& info = (*node_)["info"];
    EXPECT_EQ(info["props"][PW_KEY_MEDIA_CLASS], "Video/Source");
    EXPECT_EQ(info["props"][PW_KEY_MEDIA_ROLE], "Camera");
    EXPECT_EQ(info["props"][PW_KEY_NODE_DESCRIPTION], "Kova");
    // Each offer as "format width x height num/denom", one per rate; the first is preferred:
    // the frames as they come, for one copy each.
    std::vector<std::string> offered;
    for (const auto& offer : info["params"]["EnumFormat"]) {
        for (const auto& [choice, rate] : offer["framerate"].items()) {
            if (choice == "default") continue;
            offered.push_back(offer["format"].get<std::string>() + " " +
                              std::to_string(offer["size"]["width"].get<int>()) + "x" +
                              std::to_string(offer["size"]["height"].get<int>()) + " " +
                              std::to_string(rate["num"].get<int>()) + "/" +
                              std::to_string(rate["denom"].get<int>()));
        }
    }
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered.front(), "BGRA 800x960 5983/100");
    for (const char* format : {"BGRA", "BGRx", "YUY2", "NV12", "I420"}) {
        for (const char* size : {"800x960", "1920x1080", "1280x720", "640x480", "640x360"}) {
            for (const char* rate : {"5983/100", "60/1", "59/1", "30/1"}) {
                const std::string wanted = std::string(format) + " " + size + " " + rate;
                EXPECT_NE(std::find(offered.begin(), offered.end(), wanted), offered.end())
                    << wanted;
            }
        }
    }
    EXPECT_EQ(sandbox_->stop_bridge_and_camera(), "");
    EXPECT_TRUE(waitUntil([&] { return !sandbox_->node("kova"); }, kTimeout));
}

TEST_F(BridgeTest, ARequestItCannotMeetFailsWithAnErrorAndDisturbsNoOne) {
    // The session manager may not know a node that was just made ("no node available"); that
    // says nothing about negotiation, so the request is made again.
    std::unique_ptr<TestConsumer> consumer;
    std::optional<std::string> error;
    for (int attempt = 0; attempt < 5; ++attempt) {
        consumer = TestConsumer::connect(sandbox_->remote());
        consumer->capture("kova", SPA_VIDEO_FORMAT_BGRA, 1000, 1000);
        error = consumer->wait_error(kTimeout);
        if (!error || error->find("no node available") == std::string::npos) break;
    }
    ASSERT_TRUE(error.has_value()) << "the consumer was left waiting";
    EXPECT_NE(error->find("no format in common"), std::string::npos) << *error;
    auto other = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    EXPECT_TRUE(other->wait_frame([](const ReceivedFrame&) { return true; }, kTimeout));
}

// However many consumers take the camera's layout, each frame is copied into the graph once.
TEST_F(BridgeTest, ConsumersOfTheCamerasLayoutShareOneCopyOfEachFrame) {
    auto first = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    auto second = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    const auto seen = first->wait_frame(
        [&](const ReceivedFrame& f) {
            return second
                ->wait_frame([&](const ReceivedFrame& g) { return g.pts == f.pts; }, 0ms, true)
                .has_value();
        },
        kTimeout, true);
    ASSERT_TRUE(seen.has_value()) << "no frame reached both consumers";
    EXPECT_EQ(sandbox_->stop_bridge_and_camera(), "");
    const std::string log = sandbox_->bridge().log();
    unsigned long long sent = 0, copied = 1, converted = 1;
    const auto report = log.find(" sent: ");
    ASSERT_NE(report, std::string::npos) << log;
    ASSERT_EQ(std::sscanf(log.c_str() + log.rfind(' ', report - 1),
                          " %llu sent: %llu copied, %llu converted", &sent, &copied, &converted),
              3)
        << log;
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(copied, sent) << log;
    EXPECT_EQ(converted, 0u) << log;
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
    EXPECT_TRUE(is_placeholder(*frame));
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
    const auto out = sandbox_->dir() / "gst-frames";
    for (const Case& c : cases) {
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

    sandbox_->kill_camera();
    sandbox_->start_camera();
    const auto frame = consumer->wait_frame(is_placeholder, kTimeout);
    ASSERT_TRUE(frame.has_value()) << sandbox_->bridge().log();
    // The node it had all along, not one taken away and made again.
    const auto node = sandbox_->node("kova");
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ((*node)["id"], (*node_)["id"]);
    EXPECT_NE(sandbox_->bridge().log().find("lost the camera"), std::string::npos);
}

TEST_F(BridgeTest, ViewsTheCameraOnlyWhileAConsumerStreams) {
    const std::string viewing = "viewing the camera";
    EXPECT_EQ(sandbox_->bridge().log().find(viewing), std::string::npos)
        << "viewing the camera with no consumer";
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    ASSERT_TRUE(consumer->wait_frame([](const ReceivedFrame&) { return true; }, kTimeout));
    EXPECT_NE(sandbox_->bridge().log().find(viewing), std::string::npos);

    consumer->stop_capture();
    EXPECT_TRUE(waitUntil(
        [&] { return sandbox_->bridge().log().find("camera session closed") != std::string::npos; },
        kTimeout))
        << sandbox_->bridge().log();
}

}  // namespace
}  // namespace kova::pipewire::test
