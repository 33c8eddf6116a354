// Session: connecting, the hello, sending and receiving with kova::Error on failure; the host
// clock and the socket path.
#include "Session.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace kova {

std::uint64_t host_time_now() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

std::string default_socket_path() {
    return wire::resolveSocketPath().path;
}

}  // namespace kova

namespace kova::client {
namespace {

// What the hello names this client as: the program's own name.
std::string programName() {
    return program_invocation_short_name != nullptr ? program_invocation_short_name : "kova";
}

Error cameraGone(const std::string& path) {
    return Error(ErrorCode::Disconnected, "kova-camera went away (it was serving " + path + ")");
}

}  // namespace

std::string socketPathOf(const ConnectOptions& options) {
    return options.socket_path.empty() ? default_socket_path() : options.socket_path;
}

std::shared_ptr<Session> Session::open(const std::string& path, wire::Role role) {
    // A default folder another user could have made first (/tmp/kova-<uid>) is checked before
    // anything is said through it; a path given by name is the caller's choice.
    if (const wire::SocketLocation fallback = wire::resolveSocketPath();
        fallback.privateFolder && fallback.path == path) {
        if (auto failure = wire::checkTrustedFolder(path.substr(0, path.rfind('/')))) {
            throw Error(ErrorCode::Untrusted, "refusing the camera's socket: " + failure->message);
        }
    }
    auto socket = wire::connectTo(path);
    if (!socket.ok()) {
        const int error = -socket.failure().error;
        const bool nobodyThere = error == ENOENT || error == ECONNREFUSED;
        throw Error(nobodyThere ? ErrorCode::NoCamera : ErrorCode::SystemError,
                    socket.failure().message);
    }
    // Nothing, not even the hello, goes to a camera of another user.
    if (auto failure = wire::checkCamera(socket.value().get(), path, ::geteuid())) {
        throw Error(failure->error == -EACCES ? ErrorCode::Untrusted : ErrorCode::SystemError,
                    "refusing the camera: " + failure->message);
    }
    auto session = std::make_shared<Session>(
        wire::Connection(std::move(socket.value()), wire::Peer::Client), path);

    wire::Hello hello;
    hello.role = role;
    wire::setText(hello.clientName, programName());
    try {
        session->send(hello);
    } catch (const Error& error) {
        // A camera that turns this client away says why first, then hangs up, maybe before the
        // hello is out: its reason is still waiting to be read.
        if (error.code() != ErrorCode::Disconnected) throw;
        session->receive(Clock::now());
        throw;
    }
    session->welcome_ = await<wire::Welcome>(
        *session, Clock::now() + kReplyTimeout,
        [](wire::Received& other) { raiseUnexpected(other.message, "Welcome"); });
    if (session->welcome_.version != wire::kProtocolVersion || session->welcome_.role != role) {
        throw Error(ErrorCode::ProtocolError,
                    "kova-camera welcomed this client with another "
                    "protocol version or role than it asked for");
    }
    return session;
}

void Session::send(const wire::Message& message, int fd) const {
    const int result = connection_.send(message, fd);
    if (result == 0) return;
    const auto type = std::visit([](const auto& m) { return m.header.type; }, message);
    if (result == -EPIPE || result == -ECONNRESET) {
        throw cameraGone(path_);
    }
    throw Error(ErrorCode::SystemError, std::string("cannot send ") + wire::messageTypeName(type) +
                                            " to kova-camera: " + std::strerror(-result));
}

std::optional<wire::Received> Session::receive(Clock::time_point deadline) const {
    bool reset = false;
    for (;;) {
        auto result = connection_.receive();
        using Status = wire::ReceiveResult::Status;
        // A camera that hangs up with this client's messages unread resets the connection, and
        // the reset is reported before what it sent last (often the Error saying why): look
        // once more for that.
        if (reset && result.status != Status::Message) throw cameraGone(path_);
        switch (result.status) {
            case Status::Message:
                if (auto* error = std::get_if<wire::Error>(&result.received->message);
                    error != nullptr && error->disconnecting != 0) {
                    raiseCameraError(*error);
                }
                return std::move(result.received);
            case Status::Closed:
                throw cameraGone(path_);
            case Status::Invalid:
                throw Error(ErrorCode::ProtocolError,
                            "kova-camera sent a malformed message: " + result.error.reason);
            case Status::Failed:
                if (result.systemError == -ECONNRESET) {
                    reset = true;
                    continue;
                }
                throw Error(ErrorCode::SystemError,
                            std::string("cannot receive from kova-camera: ") +
                                std::strerror(-result.systemError));
            case Status::Empty:
                break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        const int ready =
            connection_.waitReadable(int(std::min<std::int64_t>(left.count(), 60'000)));
        if (ready < 0) {
            throw Error(ErrorCode::SystemError,
                        std::string("cannot wait for kova-camera: ") + std::strerror(-ready));
        }
    }
}

void raiseCameraError(const wire::Error& error) {
    std::string message = "kova-camera refused";
    if (error.requestType != 0) {
        message += ' ';
        message += wire::messageTypeName(wire::MessageType(error.requestType));
    }
    message += ": ";
    message += wire::readable(wire::textOf(error.text), wire::kErrorTextSize);
    // A sink session refused because another client's session holds the sink: the subject is
    // that client's pid.
    const bool sinkHeld = error.code == wire::ErrorCode::NotAuthorized && error.subject != 0 &&
                          (error.requestType == std::uint32_t(wire::MessageType::SinkStart) ||
                           error.requestType == std::uint32_t(wire::MessageType::SinkTakeOver));
    throw Error(sinkHeld ? ErrorCode::SinkBusy : ErrorCode::Refused, message);
}

void raiseUnexpected(const wire::Message& message, const char* waitingFor) {
    const auto type = std::visit([](const auto& m) { return m.header.type; }, message);
    throw Error(ErrorCode::ProtocolError, std::string("kova-camera sent ") +
                                              wire::messageTypeName(type) + " while this client " +
                                              "waited for " + waitingFor);
}

}  // namespace kova::client
