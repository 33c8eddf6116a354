// ViewerFanOut: hands every frame sent on the output stream to every viewer, in the same shared
// memory, without the camera ever waiting for a viewer.
//
// A frame a viewer holds keeps its memory from going back to its owner, so its pixels do not
// change, for the hold limit. A frame is taken back (let go, so that its owner may write into it)
// only when the viewer has held it longer than that, or when its producer has every buffer it may
// register in use and the viewer holds more than its fair share of them. Each viewer has a small
// shared area of frame states: the word of a frame's slot holds its token while it is intact and
// is cleared before the frame is let go, so the viewer can tell after reading whether it read a
// frame that held still. A taken-back token stays out until the viewer releases it and counts
// towards its limit all the while. A viewer releases a frame by message, or by writing its token
// in the area, which is read before every frame sent and whenever a producer wants its buffers:
// a release then costs neither end a wake-up.
//
// Threading: every member may be called from any thread: frames come from the placeholder queue
// and from the relay on the run loop at the same time. One mutex guards the viewers. Messages to
// a viewer are sent under it and never block (MSG_DONTWAIT), so they keep their order, and a
// viewer whose socket is full misses that frame while everyone else gets it. Frames a viewer
// gives back, or that are taken back from it, are let go outside the lock, since letting go of a
// client's buffer posts its return.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "base/MemFd.h"
#include "host/media/CMSampleBuffer.h"
#include "protocol/Wire.h"

namespace kova::engine {

class ViewerFanOut {
  public:
    // `now` is the host clock in nanoseconds, which the hold limit is measured on.
    explicit ViewerFanOut(std::function<std::uint64_t()> now,
                          std::uint64_t holdLimitNs = std::uint64_t{wire::kViewerHoldLimitMs} *
                                                      1'000'000);

    // Adds a viewer and sends it ViewStarted, with its frame states, before any frame. Returns
    // 0, or -errno (the states could not be made, or the send failed): the viewer is not added.
    int add(std::uint64_t viewerId, std::shared_ptr<const wire::Connection> connection);
    // Takes a viewer out; its unreleased frames count as released. False if it was not in.
    bool remove(std::uint64_t viewerId);
    // The viewer is done with the frame `token`. False when it holds no frame with that token.
    bool release(std::uint64_t viewerId, std::uint64_t token);
    // Lets go of every frame that its viewer has released in its frame states.
    void collectReleases();
    // Gives the frame to every viewer that can take it now; the others miss it, and are told
    // how many they missed with the next frame they do get.
    void send(const CMSampleBufferRef& sampleBuffer, std::uint64_t hostTimeNanoseconds);
    // The memory with this key is gone: every viewer that was sent it is told to forget it.
    void forget(std::uint64_t bufferKey);
    // The producer `ownerId` has no free buffer and may register no more: each viewer that holds
    // more than kViewerFairShare of its frames has its newest ones beyond that taken back; frames
    // held past the hold limit are taken back too.
    void reclaim(std::uint64_t ownerId);
    // Frames taken back from viewers so far.
    std::uint64_t takenBackCount() const;

    // Output frames and what became of them, for the camera's status.
    struct ViewerTally {
        std::uint64_t sent = 0;
        std::uint64_t missed = 0;
    };
    struct Tally {
        std::uint64_t relayed = 0;      // frames sent that a producer pushed
        std::uint64_t placeholder = 0;  // frames sent that were the placeholder
        std::uint64_t missed = 0;       // frames missed, every viewer since the start
        std::optional<wire::FrameOrigin> lastOrigin;
        std::map<std::uint64_t, ViewerTally> viewers;  // by viewer id
    };
    Tally tally() const;

    std::size_t viewerCount() const;
    // Frames sent on the output stream so far: the sequence of the last one.
    std::uint64_t lastSequence() const;

  private:
    // A frame out with a viewer; its sample buffer is null once taken back.
    struct Held {
        std::uint64_t sentNs = 0;
        std::uint32_t slot = 0;
        std::uint64_t ownerId = 0;
        CMSampleBufferRef sampleBuffer;
    };
    struct Viewer {
        std::shared_ptr<const wire::Connection> connection;
        base::WritableMemory frameStates;  // wire::FrameStates
        std::uint64_t nextToken = 1;
        std::map<std::uint64_t, Held> unreleased;  // by token, so oldest first
        std::set<std::uint64_t> knownKeys;         // buffers whose fd it was sent
        std::vector<std::uint64_t> untoldGone;     // BufferGone messages its socket had no room for
        std::uint32_t missed = 0;                  // since the last frame it got
        ViewerTally tally;
    };

    void deliver(Viewer& viewer, wire::Frame frame, const CMSampleBufferRef& sampleBuffer, int fd,
                 std::uint64_t ownerId, std::uint64_t now);
    // Forgets the frames the viewer released in its frame states, their sample buffers moved into
    // `released`.
    void collectReleases(Viewer& viewer, std::vector<CMSampleBufferRef>& released);
    // Moves the sample buffers of the viewer's frames held past the hold limit into `takenBack`.
    void takeBackOverdue(Viewer& viewer, std::uint64_t now,
                         std::vector<CMSampleBufferRef>& takenBack);
    // Clears the frame's state word, then moves its sample buffer into `takenBack`.
    void takeBack(Viewer& viewer, Held& held, std::vector<CMSampleBufferRef>& takenBack);
    static void setState(Viewer& viewer, std::uint32_t slot, std::uint64_t token);
    // Sends the BufferGone messages still owed; false if the socket is still full.
    static bool tellGone(Viewer& viewer);

    const std::function<std::uint64_t()> now_;
    const std::uint64_t holdLimitNs_;
    mutable std::mutex mutex_;
    std::map<std::uint64_t, Viewer> viewers_;
    std::uint64_t sequence_ = 0;
    Tally tally_;  // its `viewers` stays empty; tally() fills it in
    std::uint64_t takenBack_ = 0;
};

}  // namespace kova::engine
