// Fault test support: the clients that must not notice a fault (a measured producer and viewer
// standing by), and what the camera holds before and after one.
//
// Threading: used from the test's thread; the bystanders run threads of their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "E2eSupport.h"
#include "MeasuredClients.h"

namespace kova::faults {

using namespace std::chrono_literals;

// The rate the bystanding producer pushes at, as a video call's camera would.
inline constexpr double kBystanderFps = 60;
// "Full rate": the share of kBystanderFps that must be pushed and seen during a fault (a few
// seconds). Below 1 only for the scheduling of a machine running other tests beside these, and
// lower in sanitizer builds, where a thread that is late by a few frames is common. A camera
// that stops serving anyone drops far below it; refusals and waits for a buffer are checked
// apart, and must be none.
#if defined(KOVA_FAULTS_SANITIZED)
inline constexpr double kFullRateShare = 0.8;
#else
inline constexpr double kFullRateShare = 0.9;
#endif

// A producer pushing marked frames at kBystanderFps and a viewer measuring them.
class Bystanders {
  public:
    // With `reconnect`, both reconnect when the camera goes away, as a video call would. A
    // producer that takes the sink over from the bystanding one has it back once it lets go.
    explicit Bystanders(const ConnectOptions& options, bool reconnect = false);

    // Waits until the viewer gets the producer's frames; false if it did not within 10 s.
    bool flowing();
    // Starts a stretch of time to judge, e.g. while a fault lasts.
    void startStretch();
    // The figures since startStretch().
    soak::Figures stretch();
    // What the viewer must get at full rate.
    enum class Viewed {
        Producers,  // the bystanding producer's frames
        Output,     // the camera's output: another producer has taken the sink over
    };
    // Expects the stretch since startStretch() to show both at full rate: the camera took
    // every push, at kFullRateShare of the rate or more, and the viewer got them (or, while
    // another producer holds the sink, as many frames of the output). A stretch shorter than a
    // second is waited out to one first: over less, one frame early or late moves the rate by
    // more than the share allows.
    soak::Figures expectFullRate(const std::string& during, Viewed viewed = Viewed::Producers);

    soak::ProducerTally producerTally() const { return producer_.tally(); }
    soak::ViewerTally viewerTally() const { return viewer_.tally(); }
    // Stops both and expects that neither failed; with `accountable`, also that every frame the
    // camera took was seen or counted (not when the camera itself was killed in between).
    void stopAndExpectAllCounted(bool accountable = true);

  private:
    soak::MeasuringViewer viewer_;
    soak::MarkedProducer producer_;
    soak::ProducerTally producerFrom_;
    soak::ViewerTally viewerFrom_;
    std::chrono::steady_clock::time_point stretchFrom_;
    bool stopped_ = false;
};

// What the camera process holds that a client could make it hold.
struct CameraState {
    std::size_t fds = 0;             // open fds besides its own buffer pool
    std::size_t clientMemory = 0;    // fds of client memory among them
    std::size_t clientMappings = 0;  // mappings of client memory
    std::uint64_t heapKiB = 0;       // RssAnon
};
std::ostream& operator<<(std::ostream& out, const CameraState& state);

// Of the camera process `pid`.
CameraState stateOf(pid_t pid);
// Waits until the camera holds what it held in `before` again: the same fds, the same client
// memory, and no more heap than a little slack above it. Returns the state it came back to.
// `grownBuffers` more of a producer's buffers (and their fds) may be held: a producer's pool grows
// while viewers hold its frames, and keeps what it grew.
CameraState expectCameraBackTo(pid_t pid, const CameraState& before, std::size_t grownBuffers = 0);

// Prints a test's figures, for docs/reliability.md.
void reportFigures(const std::string& test, const soak::Figures& figures, const CameraState& before,
                   const CameraState& after);

}  // namespace kova::faults
