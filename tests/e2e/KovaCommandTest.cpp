// End to end, the kova command: info --json, a push -> view -> raw round trip, a snapshot,
// and its error lines and exit statuses.
#include <png.h>
#include <signal.h>

#include <cstring>
#include <fstream>

#include "E2eSupport.h"

namespace kova::e2e {
namespace {

int linesIn(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

// A command that failed the way it should: this status and one line on stderr that begins
// with `start`.
void expectFailure(const CommandResult& result, int status, const std::string& start,
                   const std::string& what) {
    EXPECT_EQ(result.status, status) << what << ": " << result.err;
    EXPECT_EQ(result.err.rfind(start, 0), 0u) << what << ": " << result.err;
    EXPECT_EQ(linesIn(result.err), 1) << what << ": " << result.err;
    EXPECT_TRUE(result.out.empty()) << what << ": " << result.out;
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

// Frame k of a test input: bytes that differ at every offset and from frame to frame.
std::vector<std::uint8_t> inputFrame(int k) {
    std::vector<std::uint8_t> frame(kFrameBytes);
    std::uint32_t state = 2463534242u + std::uint32_t(k) * 7919u;
    for (auto& byte : frame) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = std::uint8_t(state);
    }
    return frame;
}

TEST(KovaCommand, PushedRawFramesComeOutOfViewByteForByte) {
    CameraProcess camera;
    const TempFolder& folder = camera.folder();
    constexpr int kFrames = 3;
    {
        std::ofstream input(folder.file("input.raw"), std::ios::binary);
        for (int k = 0; k < kFrames; ++k) {
            const auto frame = inputFrame(k);
            input.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
        }
    }
    const ChildProcess view = startKova({"view", "--json", "--raw", folder.file("view.raw")},
                                        camera.socketPath(), folder.path(), "view");
    ASSERT_TRUE(waitUntil([&] { return linesIn(readFile(view.stdoutPath)) > 0; }, 10000ms))
        << "kova view shows no frame: " << readFile(view.stderrPath);

    const auto pushed =
        runKova({"push", "--input", folder.file("input.raw")}, camera.socketPath(), folder.path());
    EXPECT_EQ(pushed.status, 0) << pushed.err;
    EXPECT_EQ(pushed.out, "pushed 3 frames, dropped 0\n");

    auto sinkLines = [&] {
        const std::string out = readFile(view.stdoutPath);
        int count = 0;
        for (std::size_t at = out.find("\"sink\""); at != std::string::npos;
             at = out.find("\"sink\"", at + 1)) {
            ++count;
        }
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return sinkLines() >= kFrames; }, 10000ms));
    // Stopped by a signal, kova view ends after the frame at hand.
    ASSERT_EQ(::kill(view.pid, SIGINT), 0);
    EXPECT_EQ(waitForExit(view.pid), 0) << readFile(view.stderrPath);

    std::ifstream lines(view.stdoutPath);
    const std::string raw = readFile(folder.file("view.raw"));
    std::size_t index = 0;
    int sinkSeen = 0;
    for (std::string line; std::getline(lines, line); ++index) {
        EXPECT_EQ(line.rfind("{\"seq\":", 0), 0u) << line;
        EXPECT_NE(line.find("\"hostTimeNs\":"), std::string::npos) << line;
        EXPECT_NE(line.find("\"receivedNs\":"), std::string::npos) << line;
        EXPECT_NE(line.find("\"missed\":"), std::string::npos) << line;
        if (line.find("\"origin\":\"sink\"") == std::string::npos) {
            EXPECT_NE(line.find("\"origin\":\"placeholder\""), std::string::npos) << line;
            continue;
        }
        ASSERT_LT(sinkSeen, kFrames) << "more pushed frames came out than went in";
        ASSERT_LE((index + 1) * kFrameBytes, raw.size()) << "the raw output is short";
        const auto expected = inputFrame(sinkSeen);
        EXPECT_EQ(std::memcmp(raw.data() + index * kFrameBytes, expected.data(), kFrameBytes), 0)
            << "pushed frame " << sinkSeen << " came out changed";
        ++sinkSeen;
    }
    EXPECT_EQ(sinkSeen, kFrames);
    EXPECT_EQ(raw.size(), index * kFrameBytes) << "one raw frame per line, rows without padding";
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
    expectFailure(runKova({"info"}, nowhere, folder.path()), 1,
                  "kova: no camera running (no kova-camera is serving " + nowhere + ")",
                  "no camera");

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {},
             {"frob"},
             {"push", "--fps", "0"},
             {"push", "--pattern", "stripes"},
             {"push", "--count", "-3"},
             {"push", "--pattern", "bars", "--input", "-"},
             {"view", "--count", "x"},
             {"view", "--timeout", "nan"},
             {"view", "--raw", "-", "--json"},
             {"info", "--verbose"},
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
    expectFailure(run({"push", "--input", folder.file("short.raw")}), 1,
                  "kova: short input: ", "a part of a frame");
    expectFailure(run({"push", "--input", "-", "--count", "2"}, folder.file("short.raw")), 1,
                  "kova: short input: ", "a part of a frame on stdin");
    expectFailure(run({"push", "--input", "-"}), 1, "kova: short input: ", "nothing on stdin");

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

}  // namespace
}  // namespace kova::e2e
