// Measured clients: a producer that pushes frames stamped with a marker at a steady rate, and a
// viewer that recognises them and measures how many arrive and how late, each on a thread of its
// own, both counting everything that happens to them.
//
// Threading: each client runs its session on its own thread. tally(), takeLatencies() and stop()
// may be called from any one other thread; they read the counts under the client's mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kova/kova.h"

namespace kova::soak {

// What a measured producer writes at the start of every frame it pushes.
struct Marker {
    static constexpr std::uint64_t kMagic = 0x4b41534f4b41564bull;  // "KVAKOSAK"
    std::uint64_t magic = kMagic;
    std::uint64_t producerId = 0;
    std::uint64_t index = 0;     // 0, 1, 2, ... over the producer's whole life
    std::uint64_t pushedNs = 0;  // the frame's presentation time on the host clock
};

// What a producer did up to the moment `atNs`.
struct ProducerTally {
    std::uint64_t atNs = 0;
    std::uint64_t submitted = 0;           // pushes sent
    std::uint64_t accepted = 0;            // pushes the camera took
    std::uint64_t refused = 0;             // pushes the camera refused
    std::uint64_t droppedAfterAccept = 0;  // taken, then given back unrelayed
    std::uint64_t stalls = 0;              // waits of a second for a buffer that did not come
    std::uint64_t disconnects = 0;         // sessions the camera ended under it
    std::uint64_t reconnects = 0;          // sessions opened again after one
    std::string failure;                   // the error that ended its thread, if any
};

class MarkedProducer {
  public:
    struct Options {
        ConnectOptions connect;
        std::uint64_t id = 1;
        double fps = 60;
        // Reconnects when the camera goes away instead of ending with the error.
        bool reconnect = false;
        // When another producer takes the sink over, asks for it back until it is free again
        // instead of ending with the error.
        bool takeBack = false;
    };

    // Opens the session on the calling thread (so that a camera that refuses it throws here),
    // then pushes on its own thread.
    explicit MarkedProducer(Options options);
    ~MarkedProducer();
    MarkedProducer(const MarkedProducer&) = delete;
    MarkedProducer& operator=(const MarkedProducer&) = delete;

    ProducerTally tally() const;
    // Stops pushing and ends the session, so that every frame the camera took is back and
    // counted; the final tally.
    ProducerTally stop();

  private:
    void run(Producer producer);
    void fail(const std::string& why);

    const Options options_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    ProducerTally tally_;  // guarded by mutex_
    std::thread thread_;
};

// What a viewer saw up to the moment `atNs`.
struct ViewerTally {
    std::uint64_t atNs = 0;
    std::uint64_t frames = 0;       // every frame received
    std::uint64_t marked = 0;       // frames of the watched producer
    std::uint64_t missed = 0;       // frames the camera reported this viewer missed
    std::uint64_t unaccounted = 0;  // frames whose sequence skipped more than `missed` says
    std::uint64_t outOfOrder = 0;   // marked frames that came again or before an earlier one
    // Marked frames that held a later push's pixels by the time they were read: the camera takes
    // a frame back from a viewer once kViewerFramesInFlight newer ones have gone out.
    std::uint64_t overwritten = 0;
    std::uint64_t disconnects = 0;
    std::uint64_t reconnects = 0;
    std::string failure;
};

class MeasuringViewer {
  public:
    struct Options {
        ConnectOptions connect;
        std::uint64_t producerId = 1;  // whose marked frames it measures
        bool reconnect = false;
    };

    // Opens the session on the calling thread, then reads on its own.
    explicit MeasuringViewer(Options options);
    ~MeasuringViewer();
    MeasuringViewer(const MeasuringViewer&) = delete;
    MeasuringViewer& operator=(const MeasuringViewer&) = delete;

    ViewerTally tally() const;
    // End-to-end latencies (receive time minus the frame's time, in ns) of the marked frames
    // received since the last call.
    std::vector<std::uint64_t> takeLatencies();
    // Reads until no marked frame has come for `quiet`, then ends the session; the final tally.
    ViewerTally stop(std::chrono::milliseconds quiet = std::chrono::milliseconds(300));

  private:
    void run(Viewer viewer);
    void see(const Viewer::Frame& frame);
    void fail(const std::string& why);

    const Options options_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> quietNs_{0};
    std::atomic<std::uint64_t> stopRequestedNs_{0};
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    ViewerTally tally_;
    std::vector<std::uint64_t> latencies_;
    std::uint64_t lastSequence_ = 0;  // of this session; 0 before its first frame
    std::uint64_t lastIndex_ = 0;     // of the last marked frame, plus one
    std::thread thread_;
};

struct Latencies {
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
};
Latencies summarize(std::vector<std::uint64_t> latencies);

// A stretch of time between two tallies of a producer and its viewer.
struct Figures {
    double seconds = 0;
    double pushedFps = 0;  // pushes the camera took, per second
    double viewedFps = 0;  // marked frames the viewer got, per second
    double outputFps = 0;  // frames of any producer, or the placeholder, the viewer got
    Latencies latency;
    std::uint64_t refused = 0;
    std::uint64_t missed = 0;
    std::uint64_t stalls = 0;
};

Figures figuresBetween(const ProducerTally& producerFrom, const ProducerTally& producerTo,
                       const ViewerTally& viewerFrom, const ViewerTally& viewerTo,
                       std::vector<std::uint64_t> latencies);

// Frames the camera took from the producer that the viewer neither got nor was told it missed,
// and that the producer was not told were dropped: 0 when nothing went uncounted. For final
// tallies of a producer and a viewer that watched it from before its first push.
std::uint64_t framesLostUncounted(const ProducerTally& producer, const ViewerTally& viewer);

}  // namespace kova::soak
