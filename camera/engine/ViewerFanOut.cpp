// The fan-out of output frames to viewers.
#include "camera/engine/ViewerFanOut.h"

#include <limits>
#include <utility>

namespace kova::engine {

int ViewerFanOut::add(std::uint64_t viewerId, std::shared_ptr<const wire::Connection> connection,
                      const wire::Message& started) {
    std::lock_guard lock(mutex_);
    if (viewers_.count(viewerId) != 0) return -EEXIST;
    if (const int sent = connection->send(started, -1, wire::SendMode::DontWait); sent < 0) {
        return sent;
    }
    viewers_[viewerId].connection = std::move(connection);
    return 0;
}

bool ViewerFanOut::remove(std::uint64_t viewerId) {
    std::map<std::uint64_t, Viewer>::node_type removed;
    {
        std::lock_guard lock(mutex_);
        removed = viewers_.extract(viewerId);
    }
    return !removed.empty();
}

bool ViewerFanOut::release(std::uint64_t viewerId, std::uint64_t token) {
    std::map<std::uint64_t, Held>::node_type released;
    {
        std::lock_guard lock(mutex_);
        const auto viewer = viewers_.find(viewerId);
        if (viewer == viewers_.end()) return false;
        released = viewer->second.unreleased.extract(token);
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

    std::vector<CMSampleBufferRef> takenBack;  // let go after the lock
    std::lock_guard lock(mutex_);
    frame.sequence = ++sequence_;
    ++(frame.origin == wire::FrameOrigin::Sink ? tally_.relayed : tally_.placeholder);
    tally_.lastOrigin = frame.origin;
    for (auto& [viewerId, viewer] : viewers_) {
        takeBackOldFrames(viewer, takenBack);
        deliver(viewer, frame, sampleBuffer, fd);
    }
}

void ViewerFanOut::takeBackOldFrames(Viewer& viewer,
                                     std::vector<CMSampleBufferRef>& takenBack) const {
    for (auto& entry : viewer.unreleased) {
        Held& held = entry.second;
        if (held.sequence + wire::kViewerFramesInFlight > sequence_) break;
        if (held.sampleBuffer) takenBack.push_back(std::move(held.sampleBuffer));
    }
}

void ViewerFanOut::deliver(Viewer& viewer, wire::Frame frame, const CMSampleBufferRef& sampleBuffer,
                           int fd) {
    auto miss = [this, &viewer] {
        if (viewer.missed < std::numeric_limits<std::uint32_t>::max()) ++viewer.missed;
        ++viewer.tally.missed;
        ++tally_.missed;
    };
    if (viewer.unreleased.size() >= wire::kViewerFramesInFlight || !tellGone(viewer)) {
        miss();
        return;
    }
    const bool firstSight = viewer.knownKeys.count(frame.bufferKey) == 0;
    frame.token = viewer.nextToken;
    frame.framesMissed = viewer.missed;
    frame.fdAttached = firstSight ? 1 : 0;
    if (viewer.connection->send(frame, firstSight ? fd : -1, wire::SendMode::DontWait) < 0) {
        miss();
        return;
    }
    ++viewer.nextToken;
    ++viewer.tally.sent;
    viewer.missed = 0;
    viewer.unreleased.emplace(frame.token, Held{frame.sequence, sampleBuffer});
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

}  // namespace kova::engine
