// Commands: info, push, view and snapshot over libkova-client.
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
#include <nlohmann/json.hpp>
#include <optional>

#include "Arguments.h"
#include "Patterns.h"
#include "Png.h"
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

void runPush(const PushOptions& options) {
    const auto& patternName = options.pattern;
    const auto& input = options.input;
    if (patternName && input) throw UsageError("--pattern and --input exclude each other");
    const auto pattern = patternNamed(patternName.value_or("bars"));
    if (!pattern) {
        throw UsageError("--pattern wants bars, gradient or counter, not \"" + *patternName + "\"");
    }
    const auto& countText = options.count;
    // Without --count, for ever. (Not an optional: g++ 12 takes its test for uninitialised.)
    const std::uint64_t count = countText ? parseCount("--count", *countText) : UINT64_MAX;
    const auto& fpsText = options.fps;
    const std::optional<double> fps =
        fpsText ? std::optional(parsePositive("--fps", *fpsText, kMaxFps)) : std::nullopt;

    const bool fromStdin = input && *input == "-";
    const OwnedFd inputFile(input && !fromStdin ? ::open(input->c_str(), O_RDONLY | O_CLOEXEC)
                                                : -1);
    if (input && !fromStdin && inputFile.get() < 0) {
        throw CommandFailure(failureText(("cannot open " + *input).c_str(), errno));
    }
    const int inputFd = fromStdin ? STDIN_FILENO : inputFile.get();
    const std::string inputName = fromStdin ? "standard input" : input.value_or("");

    Producer producer = Producer::open();
    if (fps) producer.set_frame_rate(*fps);
    for (std::uint64_t index = 0; index < count; ++index) {
        if (stopRequested.load()) break;
        Producer::Frame frame = producer.acquire();
        if (inputFd >= 0) {
            const std::size_t got = readFully(inputFd, frame.data(), kFrameBytes, inputName);
            if (got == 0 && !countText && index > 0) break;
            if (got < kFrameBytes) {
                throw CommandFailure("short input: frame " + std::to_string(index + 1) + " of " +
                                     inputName + " has " + std::to_string(got) + " of its " +
                                     std::to_string(kFrameBytes) + " bytes");
            }
        } else {
            paintPattern(*pattern, index, frame.data(), frame.stride());
        }
        producer.sleep_until_next_frame();
        producer.push(std::move(frame));
    }
    producer.close();
    const auto counters = producer.counters();
    std::printf("pushed %llu frames, dropped %llu\n", (unsigned long long)counters.sent,
                (unsigned long long)counters.dropped);
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
    for (std::uint64_t seen = 0; seen < count; ++seen) {
        if (stopRequested.load()) break;
        auto frame = viewer.next_frame(toMilliseconds(timeout));
        if (!frame) throw noFrameWithin(timeout);
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
    const double timeout = timeoutSeconds(options.timeout);

    Viewer viewer = Viewer::open();
    // A frame held past the camera's hold limit while the machine is very busy may change as
    // it is written: such a picture is written again from a later frame.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        const auto frame = viewer.next_frame(toMilliseconds(timeout));
        if (!frame) throw noFrameWithin(timeout);
        const std::string failure =
            writePng(path, frame->data(), frame->width(), frame->height(), frame->stride());
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

}  // namespace kova::tool
