// End to end, the kova command: info --json, a push -> view -> raw round trip, a snapshot,
// and its error lines and exit statuses.
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "E2eSupport.h"
#include "base/UniqueFD.h"

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

// One line of kova view --json.
struct ViewLine {
    bool sink = false;
    std::uint64_t hostTimeNs = 0;
    std::uint64_t missed = 0;
};

std::optional<ViewLine> parseViewLine(const std::string& line) {
    unsigned long long sequence, hostTime, received, missed;
    char origin[16] = {};
    int end = 0;
    const int fields = std::sscanf(line.c_str(),
                                   "{\"seq\":%llu,\"hostTimeNs\":%llu,\"receivedNs\":%llu,"
                                   "\"origin\":\"%15[a-z]\",\"missed\":%llu}%n",
                                   &sequence, &hostTime, &received, origin, &missed, &end);
    const std::string kind = origin;
    if (fields != 5 || std::size_t(end) != line.size() ||
        (kind != "sink" && kind != "placeholder")) {
        return std::nullopt;
    }
    return ViewLine{kind == "sink", hostTime, missed};
}

std::vector<ViewLine> viewLines(const std::string& path) {
    std::ifstream file(path);
    std::vector<ViewLine> lines;
    for (std::string line; std::getline(file, line);) {
        const auto parsed = parseViewLine(line);
        EXPECT_TRUE(parsed) << "not a line of kova view --json: " << line;
        if (parsed) lines.push_back(*parsed);
    }
    return lines;
}

TEST(KovaCommand, PushedRawFramesComeOutOfViewByteForByte) {
    CameraProcess camera;
    const TempFolder& folder = camera.folder();
    constexpr int kFrames = 3;

    // kova push reads its frames from a pipe, so that it is connected and ready before the
    // viewer starts and the frames follow each other closely.
    const std::string fifo = folder.file("input.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Read-write, so that opening it blocks neither end.
    base::UniqueFD input(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(input);
    ChildProcess push =
        startKova({"push", "--input", "-"}, camera.socketPath(), folder.path(), "push", fifo);
    ASSERT_TRUE(waitUntil([&] { return camera.fdsNaming("/memfd:kova-frame") > 0; }, 10000ms))
        << "kova push did not register its buffers: " << readFile(push.stderrPath());

    ChildProcess view = startKova({"view", "--json", "--raw", folder.file("view.raw")},
                                  camera.socketPath(), folder.path(), "view");
    ASSERT_TRUE(waitUntil([&] { return !viewLines(view.stdoutPath()).empty(); }, 10000ms))
        << "kova view shows no frame: " << readFile(view.stderrPath());

    for (int k = 0; k < kFrames; ++k) {
        const auto frame = inputFrame(k);
        ASSERT_EQ(::write(input.get(), frame.data(), frame.size()), ssize_t(frame.size()));
    }
    input.reset();
    EXPECT_EQ(push.wait(), 0) << readFile(push.stderrPath());
    EXPECT_EQ(readFile(push.stdoutPath()), "pushed 3 frames, dropped 0\n");

    // Until the placeholder is back, which it is 0.5 s after the last pushed frame.
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto lines = viewLines(view.stdoutPath());
            const auto lastSink = std::find_if(lines.rbegin(), lines.rend(),
                                               [](const ViewLine& l) { return l.sink; });
            return lastSink != lines.rend() && !lines.back().sink &&
                   lines.back().hostTimeNs > lastSink->hostTimeNs + 400'000'000;
        },
        10000ms));
    // Stopped by a signal, kova view ends after the frame at hand.
    view.signal(SIGINT);
    EXPECT_EQ(view.wait(), 0) << readFile(view.stderrPath());

    // Line i of the JSON is frame i of the raw output; the pushed ones are the input's frames
    // in order, but for those the viewer was told it missed.
    const auto lines = viewLines(view.stdoutPath());
    const std::string raw = readFile(folder.file("view.raw"));
    ASSERT_EQ(raw.size(), lines.size() * kFrameBytes)
        << "one raw frame per line, rows without padding";
    int next = 0;              // the input frame expected next
    std::uint64_t missed = 0;  // frames missed from just before the first pushed one seen
    int seen = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (next > 0 || lines[i].sink) missed += lines[i].missed;
        if (!lines[i].sink) continue;
        int match = next;
        while (match < kFrames && std::memcmp(raw.data() + i * kFrameBytes,
                                              inputFrame(match).data(), kFrameBytes) != 0) {
            ++match;
        }
        ASSERT_LT(match, kFrames) << "frame " << i << " came from the sink but is no pushed frame"
                                  << " (or came out of order)";
        next = match + 1;
        ++seen;
    }
    EXPECT_EQ(next, kFrames) << "the last pushed frame never came out";
    EXPECT_GE(std::uint64_t(seen) + missed, std::uint64_t(kFrames)) << "frames went missing";
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
    // A push that has started prints its summary, also when it fails.
    const std::string nothingPushed = "pushed 0 frames, dropped 0\n";
    expectFailure(run({"push", "--input", folder.file("short.raw")}), 1,
                  "kova: short input: ", "a part of a frame", nothingPushed);
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

}  // namespace
}  // namespace kova::e2e
