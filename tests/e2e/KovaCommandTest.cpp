// End to end, the kova command: info --json, a snapshot, a still image, status --json with the
// clients' names and pids, one producer at a time, riding out a camera restart, and its error
// lines and exit statuses.
#include <png.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/harness/CameraProcess.h"

namespace kova::e2e {
namespace {

int linesIn(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

// A command that failed the way it should: this status and one line on stderr that begins
// with `start`, followed by a usage line when the arguments were refused.
void expectFailure(const CommandResult& result, int status, const std::string& start,
                   const std::string& what, const std::string& out = "") {
    EXPECT_EQ(result.status, status) << what << ": " << result.err;
    EXPECT_EQ(result.err.rfind(start, 0), 0u) << what << ": " << result.err;
    const bool refused = status == 2;
    EXPECT_EQ(linesIn(result.err), refused ? 2 : 1) << what << ": " << result.err;
    if (refused) {
        EXPECT_NE(result.err.find("\nUsage: kova"), std::string::npos)
            << what << ": " << result.err;
    }
    EXPECT_EQ(result.out, out) << what;
}

TEST(KovaCommand, InfoJsonReportsWhatTheCameraPublishes) {
    CameraProcess camera;
    const auto result = runKova({"info", "--json"}, camera.socketPath(), camera.folder().path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "{\"provider\":{\"manufacturer\":\"Lantern Works\"},"
              "\"device\":{\"name\":\"Kova\","
              "\"identifier\":\"6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4\","
              "\"legacyIdentifier\":\"6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4\","
              "\"model\":\"Kova\",\"transportType\":\"virt\",\"transportTypeCode\":1986622068},"
              "\"streams\":["
              "{\"name\":\"Kova Video\",\"direction\":\"source\","
              "\"format\":{\"fourcc\":\"BGRA\",\"width\":800,\"height\":960},"
              "\"frameDuration\":{\"value\":100,\"timescale\":5983},\"activeFormatIndex\":0},"
              "{\"name\":\"Kova Sink\",\"direction\":\"sink\","
              "\"format\":{\"fourcc\":\"BGRA\",\"width\":800,\"height\":960},"
              "\"frameDuration\":{\"value\":100,\"timescale\":5983},\"activeFormatIndex\":0,"
              "\"sinkBufferQueueSize\":8,\"sinkBuffersRequiredForStartup\":1}]}\n");
    EXPECT_TRUE(result.err.empty()) << result.err;
}

TEST(KovaCommand, SnapshotWritesThePlaceholderAsAPng) {
    CameraProcess camera;
    const std::string path = camera.folder().file("snapshot.png");
    const auto result = runKova({"snapshot", path}, camera.socketPath(), camera.folder().path());
    ASSERT_EQ(result.status, 0) << result.err;

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
    EXPECT_EQ(image.width, kFrameWidth);
    EXPECT_EQ(image.height, kFrameHeight);
    image.format = PNG_FORMAT_BGRA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0)
        << image.message;
    ASSERT_EQ(pixels.size(), kFrameBytes);
    EXPECT_EQ(firstRowUnlikePlaceholder(pixels.data(), kFrameStride), std::nullopt);
}

TEST(KovaCommand, FailuresAreOneLineOnStderrWithAStatus) {
    CameraProcess camera;
    const TempFolder& folder = camera.folder();
    const std::string socket = camera.socketPath();
    auto run = [&](const std::vector<std::string>& arguments,
                   const std::string& input = "/dev/null") {
        return runKova(arguments, socket, folder.path(), input);
    };

    const std::string nowhere = folder.file("nobody.sock");
    const auto noCamera = runKova({"info"}, nowhere, folder.path());
    expectFailure(noCamera, 1,
                  "kova: no camera running (no kova-camera is serving " + nowhere + ")",
                  "no camera");
    EXPECT_NE(noCamera.err.find("systemctl --user start kova-camera.socket"), std::string::npos)
        << noCamera.err;

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {},
             {"frob"},
             {"push", "--fps", "0"},
             {"push", "--pattern", "stripes"},
             {"push", "--pattern", "bars", "--input", "-"},
             {"view", "--timeout", "nan"},
             {"view", "--raw", "-", "--json"},
             {"snapshot"},
         }) {
        std::string words;
        for (const auto& word : arguments) words += word + " ";
        expectFailure(run(arguments), 2, "kova: bad arguments: ", words);
    }

