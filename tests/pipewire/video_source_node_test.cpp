// Tests of the PipeWire node fed with generated frames, seen through a real consumer of a private
// PipeWire daemon.
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>
#include <time.h>

#include <condition_variable>
#include <mutex>

#include "Sandbox.h"
#include "TestConsumer.h"
#include "VideoSourceNode.h"

namespace kova::pipewire {
namespace {

using namespace std::chrono_literals;
using test::Sandbox;
using test::TestConsumer;
using test::VideoFormat;

constexpr std::uint32_t kWidth = 800;
constexpr std::uint32_t kHeight = 960;
constexpr auto kTimeout = 10s;

std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// The node under test on a loop thread of its own, as the bridge runs it on its main loop.
class NodeHost {
  public:
    explicit NodeHost(const std::string& remote) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("kova-node-under-test", nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(
            context_, pw_properties_new(PW_KEY_REMOTE_NAME, remote.c_str(), nullptr), 0);
        if (core_ != nullptr) {
            node_ = VideoSourceNode::create(core_, {"kova", "Kova", {kWidth, kHeight}, {5983, 100}},
                                            [this](bool streaming) {
                                                {
                                                    std::lock_guard lock(mutex_);
                                                    streaming_ = streaming;
                                                    ++transitions_;
                                                }
                                                changed_.notify_all();
                                            });
        }
        pw_thread_loop_unlock(loop_);
    }
    ~NodeHost() {
        pw_thread_loop_lock(loop_);
        node_.reset();
        if (core_ != nullptr) pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }

    bool connected() const { return node_ != nullptr; }
    VideoSourceNode::Publish publish(const FrameView& frame) {
        pw_thread_loop_lock(loop_);
        const auto result = node_->publish(frame);
        pw_thread_loop_unlock(loop_);
        return result;
    }
    VideoSourceNode::Counters counters() {
        pw_thread_loop_lock(loop_);
        const auto counters = node_->counters();
        pw_thread_loop_unlock(loop_);
        return counters;
    }
    bool wait_streaming(bool streaming) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kTimeout, [&] { return streaming_ == streaming; });
    }

  private:
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::unique_ptr<VideoSourceNode> node_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool streaming_ = false;
    int transitions_ = 0;
};

// A BGRA picture whose every byte depends on its position, in rows padded past the width.
struct TestPicture {
    static constexpr std::size_t kStride = kWidth * 4 + 128;
    explicit TestPicture(std::uint8_t seed) : pixels(kStride * kHeight) {
        for (std::size_t y = 0; y < kHeight; ++y) {
            for (std::size_t i = 0; i < kStride; ++i) {
                pixels[y * kStride + i] = static_cast<std::uint8_t>(seed + y * 7 + i * 13);
            }
        }
    }
    std::vector<std::uint8_t> packed() const {
        std::vector<std::uint8_t> out;
        for (std::size_t y = 0; y < kHeight; ++y) {
            out.insert(out.end(), pixels.begin() + y * kStride,
                       pixels.begin() + y * kStride + kWidth * 4);
        }
        return out;
    }
    FrameView view(std::uint64_t sequence, std::uint64_t host_time_ns) const {
        return {pixels.data(), kStride, kWidth, kHeight, host_time_ns, sequence};
    }
    std::vector<std::uint8_t> pixels;
};

class VideoSourceNodeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { sandbox_ = Sandbox::create().release(); }
    static void TearDownTestSuite() {
        delete sandbox_;
        sandbox_ = nullptr;
    }
    void SetUp() override {
        node_ = std::make_unique<NodeHost>(sandbox_->remote());
        ASSERT_TRUE(node_->connected()) << "see " << sandbox_->dir();
    }
    // Starts a consumer of `format` and waits until both ends stream.
    std::unique_ptr<TestConsumer> consumer(std::uint32_t format) {
        auto consumer = TestConsumer::connect(sandbox_->remote());
        consumer->capture("kova", format, kWidth, kHeight);
        EXPECT_TRUE(consumer->wait_streaming(kTimeout));
        EXPECT_TRUE(node_->wait_streaming(true));
        return consumer;
    }

    static Sandbox* sandbox_;
    std::unique_ptr<NodeHost> node_;
};
Sandbox* VideoSourceNodeTest::sandbox_ = nullptr;

