// The measured producer and viewer, and the figures of a stretch of their tallies.
#include "MeasuredClients.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kova::soak {
namespace {

// How long a client waits before trying a camera that went away again.
constexpr auto kReconnectPause = std::chrono::milliseconds(20);
constexpr auto kViewerPoll = std::chrono::milliseconds(50);
constexpr std::uint64_t kStampTolerance = 1000;  // ns

bool cameraLost(const Error& error) {
    return error.code() == ErrorCode::Disconnected || error.code() == ErrorCode::NoCamera;
}

bool sinkLost(const Error& error) {
    return error.code() == ErrorCode::TakenOver || error.code() == ErrorCode::SinkBusy;
}

double milliseconds(std::uint64_t nanoseconds) {
    return double(nanoseconds) / 1e6;
}

// The value below which `share` of `values` lie (nearest rank); 0 for none.
std::uint64_t percentile(std::vector<std::uint64_t>& values, double share) {
    if (values.empty()) return 0;
    const auto rank = std::min(values.size() - 1, std::size_t(share * double(values.size())));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(rank), values.end());
    return values[rank];
}

}  // namespace

// ---- the producer ----

MarkedProducer::MarkedProducer(Options options) : options_(std::move(options)) {
    Producer producer = Producer::open(options_.connect);
    producer.set_frame_rate(options_.fps);
    tally_.atNs = host_time_now();
    thread_ =
        std::thread([this, producer = std::move(producer)]() mutable { run(std::move(producer)); });
}

MarkedProducer::~MarkedProducer() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

ProducerTally MarkedProducer::tally() const {
    std::lock_guard lock(mutex_);
    ProducerTally now = tally_;
    now.atNs = host_time_now();
    return now;
}

ProducerTally MarkedProducer::stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    return tally();
}

void MarkedProducer::fail(const std::string& why) {
    std::lock_guard lock(mutex_);
    tally_.failure = why;
}

void MarkedProducer::run(Producer producer) {
    std::uint64_t index = 0;
    bool connected = true;
    auto count = [&](auto change) {
        std::lock_guard lock(mutex_);
        change(tally_);
        // The library counts refusals and later drops together; the refusals are known here.
        tally_.droppedAfterAccept = producer.counters().dropped - tally_.refused;
    };
    while (!stopping_.load()) {
        try {
            if (!connected) {
                producer.reconnect();
                producer.set_frame_rate(options_.fps);
                connected = true;
                count([](ProducerTally& t) { ++t.reconnects; });
            }
            Producer::Frame frame = producer.acquire(std::chrono::seconds(1));
            producer.sleep_until_next_frame();
            Marker marker;
            marker.producerId = options_.id;
            marker.index = index++;
            marker.pushedNs = host_time_now();
            std::memcpy(frame.data(), &marker, sizeof marker);
            count([](ProducerTally& t) { ++t.submitted; });
            const bool accepted = bool(producer.submit(std::move(frame), marker.pushedNs));
            count([accepted](ProducerTally& t) { ++(accepted ? t.accepted : t.refused); });
        } catch (const Error& error) {
            if (error.code() == ErrorCode::Timeout) {
                count([](ProducerTally& t) { ++t.stalls; });
            } else if ((options_.reconnect && cameraLost(error)) ||
                       (options_.takeBack && sinkLost(error))) {
                if (connected) count([](ProducerTally& t) { ++t.disconnects; });
                connected = false;
                std::this_thread::sleep_for(kReconnectPause);
            } else {
                return fail(error.what());
            }
        }
    }
    if (!connected) return;
    try {
        producer.close();
        count([](ProducerTally&) {});
    } catch (const Error& error) {
        fail(std::string("closing: ") + error.what());
    }
}

// ---- the viewer ----

MeasuringViewer::MeasuringViewer(Options options) : options_(std::move(options)) {
    Viewer viewer = Viewer::open(options_.connect);
    tally_.atNs = host_time_now();
    thread_ = std::thread([this, viewer = std::move(viewer)]() mutable { run(std::move(viewer)); });
}

MeasuringViewer::~MeasuringViewer() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

ViewerTally MeasuringViewer::tally() const {
    std::lock_guard lock(mutex_);
    ViewerTally now = tally_;
    now.atNs = host_time_now();
    return now;
}

std::vector<std::uint64_t> MeasuringViewer::takeLatencies() {
    std::lock_guard lock(mutex_);
    return std::exchange(latencies_, {});
}

ViewerTally MeasuringViewer::stop(std::chrono::milliseconds quiet) {
    quietNs_.store(std::uint64_t(quiet.count()) * 1'000'000u);
    stopRequestedNs_.store(host_time_now());
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    return tally();
}