    {
        std::ofstream shortInput(folder.file("short.raw"), std::ios::binary);
        shortInput << std::string(1000, 'x');
    }
    // A push that has started prints its summary, also when it fails.
    const std::string nothingPushed = "pushed 0 frames, dropped 0\n";
    expectFailure(run({"push", "--input", "-", "--count", "2"}, folder.file("short.raw")), 1,
                  "kova: short input: ", "a part of a frame on stdin", nothingPushed);
    expectFailure(run({"push", "--input", "-"}), 1, "kova: short input: ", "nothing on stdin",
                  nothingPushed);

    // A camera that refuses says why: here, it serves no more clients.
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (std::uint32_t i = 0; i < wire::kMaxClients; ++i) {
        crowd.push_back(std::make_unique<RawClient>(socket));
        ASSERT_TRUE(crowd.back()->hello(wire::Role::Info));
    }
    const auto refused = run({"info"});
    expectFailure(refused, 1, "kova: kova-camera refused", "too many clients");
    EXPECT_NE(refused.err.find("at most 32 clients"), std::string::npos) << refused.err;
}

// Who holds the sink and who views is named by what the camera read of each peer: the program
// and its pid.
TEST(KovaCommand, StatusNamesThePushAndViewAndASecondPushIsRefusedNamingTheHolder) {
    CameraProcess camera;
    const std::string folder = camera.folder().path();
    ChildProcess push = startKova({"push", "--pattern", "counter", "--fps", "30"},
                                  camera.socketPath(), folder, "push");
    ChildProcess view = startKova({"view"}, camera.socketPath(), folder, "view");
    nlohmann::json status;
    // Once the producer has pushed for more than a second and the viewer has seen frames.
    ASSERT_TRUE(waitUntil([&] {
        const auto result = runKova({"status", "--json"}, camera.socketPath(), folder);
        if (result.status != 0) return false;
        status = nlohmann::json::parse(result.out);
        return status["producer"].is_object() && status["producer"]["pushed"] > 40 &&
               status["viewers"]["count"] == 1 && status["viewers"]["list"][0]["frames"] > 40;
    }));
    EXPECT_EQ(status["socket"], camera.socketPath());
    EXPECT_EQ(status["camera"]["pid"], camera.pid());
    EXPECT_EQ(status["output"], "relayed");
    EXPECT_EQ(status["producer"]["name"], "kova");
    EXPECT_EQ(status["producer"]["pid"], push.pid());
    EXPECT_GE(status["producer"]["fps"], 25);
    EXPECT_LE(status["producer"]["fps"], 35);
    EXPECT_EQ(status["viewers"]["list"][0]["name"], "kova");
    EXPECT_EQ(status["viewers"]["list"][0]["pid"], view.pid());
    EXPECT_EQ(status["sinceStart"]["sinkSessions"], 1);
    EXPECT_GE(status["sinceStart"]["framesPushed"], status["producer"]["pushed"]);

    const auto refused = runKova({"push", "--count", "3"}, camera.socketPath(), folder);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("held by \"kova\" (pid " + std::to_string(push.pid()) + ")"),
              std::string::npos)
        << refused.err;
    ProducerOptions takeOver;
    takeOver.take_over = true;
    Producer producer = Producer::open(camera.options(), takeOver);
    EXPECT_EQ(push.wait(), 1);
    EXPECT_NE(
        push.log().find("taken over by \"e2e_test\" (pid " + std::to_string(::getpid()) + ")"),
        std::string::npos)
        << push.log();
    EXPECT_EQ(readFile(push.stdoutPath()).rfind("pushed ", 0), 0u);
    view.signal(SIGINT);
    EXPECT_EQ(view.wait(), 0);
}