TEST_F(VideoSourceNodeTest, IsListedAsACameraOfferingEveryLayoutSizeAndCommonRate) {
    auto watcher = TestConsumer::connect(sandbox_->remote());
    const auto node = watcher->find_node("kova", kTimeout);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->properties.at(PW_KEY_MEDIA_CLASS), "Video/Source");
    EXPECT_EQ(node->properties.at(PW_KEY_MEDIA_ROLE), "Camera");
    EXPECT_EQ(node->properties.at(PW_KEY_NODE_DESCRIPTION), "Kova");
    ASSERT_FALSE(node->offered.empty());
    // Preferred: the frames as they come, for one copy each.
    EXPECT_EQ(node->offered.front(),
              (VideoFormat{SPA_VIDEO_FORMAT_BGRA, kWidth, kHeight, 5983, 100}));
    const auto offers = [&](VideoFormat wanted) {
        return std::find(node->offered.begin(), node->offered.end(), wanted) != node->offered.end();
    };
    for (std::uint32_t format :
         {SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_YUY2,
          SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_I420}) {
        for (auto [width, height] :
             {std::pair{kWidth, kHeight}, std::pair{1920u, 1080u}, std::pair{1280u, 720u},
              std::pair{640u, 480u}, std::pair{640u, 360u}}) {
            for (auto [num, denom] : {std::pair{5983u, 100u}, std::pair{60u, 1u},
                                      std::pair{59u, 1u}, std::pair{30u, 1u}}) {
                EXPECT_TRUE(offers({format, width, height, num, denom}))
                    << format << " " << width << "x" << height << " " << num << "/" << denom;
            }
        }
    }
}

TEST_F(VideoSourceNodeTest, HoldsNoFramesUntilAConsumerStreams) {
    const TestPicture picture(1);
    EXPECT_EQ(node_->publish(picture.view(1, monotonic_ns())),
              VideoSourceNode::Publish::NotStreaming);
    EXPECT_EQ(node_->counters().sent, 0u);
}

TEST_F(VideoSourceNodeTest, BgraConsumerGetsTheExactPixelsStampedWithTheHostTime) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    EXPECT_EQ(consumer->negotiated(),
              (VideoFormat{SPA_VIDEO_FORMAT_BGRA, kWidth, kHeight, 5983, 100}));

    const TestPicture picture(42);
    const std::uint64_t host_time = monotonic_ns();
    ASSERT_EQ(node_->publish(picture.view(7, host_time)), VideoSourceNode::Publish::Sent);
    const auto frame = consumer->wait_frame([](const auto& f) { return f.seq == 7; }, kTimeout,
                                            /*include_kept=*/true);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->pts, static_cast<std::int64_t>(host_time));
    EXPECT_EQ(frame->stride, kWidth * 4);
    EXPECT_TRUE(frame->pixels == picture.packed()) << "pixels differ";
    const auto counters = node_->counters();
    EXPECT_EQ(counters.sent, 1u);
    EXPECT_EQ(counters.copied, 1u);
    EXPECT_EQ(counters.converted, 0u);
}

TEST_F(VideoSourceNodeTest, Yuy2ConsumerGetsOneConversionPerFrame) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_YUY2);
    // The placeholder's background colour, whose YUY2 is 40, 128, 40, 127 (chroma rounded down).
    std::vector<std::uint8_t> grey(kWidth * 4 * kHeight);
    for (std::size_t i = 0; i < grey.size(); i += 4) {
        grey[i] = 0x1E;
        grey[i + 1] = 0x1C;
        grey[i + 2] = 0x1C;
        grey[i + 3] = 0xFF;
    }
    const FrameView view{grey.data(), kWidth * 4, kWidth, kHeight, monotonic_ns(), 3};
    ASSERT_EQ(node_->publish(view), VideoSourceNode::Publish::Sent);
    const auto frame =
        consumer->wait_frame([](const auto& f) { return f.seq == 3; }, kTimeout, true);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->stride, kWidth * 2);
    ASSERT_EQ(frame->pixels.size(), std::size_t{kWidth} * 2 * kHeight);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < frame->pixels.size(); i += 4) {
        const std::array<std::uint8_t, 4> yuyv = {frame->pixels[i], frame->pixels[i + 1],
                                                  frame->pixels[i + 2], frame->pixels[i + 3]};
        wrong += yuyv != std::array<std::uint8_t, 4>{40, 128, 40, 127};
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(node_->counters().converted, 1u);
    EXPECT_EQ(node_->counters().copied, 0u);
}

