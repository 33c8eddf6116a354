// Producer: a sink session with a pool of registered shared buffers, pushes and their
// accounting, and the pacing of a push loop.
#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "BufferPool.h"
#include "FramePacer.h"
#include "Session.h"
#include "base/MemFd.h"
#include "kova/kova.h"
#include "protocol/SharedAreas.h"

namespace kova {
namespace client {
namespace {

// Buffers registered when a session opens: enough for the camera's queue, a few frames held by
// viewers and the one being painted. The pool grows up to the camera's limit when viewers hold
// more, before any viewer has a frame taken back for this producer's sake.
constexpr std::size_t kPoolSize = 8;
constexpr std::int32_t kNanosecondTimescale = 1'000'000'000;
constexpr double kMaxFrameRate = 1000;
constexpr std::uint64_t kFpsWindowNs = 1'000'000'000;

wire::FrameLayout frameLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, std::uint32_t(kFrameWidth),
                             std::uint32_t(kFrameHeight), std::uint32_t(kFrameStride),
                             std::uint64_t(kFrameBytes)};
}

[[noreturn]] void raiseSystem(const char* what, int error) {
    throw Error(ErrorCode::SystemError, std::string(what) + ": " + std::strerror(error));
}

std::string refusalText(wire::PushRefusal reason) {
    switch (reason) {
        case wire::PushRefusal::QueueFull:
            return "the camera's queue of pushed frames is full";
        case wire::PushRefusal::NotStarted:
            return "the sink session has ended";
        case wire::PushRefusal::UnknownBuffer:
            return "the camera does not know the frame's buffer";
        case wire::PushRefusal::BufferBusy:
            return "the camera still holds the frame's buffer";
        case wire::PushRefusal::BadTime:
            return "the presentation time is not finite or more than 1 s ahead of the host clock";
    }
    return "refused for reason " + std::to_string(std::uint32_t(reason));
}

}  // namespace

}  // namespace client

using client::BufferPool;
using client::Clock;
using client::Session;

// ---- Frame ----

