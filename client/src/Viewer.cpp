// Viewer: a view session, the read-only mappings of the camera's buffers (one per buffer, kept
// while it lives) and the frames handed out of them.
#include <atomic>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "Session.h"
#include "base/MemFd.h"
#include "kova/kova.h"
#include "protocol/SharedAreas.h"

namespace kova {
namespace client {

// One of the camera's buffers, mapped read-only. Shared by the viewer (until the camera says the
// buffer is gone) and every frame read from it.
struct MappedBuffer {
    base::UniqueFD fd;  // kept for frames handed on by descriptor
    base::MemoryMapping mapping;
};

[[noreturn]] void raiseBadFrame(const std::string& why) {
    throw Error(ErrorCode::ProtocolError, "kova-camera sent an unusable frame: " + why);
}

// Whether the camera still holds `frame` for this viewer, so that its pixels have not changed.
bool stillHeld(const MappedBuffer& frameStates, const wire::Frame& frame) {
    // Whatever was read of the pixels was read before the word: the camera clears it before the
    // memory can change.
    std::atomic_thread_fence(std::memory_order_acquire);
    const auto& states = wire::sharedArea<const wire::FrameStates>(frameStates.mapping);
    return wire::loadShared(states.held[frame.slot]) == frame.token;
}

// Gives the frame back to the camera, which reads the word when it next sends a frame or a
// producer wants its buffer: no message, no wake-up.
void release(const MappedBuffer& frameStates, const wire::Frame& frame) {
    wire::storeShared(wire::sharedArea<wire::FrameStates>(frameStates.mapping).released[frame.slot],
                      frame.token);
}

// The viewer's frame states: the camera writes which frames it holds, this viewer which it
// released.
std::shared_ptr<const MappedBuffer> mapFrameStates(base::UniqueFD fd) {
    if (base::MemFd::checkImported(fd.get(), wire::kFrameStatesSize) < 0) {
        throw Error(ErrorCode::ProtocolError,
                    "kova-camera sent frame states that are not sealed shared memory of " +
                        std::to_string(wire::kFrameStatesSize) + " bytes");
    }
    auto mapping = base::MemoryMapping::create(fd.get(), wire::kFrameStatesSize, true);
    if (!mapping) {
        throw Error(ErrorCode::SystemError,
                    "cannot map the frame states: " + mapping.failure().message);
    }
    return std::make_shared<const MappedBuffer>(MappedBuffer{std::move(fd), std::move(*mapping)});
}

}  // namespace client

using client::Clock;
using client::MappedBuffer;
using client::Session;

// ---- Frame ----

struct KOVA_INTERNAL Viewer::Frame::Impl {
    Impl(std::shared_ptr<const MappedBuffer> buffer,
         std::shared_ptr<const MappedBuffer> frameStates, const wire::Frame& message,
         std::uint64_t receivedNs)
        : buffer(std::move(buffer)),
          frameStates(std::move(frameStates)),
          message(message),
          receivedNs(receivedNs) {}
    // The camera gets the buffer back; one that has gone reads the word no more.
    ~Impl() { client::release(*frameStates, message); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::shared_ptr<const MappedBuffer> buffer;
    std::shared_ptr<const MappedBuffer> frameStates;  // this frame's word among them
    wire::Frame message;
    std::uint64_t receivedNs;
    std::uint64_t missedBefore = 0;  // the camera's count and the frames lost here before it
};

Viewer::Frame::Frame(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Viewer::Frame::Frame(Frame&&) noexcept = default;
Viewer::Frame& Viewer::Frame::operator=(Frame&&) noexcept = default;
Viewer::Frame::~Frame() = default;

std::uint64_t Viewer::Frame::sequence() const {
    return impl_->message.sequence;
}
std::uint64_t Viewer::Frame::host_time_ns() const {
    return impl_->message.hostTimeNs;
}
std::uint64_t Viewer::Frame::received_ns() const {
    return impl_->receivedNs;
}
Viewer::Origin Viewer::Frame::origin() const {
    return impl_->message.origin == wire::FrameOrigin::Sink ? Origin::Sink : Origin::Placeholder;
}
std::uint64_t Viewer::Frame::missed_before() const {
    return impl_->missedBefore;
}
const std::uint8_t* Viewer::Frame::data() const {
    return impl_->buffer->mapping.data();
}
int Viewer::Frame::fd() const {
    return impl_->buffer->fd.get();
}
std::size_t Viewer::Frame::stride() const {
    return impl_->message.layout.bytesPerRow;
}
std::size_t Viewer::Frame::width() const {
    return impl_->message.layout.width;
}
std::size_t Viewer::Frame::height() const {
    return impl_->message.layout.height;
}
bool Viewer::Frame::intact() const {
    return client::stillHeld(*impl_->frameStates, impl_->message);
}

// ---- Viewer ----

struct KOVA_INTERNAL Viewer::Impl {
    explicit Impl(std::string path) : path(std::move(path)) {}

    std::string path;
    std::shared_ptr<Session> session;
    // The camera's buffers by key, mapped the first time a frame names them; null for one that
    // could not be mapped, whose frames are lost until the camera says it is gone.
    std::unordered_map<std::uint64_t, std::shared_ptr<const MappedBuffer>> buffers;
    std::shared_ptr<const MappedBuffer> frameStates;
    std::uint64_t missed = 0;
    std::uint64_t unusable = 0;
    // Frames lost here since the last one returned: unusable, or taken back before they were read.
    std::uint64_t lostSinceLastFrame = 0;
    std::string unusableReason;

    void open();
    void close();
    // The mapping a frame is read from; null, with the reason in `why`, when its memory cannot
    // be mapped (the frame is lost, the session goes on).
    std::shared_ptr<const MappedBuffer> bufferFor(const wire::Frame& frame, base::UniqueFD fd,
                                                  bool fdLost, std::string& why);
};

void Viewer::Impl::open() {
    auto fresh = Session::open(path, wire::Role::View);
    fresh->send(wire::ViewStart{});
    auto started = fresh->receive(Clock::now() + client::kReplyTimeout);
    if (!started) {
        throw Error(ErrorCode::Timeout,
                    "kova-camera did not answer in time (waiting for ViewStarted)");
    }
    if (const auto* error = std::get_if<wire::Error>(&started->message)) {
        client::raiseCameraError(*error);
    }
    if (!std::holds_alternative<wire::ViewStarted>(started->message)) {
        client::raiseUnexpected(started->message, "ViewStarted");
    }
    frameStates = client::mapFrameStates(std::move(started->fd));
    session = std::move(fresh);
}

void Viewer::Impl::close() {
    // Frames still out keep their mappings; the camera reads their releases no more.
    if (session) session->shutdown();
    session.reset();
    buffers.clear();
    frameStates.reset();
    lostSinceLastFrame = 0;
}

std::shared_ptr<const MappedBuffer> Viewer::Impl::bufferFor(const wire::Frame& frame,
                                                            base::UniqueFD fd, bool fdLost,
                                                            std::string& why) {
    const auto& layout = frame.layout;
    if (layout.pixelFormat != wire::PixelFormat::BGRA || layout.width == 0 || layout.height == 0 ||
        layout.bytesPerRow < std::uint64_t(layout.width) * 4 ||
        layout.size < std::uint64_t(layout.bytesPerRow) * layout.height) {
        client::raiseBadFrame("its layout does not describe a BGRA picture");
    }
    const std::string name = "buffer " + std::to_string(frame.bufferKey);
    if (frame.fdAttached == 0) {
        const auto known = buffers.find(frame.bufferKey);
        if (known == buffers.end()) client::raiseBadFrame(name + " came without its memory");
        if (!known->second) {
            why = name + " could not be mapped when it came";
            return nullptr;
        }
        if (known->second->mapping.size() < layout.size) {
            client::raiseBadFrame(name + " is smaller than the frame's layout");
        }
        return known->second;
    }
    // Checked before mapping: unsealed memory could shrink under the mapping and fault.
    const int checked = fdLost ? -EMFILE : base::MemFd::checkImported(fd.get(), layout.size);
    base::Result<base::MemoryMapping> mapping =
        checked == 0 ? base::MemoryMapping::create(fd.get(), layout.size, false)
                     : base::Result<base::MemoryMapping>(base::Failure{checked, ""});
    if (!mapping) {
        why = "cannot map " + name + ": " +
              (fdLost    ? std::string("no file descriptor was free to receive it")
               : checked ? base::MemFd::importProblem(checked)
                         : mapping.failure().message);
        buffers[frame.bufferKey] = nullptr;
        return nullptr;
    }
    auto buffer =
        std::make_shared<const MappedBuffer>(MappedBuffer{std::move(fd), std::move(*mapping)});
    buffers[frame.bufferKey] = buffer;
    return buffer;
}

Viewer::Viewer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Viewer::Viewer(Viewer&&) noexcept = default;
Viewer& Viewer::operator=(Viewer&&) noexcept = default;
Viewer::~Viewer() {
    if (impl_) impl_->close();
}

Viewer Viewer::open(const ConnectOptions& options) {
    auto impl = std::make_unique<Impl>(client::socketPathOf(options));
    impl->open();
    return Viewer(std::move(impl));
}

std::optional<Viewer::Frame> Viewer::next_frame(std::chrono::milliseconds timeout) {
    if (!impl_->session) {
        throw Error(ErrorCode::Disconnected, "the viewer is not connected (call reconnect())");
    }
    auto deadline = Clock::now() + timeout;
    bool waitRestarted = false;
    for (;;) {
        auto received = impl_->session->receive(deadline);
        if (!received) return std::nullopt;
        if (const auto* frame = std::get_if<wire::Frame>(&received->message)) {
            const std::uint64_t receivedNs = host_time_now();
            std::shared_ptr<const MappedBuffer> buffer;
            std::string why;
            try {
                buffer = impl_->bufferFor(*frame, std::move(received->fd), received->fdLost, why);
            } catch (const Error&) {
                // The camera still gets the frame back.
                client::release(*impl_->frameStates, *frame);
                throw;
            }
            impl_->missed += frame->framesMissed;
            // Lost here, as if the camera had not sent it: counted with the missed ones.
            auto lose = [&] {
                client::release(*impl_->frameStates, *frame);
                ++impl_->missed;
                impl_->lostSinceLastFrame += frame->framesMissed + 1;
                // Frames that went stale while this process could not run (stopped, swapped
                // out) are lost on waking, its time may be up already: the camera is sending,
                // so the wait starts afresh, once.
                if (!std::exchange(waitRestarted, true)) deadline = Clock::now() + timeout;
            };
            if (!buffer) {
                lose();
                ++impl_->unusable;
                impl_->unusableReason = std::move(why);
                continue;
            }
            // Taken back on its way here.
            if (!client::stillHeld(*impl_->frameStates, *frame)) {
                lose();
                continue;
            }
            auto impl = std::make_unique<Frame::Impl>(std::move(buffer), impl_->frameStates, *frame,
                                                      receivedNs);
            impl->missedBefore = frame->framesMissed + std::exchange(impl_->lostSinceLastFrame, 0);
            return Frame(std::move(impl));
        }
        if (const auto* gone = std::get_if<wire::BufferGone>(&received->message)) {
            impl_->buffers.erase(gone->bufferKey);
            continue;
        }
        if (const auto* error = std::get_if<wire::Error>(&received->message)) {
            client::raiseCameraError(*error);
        }
        client::raiseUnexpected(received->message, "frames");
    }
}

int Viewer::poll_fd() const {
    return impl_->session ? impl_->session->fd() : -1;
}

std::uint64_t Viewer::frames_missed() const {
    return impl_->missed;
}

std::uint64_t Viewer::frames_unusable() const {
    return impl_->unusable;
}

std::string Viewer::last_unusable_reason() const {
    return impl_->unusableReason;
}

std::chrono::milliseconds Viewer::hold_limit() const {
    if (!impl_->session) {
        throw Error(ErrorCode::Disconnected, "the viewer is not connected (call reconnect())");
    }
    return std::chrono::milliseconds(impl_->session->welcome().viewerHoldLimitMs);
}

void Viewer::reconnect() {
    impl_->close();
    impl_->open();
}

}  // namespace kova
