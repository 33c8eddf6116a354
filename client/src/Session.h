// Session: one connection to the camera in one role, from the hello on, with the library's
// error reporting (kova::Error) for everything that can go wrong on the way.
//
// Threading: send() and shutdown() may be called from any thread; receive() and the awaits from
// one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kova/kova.h"
#include "protocol/Protocol.h"
#include "protocol/Wire.h"

// For the private parts of exported classes, which would otherwise be exported with them.
#define KOVA_INTERNAL __attribute__((visibility("hidden")))

namespace kova::client {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, like the host clock

// A host clock time (CLOCK_MONOTONIC nanoseconds) as a deadline.
inline Clock::time_point clockTimeOf(std::uint64_t hostTimeNs) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(hostTimeNs)));
}

// How long the camera may take to answer a request before it counts as gone.
inline constexpr std::chrono::seconds kReplyTimeout{5};

// The path of the socket the options name.
std::string socketPathOf(const ConnectOptions& options);

class Session {
  public:
    // Connects to the camera at `path` and says hello as `role`; returns once it is welcomed.
    static std::shared_ptr<Session> open(const std::string& path, wire::Role role);

    Session(wire::Connection connection, std::string path)
        : connection_(std::move(connection)), path_(std::move(path)) {}

    const std::string& path() const { return path_; }
    const wire::Welcome& welcome() const { return welcome_; }
    int fd() const { return connection_.fd(); }

    // Sends one message, with `fd` attached (borrowed) if not -1. Throws Disconnected when the
    // camera has gone.
    void send(const wire::Message& message, int fd = -1) const;

    // The next message, waiting until `deadline`; nothing when none came in time. A camera
    // that hung up, broke the protocol or sent a disconnecting Error is thrown as kova::Error;
    // a non-disconnecting Error is returned like any other message.
    std::optional<wire::Received> receive(Clock::time_point deadline) const;

    // Ends the connection both ways; the camera sees the hang-up.
    void shutdown() const { connection_.shutdown(); }

  private:
    wire::Connection connection_;
    std::string path_;
    wire::Welcome welcome_{};
};

// The camera's Error as a kova::Error carrying the camera's text.
[[noreturn]] void raiseCameraError(const wire::Error& error);

// A message from the camera that makes no sense where it came.
[[noreturn]] void raiseUnexpected(const wire::Message& message, const char* waitingFor);

// Waits for a message of type Reply until `deadline`, handing every other message, Errors
// included, to `other` (which may throw). Throws Timeout when it does not come in time.
template <class Reply, class Other>
Reply awaitHandlingErrors(const Session& session, Clock::time_point deadline, Other&& other) {
    for (;;) {
        auto received = session.receive(deadline);
        if (!received) {
            throw Error(ErrorCode::Timeout, std::string("kova-camera did not answer in time (") +
                                                "waiting for " +
                                                wire::messageTypeName(Reply::kType) + ")");
        }
        if (auto* reply = std::get_if<Reply>(&received->message)) return *reply;
        other(*received);
    }
}

// As awaitHandlingErrors(), but Errors are raised.
template <class Reply, class Other>
Reply await(const Session& session, Clock::time_point deadline, Other&& other) {
    return awaitHandlingErrors<Reply>(session, deadline, [&other](wire::Received& received) {
        if (auto* error = std::get_if<wire::Error>(&received.message)) raiseCameraError(*error);
        other(received);
    });
}

}  // namespace kova::client
