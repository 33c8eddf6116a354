// The fan-out of output frames to viewers.
#include "camera/engine/ViewerFanOut.h"

#include <bit>
#include <limits>
#include <utility>

#include "protocol/SharedAreas.h"

namespace kova::engine {

ViewerFanOut::ViewerFanOut(std::function<std::uint64_t()> now, std::uint64_t holdLimitNs)
    : now_(std::move(now)), holdLimitNs_(holdLimitNs) {}

int ViewerFanOut::add(std::uint64_t viewerId, std::shared_ptr<const wire::Connection> connection) {
    auto frameStates = base::MemFd::createShared("kova-viewer-states", wire::kFrameStatesSize);
    if (!frameStates) return frameStates.failure().error;
    std::lock_guard lock(mutex_);
    if (viewers_.count(viewerId) != 0) return -EEXIST;
    if (const int sent =
            connection->send(wire::ViewStarted{}, frameStates->fd.get(), wire::SendMode::DontWait);
        sent < 0) {
        return sent;
    }
    Viewer& viewer = viewers_[viewerId];
    viewer.connection = std::move(connection);
    viewer.frameStates = std::move(*frameStates);
    return 0;
}

bool ViewerFanOut::remove(std::uint64_t viewerId) {
    std::map<std::uint64_t, Viewer>::node_type removed;
    {
        std::lock_guard lock(mutex_);
        removed = viewers_.extract(viewerId);
        if (removed.empty()) return false;
        // The library's frames outlive the session: they must read as changed before their
        // memory goes back to its owner.
        for (auto& [token, held] : removed.mapped().unreleased) {
            if (held.sampleBuffer) setState(removed.mapped(), held.slot, 0);
        }
    }
    return true;
}

bool ViewerFanOut::release(std::uint64_t viewerId, std::uint64_t token) {
    std::map<std::uint64_t, Held>::node_type released;
    {
        std::lock_guard lock(mutex_);
        const auto viewer = viewers_.find(viewerId);
        if (viewer == viewers_.end()) return false;
        released = viewer->second.unreleased.extract(token);
        // The word says whether the camera holds the frame for the viewer; it no longer does.
        if (!released.empty()) setState(viewer->second, released.mapped().slot, 0);
    }
    return !released.empty();
}

void ViewerFanOut::send(const CMSampleBufferRef& sampleBuffer, std::uint64_t hostTimeNanoseconds) {
    if (!sampleBuffer || !sampleBuffer->imageBuffer()) return;
    const CVPixelBuffer& pixelBuffer = *sampleBuffer->imageBuffer();
    const CVPixelBuffer::Layout& layout = pixelBuffer.layout();

    wire::Frame frame;
    frame.hostTimeNs = hostTimeNanoseconds;
    frame.bufferKey = pixelBuffer.memory().id();
    // Memory lent by a client is a pushed frame; the camera's own is the placeholder.
    frame.origin =
        pixelBuffer.ownerID() != 0 ? wire::FrameOrigin::Sink : wire::FrameOrigin::Placeholder;
    // Out-of-range values make a layout the wire check refuses: the frame is then missed.
    frame.layout = wire::FrameLayout{
        wire::PixelFormat{layout.pixelFormat}, static_cast<std::uint32_t>(layout.width),
        static_cast<std::uint32_t>(layout.height), static_cast<std::uint32_t>(layout.bytesPerRow),
        pixelBuffer.memory().size()};
    const int fd = pixelBuffer.memory().fd().get();
    const std::uint64_t now = now_();

    std::vector<CMSampleBufferRef> takenBack;  // let go after the lock
    std::lock_guard lock(mutex_);
    frame.sequence = ++sequence_;
    ++(frame.origin == wire::FrameOrigin::Sink ? tally_.relayed : tally_.placeholder);
    tally_.lastOrigin = frame.origin;
    for (auto& [viewerId, viewer] : viewers_) {
        collectReleases(viewer, takenBack);
        takeBackOverdue(viewer, now, takenBack);
        deliver(viewer, frame, sampleBuffer, fd, pixelBuffer.ownerID(), now);
    }
}

void ViewerFanOut::collectReleases() {
    std::vector<CMSampleBufferRef> released;  // let go after the lock
    std::lock_guard lock(mutex_);
    for (auto& [viewerId, viewer] : viewers_) collectReleases(viewer, released);
}

void ViewerFanOut::collectReleases(Viewer& viewer, std::vector<CMSampleBufferRef>& released) {
    const auto& states = wire::sharedArea<wire::FrameStates>(viewer.frameStates.mapping);
    for (auto entry = viewer.unreleased.begin(); entry != viewer.unreleased.end();) {
        Held& held = entry->second;
        // Only the token this slot was sent with releases it: a stale or made-up word does not.
        if (wire::loadShared(states.released[held.slot]) != entry->first) {
            ++entry;
            continue;
        }
        if (held.sampleBuffer) {
            setState(viewer, held.slot, 0);
            released.push_back(std::move(held.sampleBuffer));
        }
        entry = viewer.unreleased.erase(entry);
    }
}

void ViewerFanOut::reclaim(std::uint64_t ownerId) {
    const std::uint64_t now = now_();
    std::vector<CMSampleBufferRef> takenBack;  // let go after the lock
    std::lock_guard lock(mutex_);
    for (auto& [viewerId, viewer] : viewers_) {
        collectReleases(viewer, takenBack);
        takeBackOverdue(viewer, now, takenBack);
        std::uint32_t held = 0;
        for (const auto& [token, frame] : viewer.unreleased) {
            if (frame.sampleBuffer && frame.ownerId == ownerId) ++held;
        }
        // Newest first (tokens grow with every frame sent): those may not even have reached
        // the viewer, which then skips them, while the frames it is reading stay put.
        for (auto entry = viewer.unreleased.rbegin(); entry != viewer.unreleased.rend(); ++entry) {
            if (held <= wire::kViewerFairShare) break;
            Held& frame = entry->second;
            if (!frame.sampleBuffer || frame.ownerId != ownerId) continue;
            takeBack(viewer, frame, takenBack);
            --held;
        }
    }
}

void ViewerFanOut::takeBackOverdue(Viewer& viewer, std::uint64_t now,
                                   std::vector<CMSampleBufferRef>& takenBack) {
    for (auto& [token, held] : viewer.unreleased) {
        if (held.sampleBuffer && now - held.sentNs >= holdLimitNs_) {
            takeBack(viewer, held, takenBack);
        }
    }
}

void ViewerFanOut::takeBack(Viewer& viewer, Held& held, std::vector<CMSampleBufferRef>& takenBack) {
    // Cleared before the memory can go back to its owner, who writes only after hearing so.
    setState(viewer, held.slot, 0);
    takenBack.push_back(std::move(held.sampleBuffer));
    ++takenBack_;
}

void ViewerFanOut::setState(Viewer& viewer, std::uint32_t slot, std::uint64_t token) {
    wire::storeShared(wire::sharedArea<wire::FrameStates>(viewer.frameStates.mapping).held[slot],
                      token);
}

void ViewerFanOut::deliver(Viewer& viewer, wire::Frame frame, const CMSampleBufferRef& sampleBuffer,
                           int fd, std::uint64_t ownerId, std::uint64_t now) {
    auto miss = [this, &viewer] {
        if (viewer.missed < std::numeric_limits<std::uint32_t>::max()) ++viewer.missed;
        ++viewer.tally.missed;
        ++tally_.missed;
    };
    if (viewer.unreleased.size() >= wire::kViewerFramesInFlight || !tellGone(viewer)) {
        miss();
        return;
    }
    std::uint32_t usedSlots = 0;
    for (const auto& [token, held] : viewer.unreleased) usedSlots |= 1u << held.slot;
    const auto slot = static_cast<std::uint32_t>(std::countr_one(usedSlots));
    const bool firstSight = viewer.knownKeys.count(frame.bufferKey) == 0;
    frame.token = viewer.nextToken;
    frame.framesMissed = viewer.missed;
    frame.fdAttached = firstSight ? 1 : 0;
    frame.slot = slot;
    // Set before the viewer can see the frame; a failed send leaves a word nobody reads.
    setState(viewer, slot, frame.token);
    if (viewer.connection->send(frame, firstSight ? fd : -1, wire::SendMode::DontWait) < 0) {
        miss();
        return;
    }
    ++viewer.nextToken;
    ++viewer.tally.sent;
    viewer.missed = 0;
    viewer.unreleased.emplace(frame.token, Held{now, slot, ownerId, sampleBuffer});
    if (firstSight) viewer.knownKeys.insert(frame.bufferKey);
}

bool ViewerFanOut::tellGone(Viewer& viewer) {
    while (!viewer.untoldGone.empty()) {
        wire::BufferGone gone;
        gone.bufferKey = viewer.untoldGone.front();
        if (viewer.connection->send(gone, -1, wire::SendMode::DontWait) < 0) return false;
        viewer.untoldGone.erase(viewer.untoldGone.begin());
    }
    return true;
}

void ViewerFanOut::forget(std::uint64_t bufferKey) {
    std::lock_guard lock(mutex_);
    for (auto& [viewerId, viewer] : viewers_) {
        if (viewer.knownKeys.erase(bufferKey) == 0) continue;
        viewer.untoldGone.push_back(bufferKey);
        tellGone(viewer);
    }
}

ViewerFanOut::Tally ViewerFanOut::tally() const {
    std::lock_guard lock(mutex_);
    Tally tally = tally_;
    for (const auto& [viewerId, viewer] : viewers_) tally.viewers[viewerId] = viewer.tally;
    return tally;
}

std::size_t ViewerFanOut::viewerCount() const {
    std::lock_guard lock(mutex_);
    return viewers_.size();
}

std::uint64_t ViewerFanOut::lastSequence() const {
    std::lock_guard lock(mutex_);
    return sequence_;
}

std::uint64_t ViewerFanOut::takenBackCount() const {
    std::lock_guard lock(mutex_);
    return takenBack_;
}

}  // namespace kova::engine