TEST_F(VideoSourceNodeTest, EveryConsumerSharesTheOneCopyOfEachFrame) {
    auto first = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    auto second = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    const TestPicture picture(9);
    // Both streams report streaming before the session manager has finished linking the second
    // to the node; on a loaded machine a frame published in between reaches only the first.
    // Frames count once one has reached both.
    const auto reachesBoth = [&](std::uint64_t seq) {
        if (node_->publish(picture.view(seq, monotonic_ns())) != VideoSourceNode::Publish::Sent) {
            return false;
        }
        const auto match = [seq](const auto& f) { return f.seq == seq; };
        return first->wait_frame(match, 500ms, true).has_value() &&
               second->wait_frame(match, 500ms, true).has_value();
    };
    std::uint64_t linking = 1;
    while (linking < 20 && !reachesBoth(linking)) ++linking;
    ASSERT_LT(linking, 20u) << "no frame reached both consumers";
    const auto before = node_->counters();

    // From then on a frame goes out on each publish; both consumers must see every one.
    for (std::uint64_t seq = 100; seq < 105; ++seq) {
        ASSERT_EQ(node_->publish(picture.view(seq, monotonic_ns())),
                  VideoSourceNode::Publish::Sent);
        for (auto* consumer : {first.get(), second.get()}) {
            const auto frame =
                consumer->wait_frame([seq](const auto& f) { return f.seq == seq; }, kTimeout, true);
            ASSERT_TRUE(frame.has_value()) << "frame " << seq;
            EXPECT_TRUE(frame->pixels == picture.packed());
        }
    }
    const auto counters = node_->counters();
    EXPECT_EQ(counters.sent - before.sent, 5u);
    EXPECT_EQ(counters.copied - before.copied, 5u);
    EXPECT_EQ(counters.dropped - before.dropped, 0u);
}

TEST_F(VideoSourceNodeTest, StopsStreamingWhenTheLastConsumerLeaves) {
    auto consumer = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    consumer->stop_capture();
    EXPECT_TRUE(node_->wait_streaming(false));
    const TestPicture picture(5);
    EXPECT_EQ(node_->publish(picture.view(1, monotonic_ns())),
              VideoSourceNode::Publish::NotStreaming);
}

TEST_F(VideoSourceNodeTest, ARequestItCannotMeetFailsWithAnError) {
    // The session manager may not know the node yet when a test's node has just been made
    // ("no node available"); that says nothing about negotiation, so the request is made again.
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
    EXPECT_FALSE(consumer->wait_streaming(0ms));
    // Other consumers are not disturbed.
    auto other = this->consumer(SPA_VIDEO_FORMAT_BGRA);
    EXPECT_TRUE(other->negotiated().has_value());
}

TEST_F(VideoSourceNodeTest, RefusesFramesOfAnotherSize) {
    std::vector<std::uint8_t> small(640 * 4 * 480);
    const FrameView view{small.data(), 640 * 4, 640, 480, monotonic_ns(), 1};
    EXPECT_EQ(node_->publish(view), VideoSourceNode::Publish::WrongSize);
    const FrameView narrow_stride{small.data(), 100, kWidth, kHeight, monotonic_ns(), 1};
    EXPECT_EQ(node_->publish(narrow_stride), VideoSourceNode::Publish::WrongSize);
    EXPECT_EQ(node_->counters().dropped, 2u);
}

}  // namespace
}  // namespace kova::pipewire
