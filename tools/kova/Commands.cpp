// Commands: info, status, push, view and snapshot over libkova-client.
#include "Commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "Arguments.h"
#include "Image.h"
#include "Patterns.h"
#include "StatusText.h"
#include "kova/kova.h"

namespace kova::tool {
namespace {

std::atomic<bool> stopRequested{false};

// An open file, closed when it goes.
class OwnedFd {
  public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

extern "C" void requestStop(int) {
    stopRequested.store(true);
}

constexpr double kMaxFps = 1000;
constexpr double kMaxTimeoutSeconds = 3600;
constexpr double kDefaultTimeoutSeconds = 5;

std::string failureText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// Reads up to `size` bytes, stopping early only at the end of the input.
std::size_t readFully(int fd, std::uint8_t* into, std::size_t size, const std::string& name) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, into + done, size - done);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw CommandFailure(failureText(("cannot read " + name).c_str(), errno));
        }
        done += std::size_t(got);
    }
    return done;
}

void writeFully(int fd, const std::uint8_t* from, std::size_t size, const std::string& name) {
    while (size > 0) {
        const ssize_t put = ::write(fd, from, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw CommandFailure(failureText(("cannot write " + name).c_str(), errno));
        }
        from += put;
        size -= std::size_t(put);
    }
}

// How long to wait for a frame: --timeout in seconds.
double timeoutSeconds(const std::optional<std::string>& text) {
    return text ? parsePositive("--timeout", *text, kMaxTimeoutSeconds) : kDefaultTimeoutSeconds;
}

std::chrono::milliseconds toMilliseconds(double seconds) {
    return std::chrono::milliseconds(std::max<long long>(1, (long long)(seconds * 1000)));
}

CommandFailure noFrameWithin(double seconds) {
    char text[96];
    std::snprintf(text, sizeof text, "no frame came from the camera within %g s", seconds);
    return CommandFailure(text);
}

// ---- info ----

void printInfoJson(const CameraInfo& info) {
    nlohmann::ordered_json streams = nlohmann::ordered_json::array();
    for (const auto& stream : info.streams) {
        nlohmann::ordered_json entry = {
            {"name", stream.name},
            {"direction", stream.direction},
            {"format",
             {{"fourcc", stream.fourcc}, {"width", stream.width}, {"height", stream.height}}},
            {"frameDuration",
             {{"value", stream.frame_duration_value},
              {"timescale", stream.frame_duration_timescale}}},
            {"activeFormatIndex", stream.active_format_index}};
        if (stream.sink_buffer_queue_size) {
            entry["sinkBufferQueueSize"] = *stream.sink_buffer_queue_size;
        }
        if (stream.sink_buffers_required_for_startup) {
            entry["sinkBuffersRequiredForStartup"] = *stream.sink_buffers_required_for_startup;
        }
        streams.push_back(std::move(entry));
    }
    const nlohmann::ordered_json out = {{"provider", {{"manufacturer", info.manufacturer}}},
                                        {"device",
                                         {{"name", info.device_name},
                                          {"identifier", info.device_id},
                                          {"legacyIdentifier", info.legacy_device_id},
                                          {"model", info.model},
                                          {"transportType", fourcc_text(info.transport_type)},
                                          {"transportTypeCode", info.transport_type}}},
                                        {"streams", std::move(streams)}};
    // A name that is not UTF-8 is shown with U+FFFD where it breaks, never refused.
    std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void printInfoText(const CameraInfo& info) {
    std::printf("provider\n  manufacturer: %s\n", info.manufacturer.c_str());
    std::printf(
        "device\n  name: %s\n  identifier: %s\n  legacy identifier: %s\n  model: %s\n"
        "  transport type: '%s' (%u)\n",
        info.device_name.c_str(), info.device_id.c_str(), info.legacy_device_id.c_str(),
        info.model.c_str(), fourcc_text(info.transport_type).c_str(), info.transport_type);
    for (const auto& stream : info.streams) {
        const double fps =
            stream.frame_duration_value > 0
                ? double(stream.frame_duration_timescale) / double(stream.frame_duration_value)
                : 0;
        std::printf(
            "stream \"%s\"\n  direction: %s\n  format: %s %ux%u\n"
            "  frame duration: %lld/%d s (%.2f frames a second)\n"
            "  active format index: %lld\n",
            stream.name.c_str(), stream.direction.c_str(), stream.fourcc.c_str(), stream.width,
            stream.height, (long long)stream.frame_duration_value, stream.frame_duration_timescale,
            fps, (long long)stream.active_format_index);
        if (stream.sink_buffer_queue_size) {
            std::printf("  queue size: %lld\n", (long long)*stream.sink_buffer_queue_size);
        }
        if (stream.sink_buffers_required_for_startup) {
            std::printf("  buffers required for start-up: %lld\n",
                        (long long)*stream.sink_buffers_required_for_startup);
        }
    }
}

}  // namespace

