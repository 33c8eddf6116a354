// The camera engine: its life, the service it gives (taking clients, shutting down), each
// client's messages and their dispatch, and sending to and hanging up on clients.
#include "camera/engine/CameraEngine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "camera/engine/EngineClient.h"
#include "camera/engine/Log.h"

namespace kova::engine {

namespace {

using wire::ErrorCode;
using wire::MessageType;

// How long a new connection may take to say Hello, and how many may wait to at once.
constexpr std::uint64_t kHelloTimeoutNs = 2'000'000'000;
constexpr std::size_t kMaxClientsAwaitingHello = 32;
// Messages taken from one client per wake-up, so that a busy client cannot starve the others.
constexpr int kMessagesPerWakeup = 32;

// A client that went away on its own (closed, crashed, killed) is no fault of anybody's.
bool isOrdinaryExit(int error) {
    return error == ECONNRESET || error == EPIPE;
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
    const wire::MessageRow* row = wire::rowOf(type);
    if (!row) return false;
    switch (row->roles) {
        case wire::RoleRule::Any:
            return true;
        case wire::RoleRule::Sink:
            return role == wire::Role::Sink;
        case wire::RoleRule::View:
            return role == wire::Role::View;
        case wire::RoleRule::None:
            break;
    }
    return false;
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

}  // namespace

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
    viaCallbackQueue(
        [](CameraEngine& engine) {
            std::optional<SinkFormat> format;
            const auto source = engine.sinkStream_ ? engine.sinkStream_->source() : nullptr;
            if (source) {
                NSError error;
                const auto properties = source->streamProperties(
                    {CMIOExtensionPropertyStreamActiveFormatIndex}, &error);
                const std::int64_t active =
                    properties ? properties->activeFormatIndex().value_or(0) : 0;
                const auto formats = source->formats();
                if (active >= 0 && std::size_t(active) < formats.size() && formats[active] &&
                    formats[active]->formatDescription()) {
                    const CMFormatDescriptionRef& description =
                        formats[active]->formatDescription();
                    const CMVideoDimensions dimensions = description->dimensions();
                    if (dimensions.width > 0 && dimensions.height > 0) {
                        format =
                            SinkFormat{description->mediaSubType(), std::uint32_t(dimensions.width),
                                       std::uint32_t(dimensions.height), description};
                    }
                }
            }
            return format;
        },
        [serving = std::move(serving)](CameraEngine& engine, std::optional<SinkFormat> format) {
            engine.sinkFormat_ = format;
            if (!format && engine.sinkStream_) {
                log(Priority::Warning,
                    "the sink stream reports no usable format; buffers are refused");
            }
            if (serving) serving();
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
    viaCallbackQueue([](CameraEngine&) {},
                     [done = std::exchange(shutdownDone_, {})](CameraEngine&) { done(); });
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
    if (std::holds_alternative<wire::ReturnsWanted>(message)) return handleReturnsWanted(client);
    if (std::holds_alternative<wire::ReturnsArea>(message)) {
        return handleReturnsArea(client, std::move(received.fd));
    }
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
    viaCallbackQueue([](CameraEngine&) {},
                     [id = client.id, answer](CameraEngine& engine) {
                         if (const auto client = engine.find(id)) --client->answersViaCallbackQueue;
                         answer(engine);
                     });
}

void CameraEngine::handleInfoRequest(Client& client) {
    ++client.answersViaCallbackQueue;
    viaCallbackQueue([](CameraEngine& engine) { return engine.infoOnCallbackQueue(); },
                     [id = client.id](CameraEngine& engine, const wire::InfoReply& reply) {
                         const auto client = engine.find(id);
                         if (!client) return;
                         --client->answersViaCallbackQueue;
                         engine.sendTo(*client, reply);
                     });
}

void CameraEngine::scheduledOutputChanged(CMIOExtensionStream&,
                                          const CMIOExtensionScheduledOutputRef&) {
    // The relay reports each buffer it has output; nothing here waits for that.
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