struct KOVA_INTERNAL Producer::Frame::Impl {
    Impl(std::shared_ptr<BufferPool> pool, std::size_t index)
        : pool(std::move(pool)), index(index) {}
    ~Impl() {
        if (lent) pool->giveBack(index);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::shared_ptr<BufferPool> pool;
    std::size_t index;
    bool lent = true;  // false once submitted
};

Producer::Frame::Frame(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Producer::Frame::Frame(Frame&&) noexcept = default;
Producer::Frame& Producer::Frame::operator=(Frame&&) noexcept = default;
Producer::Frame::~Frame() = default;

std::uint8_t* Producer::Frame::data() const {
    return impl_ ? impl_->pool->data(impl_->index) : nullptr;
}

std::size_t Producer::Frame::stride() const {
    return kFrameStride;
}

int Producer::Frame::fd() const {
    return impl_ ? impl_->pool->fd(impl_->index) : -1;
}

// ---- Producer ----

struct KOVA_INTERNAL Producer::Impl {
    Impl(std::string path, ProducerOptions options) : path(std::move(path)), options(options) {}

    std::string path;
    ProducerOptions options;
    std::shared_ptr<Session> session;
    std::shared_ptr<BufferPool> pool;
    // The ring the camera returns buffers in; read whenever a buffer is wanted.
    base::WritableMemory returns;
    bool returnsAsked = false;    // a ReturnsWanted awaits its ReturnsPosted
    std::size_t maxPoolSize = 0;  // buffers the camera takes from this session
    bool closed = false;

    std::uint64_t submitted = 0;           // pushes sent
    std::uint64_t refused = 0;             // pushes the camera refused
    std::uint64_t droppedAfterAccept = 0;  // accepted, then returned unrelayed
    std::uint64_t repeated = 0;            // pushes again of the kept still
    bool keepStill = false;
    std::uint64_t lastPushNs = 0;
    std::optional<double> streamRate;
    std::deque<std::uint64_t> sentTimes;  // host times of accepted pushes, last second
    std::uint64_t nextCookie = 1;

    std::optional<double> chosenRate;
    std::optional<client::FramePacer> pacer;

    void open();
    static BufferPool::Buffer registerBuffer(const Session& to, std::uint32_t cookie);
    // Registers one more buffer if the camera takes it; false when the pool is as large as it
    // may be.
    bool grow();
    void requireOpen() const;
    // Sends the push of `frame`'s buffer; its pool index.
    std::size_t sendPush(Frame&& frame, std::optional<std::uint64_t> presentationTimeNs);
    void sendPushOf(std::size_t index, std::uint64_t timeNs);
    // Sleeps until `deadline` on the host clock, pushing the kept still again meanwhile.
    void sleepKeepingStill(std::uint64_t deadline);
    void countSent();
    void handle(const wire::Received& received);
    void drainWaiting();
    // Takes the returns the camera has put in the ring since the last look.
    void drainReturns();
    void bufferCameBack(std::uint32_t bufferId, wire::PushOutcome outcome);
    // Asks the camera to look for released frames and say when a buffer is back, unless asked.
    void askForReturns();
    double streamFrameRate();
};

// A new shared frame buffer, sent to the camera with `cookie`.
BufferPool::Buffer Producer::Impl::registerBuffer(const Session& to, std::uint32_t cookie) {
    // Viewers are handed this memory's fd too; the seals leave this mapping the only way to
    // write into it.
    auto memory = base::MemFd::createWritable("kova-frame", kFrameBytes);
    if (!memory) client::raiseSystem("cannot create a frame buffer", -memory.failure().error);
    BufferPool::Buffer buffer;
    buffer.mapping = std::move(memory->mapping);
    buffer.fd = std::move(memory->fd);
    wire::RegisterBuffer registration;
    registration.cookie = cookie;
    registration.layout = client::frameLayout();
    to.send(registration, buffer.fd.get());
    return buffer;
}

bool Producer::Impl::grow() {
    const std::size_t count = pool->size();
    if (count >= maxPoolSize) return false;
    const auto cookie = std::uint32_t(count + 1);
    BufferPool::Buffer buffer = registerBuffer(*session, cookie);
    const auto deadline = Clock::now() + client::kReplyTimeout;
    for (;;) {
        auto received = session->receive(deadline);
        if (!received) {
            throw Error(ErrorCode::Timeout,
                        "kova-camera did not answer in time (waiting for BufferRegistered)");
        }
        if (const auto* reply = std::get_if<wire::BufferRegistered>(&received->message)) {
            if (reply->cookie != cookie || reply->bufferId == 0) {
                throw Error(ErrorCode::ProtocolError,
                            "kova-camera answered a buffer registration this client did not make");
            }
            buffer.id = reply->bufferId;
            pool->add(std::move(buffer));
            return true;
        }
        // A camera that takes no more buffers leaves the pool as it is.
        if (const auto* error = std::get_if<wire::Error>(&received->message);
            error && error->requestType == std::uint32_t(wire::MessageType::RegisterBuffer) &&
            error->subject == cookie && error->disconnecting == 0) {
            maxPoolSize = count;
            return false;
        }
        handle(*received);
    }
}

void Producer::Impl::open() {
    auto fresh = Session::open(path, wire::Role::Sink);
    const std::size_t count =
        std::min<std::size_t>(client::kPoolSize, fresh->welcome().maxRegisteredBuffers);
    const auto unexpected = [](const wire::Received& other) {
        client::raiseUnexpected(other.message, "its session to start");
    };

    // All registrations go out before the first answer is awaited: one round trip, not eight.
    std::vector<BufferPool::Buffer> buffers;
    for (std::size_t i = 0; i < count; ++i) {
        buffers.push_back(registerBuffer(*fresh, std::uint32_t(i + 1)));
    }
    const auto deadline = Clock::now() + client::kReplyTimeout;
    for (std::size_t answered = 0; answered < count; ++answered) {
        const auto reply = client::await<wire::BufferRegistered>(*fresh, deadline, unexpected);
        if (reply.cookie == 0 || reply.cookie > count || buffers[reply.cookie - 1].id != 0 ||
            reply.bufferId == 0) {
            throw Error(ErrorCode::ProtocolError,
                        "kova-camera answered a buffer registration this client did not make");
        }
        buffers[reply.cookie - 1].id = reply.bufferId;
    }

    auto ring = base::MemFd::createShared("kova-returns", sizeof(wire::FrameReturns));
    if (!ring) client::raiseSystem("cannot create the return ring", -ring.failure().error);
    fresh->send(wire::ReturnsArea{}, ring->fd.get());

    if (options.take_over) {
        fresh->send(wire::SinkTakeOver{});
    } else {
        fresh->send(wire::SinkStart{});
    }
    client::await<wire::SinkStarted>(*fresh, Clock::now() + client::kReplyTimeout, unexpected);
    maxPoolSize = fresh->welcome().maxRegisteredBuffers;
    session = std::move(fresh);
    pool = std::make_shared<BufferPool>(std::move(buffers));
    returns = std::move(*ring);
    returnsAsked = false;
    closed = false;
}

void Producer::Impl::requireOpen() const {
    if (closed || !session) {
        throw Error(ErrorCode::InvalidArgument, "the producer is closed (call reconnect())");
    }
}

void Producer::Impl::bufferCameBack(std::uint32_t bufferId, wire::PushOutcome outcome) {
    const auto wasRefused = pool->returned(bufferId);
    if (!wasRefused) {
        throw Error(
            ErrorCode::ProtocolError,
            "kova-camera returned buffer " + std::to_string(bufferId) + ", which it did not hold");
    }
    // A refused push was counted when it was refused.
    if (outcome == wire::PushOutcome::Dropped && !*wasRefused) ++droppedAfterAccept;
}

void Producer::Impl::drainReturns() {
    auto& ring = wire::sharedArea<wire::FrameReturns>(returns.mapping);
    const bool counted = wire::takeReturns(
        ring, [this](std::uint32_t id, wire::PushOutcome outcome) { bufferCameBack(id, outcome); });
    if (!counted) {
        throw Error(ErrorCode::ProtocolError,
                    "kova-camera counted more returns in the ring than it can hold");
    }
}

void Producer::Impl::askForReturns() {
    if (std::exchange(returnsAsked, true)) return;
    session->send(wire::ReturnsWanted{});
}

void Producer::Impl::handle(const wire::Received& received) {
    if (const auto* back = std::get_if<wire::BufferReturned>(&received.message)) {
        return bufferCameBack(back->bufferId, back->outcome);
    }
    if (std::holds_alternative<wire::ReturnsPosted>(received.message)) {
        returnsAsked = false;
        return drainReturns();
    }
    if (const auto* refusal = std::get_if<wire::PushRefused>(&received.message)) {
        if (!pool->markRefused(refusal->bufferId, refusal->reason)) {
            throw Error(ErrorCode::ProtocolError, "kova-camera refused a push of buffer " +
                                                      std::to_string(refusal->bufferId) +
                                                      ", which this client did not push");
        }
        ++refused;
        return;
    }
    if (const auto* error = std::get_if<wire::Error>(&received.message)) {
        // The camera ended the started session: another producer took the sink over. (Every
        // wait of an open session hands its Errors here.)
        if (error->code == wire::ErrorCode::NotAuthorized &&
            error->requestType == std::uint32_t(wire::MessageType::SinkStart)) {
            closed = true;
            throw Error(ErrorCode::TakenOver, std::string(wire::textOf(error->text)));
        }
        client::raiseCameraError(*error);
    }
    client::raiseUnexpected(received.message, "its pushed buffers");
}

void Producer::Impl::drainWaiting() {
    while (auto received = session->receive(Clock::now())) handle(*received);
}

double Producer::Impl::streamFrameRate() {
    session->send(wire::InfoRequest{});
    const auto info = client::awaitHandlingErrors<wire::InfoReply>(
        *session, Clock::now() + client::kReplyTimeout,
        [this](const wire::Received& other) { handle(other); });
    for (std::uint32_t i = 0; i < std::min<std::size_t>(info.streamCount, wire::kMaxStreams); ++i) {
        const auto& stream = info.streams[i];
        if (stream.direction == wire::StreamDirection::Sink && stream.frameDurationValue > 0 &&
            stream.frameDurationTimescale > 0) {
            return double(stream.frameDurationTimescale) / double(stream.frameDurationValue);
        }
    }
    return kStreamFrameRate;
}

Producer::Producer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Producer::Producer(Producer&&) noexcept = default;
Producer& Producer::operator=(Producer&&) noexcept = default;
Producer::~Producer() = default;

Producer Producer::open(const ConnectOptions& options, const ProducerOptions& producer_options) {
    auto impl = std::make_unique<Impl>(client::socketPathOf(options), producer_options);
    impl->open();
    return Producer(std::move(impl));
}

Producer::Frame Producer::acquire(std::chrono::milliseconds timeout) {
    impl_->requireOpen();
    const auto deadline = Clock::now() + timeout;
    impl_->drainWaiting();
    impl_->drainReturns();
    for (;;) {
        if (const auto index = impl_->pool->lend()) {
            return Frame(std::make_unique<Frame::Impl>(impl_->pool, *index));
        }
        if (impl_->grow()) continue;
        impl_->askForReturns();
        auto received = impl_->session->receive(deadline);
        if (!received) {
            throw Error(ErrorCode::Timeout, "no frame buffer came back from kova-camera within " +
                                                std::to_string(timeout.count()) + " ms");
        }
        impl_->handle(*received);
    }
}

std::size_t Producer::Impl::sendPush(Frame&& frame,
                                     std::optional<std::uint64_t> presentationTimeNs) {
    requireOpen();
    if (!frame.impl_) {
        throw Error(ErrorCode::InvalidArgument, "the frame was already submitted or moved from");
    }
    if (frame.impl_->pool != pool) {
        throw Error(ErrorCode::InvalidArgument,
                    "the frame belongs to an earlier session of this producer");
    }
    const std::uint64_t time = presentationTimeNs.value_or(host_time_now());
    if (time > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        throw Error(ErrorCode::InvalidArgument, "the presentation time is out of range");
    }
    const auto taken = std::move(frame.impl_);
    taken->lent = false;
    pool->pushed(taken->index);
    if (keepStill) pool->keep(taken->index);
    sendPushOf(taken->index, time);
    return taken->index;
}

void Producer::Impl::sendPushOf(std::size_t index, std::uint64_t timeNs) {
    wire::Push push;
    push.bufferId = pool->id(index);
    push.timeFlags = wire::kTimeFlagValid;
    push.timeValue = std::int64_t(timeNs);
    push.timeScale = client::kNanosecondTimescale;
    session->send(push);
    ++submitted;
    lastPushNs = host_time_now();
}

void Producer::Impl::sleepKeepingStill(std::uint64_t deadline) {
    if (!streamRate) streamRate = streamFrameRate();
    const auto period = std::uint64_t(1e9 / *streamRate);
    for (;;) {
        const std::uint64_t now = host_time_now();
        if (now >= deadline) return;
        if (now >= lastPushNs + period) {
            drainWaiting();
            drainReturns();
            if (const auto index = pool->pushKeptAgain()) {
                sendPushOf(*index, now);
                ++repeated;
                countSent();
            } else if (pool->keptOut()) {
                // A viewer may have read it and not yet said so: the camera looks when asked,
                // and answers as soon as it is back.
                askForReturns();
                if (auto received = session->receive(client::clockTimeOf(deadline))) {
                    handle(*received);
                }
                continue;
            } else {
                lastPushNs = now;
            }
        }
        const std::uint64_t wake = std::min(deadline, lastPushNs + period);
        const timespec until{time_t(wake / 1'000'000'000u), long(wake % 1'000'000'000u)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
}

void Producer::Impl::countSent() {
    const std::uint64_t now = host_time_now();
    sentTimes.push_back(now);
    while (sentTimes.front() + client::kFpsWindowNs < now) sentTimes.pop_front();
}

Producer::PushResult Producer::submit(Frame&& frame,
                                      std::optional<std::uint64_t> presentation_time_ns) {
    const std::size_t index = impl_->sendPush(std::move(frame), presentation_time_ns);
    // The Pong comes once the camera has handled the push, so a refusal has arrived by then.
    wire::Ping ping;
    ping.cookie = impl_->nextCookie++;
    impl_->session->send(ping);
    const auto deadline = Clock::now() + client::kReplyTimeout;
    for (;;) {
        const auto pong = client::awaitHandlingErrors<wire::Pong>(
            *impl_->session, deadline,
            [this](const wire::Received& other) { impl_->handle(other); });
        if (pong.cookie == ping.cookie) break;
    }
    if (const auto refusal = impl_->pool->refusalOf(index)) {
        return PushResult{false, client::refusalText(*refusal)};
    }
    impl_->countSent();
    return PushResult{true, {}};
}

void Producer::push(Frame&& frame, std::optional<std::uint64_t> presentation_time_ns) {
    impl_->sendPush(std::move(frame), presentation_time_ns);
    impl_->countSent();
}

Producer::PushResult Producer::send(const std::uint8_t* pixels, std::size_t stride,
                                    std::optional<std::uint64_t> presentation_time_ns) {
    if (pixels == nullptr) throw Error(ErrorCode::InvalidArgument, "no pixels to send");
    if (stride < kFrameStride) {
        throw Error(ErrorCode::InvalidArgument,
                    "a row stride of " + std::to_string(stride) + " bytes is less than the " +
                        std::to_string(kFrameStride) + " bytes of a row");
    }
    Frame frame = acquire();
    std::uint8_t* target = frame.data();
    if (stride == kFrameStride) {
        std::memcpy(target, pixels, kFrameBytes);
    } else {
        for (std::size_t row = 0; row < kFrameHeight; ++row) {
            std::memcpy(target + row * kFrameStride, pixels + row * stride, kFrameStride);
        }
    }
    return submit(std::move(frame), presentation_time_ns);
}

void Producer::set_frame_rate(double fps) {
    if (!std::isfinite(fps) || fps <= 0 || fps > client::kMaxFrameRate) {
        throw Error(ErrorCode::InvalidArgument,
                    "a frame rate must be above 0 and at most 1000 frames a second");
    }
    impl_->chosenRate = fps;
    impl_->pacer.reset();
}

void Producer::sleep_until_next_frame() {
    if (!impl_->pacer) {
        impl_->requireOpen();
        impl_->pacer.emplace(impl_->chosenRate ? *impl_->chosenRate : impl_->streamFrameRate());
    }
    const std::uint64_t deadline = impl_->pacer->nextDeadline(host_time_now());
    if (impl_->keepStill) {
        impl_->requireOpen();
        return impl_->sleepKeepingStill(deadline);
    }
    const timespec until{time_t(deadline / 1'000'000'000u), long(deadline % 1'000'000'000u)};
    int result;
    do {
        result = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    } while (result == EINTR);
    if (result != 0) client::raiseSystem("cannot sleep until the next frame", result);
}

void Producer::keep_still(bool keep) {
    impl_->keepStill = keep;
    if (!keep && impl_->pool) impl_->pool->keep(std::nullopt);
}

Producer::Counters Producer::counters() const {
    // Frames dropped after they were accepted are known once their returns are read.
    if (impl_->pool && !impl_->closed) impl_->drainReturns();
    Counters counters;
    counters.repeated = impl_->repeated;
    counters.sent = impl_->submitted - impl_->refused;
    counters.dropped = impl_->refused + impl_->droppedAfterAccept;
    const std::uint64_t now = host_time_now();
    counters.fps =
        double(std::count_if(impl_->sentTimes.begin(), impl_->sentTimes.end(),
                             [now](std::uint64_t t) { return t + client::kFpsWindowNs >= now; }));
    return counters;
}

void Producer::close(std::chrono::milliseconds timeout) {
    impl_->requireOpen();
    impl_->session->send(wire::SinkStop{});
    client::awaitHandlingErrors<wire::SinkStopped>(
        *impl_->session, Clock::now() + timeout,
        [this](const wire::Received& other) { impl_->handle(other); });
    impl_->drainReturns();
    impl_->session->shutdown();
    impl_->closed = true;
}

void Producer::reconnect() {
    if (impl_->session) impl_->session->shutdown();
    impl_->session.reset();
    impl_->pool.reset();
    impl_->pacer.reset();
    impl_->open();
}

}  // namespace kova
