// The README's pipelines, run by gst-launch-1.0 with the plugin from the build tree against a
// real kova-camera: a test pattern into Kova, Kova into a PNG file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "tests/harness/CameraProcess.h"

namespace kova::gst::test {
namespace {

using namespace std::chrono_literals;

// The plugin loads from the build tree, negotiates through videoconvert and videoscale both
// ways, and each pipeline ends by itself.
TEST(GstLaunchTest, ATestPatternGoesIntoKovaAndKovaIntoAPngFile) {
    e2e::CameraProcess camera;
    ::setenv("GST_PLUGIN_PATH", KOVA_GST_PLUGIN_FOLDER, 1);
    ::setenv("GST_REGISTRY", camera.folder().file("registry.bin").c_str(), 1);
    const auto launch = [&](const std::string& pipeline, const std::string& tag) {
        std::vector<std::string> words;
        std::istringstream split(pipeline);
        for (std::string word; split >> word;) words.push_back(word);
        return e2e::spawn("/usr/bin/gst-launch-1.0", words, camera.socketPath(),
                          camera.folder().path(), tag);
    };
    Viewer viewer = Viewer::open(camera.options());
    auto pushing =
        launch("-q videotestsrc num-buffers=30 ! videoconvert ! videoscale ! kovasink", "push");
    bool relayed = false;
    for (int i = 0; i < 50 && !relayed; ++i) {
        const auto frame = viewer.next_frame(200ms);
        relayed = frame && frame->origin() == Viewer::Origin::Sink;
    }
    EXPECT_TRUE(relayed) << "no frame pushed by gst-launch-1.0 came through\n" << pushing.log();
    EXPECT_EQ(pushing.wait(), 0) << pushing.log();

    const std::string png = camera.folder().file("f.png");
    auto snapshot = launch(
        "-q kovasrc ! videoconvert ! pngenc snapshot=true ! filesink location=" + png, "snapshot");
    ASSERT_EQ(snapshot.wait(), 0) << snapshot.log();
    // The signature, then the IHDR chunk: 800 wide, 960 high, big-endian.
    const std::string bytes = e2e::readFile(png);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    EXPECT_EQ(bytes.substr(16, 8), std::string("\0\0\x03\x20\0\0\x03\xC0", 8));
}

}  // namespace
}  // namespace kova::gst::test
