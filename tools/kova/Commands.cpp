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

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

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
double timeoutSeconds(const Arguments& arguments) {
    const auto text = arguments.value("--timeout");
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

void noPositional(const Arguments& arguments) {
    if (!arguments.positional().empty()) {
        throw UsageError("unexpected argument \"" + arguments.positional().front() + "\"");
    }
}

// ---- info ----

void printInfoJson(const CameraInfo& info) {
    std::string out = "{\"provider\":{\"manufacturer\":" + jsonString(info.manufacturer) + "}";
    out += ",\"device\":{\"name\":" + jsonString(info.device_name) +
           ",\"identifier\":" + jsonString(info.device_id) +
           ",\"legacyIdentifier\":" + jsonString(info.legacy_device_id) +
           ",\"model\":" + jsonString(info.model) +
           ",\"transportType\":" + jsonString(fourcc_text(info.transport_type)) +
           ",\"transportTypeCode\":" + std::to_string(info.transport_type) + "}";
    out += ",\"streams\":[";
    for (std::size_t i = 0; i < info.streams.size(); ++i) {
        const auto& stream = info.streams[i];
        if (i > 0) out += ',';
        out += "{\"name\":" + jsonString(stream.name) +
               ",\"direction\":" + jsonString(stream.direction) +
               ",\"format\":{\"fourcc\":" + jsonString(stream.fourcc) +
               ",\"width\":" + std::to_string(stream.width) +
               ",\"height\":" + std::to_string(stream.height) + "}" +
               ",\"frameDuration\":{\"value\":" + std::to_string(stream.frame_duration_value) +
               ",\"timescale\":" + std::to_string(stream.frame_duration_timescale) + "}" +
               ",\"activeFormatIndex\":" + std::to_string(stream.active_format_index);
        if (stream.sink_buffer_queue_size) {
            out += ",\"sinkBufferQueueSize\":" + std::to_string(*stream.sink_buffer_queue_size);
        }
        if (stream.sink_buffers_required_for_startup) {
            out += ",\"sinkBuffersRequiredForStartup\":" +
                   std::to_string(*stream.sink_buffers_required_for_startup);
        }
        out += '}';
    }
    out += "]}";
    std::printf("%s\n", out.c_str());
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

void runInfo(const Words& words) {
    const Arguments arguments(words, {}, {"--json"});
    noPositional(arguments);
    const CameraInfo info = query_info();
    if (arguments.flag("--json")) {
        printInfoJson(info);
    } else {
        printInfoText(info);
    }
}

void runPush(const Words& words) {
    const Arguments arguments(words, {"--pattern", "--input", "--count", "--fps"}, {});
    noPositional(arguments);
    const auto patternName = arguments.value("--pattern");
    const auto input = arguments.value("--input");
    if (patternName && input) throw UsageError("--pattern and --input exclude each other");
    const auto pattern = patternNamed(patternName.value_or("bars"));
    if (!pattern) {
        throw UsageError("--pattern wants bars, gradient or counter, not \"" + *patternName + "\"");
    }
    const auto countText = arguments.value("--count");
    // Without --count, for ever. (Not an optional: g++ 12 takes its test for uninitialised.)
    const std::uint64_t count = countText ? parseCount("--count", *countText) : UINT64_MAX;
    const auto fpsText = arguments.value("--fps");
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

void runView(const Words& words) {
    const Arguments arguments(words, {"--count", "--timeout", "--raw"}, {"--json"});
    noPositional(arguments);
    const auto countText = arguments.value("--count");
    // Without --count, for ever. (Not an optional: g++ 12 takes its test for uninitialised.)
    const std::uint64_t count = countText ? parseCount("--count", *countText) : UINT64_MAX;
    const double timeout = timeoutSeconds(arguments);
    const auto raw = arguments.value("--raw");
    const bool json = arguments.flag("--json");
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
    for (std::uint64_t seen = 0; seen < count; ++seen) {
        if (stopRequested.load()) break;
        auto frame = viewer.next_frame(toMilliseconds(timeout));
        // Each new reason once: a buffer that cannot be mapped loses every frame sent in it.
        if (viewer.frames_unusable() != 0 && viewer.last_unusable_reason() != toldUnusable) {
            toldUnusable = viewer.last_unusable_reason();
            std::fprintf(stderr, "kova: a frame was lost (%s)\n", toldUnusable.c_str());
        }
        if (!frame) throw noFrameWithin(timeout);
        if (rawFd >= 0) {
            const std::size_t rowBytes = frame->width() * 4;
            for (std::size_t row = 0; row < frame->height(); ++row) {
                writeFully(rawFd, frame->data() + row * frame->stride(), rowBytes, rawName);
            }
        }
        const char* origin = frame->origin() == Viewer::Origin::Sink ? "sink" : "placeholder";
        if (json) {
            std::printf(
                "{\"seq\":%llu,\"hostTimeNs\":%llu,\"receivedNs\":%llu,\"origin\":\"%s\","
                "\"missed\":%llu}\n",
                (unsigned long long)frame->sequence(), (unsigned long long)frame->host_time_ns(),
                (unsigned long long)frame->received_ns(), origin,
                (unsigned long long)frame->missed_before());
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

void runSnapshot(const Words& words) {
    const Arguments arguments(words, {"--timeout"}, {});
    if (arguments.positional().size() != 1) throw UsageError("snapshot wants one FILE.png");
    const std::string& path = arguments.positional().front();
    const double timeout = timeoutSeconds(arguments);

    Viewer viewer = Viewer::open();
    const auto frame = viewer.next_frame(toMilliseconds(timeout));
    if (!frame) throw noFrameWithin(timeout);
    const std::string failure =
        writePng(path, frame->data(), frame->width(), frame->height(), frame->stride());
    if (!failure.empty()) throw CommandFailure(failure);
}

}  // namespace kova::tool
