// Sink sessions: registered buffers, pushes and their queue, the relay's consume requests, one
// producer at a time and taking the sink over, and each frame's return to its producer.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/MemFd.h"
#include "camera/engine/CameraEngine.h"
#include "camera/engine/EngineClient.h"
#include "camera/engine/Log.h"
#include "host/media/CMSampleBuffer.h"
#include "protocol/SharedAreas.h"

namespace kova::engine {

namespace {

using wire::ErrorCode;
using wire::MessageType;

constexpr long double kNanosecondsPerSecond = 1e9L;
// How far ahead of the host clock a pushed frame may be stamped.
constexpr long double kMaximumLeadNanoseconds = 1e9L;

const std::string kEngineErrorDomain = "com.kova.engine";

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// Why a pushed presentation time is not one the camera takes, or nothing.
std::optional<std::string> presentationTimeProblem(const wire::Push& push, std::uint64_t now) {
    if ((push.timeFlags & wire::kTimeFlagValid) == 0) return "the presentation time is not valid";
    if ((push.timeFlags & (wire::kTimeFlagPositiveInfinity | wire::kTimeFlagNegativeInfinity |
                           wire::kTimeFlagIndefinite)) != 0) {
        return "the presentation time is not finite";
    }
    // The wire check guarantees a positive timescale for a valid finite time; long double keeps
    // the product exact enough without overflow.
    const long double nanoseconds =
        static_cast<long double>(push.timeValue) * kNanosecondsPerSecond / push.timeScale;
    if (nanoseconds > static_cast<long double>(now) + kMaximumLeadNanoseconds) {
        return "the presentation time is more than 1 s ahead of the host clock";
    }
    return std::nullopt;
}

// Says why imported memory was refused, for the error the client gets.
std::string memoryProblem(int fd, int checkResult, std::uint64_t layoutSize) {
    struct stat status {};
    if (checkResult == -EINVAL && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        ::fcntl(fd, F_GET_SEALS) >= 0) {
        return "buffer memory holds " + std::to_string(status.st_size) + " bytes, less than the " +
               std::to_string(layoutSize) + " its layout needs";
    }
    return "the buffer is refused: " + base::MemFd::importProblem(checkResult);
}

}  // namespace

// ---- buffers and pushes ----

void CameraEngine::handleRegisterBuffer(Client& client, const wire::RegisterBuffer& request,
                                        base::UniqueFD fd) {
    // A refused buffer is let go before the answer goes out, so a client that hears "no" knows
    // the camera holds nothing of it.
    auto refuse = [&](ErrorCode code, const std::string& text) {
        fd.reset();
        sendError(client, code, MessageType::RegisterBuffer, request.cookie, text);
    };
    if (!sinkFormat_) return refuse(ErrorCode::HostFailure, "the sink stream takes no frames");
    if (client.buffers.size() >= wire::kMaxRegisteredBuffersPerClient) {
        return refuse(ErrorCode::LimitReached,
                      "at most " + std::to_string(wire::kMaxRegisteredBuffersPerClient) +
                          " buffers may be registered at once");
    }
    const wire::FrameLayout& layout = request.layout;
    if (std::uint32_t(layout.pixelFormat) != sinkFormat_->pixelFormat) {
        return refuse(ErrorCode::BadBuffer,
                      "pixel format " + hex(std::uint32_t(layout.pixelFormat)) +
                          " is not the stream's " + hex(sinkFormat_->pixelFormat));
    }
    if (layout.width != sinkFormat_->width || layout.height != sinkFormat_->height) {
        return refuse(ErrorCode::BadBuffer, "frame size " + std::to_string(layout.width) + "x" +
                                                std::to_string(layout.height) +
                                                " is not the stream's " +
                                                std::to_string(sinkFormat_->width) + "x" +
                                                std::to_string(sinkFormat_->height));
    }
    if (const int checked = base::MemFd::checkImported(fd.get(), layout.size); checked < 0) {
        return refuse(ErrorCode::BadBuffer, memoryProblem(fd.get(), checked, layout.size));
    }

    // The viewers that were sent this memory hear when it is gone; the key is never reused.
    std::shared_ptr<CVPixelBufferMemory> memory(
        new CVPixelBufferMemory(base::SharedFD(std::move(fd)), layout.size, /*writable=*/false),
        [weak = weak_from_this()](CVPixelBufferMemory* gone) {
            const std::uint64_t key = gone->id();
            delete gone;
            if (const auto engine = weak.lock()) {
                engine->onLoop([key](CameraEngine& engine) { engine.fanOut_.forget(key); });
            }
        });
    std::uint32_t id = client.nextBufferId;
    while (id == 0 || client.buffers.count(id) != 0) ++id;
    client.nextBufferId = id + 1;
    client.buffers[id] = Client::RegisteredBuffer{
        std::move(memory),
        CVPixelBuffer::Layout{layout.width, layout.height, std::uint32_t(layout.pixelFormat),
                              layout.bytesPerRow},
        false};

    wire::BufferRegistered registered;
    registered.cookie = request.cookie;
    registered.bufferId = id;
    sendTo(client, registered);
}

void CameraEngine::handleUnregisterBuffer(Client& client, const wire::UnregisterBuffer& request) {
    // A frame already pushed from it keeps the memory and still comes back.
    if (client.buffers.erase(request.bufferId) == 0) {
        sendError(client, ErrorCode::UnknownBuffer, MessageType::UnregisterBuffer, request.bufferId,
                  "no registered buffer has id " + std::to_string(request.bufferId));
    }
}

void CameraEngine::refusePush(Client& client, std::uint32_t bufferId, wire::PushRefusal reason) {
    ++client.framesDropped;
    ++totalDropped_;
    wire::PushRefused refused;
    refused.bufferId = bufferId;
    refused.reason = reason;
    refused.framesPushed = client.framesPushed;
    refused.framesDropped = client.framesDropped;
    refused.framesQueued = std::uint32_t(client.queue.size());
    sendTo(client, refused);
}

void CameraEngine::handlePush(Client& client, const wire::Push& push) {
    if (client.sink != SessionState::Started) {
        return refusePush(client, push.bufferId, wire::PushRefusal::NotStarted);
    }
    const auto entry = client.buffers.find(push.bufferId);
    if (entry == client.buffers.end()) {
        return refusePush(client, push.bufferId, wire::PushRefusal::UnknownBuffer);
    }
    Client::RegisteredBuffer& buffer = entry->second;
    if (buffer.busy) return refusePush(client, push.bufferId, wire::PushRefusal::BufferBusy);
    if (presentationTimeProblem(push, hostTime_())) {
        return refusePush(client, push.bufferId, wire::PushRefusal::BadTime);
    }
    if (client.queue.size() >= wire::kSinkQueueSize) {
        return refusePush(client, push.bufferId, wire::PushRefusal::QueueFull);
    }

    // The client's memory, wrapped as it is: the camera never reads or writes its pixels.
    auto ticket = std::make_shared<PushTicket>();
    auto onRelease = [weak = weak_from_this(), clientId = client.id, bufferId = push.bufferId,
                      ticket] {
        if (const auto engine = weak.lock()) {
            engine->onLoop([clientId, bufferId, ticket](CameraEngine& engine) {
                engine.bufferReturned(clientId, bufferId, ticket->relayed.load());
            });
        }
    };
    buffer.busy = true;
    ++client.framesPushed;
    ++totalPushed_;
    client.acceptedTimes.push_back(hostTime_());
    while (client.acceptedTimes.front() + kRateWindowNanoseconds < client.acceptedTimes.back()) {
        client.acceptedTimes.pop_front();
    }
    const std::uint64_t sequence = ++client.pushSequence;
    CMSampleBufferRef sampleBuffer;
    {
        auto pixelBuffer = std::make_shared<CVPixelBuffer>(buffer.layout, buffer.memory, client.id,
                                                           std::move(onRelease));
        CMSampleTimingInfo timing;
        timing.presentationTimeStamp = CMTime{push.timeValue, push.timeScale, push.timeFlags, 0};
        const OSStatus status = CMSampleBufferCreateForImageBuffer(
            kCFAllocatorDefault, pixelBuffer, true, nullptr, nullptr, sinkFormat_->description,
            &timing, &sampleBuffer);
        if (status != noErr || !sampleBuffer) {
            // The pixel buffer goes here, and with it the frame comes back as dropped.
            log(Priority::Error, "cannot wrap a frame of " + client.describe() + " (status " +
                                     std::to_string(status) + ")");
            return;
        }
    }
    if (!client.consumeRequests.empty()) {
        CMIOExtensionConsumeCompletion completion = std::move(client.consumeRequests.front());
        client.consumeRequests.pop_front();
        ticket->relayed.store(true);
        completion(sampleBuffer, sequence, CMIOExtensionStreamDiscontinuityFlagNone, false,
                   std::nullopt);
    } else {
        client.queue.push_back(Client::QueuedFrame{std::move(sampleBuffer), sequence, ticket});
    }
    reclaimIfStarved(client);
}

void CameraEngine::reclaimIfStarved(Client& client) {
    // Frames still queued come back as the relay takes them: only a producer that may register
    // no more buffers, has none free and none queued gets back what viewers hold beyond their
    // share.
    const bool starved = client.queue.empty() &&
                         client.buffers.size() >= wire::kMaxRegisteredBuffersPerClient &&
                         std::all_of(client.buffers.begin(), client.buffers.end(),
                                     [](const auto& entry) { return entry.second.busy; });
    if (starved) fanOut_.reclaim(client.id);
}

void CameraEngine::bufferReturned(std::uint64_t clientId, std::uint32_t bufferId, bool relayed) {
    const auto client = find(clientId);
    if (!client) return;
    if (const auto entry = client->buffers.find(bufferId); entry != client->buffers.end()) {
        entry->second.busy = false;
    }
    if (!relayed) {
        ++client->framesDropped;
        ++totalDropped_;
    }
    const auto outcome = relayed ? wire::PushOutcome::Relayed : wire::PushOutcome::Dropped;
    // The ring costs the producer no wake-up; it reads the ring when it next wants a buffer.
    if (client->returns && wire::putReturn(wire::sharedArea<wire::FrameReturns>(*client->returns),
                                           bufferId, outcome)) {
        if (std::exchange(client->wantsReturns, false)) sendTo(*client, wire::ReturnsPosted{});
        return;
    }
    wire::BufferReturned returned;
    returned.bufferId = bufferId;
    returned.outcome = outcome;
    sendTo(*client, returned);
}

void CameraEngine::handleReturnsArea(Client& client, base::UniqueFD fd) {
    if (client.returns) {
        return sendError(client, ErrorCode::WrongState, MessageType::ReturnsArea, 0,
                         "the returns area is set already");
    }
    if (const int checked = base::MemFd::checkImported(fd.get(), sizeof(wire::FrameReturns));
        checked < 0) {
        return sendError(client, ErrorCode::BadBuffer, MessageType::ReturnsArea, 0,
                         "the returns area is refused: " + base::MemFd::importProblem(checked));
    }
    auto mapping = base::MemoryMapping::create(fd.get(), sizeof(wire::FrameReturns), true);
    if (!mapping) {
        return sendError(
            client, ErrorCode::BadBuffer, MessageType::ReturnsArea, 0,
            "the returns area cannot be mapped writable: " + mapping.failure().message);
    }
    client.returns = std::move(*mapping);
}

void CameraEngine::handleReturnsWanted(Client& client) {
    if (client.returns &&
        wire::hasUnreadReturns(wire::sharedArea<wire::FrameReturns>(*client.returns))) {
        client.wantsReturns = false;
        return sendTo(client, wire::ReturnsPosted{});
    }
    client.wantsReturns = true;
    // Frames viewers have released without a message come back now, each return posted to
    // this loop, where it finds the client waiting.
    fanOut_.collectReleases();
}

// ---- sink sessions ----

void CameraEngine::handleSinkStart(Client& client, MessageType request) {
    if (const auto why = wrongSessionState(client.sink, SessionState::Idle, "sink")) {
        return sendError(client, ErrorCode::WrongState, request, 0, *why);
    }
    if (!sinkStream_ || !provider_) {
        sendError(client, ErrorCode::HostFailure, request, 0, "the camera has no sink stream");
        return;
    }
    // One producer at a time: two interleaved sink sessions would make the output alternate
    // between their pictures.
    if (const auto holder = sinkHolder(client.id)) {
        if (request != MessageType::SinkTakeOver) {
            sendError(client, ErrorCode::NotAuthorized, request, std::uint64_t(holder->peer.pid),
                      "the sink is held by \"" + holder->name + "\" (pid " +
                          std::to_string(holder->peer.pid) + ")");
            return;
        }
        log(Priority::Info, client.describe() + " takes the sink over from " + holder->describe());
        ++takeOvers_;
        holder->takenOverBy = Client::Taker{client.name, std::uint32_t(client.peer.pid)};
        // A session still starting is ended as soon as it has started.
        if (holder->sink == SessionState::Started) endSink(*holder, false);
    }
    client.sink = SessionState::Starting;
    client.sinkClient =
        std::make_shared<const CMIOExtensionClient>(UUID::random(), client.peer.pid, client.name);
    // Consume requests are taken from now on: the relay starts before the session is reported
    // started.
    sinkSessions_[client.sinkClient.get()] = client.id;
    viaCallbackQueue(
        [sessionClient = client.sinkClient](CameraEngine& engine) {
            return engine.startSinkOnCallbackQueue(sessionClient);
        },
        [id = client.id](CameraEngine& engine, const StartResult& result) {
            engine.sinkStartFinished(id, result);
        });
}

CameraEngine::StartResult CameraEngine::startSinkOnCallbackQueue(
    const CMIOExtensionClientRef& sessionClient) {
    const auto source = sinkStream_->source();
    if (!source) return StartFailure{ErrorCode::HostFailure, "the sink stream is gone"};
    if (!source->authorizedToStartStream(sessionClient)) {
        return StartFailure{ErrorCode::NotAuthorized, "the sink stream refused this client"};
    }
    if (auto failure = sinkUsers_.join(*source)) {
        return StartFailure{ErrorCode::HostFailure, std::move(*failure)};
    }
    const auto providerSource = provider_->source();
    NSError error;
    if (!providerSource || !providerSource->connect(sessionClient, &error)) {
        sinkUsers_.leave(source.get());
        log(Priority::Warning, "the provider refused a client: " + error.localizedDescription);
        return StartFailure{ErrorCode::HostFailure,
                            "the provider refused the client: " + error.localizedDescription};
    }
    return std::nullopt;
}

void CameraEngine::sinkStartFinished(std::uint64_t clientId, StartResult result) {
    const auto client = find(clientId);
    if (!client) return;
    if (result) {
        sinkSessions_.erase(client->sinkClient.get());
        client->sinkClient.reset();
        client->consumeRequests.clear();
        client->sink = SessionState::Idle;
        sendError(*client, result->code, MessageType::SinkStart, 0, result->text);
        forgetIfDone(clientId);
        return;
    }
    client->sink = SessionState::Started;
    ++sinkSessionsStarted_;
    // A client that left, or was taken over, while its session was starting has it ended at
    // once.
    if (client->state == ConnectionState::Closed || client->takenOverBy) {
        return endSink(*client, false);
    }
    sendTo(*client, wire::SinkStarted{});
}

void CameraEngine::handleSinkStop(Client& client) {
    if (const auto why = wrongSessionState(client.sink, SessionState::Started, "sink")) {
        return sendError(client, ErrorCode::WrongState, MessageType::SinkStop, 0, *why);
    }
    endSink(client, true);
}

void CameraEngine::endSink(Client& client, bool answerStop) {
    client.sink = SessionState::Stopping;
    client.answerSinkStop = answerStop;
    viaCallbackQueue(
        [sessionClient = client.sinkClient](CameraEngine& engine) {
            engine.sinkUsers_.leave(engine.sinkStream_->source().get());
            if (const auto providerSource = engine.provider_->source()) {
                providerSource->disconnect(sessionClient);
            }
        },
        [id = client.id](CameraEngine& engine) { engine.sinkEnded(id); });
}

void CameraEngine::sinkEnded(std::uint64_t clientId) {
    const auto client = find(clientId);
    if (!client) return;
    // The stream is stopped by now if this was the last session, so a relay that hears the
    // error does not ask again; one that does is released below, as the session is gone.
    std::deque<CMIOExtensionConsumeCompletion> requests = std::move(client->consumeRequests);
    client->consumeRequests.clear();
    for (CMIOExtensionConsumeCompletion& completion : requests) {
        completion(nullptr, 0, CMIOExtensionStreamDiscontinuityFlagNone, false,
                   NSError{kEngineErrorDomain, ECANCELED, "the sink session ended"});
    }
    sinkSessions_.erase(client->sinkClient.get());
    client->sinkClient.reset();
    // Each frame still queued comes back as dropped, posted before the answer below.
    std::deque<Client::QueuedFrame> queued = std::move(client->queue);
    client->queue.clear();
    queued.clear();
    client->sink = SessionState::Idle;
    if (client->answerSinkStop) {
        onLoop([clientId](CameraEngine& engine) {
            if (const auto client = engine.find(clientId)) {
                engine.sendTo(*client, wire::SinkStopped{});
            }
        });
    }
    if (const auto taker = std::exchange(client->takenOverBy, std::nullopt)) {
        // Subject and request type as an older client already understands them: a refusal of
        // its sink session, with the reason in the text.
        onLoop([clientId, taker = *taker](CameraEngine& engine) {
            if (const auto client = engine.find(clientId)) {
                engine.sendError(*client, ErrorCode::NotAuthorized, MessageType::SinkStart,
                                 taker.pid,
                                 "the sink was taken over by \"" + taker.name + "\" (pid " +
                                     std::to_string(taker.pid) + ")");
            }
        });
    }
    forgetIfDone(clientId);
}

void CameraEngine::acceptConsumeRequest(const CMIOExtensionClientRef& sessionClient,
                                        CMIOExtensionConsumeCompletion completion) {
    const auto session = sinkSessions_.find(sessionClient.get());
    // No session: the request is let go without an answer, which ends that relay.
    if (session == sinkSessions_.end()) return;
    const auto client = find(session->second);
    if (!client) return;
    if (client->sink == SessionState::Started && !client->queue.empty()) {
        Client::QueuedFrame frame = std::move(client->queue.front());
        client->queue.pop_front();
        frame.ticket->relayed.store(true);
        completion(frame.sampleBuffer, frame.sequence, CMIOExtensionStreamDiscontinuityFlagNone,
                   !client->queue.empty(), std::nullopt);
        reclaimIfStarved(*client);
        return;
    }
    client->consumeRequests.push_back(std::move(completion));
}

void CameraEngine::consumeSampleBuffer(CMIOExtensionStream& stream,
                                       const CMIOExtensionClientRef& client,
                                       CMIOExtensionConsumeCompletion completion) {
    // Always posted, so that a completion that asks again never runs inside the previous one.
    onLoop([stream = &stream, client, completion = std::move(completion)](CameraEngine& engine) {
        if (stream != engine.sinkStream_.get()) return;
        engine.acceptConsumeRequest(client, completion);
    });
}

}  // namespace kova::engine
