// The README's pipelines, run by gst-launch-1.0 with the plugin from the build tree against a
// real kova-camera: a test pattern into Kova, Kova into a PNG file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/harness/CameraProcess.h"

namespace kova::gst::test {
namespace {

using namespace std::chrono_literals;
using e2e::CameraProcess;

// gst-launch-1.0 with `pipeline` split into its words, the plugin found in the build tree and
// GStreamer's registry kept in the test's folder.
e2e::ChildProcess launch(const CameraProcess& camera, const std::string& pipeline,
                         const std::string& tag) {
    ::setenv("GST_PLUGIN_PATH", KOVA_GST_PLUGIN_FOLDER, 1);
    ::setenv("GST_REGISTRY", camera.folder().file("registry.bin").c_str(), 1);
    std::vector<std::string> words;
    std::istringstream split(pipeline);
    for (std::string word; split >> word;) words.push_back(word);
    return e2e::spawn("/usr/bin/gst-launch-1.0", words, camera.socketPath(), camera.folder().path(),
                      tag);
}

// Frames pushed by a producer that the camera relayed to a viewer within `timeout`.
std::size_t relayedFramesSeen(Viewer& viewer, std::chrono::milliseconds timeout) {
    std::size_t relayed = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && relayed < 5) {
        const auto frame = viewer.next_frame(200ms);
        if (frame && frame->origin() == Viewer::Origin::Sink) ++relayed;
    }
    return relayed;
}

// The plugin loads from the build tree, negotiates through videoconvert and videoscale both
// ways, and each pipeline ends by itself.
TEST(GstLaunchTest, ATestPatternGoesIntoKovaAndKovaIntoAPngFile) {
    CameraProcess camera;
    Viewer viewer = Viewer::open(camera.options());
    auto pushing = launch(
        camera, "-q videotestsrc num-buffers=30 ! videoconvert ! videoscale ! kovasink", "push");
    EXPECT_GT(relayedFramesSeen(viewer, 10s), 0u) << e2e::readFile(pushing.stderrPath());
    EXPECT_EQ(pushing.wait(), 0) << e2e::readFile(pushing.stderrPath());

    const std::string png = camera.folder().file("f.png");
    auto snapshot = launch(
        camera, "-q kovasrc ! videoconvert ! pngenc snapshot=true ! filesink location=" + png,
        "snapshot");
    ASSERT_EQ(snapshot.wait(), 0) << e2e::readFile(snapshot.stderrPath());
    // The signature, then the IHDR chunk: width and height, big-endian.
    const std::string bytes = e2e::readFile(png);
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    const auto word = [&](std::size_t at) {
        return (std::uint32_t(std::uint8_t(bytes[at])) << 24) |
               (std::uint32_t(std::uint8_t(bytes[at + 1])) << 16) |
               (std::uint32_t(std::uint8_t(bytes[at + 2])) << 8) | std::uint8_t(bytes[at + 3]);
    };
    EXPECT_EQ(word(16), kFrameWidth);
    EXPECT_EQ(word(20), kFrameHeight);
}

}  // namespace
}  // namespace kova::gst::test