void MeasuringViewer::fail(const std::string& why) {
    std::lock_guard lock(mutex_);
    tally_.failure = why;
}

void MeasuringViewer::see(const Viewer::Frame& frame) {
    Marker marker;
    const bool large = frame.data() != nullptr && frame.stride() * frame.height() >= sizeof marker;
    if (large) std::memcpy(&marker, frame.data(), sizeof marker);
    const bool ours =
        large && marker.magic == Marker::kMagic && marker.producerId == options_.producerId;

    std::lock_guard lock(mutex_);
    ++tally_.frames;
    tally_.missed += frame.missed_before();
    const std::uint64_t expected = lastSequence_ + 1 + frame.missed_before();
    if (lastSequence_ != 0 && frame.sequence() > expected) {
        tally_.unaccounted += frame.sequence() - expected;
    } else if (lastSequence_ != 0 && frame.sequence() < expected) {
        ++tally_.outOfOrder;
    }
    lastSequence_ = frame.sequence();
    if (!ours) return;
    // The frame's pixels were written for its own push only if they carry its time (the relay
    // may round it by a nanosecond or so).
    const std::uint64_t stamped = frame.host_time_ns();
    if ((marker.pushedNs > stamped ? marker.pushedNs - stamped : stamped - marker.pushedNs) >
        kStampTolerance) {
        ++tally_.overwritten;
        return;
    }
    if (marker.index < lastIndex_) {
        ++tally_.outOfOrder;
        return;
    }
    lastIndex_ = marker.index + 1;
    ++tally_.marked;
    if (frame.received_ns() >= frame.host_time_ns()) {
        latencies_.push_back(frame.received_ns() - frame.host_time_ns());
    }
}

void MeasuringViewer::run(Viewer viewer) {
    bool connected = true;
    std::uint64_t lastMarkedNs = 0;
    std::uint64_t markedSeen = 0;
    for (;;) {
        if (stopping_.load()) {
            // Until nothing of the producer has come for the quiet time.
            const std::uint64_t since = std::max(stopRequestedNs_.load(), lastMarkedNs);
            if (host_time_now() >= since + quietNs_.load()) break;
        }
        try {
            if (!connected) {
                viewer.reconnect();
                connected = true;
                std::lock_guard lock(mutex_);
                ++tally_.reconnects;
                lastSequence_ = 0;
            }
            if (auto frame = viewer.next_frame(kViewerPoll)) {
                see(*frame);
                std::lock_guard lock(mutex_);
                if (tally_.marked != markedSeen) {
                    markedSeen = tally_.marked;
                    lastMarkedNs = host_time_now();
                }
            }
        } catch (const Error& error) {
            if (options_.reconnect && cameraLost(error)) {
                if (connected) {
                    std::lock_guard lock(mutex_);
                    ++tally_.disconnects;
                }
                connected = false;
                std::this_thread::sleep_for(kReconnectPause);
            } else {
                return fail(error.what());
            }
        }
    }
}

// ---- figures ----

Latencies summarize(std::vector<std::uint64_t> latencies) {
    Latencies summary;
    summary.p50Ms = milliseconds(percentile(latencies, 0.5));
    summary.p99Ms = milliseconds(percentile(latencies, 0.99));
    summary.maxMs =
        latencies.empty() ? 0 : milliseconds(*std::max_element(latencies.begin(), latencies.end()));
    return summary;
}

Figures figuresBetween(const ProducerTally& producerFrom, const ProducerTally& producerTo,
                       const ViewerTally& viewerFrom, const ViewerTally& viewerTo,
                       std::vector<std::uint64_t> latencies) {
    Figures figures;
    figures.seconds = double(producerTo.atNs - producerFrom.atNs) / 1e9;
    if (figures.seconds > 0) {
        figures.pushedFps = double(producerTo.accepted - producerFrom.accepted) / figures.seconds;
        figures.viewedFps = double(viewerTo.marked - viewerFrom.marked) / figures.seconds;
        figures.outputFps = double(viewerTo.frames - viewerFrom.frames) / figures.seconds;
    }
    figures.latency = summarize(std::move(latencies));
    figures.refused = producerTo.refused - producerFrom.refused;
    figures.missed = viewerTo.missed - viewerFrom.missed;
    figures.stalls = producerTo.stalls - producerFrom.stalls;
    return figures;
}

std::uint64_t framesLostUncounted(const ProducerTally& producer, const ViewerTally& viewer) {
    const std::uint64_t counted =
        viewer.marked + viewer.overwritten + viewer.missed + producer.droppedAfterAccept;
    return producer.accepted > counted ? producer.accepted - counted : 0;
}

}  // namespace kova::soak