void stopOnSignals() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void runInfo(const InfoOptions& options) {
    const CameraInfo info = query_info();
    if (options.json) {
        printInfoJson(info);
    } else {
        printInfoText(info);
    }
}

namespace {

// Below this rate the camera's placeholder would show between frames: the still is kept up.
constexpr double kPlaceholderRate = 2;
constexpr auto kReconnectPause = std::chrono::milliseconds(200);

bool cameraGone(const Error& error) {
    return error.code() == ErrorCode::Disconnected;
}

// Waits until `reconnect` succeeds, saying so on one line each way. False when stopped first.
bool rideOutRestart(const std::function<void()>& reconnect) {
    std::fprintf(stderr, "kova: kova-camera went away; waiting for it to come back\n");
    while (!stopRequested.load()) {
        try {
            reconnect();
            std::fprintf(stderr, "kova: kova-camera is back; going on\n");
            return true;
        } catch (const Error& error) {
            const auto code = error.code();
            if (code != ErrorCode::NoCamera && code != ErrorCode::Disconnected &&
                code != ErrorCode::Timeout) {
                throw;
            }
        }
        for (int i = 0; i < 5 && !stopRequested.load(); ++i) {
            std::this_thread::sleep_for(kReconnectPause / 5);
        }
    }
    return false;
}

// What a push takes its frames from.
struct FrameSource {
    std::optional<Pattern> pattern;
    std::vector<std::uint8_t> still;
    int fd = -1;
    std::string name;
    bool loop = false;
};

void printPushSummary(const Producer& producer) {
    const auto counters = producer.counters();
    std::printf("pushed %llu frames, dropped %llu",
                (unsigned long long)(counters.sent - counters.repeated),
                (unsigned long long)counters.dropped);
    if (counters.repeated > 0) {
        std::printf("; the still was pushed again %llu times to keep it up",
                    (unsigned long long)counters.repeated);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// Fills `frame` with frame `index` of the source; false at the end of a finite input.
bool fillFrame(FrameSource& source, std::uint64_t index, bool countGiven, Producer::Frame& frame) {
    if (!source.still.empty()) {
        std::memcpy(frame.data(), source.still.data(), kFrameBytes);
        return true;
    }
    if (source.pattern) {
        paintPattern(*source.pattern, index, frame.data(), frame.stride());
        return true;
    }
    std::size_t got = readFully(source.fd, frame.data(), kFrameBytes, source.name);
    if (got == 0 && source.loop && index > 0) {
        if (::lseek(source.fd, 0, SEEK_SET) < 0) {
            throw CommandFailure(failureText(("cannot rewind " + source.name).c_str(), errno));
        }
        got = readFully(source.fd, frame.data(), kFrameBytes, source.name);
    }
    if (got == 0 && !countGiven && index > 0) return false;
    if (got < kFrameBytes) {
        throw CommandFailure("short input: frame " + std::to_string(index + 1) + " of " +
                             source.name + " has " + std::to_string(got) + " of its " +
                             std::to_string(kFrameBytes) + " bytes" +
                             (source.loop || got != 0 ? "" : " (--loop repeats the input)"));
    }
    return true;
}

}  // namespace

void runPush(const PushOptions& options) {
    const auto& patternName = options.pattern;
    const auto& input = options.input;
    const auto& image = options.image;
    if (int(bool(patternName)) + int(bool(input)) + int(bool(image)) > 1) {
        throw UsageError("--pattern, --input and --image exclude each other");
    }
    if (options.loop && !input) throw UsageError("--loop repeats an --input file");
    if (options.loop && *input == "-") {
        throw UsageError("--loop cannot repeat standard input; name a file");
    }
    FrameSource source;
    if (!input && !image) {
        source.pattern = patternNamed(patternName.value_or("bars"));
        if (!source.pattern) {
            throw UsageError("--pattern wants bars, gradient or counter, not \"" + *patternName +
                             "\"");
        }
    }
    const auto& countText = options.count;
    // Without --count, for ever. (Not an optional: g++ 12 takes its test for uninitialised.)
    const std::uint64_t count = countText ? parseCount("--count", *countText) : UINT64_MAX;
    const auto& fpsText = options.fps;
    // 0: the stream's rate. (Not an optional: g++ 12 takes its test for uninitialised.)
    const double fps = fpsText ? parsePositive("--fps", *fpsText, kMaxFps) : 0;

    if (image) {
        source.still = fitStill(readWholeFile(*image), *image == "-" ? "standard input" : *image,
                                kFrameWidth, kFrameHeight);
    }
    const bool fromStdin = input && *input == "-";
    const OwnedFd inputFile(input && !fromStdin ? ::open(input->c_str(), O_RDONLY | O_CLOEXEC)
                                                : -1);
    if (input && !fromStdin && inputFile.get() < 0) {
        throw CommandFailure(failureText(("cannot open " + *input).c_str(), errno));
    }
    source.fd = fromStdin ? STDIN_FILENO : inputFile.get();
    source.name = fromStdin ? "standard input" : input.value_or("");
    source.loop = options.loop;

    ProducerOptions producerOptions;
    producerOptions.take_over = options.takeOver;
    std::optional<Producer> opened;
    try {
        opened.emplace(Producer::open({}, producerOptions));
    } catch (const Error& error) {
        if (error.code() != ErrorCode::SinkBusy) throw;
        throw CommandFailure(std::string(error.what()) +
                             "; kova push --take-over ends its session");
    }
    Producer& producer = *opened;
    if (fps > 0) producer.set_frame_rate(fps);
    producer.keep_still(image || (fps > 0 && fps < kPlaceholderRate));
    try {
        for (std::uint64_t index = 0; index < count && !stopRequested.load();) {
            try {
                Producer::Frame frame = producer.acquire();
                if (!fillFrame(source, index, bool(countText), frame)) break;
                producer.sleep_until_next_frame();
                producer.push(std::move(frame));
                ++index;
            } catch (const Error& error) {
                if (!cameraGone(error) || options.noReconnect) throw;
                if (!rideOutRestart([&] { producer.reconnect(); })) break;
            }
        }
        try {
            producer.close();
        } catch (const Error& error) {
            // Gone at the very end: nothing was left to stop.
            if (!cameraGone(error)) throw;
        }
    } catch (...) {
        printPushSummary(producer);
        throw;
    }
    printPushSummary(producer);
}

void runView(const ViewOptions& options) {
    const auto& countText = options.count;
    // Without --count, for ever. (Not an optional: g++ 12 takes its test for uninitialised.)
    const std::uint64_t count = countText ? parseCount("--count", *countText) : UINT64_MAX;
    const double timeout = timeoutSeconds(options.timeout);
    const auto& raw = options.raw;
    const bool json = options.json;
    const bool rawToStdout = raw && *raw == "-";
    if (rawToStdout && json) throw UsageError("--raw - and --json would both write to stdout");

    const OwnedFd rawFile(raw && !rawToStdout
                              ? ::open(raw->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                              : -1);
    if (raw && !rawToStdout && rawFile.get() < 0) {
        throw CommandFailure(failureText(("cannot create " + *raw).c_str(), errno));
    }
    const int rawFd = rawToStdout ? STDOUT_FILENO : rawFile.get();
    const std::string rawName = rawToStdout ? "standard output" : raw.value_or("");

    Viewer viewer = Viewer::open();
    std::string toldUnusable;
    for (std::uint64_t seen = 0; seen < count && !stopRequested.load();) {
        std::optional<Viewer::Frame> frame;
        try {
            frame = viewer.next_frame(toMilliseconds(timeout));
        } catch (const Error& error) {
            if (!cameraGone(error) || options.noReconnect) throw;
            if (!rideOutRestart([&] { viewer.reconnect(); })) break;
            continue;
        }
        // Each new reason once: a buffer that cannot be mapped loses every frame sent in it.
        if (viewer.frames_unusable() != 0 && viewer.last_unusable_reason() != toldUnusable) {
            toldUnusable = viewer.last_unusable_reason();
            std::fprintf(stderr, "kova: a frame was lost (%s)\n", toldUnusable.c_str());
        }
        if (!frame) throw noFrameWithin(timeout);
        ++seen;
        if (rawFd >= 0) {
            const std::size_t rowBytes = frame->width() * 4;
            for (std::size_t row = 0; row < frame->height(); ++row) {
                writeFully(rawFd, frame->data() + row * frame->stride(), rowBytes, rawName);
            }
        }
        const char* origin = frame->origin() == Viewer::Origin::Sink ? "sink" : "placeholder";
        if (json) {
            const nlohmann::ordered_json line = {{"seq", frame->sequence()},
                                                 {"hostTimeNs", frame->host_time_ns()},
                                                 {"receivedNs", frame->received_ns()},
                                                 {"origin", origin},
                                                 {"missed", frame->missed_before()}};
            std::printf("%s\n", line.dump().c_str());
        } else if (!rawToStdout) {
            const double latencyMs =
                (double(frame->received_ns()) - double(frame->host_time_ns())) / 1e6;
            std::printf("frame %llu  %-11s  latency %.3f ms  missed %llu\n",
                        (unsigned long long)frame->sequence(), origin, latencyMs,
                        (unsigned long long)frame->missed_before());
        }
        // A reader at the other end of a pipe sees each frame as it comes.
        std::fflush(stdout);
    }
}

void runSnapshot(const SnapshotOptions& options) {
    const std::string& path = options.path;
    const auto format = pictureFormatOf(path);
    if (!format) {
        throw UsageError(
            "FILE must end in .png, .jpg or .jpeg, or be - for a PNG on stdout, not \"" + path +
            "\"");
    }
    const double timeout = timeoutSeconds(options.timeout);

    Viewer viewer = Viewer::open();
    // A frame held past the camera's hold limit while the machine is very busy may change as
    // it is written: such a picture is written again from a later frame.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        const auto frame = viewer.next_frame(toMilliseconds(timeout));
        if (!frame) throw noFrameWithin(timeout);
        const std::string failure = writePicture(path, *format, frame->data(), frame->width(),
                                                 frame->height(), frame->stride());
        if (!failure.empty()) throw CommandFailure(failure);
        if (frame->intact()) return;
        if (attempt == kAttempts) {
            throw CommandFailure(
                "every frame changed while it was written; the camera's hold "
                "limit is " +
                std::to_string(viewer.hold_limit().count()) + " ms");
        }
    }
}

void runStatus(const StatusOptions& options) {
    const bool redraw = options.watch && !options.json && ::isatty(STDOUT_FILENO) == 1;
    do {
        if (redraw) std::printf("\x1b[H\x1b[2J");
        try {
            const CameraStatus status = query_status();
            if (options.json) {
                std::printf("%s\n",
                            statusJson(status)
                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                                .c_str());
            } else {
                printStatusText(status);
            }
        } catch (const Error& error) {
            // Watching goes on through a camera restart.
            if (!options.watch ||
                (error.code() != ErrorCode::NoCamera && error.code() != ErrorCode::Disconnected)) {
                throw;
            }
            std::printf(options.json ? "null\n" : "no camera running\n");
        }
        std::fflush(stdout);
        for (int i = 0; options.watch && i < 10 && !stopRequested.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } while (options.watch && !stopRequested.load());
}

}  // namespace kova::tool
