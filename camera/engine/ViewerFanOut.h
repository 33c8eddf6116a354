// ViewerFanOut: hands every frame sent on the output stream to every viewer, in the same shared
// memory, without the camera ever waiting for a viewer.
//
// A frame a viewer still holds once kViewerFramesInFlight newer frames have gone out is taken
// back: the fan-out lets go of it, so that its memory can go back to its owner (the viewer's
// mapping stays valid, the memory being sealed; only its pixels may change). Its token stays out
// until the viewer releases it and counts towards the viewer's limit all the while. So viewers
// that never release hold on to no more than the newest few frames between them, and cannot
// starve a producer of its buffers.
//
// Threading: every member may be called from any thread: frames come from the placeholder queue
// and from the relay on the run loop at the same time. One mutex guards the viewers. Messages to
// a viewer are sent under it and never block (MSG_DONTWAIT), so they keep their order, and a
// viewer whose socket is full misses that frame while everyone else gets it. Frames a viewer
// gives back, or that are taken back from it, are let go outside the lock, since letting go of a
// client's buffer posts its return.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "host/media/CMSampleBuffer.h"
#include "protocol/Wire.h"

namespace kova::engine {

class ViewerFanOut {
  public:
    // Adds a viewer and sends it `started` before any frame. Returns 0, or the send's -errno,
    // in which case the viewer is not added.
    int add(std::uint64_t viewerId, std::shared_ptr<const wire::Connection> connection,
            const wire::Message& started);
    // Takes a viewer out; its unreleased frames count as released. False if it was not in.
    bool remove(std::uint64_t viewerId);
    // The viewer is done with the frame `token`. False when it holds no frame with that token.
    bool release(std::uint64_t viewerId, std::uint64_t token);
    // Gives the frame to every viewer that can take it now; the others miss it, and are told
    // how many they missed with the next frame they do get.
    void send(const CMSampleBufferRef& sampleBuffer, std::uint64_t hostTimeNanoseconds);
    // The memory with this key is gone: every viewer that was sent it is told to forget it.
    void forget(std::uint64_t bufferKey);

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
        std::uint64_t sequence = 0;
        CMSampleBufferRef sampleBuffer;
    };
    struct Viewer {
        std::shared_ptr<const wire::Connection> connection;
        std::uint64_t nextToken = 1;
        std::map<std::uint64_t, Held> unreleased;  // by token, so oldest first
        std::set<std::uint64_t> knownKeys;         // buffers whose fd it was sent
        std::vector<std::uint64_t> untoldGone;     // BufferGone messages its socket had no room for
        std::uint32_t missed = 0;                  // since the last frame it got
        ViewerTally tally;
    };

    void deliver(Viewer& viewer, wire::Frame frame, const CMSampleBufferRef& sampleBuffer, int fd);
    // Moves the sample buffers of the viewer's frames that are no longer among the newest
    // kViewerFramesInFlight into `takenBack`.
    void takeBackOldFrames(Viewer& viewer, std::vector<CMSampleBufferRef>& takenBack) const;
    // Sends the BufferGone messages still owed; false if the socket is still full.
    static bool tellGone(Viewer& viewer);

    mutable std::mutex mutex_;
    std::map<std::uint64_t, Viewer> viewers_;
    std::uint64_t sequence_ = 0;
    Tally tally_;  // its `viewers` stays empty; tally() fills it in
};

}  // namespace kova::engine
