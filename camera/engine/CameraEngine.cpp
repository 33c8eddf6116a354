// The camera engine: client connections and their messages, sink sessions with their queues and
// consume requests, view sessions, the info query, and the calls into the extension.
#include "camera/engine/CameraEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "base/MemFd.h"
#include "camera/engine/Log.h"
#include "host/media/CMSampleBuffer.h"

namespace kova::engine {

namespace {

using wire::ErrorCode;
using wire::MessageType;

// How long a new connection may take to say Hello, and how many may wait to at once.
constexpr std::uint64_t kHelloTimeoutNs = 2'000'000'000;
constexpr std::size_t kMaxClientsAwaitingHello = 32;
// Messages taken from one client per wake-up, so that a busy client cannot starve the others.
constexpr int kMessagesPerWakeup = 32;
constexpr long double kNanosecondsPerSecond = 1e9L;
// How far ahead of the host clock a pushed frame may be stamped.
constexpr long double kMaximumLeadNanoseconds = 1e9L;
// The window of a producer's frame rate in the status.
constexpr std::uint64_t kRateWindowNanoseconds = 1'000'000'000;

const std::string kEngineErrorDomain = "com.kova.engine";

enum class ConnectionState { AwaitingHello, Ready, Closed };
enum class SessionState { Idle, Starting, Started, Stopping };

// A client that went away on its own (closed, crashed, killed) is no fault of anybody's.
bool isOrdinaryExit(int error) {
    return error == ECONNRESET || error == EPIPE;
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

const char* roleName(wire::Role role) {
    switch (role) {
        case wire::Role::Sink:
            return "sink";
        case wire::Role::View:
            return "view";
        case wire::Role::Info:
            return "info";
    }
    return "unknown";
}

bool roleMaySend(wire::Role role, MessageType type) {
    switch (type) {
        case MessageType::Ping:
        case MessageType::InfoRequest:
        case MessageType::StatusRequest:
            return true;
        case MessageType::RegisterBuffer:
        case MessageType::UnregisterBuffer:
        case MessageType::SinkStart:
        case MessageType::SinkTakeOver:
        case MessageType::SinkStop:
        case MessageType::Push:
            return role == wire::Role::Sink;
        case MessageType::ViewStart:
        case MessageType::ViewStop:
        case MessageType::Release:
            return role == wire::Role::View;
        default:
            return false;
    }
}

MessageType typeOf(const wire::Message& message) {
    return std::visit([](const auto& m) { return m.kType; }, message);
}

// What an error about this request names: its cookie, buffer id or token.
std::uint64_t subjectOf(const wire::Message& message) {
    if (const auto* m = std::get_if<wire::RegisterBuffer>(&message)) return m->cookie;
    if (const auto* m = std::get_if<wire::Ping>(&message)) return m->cookie;
    if (const auto* m = std::get_if<wire::UnregisterBuffer>(&message)) return m->bufferId;
    if (const auto* m = std::get_if<wire::Push>(&message)) return m->bufferId;
    if (const auto* m = std::get_if<wire::Release>(&message)) return m->token;
    return 0;
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

// A pushed frame's fate, decided on the loop and read where its pixel buffer is let go.
struct CameraEngine::PushTicket {
    std::atomic<bool> relayed{false};
};

struct CameraEngine::Client {
    struct QueuedFrame {
        CMSampleBufferRef sampleBuffer;
        std::uint64_t sequence = 0;
        std::shared_ptr<PushTicket> ticket;
    };
    struct RegisteredBuffer {
        std::shared_ptr<CVPixelBufferMemory> memory;
        CVPixelBuffer::Layout layout;
        bool busy = false;  // pushed and not returned yet
    };

    std::uint64_t id = 0;
    wire::PeerIdentity peer;
    std::uint64_t helloDeadline = 0;  // host time by which a Hello must have come
    std::shared_ptr<const wire::Connection> connection;  // null once disconnected
    ConnectionState state = ConnectionState::AwaitingHello;
    wire::Role role{};
    std::string name;
    // The client as the output stream sees it; one for the whole connection.
    CMIOExtensionClientRef viewClient;

    SessionState sink = SessionState::Idle;
    // The client as the sink stream and the provider see it: a new one for every sink session,
    // so that a relay left over from an ended session can never take a later session's frames.
    CMIOExtensionClientRef sinkClient;
    bool answerSinkStop = false;
    // Who ended (or is ending) this client's sink session with a SinkTakeOver.
    struct Taker {
        std::string name;
        std::uint32_t pid = 0;
    };
    std::optional<Taker> takenOverBy;
    std::deque<QueuedFrame> queue;
    std::deque<CMIOExtensionConsumeCompletion> consumeRequests;
    std::map<std::uint32_t, RegisteredBuffer> buffers;
    std::uint32_t nextBufferId = 1;
    std::uint64_t framesPushed = 0;
    std::uint64_t framesDropped = 0;
    std::uint64_t pushSequence = 0;
    std::deque<std::uint64_t> acceptedTimes;  // host times of accepted pushes, last second

    SessionState view = SessionState::Idle;
    bool answerViewStop = false;

    // Pongs and info replies on their way back from the callback queue.
    int answersViaCallbackQueue = 0;

    // Whether something this client asked for is still on the callback queue.
    bool awaitsCallbackQueue() const {
        const auto moving = [](SessionState state) {
            return state == SessionState::Starting || state == SessionState::Stopping;
        };
        return answersViaCallbackQueue > 0 || moving(sink) || moving(view);
    }

    std::string describe() const {
        return "client " + std::to_string(id) + " (\"" + name + "\", pid " +
               std::to_string(peer.pid) + ")";
    }
};

// ---- life ----

std::shared_ptr<CameraEngine> CameraEngine::create(Environment environment) {
    return std::shared_ptr<CameraEngine>(new CameraEngine(std::move(environment)));
}

CameraEngine::CameraEngine(Environment environment)
    : loop_(environment.loop),
      callbacks_(std::move(environment.callbacks)),
      hostTime_(std::move(environment.hostTime)),
      startedAt_(hostTime_()),
      fanOut_(hostTime_) {}

CameraEngine::~CameraEngine() {
    for (auto& [id, client] : clients_) {
        if (client->connection) loop_.unwatch(client->connection->fd());
    }
}

void CameraEngine::onLoop(std::function<void(CameraEngine&)> work) {
    loop_.perform([weak = weak_from_this(), work = std::move(work)] {
        if (const auto engine = weak.lock()) work(*engine);
    });
}

void CameraEngine::onCallbackQueue(std::function<void(CameraEngine&)> work) {
    callbacks_([weak = weak_from_this(), work = std::move(work)] {
        if (const auto engine = weak.lock()) work(*engine);
    });
}

std::shared_ptr<CameraEngine::Client> CameraEngine::find(std::uint64_t clientId) const {
    const auto found = clients_.find(clientId);
    return found == clients_.end() ? nullptr : found->second;
}

// ---- the service ----

void CameraEngine::serve(const CMIOExtensionProviderRef& provider, std::function<void()> serving) {
    provider_ = provider;
    const auto devices = provider_ ? provider_->devices() : std::vector<CMIOExtensionDeviceRef>{};
    device_ = devices.empty() ? nullptr : devices.front();
    if (device_) {
        for (const CMIOExtensionStreamRef& stream : device_->streams()) {
            if (stream->direction() == CMIOExtensionStreamDirectionSource && !outputStream_) {
                outputStream_ = stream;
            } else if (stream->direction() == CMIOExtensionStreamDirectionSink && !sinkStream_) {
                sinkStream_ = stream;
            }
        }
    }
    if (!outputStream_)
        log(Priority::Warning, "the device has no output stream; viewers are refused");
    if (!sinkStream_)
        log(Priority::Warning, "the device has no sink stream; sink clients are refused");
    outputStreamForFanOut_.store(outputStream_.get());

    // Pushed frames must have the sink stream's active format, as the stream itself says.
    onCallbackQueue([serving = std::move(serving)](CameraEngine& engine) {
        std::optional<SinkFormat> format;
        const auto source = engine.sinkStream_ ? engine.sinkStream_->source() : nullptr;
        if (source) {
            NSError error;
            const auto properties =
                source->streamProperties({CMIOExtensionPropertyStreamActiveFormatIndex}, &error);
            const std::int64_t active =
                properties ? properties->activeFormatIndex().value_or(0) : 0;
            const auto formats = source->formats();
            if (active >= 0 && std::size_t(active) < formats.size() && formats[active] &&
                formats[active]->formatDescription()) {
                const CMFormatDescriptionRef& description = formats[active]->formatDescription();
                const CMVideoDimensions dimensions = description->dimensions();
                if (dimensions.width > 0 && dimensions.height > 0) {
                    format =
                        SinkFormat{description->mediaSubType(), std::uint32_t(dimensions.width),
                                   std::uint32_t(dimensions.height), description};
                }
            }
        }
        engine.onLoop([format, serving](CameraEngine& engine) {
            engine.sinkFormat_ = format;
            if (!format && engine.sinkStream_) {
                log(Priority::Warning,
                    "the sink stream reports no usable format; buffers are refused");
            }
            if (serving) serving();
        });
    });
}

void CameraEngine::attach(base::UniqueFD socket, const wire::PeerIdentity& peer) {
    if (shuttingDown_) return;
    // Silent connections cannot take every fd: past the bound, the one that waited longest goes.
    std::shared_ptr<Client> oldestSilent;
    std::size_t silent = 0;
    for (const auto& [id, client] : clients_) {
        if (client->state != ConnectionState::AwaitingHello) continue;
        ++silent;
        if (!oldestSilent) oldestSilent = client;
    }
    if (silent >= kMaxClientsAwaitingHello) {
        hangUpOn(*oldestSilent, ErrorCode::LimitReached,
                 "too many connections are waiting to say Hello");
    }
    auto client = std::make_shared<Client>();
    client->id = nextClientId_++;
    client->peer = peer;
    client->helloDeadline = hostTime_() + kHelloTimeoutNs;
    client->connection =
        std::make_shared<const wire::Connection>(std::move(socket), wire::Peer::Host);
    const std::uint64_t id = client->id;
    const int watched = loop_.watch(client->connection->fd(), [weak = weak_from_this(), id] {
        if (const auto engine = weak.lock()) engine->receiveFrom(id);
    });
    if (watched < 0) {
        log(Priority::Error, "cannot watch the socket of pid " + std::to_string(peer.pid) + ": " +
                                 std::strerror(-watched));
        return;
    }
    clients_[id] = std::move(client);
}

std::optional<std::uint64_t> CameraEngine::closeSilentClients() {
    const std::uint64_t now = hostTime_();
    std::optional<std::uint64_t> next;
    std::vector<std::shared_ptr<Client>> late;
    for (const auto& [id, client] : clients_) {
        if (client->state != ConnectionState::AwaitingHello) continue;
        if (client->helloDeadline <= now) {
            late.push_back(client);
        } else if (!next || client->helloDeadline < *next) {
            next = client->helloDeadline;
        }
    }
    for (const auto& client : late) {
        hangUpOn(*client, ErrorCode::ProtocolViolation, "no Hello came within 2 s");
    }
    return next;
}

std::size_t CameraEngine::connectedClients() const {
    std::size_t count = 0;
    for (const auto& [id, client] : clients_) {
        if (client->state != ConnectionState::Closed) ++count;
    }
    return count;
}

void CameraEngine::shutdown(std::function<void()> done) {
    shuttingDown_ = true;
    shutdownDone_ = std::move(done);
    std::vector<std::shared_ptr<Client>> everyone;
    for (const auto& [id, client] : clients_) everyone.push_back(client);
    for (const auto& client : everyone) disconnect(*client);
    finishShutdownIfDone();
}

void CameraEngine::finishShutdownIfDone() {
    if (!shuttingDown_ || !clients_.empty() || !shutdownDone_) return;
    // Once through the callback queue, so that nothing queued there for a client is left.
    onCallbackQueue([done = std::exchange(shutdownDone_, {})](CameraEngine& engine) {
        engine.onLoop([done](CameraEngine&) { done(); });
    });
}

// ---- messages ----

void CameraEngine::receiveFrom(std::uint64_t clientId) {
    for (int i = 0; i < kMessagesPerWakeup; ++i) {
        const auto client = find(clientId);
        if (!client || client->state == ConnectionState::Closed) return;
        wire::ReceiveResult result = client->connection->receive();
        switch (result.status) {
            case wire::ReceiveResult::Status::Empty:
                return;
            case wire::ReceiveResult::Status::Closed:
                disconnect(*client);
                return;
            case wire::ReceiveResult::Status::Failed:
                log(isOrdinaryExit(-result.systemError) ? Priority::Info : Priority::Error,
                    "cannot read from " + client->describe() + ": " +
                        std::strerror(-result.systemError));
                disconnect(*client);
                return;
            case wire::ReceiveResult::Status::Invalid:
                log(Priority::Warning,
                    client->describe() + " broke the protocol: " + result.error.reason);
                client->connection->send(wire::disconnectError(result.error), -1,
                                         wire::SendMode::DontWait);
                disconnect(*client);
                return;
            case wire::ReceiveResult::Status::Message:
                handle(*client, std::move(*result.received));
                break;
        }
    }
}

void CameraEngine::handle(Client& client, wire::Received received) {
    const wire::Message& message = received.message;
    const MessageType type = typeOf(message);
    if (const auto* hello = std::get_if<wire::Hello>(&message)) {
        handleHello(client, *hello);
        return;
    }
    if (client.state != ConnectionState::Ready) {
        sendError(client, ErrorCode::WrongState, type, subjectOf(message),
                  std::string(wire::messageTypeName(type)) + " before the Hello");
        return;
    }
    if (!roleMaySend(client.role, type)) {
        sendError(client, ErrorCode::NotAllowed, type, subjectOf(message),
                  std::string(wire::messageTypeName(type)) + " is not for a " +
                      roleName(client.role) + " client");
        return;
    }
    if (received.fdLost) {
        sendError(client, ErrorCode::HostFailure, type, subjectOf(message),
                  "the camera has no file descriptors to spare and could not take the fd; "
                  "try again later");
        return;
    }
    if (const auto* m = std::get_if<wire::Ping>(&message)) return handlePing(client, *m);
    if (std::holds_alternative<wire::InfoRequest>(message)) return handleInfoRequest(client);
    if (std::holds_alternative<wire::StatusRequest>(message)) return handleStatusRequest(client);
    if (const auto* m = std::get_if<wire::RegisterBuffer>(&message)) {
        return handleRegisterBuffer(client, *m, std::move(received.fd));
    }
    if (const auto* m = std::get_if<wire::UnregisterBuffer>(&message)) {
        return handleUnregisterBuffer(client, *m);
    }
    if (const auto* m = std::get_if<wire::Push>(&message)) return handlePush(client, *m);
    if (std::holds_alternative<wire::SinkStart>(message)) {
        return handleSinkStart(client, MessageType::SinkStart);
    }
    if (std::holds_alternative<wire::SinkTakeOver>(message)) {
        return handleSinkStart(client, MessageType::SinkTakeOver);
    }
    if (std::holds_alternative<wire::SinkStop>(message)) return handleSinkStop(client);
    if (std::holds_alternative<wire::ViewStart>(message)) return handleViewStart(client);
    if (std::holds_alternative<wire::ViewStop>(message)) return handleViewStop(client);
    if (const auto* m = std::get_if<wire::Release>(&message)) return handleRelease(client, *m);
}

void CameraEngine::handleHello(Client& client, const wire::Hello& hello) {
    if (client.state != ConnectionState::AwaitingHello) {
        sendError(client, ErrorCode::WrongState, MessageType::Hello, 0, "a second Hello");
        return;
    }
    // Shown in log lines and handed to the extension: escaped, so it can forge neither.
    client.name = wire::printable(wire::textOf(hello.clientName));
    const auto ready = std::count_if(clients_.begin(), clients_.end(), [](const auto& entry) {
        return entry.second->state == ConnectionState::Ready;
    });
    if (std::size_t(ready) >= wire::kMaxClients) {
        return hangUpOn(
            client, ErrorCode::LimitReached,
            "the camera serves at most " + std::to_string(wire::kMaxClients) + " clients at once");
    }
    client.state = ConnectionState::Ready;
    client.role = hello.role;
    client.viewClient =
        std::make_shared<const CMIOExtensionClient>(UUID::random(), client.peer.pid, client.name);
    wire::Welcome welcome;
    welcome.role = hello.role;
    sendTo(client, welcome);
}

void CameraEngine::handlePing(Client& client, const wire::Ping& ping) {
    wire::Pong pong;
    pong.cookie = ping.cookie;
    const auto answer = [id = client.id, pong](CameraEngine& engine) {
        if (const auto client = engine.find(id)) engine.sendTo(*client, pong);
    };
    // The Pong says that everything the client asked for before is done. Most requests are
    // done on the loop by now, their answers at most posted to it: the Pong is posted behind
    // them. Only requests still on the callback queue make it go through there and back. A
    // producer pings after every push, so the short way saves two thread wake-ups a frame.
    if (!client.awaitsCallbackQueue()) return onLoop(answer);
    ++client.answersViaCallbackQueue;
    onCallbackQueue([id = client.id, answer](CameraEngine& engine) {
        engine.onLoop([id, answer](CameraEngine& engine) {
            if (const auto client = engine.find(id)) --client->answersViaCallbackQueue;
            answer(engine);
        });
    });
}

void CameraEngine::handleInfoRequest(Client& client) {
    ++client.answersViaCallbackQueue;
    onCallbackQueue([id = client.id](CameraEngine& engine) {
        const wire::InfoReply reply = engine.infoOnCallbackQueue();
        engine.onLoop([id, reply](CameraEngine& engine) {
            const auto client = engine.find(id);
            if (!client) return;
            --client->answersViaCallbackQueue;
            engine.sendTo(*client, reply);
        });
    });
}

wire::InfoReply CameraEngine::infoOnCallbackQueue() {
    wire::InfoReply reply;
    if (const auto source = provider_ ? provider_->source() : nullptr) {
        NSError error;
        const auto properties =
            source->providerProperties({CMIOExtensionPropertyProviderManufacturer}, &error);
        if (properties && properties->manufacturer()) {
            wire::setText(reply.providerManufacturer, *properties->manufacturer());
        }
    }
    if (!device_) return reply;
    wire::setText(reply.deviceName, device_->localizedName());
    wire::setText(reply.deviceId, device_->deviceID().uuidString());
    wire::setText(reply.legacyDeviceId, device_->legacyDeviceID().value_or(""));
    if (const auto source = device_->source()) {
        NSError error;
        const auto properties = source->deviceProperties(
            {CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType}, &error);
        if (properties) {
            wire::setText(reply.deviceModel, properties->model().value_or(""));
            reply.transportType = std::uint32_t(properties->transportType().value_or(0));
        }
    }
    for (const CMIOExtensionStreamRef& stream : device_->streams()) {
        if (reply.streamCount == wire::kMaxStreams) break;
        wire::StreamInfo& info = reply.streams[reply.streamCount++];
        wire::setText(info.name, stream->localizedName());
        info.direction = stream->direction() == CMIOExtensionStreamDirectionSink
                             ? wire::StreamDirection::Sink
                             : wire::StreamDirection::Source;
        const auto source = stream->source();
        if (!source) continue;
        NSError error;
        const auto properties = source->streamProperties(source->availableProperties(), &error);
        if (!properties) continue;
        const std::int64_t active = properties->activeFormatIndex().value_or(0);
        const auto formats = source->formats();
        if (active >= 0 && std::size_t(active) < formats.size() && formats[active] &&
            formats[active]->formatDescription()) {
            const CMFormatDescriptionRef& description = formats[active]->formatDescription();
            info.pixelFormat = description->mediaSubType();
            info.width = std::uint32_t(std::max(description->dimensions().width, 0));
            info.height = std::uint32_t(std::max(description->dimensions().height, 0));
        }
        if (const auto duration = properties->frameDuration()) {
            info.frameDurationValue = duration->value;
            info.frameDurationTimescale = duration->timescale;
        }
        auto count = [](std::optional<std::int64_t> value) {
            return std::uint32_t(std::clamp<std::int64_t>(value.value_or(0), 0, UINT32_MAX));
        };
        info.activeFormatIndex = count(active);
        info.sinkBufferQueueSize = count(properties->sinkBufferQueueSize());
        info.sinkBuffersRequiredForStartup = count(properties->sinkBuffersRequiredForStartup());
    }
    return reply;
}

// ---- status ----

std::shared_ptr<CameraEngine::Client> CameraEngine::sinkHolder(std::uint64_t except) const {
    for (const auto& [id, client] : clients_) {
        if (id == except || client->takenOverBy) continue;
        if (client->sink == SessionState::Starting || client->sink == SessionState::Started) {
            return client;
        }
    }
    return nullptr;
}

void CameraEngine::handleStatusRequest(Client& client) {
    wire::StatusReply reply;
    reply.cameraPid = std::uint32_t(::getpid());
    const std::uint64_t now = hostTime_();
    reply.uptimeNs = now - startedAt_;
    const ViewerFanOut::Tally tally = fanOut_.tally();
    reply.output = tally.viewers.empty() || !tally.lastOrigin ? wire::OutputShowing::Stopped
                   : *tally.lastOrigin == wire::FrameOrigin::Sink
                       ? wire::OutputShowing::Relayed
                       : wire::OutputShowing::Placeholder;
    if (const auto holder = sinkHolder(0)) {
        while (!holder->acceptedTimes.empty() &&
               holder->acceptedTimes.front() + kRateWindowNanoseconds < now) {
            holder->acceptedTimes.pop_front();
        }
        reply.hasProducer = 1;
        reply.producerPid = std::uint32_t(holder->peer.pid);
        wire::setText(reply.producerName, holder->name);
        reply.producerFramesLastSecond = std::uint32_t(holder->acceptedTimes.size());
        reply.producerPushed = holder->framesPushed;
        reply.producerDropped = holder->framesDropped;
    }
    reply.framesRelayed = tally.relayed;
    reply.framesPlaceholder = tally.placeholder;
    reply.framesPushed = totalPushed_;
    reply.framesDropped = totalDropped_;
    reply.framesMissed = tally.missed;
    reply.sinkSessions = sinkSessionsStarted_;
    reply.takeOvers = takeOvers_;
    for (const auto& [viewerId, viewerTally] : tally.viewers) {
        const auto viewer = find(viewerId);
        if (!viewer) continue;
        ++reply.viewerCount;
        if (reply.viewerEntries == wire::kMaxStatusViewers) continue;
        wire::StatusViewer& entry = reply.viewers[reply.viewerEntries++];
        wire::setText(entry.name, viewer->name);
        entry.pid = std::uint32_t(viewer->peer.pid);
        entry.framesSent = viewerTally.sent;
        entry.framesMissed = viewerTally.missed;
    }
    sendTo(client, reply);
}

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
    wire::BufferReturned returned;
    returned.bufferId = bufferId;
    returned.outcome = relayed ? wire::PushOutcome::Relayed : wire::PushOutcome::Dropped;
    sendTo(*client, returned);
}

// ---- sink sessions ----

void CameraEngine::handleSinkStart(Client& client, MessageType request) {
    if (client.sink != SessionState::Idle) {
        sendError(client, ErrorCode::WrongState, request, 0,
                  client.sink == SessionState::Started ? "the sink session is started already"
                                                       : "the last sink session has not ended");
        return;
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
    onCallbackQueue([id = client.id, sessionClient = client.sinkClient](CameraEngine& engine) {
        StartResult result = engine.startSinkOnCallbackQueue(sessionClient);
        engine.onLoop([id, result](CameraEngine& engine) { engine.sinkStartFinished(id, result); });
    });
}

CameraEngine::StartResult CameraEngine::startSinkOnCallbackQueue(
    const CMIOExtensionClientRef& sessionClient) {
    const auto source = sinkStream_->source();
    if (!source) return StartFailure{ErrorCode::HostFailure, "the sink stream is gone"};
    if (!source->authorizedToStartStream(sessionClient)) {
        return StartFailure{ErrorCode::NotAuthorized, "the sink stream refused this client"};
    }
    if (startedSinkSessions_ == 0) {
        NSError error;
        if (!source->startStream(&error)) {
            log(Priority::Error, "the sink stream failed to start: " + error.localizedDescription);
            return StartFailure{ErrorCode::HostFailure,
                                "the sink stream failed to start: " + error.localizedDescription};
        }
    }
    ++startedSinkSessions_;
    const auto providerSource = provider_->source();
    NSError error;
    if (!providerSource || !providerSource->connect(sessionClient, &error)) {
        if (--startedSinkSessions_ == 0) source->stopStream(nullptr);
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
    if (client.sink != SessionState::Started) {
        sendError(client, ErrorCode::WrongState, MessageType::SinkStop, 0,
                  client.sink == SessionState::Idle ? "no sink session is started"
                                                    : "the sink session is starting or ending");
        return;
    }
    endSink(client, true);
}

void CameraEngine::endSink(Client& client, bool answerStop) {
    client.sink = SessionState::Stopping;
    client.answerSinkStop = answerStop;
    onCallbackQueue([id = client.id, sessionClient = client.sinkClient](CameraEngine& engine) {
        const auto source = engine.sinkStream_->source();
        if (--engine.startedSinkSessions_ == 0 && source) {
            NSError error;
            if (!source->stopStream(&error)) {
                log(Priority::Error,
                    "the sink stream failed to stop: " + error.localizedDescription);
            }
        }
        if (const auto providerSource = engine.provider_->source()) {
            providerSource->disconnect(sessionClient);
        }
        engine.onLoop([id](CameraEngine& engine) { engine.sinkEnded(id); });
    });
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

// ---- view sessions ----

void CameraEngine::handleViewStart(Client& client) {
    if (client.view != SessionState::Idle) {
        sendError(client, ErrorCode::WrongState, MessageType::ViewStart, 0,
                  client.view == SessionState::Started ? "the view session is started already"
                                                       : "the last view session has not ended");
        return;
    }
    if (!outputStream_) {
        sendError(client, ErrorCode::HostFailure, MessageType::ViewStart, 0,
                  "the camera has no output stream");
        return;
    }
    client.view = SessionState::Starting;
    onCallbackQueue([id = client.id, viewClient = client.viewClient](CameraEngine& engine) {
        StartResult result = engine.startViewOnCallbackQueue(viewClient);
        engine.onLoop([id, result](CameraEngine& engine) { engine.viewStartFinished(id, result); });
    });
}

CameraEngine::StartResult CameraEngine::startViewOnCallbackQueue(
    const CMIOExtensionClientRef& viewClient) {
    const auto source = outputStream_->source();
    if (!source) return StartFailure{ErrorCode::HostFailure, "the output stream is gone"};
    if (!source->authorizedToStartStream(viewClient)) {
        return StartFailure{ErrorCode::NotAuthorized, "the output stream refused this client"};
    }
    if (startedViewSessions_ == 0) {
        NSError error;
        if (!source->startStream(&error)) {
            log(Priority::Error,
                "the output stream failed to start: " + error.localizedDescription);
            return StartFailure{ErrorCode::HostFailure,
                                "the output stream failed to start: " + error.localizedDescription};
        }
    }
    ++startedViewSessions_;
    return std::nullopt;
}

void CameraEngine::viewStartFinished(std::uint64_t clientId, StartResult result) {
    const auto client = find(clientId);
    if (!client) return;
    if (result) {
        client->view = SessionState::Idle;
        sendError(*client, result->code, MessageType::ViewStart, 0, result->text);
        forgetIfDone(clientId);
        return;
    }
    client->view = SessionState::Started;
    if (client->state == ConnectionState::Closed) return endView(*client, false);
    if (const int added = fanOut_.add(clientId, client->connection); added < 0) {
        log(Priority::Error,
            "cannot start viewing for " + client->describe() + ": " + std::strerror(-added));
        disconnect(*client);
    }
}

void CameraEngine::handleViewStop(Client& client) {
    if (client.view != SessionState::Started) {
        sendError(client, ErrorCode::WrongState, MessageType::ViewStop, 0,
                  client.view == SessionState::Idle ? "no view session is started"
                                                    : "the view session is starting or ending");
        return;
    }
    fanOut_.remove(client.id);
    endView(client, true);
}

void CameraEngine::endView(Client& client, bool answerStop) {
    client.view = SessionState::Stopping;
    client.answerViewStop = answerStop;
    onCallbackQueue([id = client.id](CameraEngine& engine) {
        const auto source = engine.outputStream_->source();
        if (--engine.startedViewSessions_ == 0 && source) {
            NSError error;
            if (!source->stopStream(&error)) {
                log(Priority::Error,
                    "the output stream failed to stop: " + error.localizedDescription);
            }
        }
        engine.onLoop([id](CameraEngine& engine) { engine.viewEnded(id); });
    });
}

void CameraEngine::viewEnded(std::uint64_t clientId) {
    const auto client = find(clientId);
    if (!client) return;
    client->view = SessionState::Idle;
    if (client->answerViewStop) sendTo(*client, wire::ViewStopped{});
    forgetIfDone(clientId);
}

void CameraEngine::handleRelease(Client& client, const wire::Release& release) {
    // Frames of a view session that has ended counted as released when it ended.
    if (client.view != SessionState::Started) return;
    if (!fanOut_.release(client.id, release.token)) {
        sendError(client, ErrorCode::WrongState, MessageType::Release, release.token,
                  "no unreleased frame has token " + std::to_string(release.token));
    }
}

// ---- what the extension hands the host ----

void CameraEngine::sendSampleBuffer(CMIOExtensionStream& stream,
                                    const CMSampleBufferRef& sampleBuffer,
                                    std::uint64_t hostTimeInNanoseconds) {
    if (&stream != outputStreamForFanOut_.load()) return;
    fanOut_.send(sampleBuffer, hostTimeInNanoseconds);
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

void CameraEngine::scheduledOutputChanged(CMIOExtensionStream&,
                                          const CMIOExtensionScheduledOutputRef&) {
    scheduledOutputs_.fetch_add(1);
}

// ---- sending and hanging up ----

void CameraEngine::sendTo(Client& client, const wire::Message& message) {
    if (client.state == ConnectionState::Closed) return;
    const int sent = client.connection->send(message, -1, wire::SendMode::DontWait);
    if (sent == 0) return;
    const Priority priority = isOrdinaryExit(-sent) ? Priority::Info
                              : sent == -EAGAIN     ? Priority::Warning
                                                    : Priority::Error;
    log(priority,
        "cannot send " + std::string(wire::messageTypeName(typeOf(message))) + " to " +
            client.describe() + ": " +
            (sent == -EAGAIN ? std::string("it does not read its socket") : std::strerror(-sent)) +
            "; disconnecting it");
    disconnect(client);
}

void CameraEngine::sendError(Client& client, ErrorCode code, MessageType request,
                             std::uint64_t subject, const std::string& text) {
    wire::Error error;
    error.code = code;
    error.requestType = std::uint32_t(request);
    error.subject = subject;
    wire::setText(error.text, text);
    sendTo(client, error);
}

void CameraEngine::hangUpOn(Client& client, ErrorCode code, const std::string& text) {
    log(Priority::Warning, "hung up on " + client.describe() + ": " + text);
    wire::Error error;
    error.code = code;
    error.disconnecting = 1;
    wire::setText(error.text, text);
    client.connection->send(error, -1, wire::SendMode::DontWait);
    disconnect(client);
}

void CameraEngine::disconnect(Client& client) {
    if (client.state == ConnectionState::Closed) return;
    client.state = ConnectionState::Closed;
    loop_.unwatch(client.connection->fd());
    fanOut_.remove(client.id);
    // The fan-out held the only other reference: the socket closes here.
    client.connection.reset();
    client.buffers.clear();
    // Started sessions end now; starting ones end when their start comes back, ending ones are
    // on their way.
    if (client.sink == SessionState::Started) endSink(client, false);
    if (client.view == SessionState::Started) endView(client, false);
    forgetIfDone(client.id);
}

void CameraEngine::forgetIfDone(std::uint64_t clientId) {
    const auto client = find(clientId);
    if (!client || client->state != ConnectionState::Closed) return;
    if (client->sink != SessionState::Idle || client->view != SessionState::Idle) return;
    clients_.erase(clientId);
    finishShutdownIfDone();
}

}  // namespace kova::engine