TEST(KovaCommand, PushAndViewRideOutACameraCrashUnlessToldNotTo) {
    CameraProcess camera;
    const std::string folder = camera.folder().path();
    ChildProcess push = startKova({"push", "--fps", "30"}, camera.socketPath(), folder, "push");
    ChildProcess view = startKova({"view", "--json"}, camera.socketPath(), folder, "view");
    auto sinkLines = [&] {
        const std::string out = readFile(view.stdoutPath());
        std::size_t count = 0;
        for (std::size_t at = 0; (at = out.find("\"sink\"", at)) != std::string::npos; ++at) {
            ++count;
        }
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return sinkLines() > 10; }));
    camera.restart(SIGKILL);
    const std::size_t before = sinkLines();
    // Both found the new camera: its frames reach the viewer again, relayed from the producer.
    EXPECT_TRUE(waitUntil([&] { return sinkLines() > before + 10; }, 10000ms));
    push.signal(SIGINT);
    view.signal(SIGINT);
    EXPECT_EQ(push.wait(), 0);
    EXPECT_EQ(view.wait(), 0);
    EXPECT_NE(push.log().find("kova-camera went away"), std::string::npos) << push.log();
    EXPECT_NE(view.log().find("kova-camera is back"), std::string::npos) << view.log();
    EXPECT_EQ(readFile(push.stdoutPath()).rfind("pushed ", 0), 0u);

    // --no-reconnect ends instead, with the summary.
    ChildProcess once = startKova({"push", "--no-reconnect"}, camera.socketPath(), folder, "once");
    ASSERT_TRUE(waitUntil([&] { return query_status(camera.options()).producer.has_value(); }));
    camera.restart();
    EXPECT_EQ(once.wait(), 1);
    EXPECT_EQ(readFile(once.stdoutPath()).rfind("pushed ", 0), 0u);
}

// A PNG of `width` x `height` opaque red pixels.
void writeRedPng(const std::string& path, std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint32_t> pixels(std::size_t(width) * height, 0xFFFF0000u);  // ARGB words
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_BGRA;  // B, G, R, A in memory: the words above, little-endian
    ASSERT_NE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr), 0)
        << image.message;
}

TEST(KovaCommand, AStillImageStaysUpFittedWithoutPlaceholderAtOneFramePerSecond) {
    CameraProcess camera;
    const std::string png = camera.folder().file("still.png");
    writeRedPng(png, 100, 50);  // fitted: 800 x 400, centred, black above and below
    Viewer viewer = Viewer::open(camera.options());
    ChildProcess push = startKova({"push", "--image", png, "--fps", "1"}, camera.socketPath(),
                                  camera.folder().path(), "still");
    // From the still's first frame on, for 2 s, no placeholder comes between its repeats.
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> firstStill;
    int stills = 0;
    while (!firstStill || std::chrono::steady_clock::now() < *firstStill + 2s) {
        ASSERT_TRUE(firstStill || std::chrono::steady_clock::now() < start + 5s) << push.log();
        const auto frame = viewer.next_frame(1000ms);
        ASSERT_TRUE(frame);
        if (frame->origin() != Viewer::Origin::Sink) {
            ASSERT_FALSE(firstStill) << "a placeholder came while the still was up";
            continue;
        }
        if (!firstStill) firstStill = std::chrono::steady_clock::now();
        ++stills;
        // The scaler may round a full channel down by a step or two.
        const std::uint8_t* middle = frame->data() + 480 * frame->stride() + 400 * 4;
        const std::uint8_t* top = frame->data() + 10 * frame->stride() + 400 * 4;
        EXPECT_TRUE(middle[0] == 0 && middle[1] == 0 && middle[2] >= 250 && middle[3] == 0xFF);
        EXPECT_TRUE(top[0] == 0 && top[1] == 0 && top[2] == 0 && top[3] == 0xFF);
    }
    EXPECT_GT(stills, 40);
    push.signal(SIGINT);
    EXPECT_EQ(push.wait(), 0);
}

}  // namespace
}  // namespace kova::e2e
