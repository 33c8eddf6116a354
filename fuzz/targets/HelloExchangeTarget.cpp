// The hello_exchange target: the first message of a connection, read as the camera reads a
// client's hello and as a client reads the camera's answer to it.
#include <cstddef>
#include <cstring>
#include <string>
#include <variant>

#include "fuzz/targets/FuzzTargets.h"

namespace kova::fuzz {
namespace {

using wire::ErrorCode;
using wire::Message;
using wire::MessageType;
using wire::Peer;
using wire::ProtocolError;

using Bytes = std::span<const std::byte>;

std::uint32_t u32At(Bytes bytes, std::size_t offset) {
    std::uint32_t value = 0;
    if (bytes.size() >= offset + sizeof value) {
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    }
    return value;
}

// Whether `bytes` are framed as one message of `type`: a whole header whose length is the size.
bool framedAs(Bytes bytes, MessageType type) {
    return bytes.size() >= sizeof(wire::MessageHeader) &&
           u32At(bytes, offsetof(wire::MessageHeader, length)) == bytes.size() &&
           u32At(bytes, offsetof(wire::MessageHeader, type)) == std::uint32_t(type);
}

bool isKnownRole(wire::Role role) {
    return role == wire::Role::Sink || role == wire::Role::View || role == wire::Role::Info;
}

// A hello of another version, of whatever size: only its first 16 bytes are promised.
bool isHelloOfAnotherVersion(Bytes bytes) {
    constexpr std::size_t kStablePrefix = offsetof(wire::Hello, version) + sizeof(std::uint32_t);
    return framedAs(bytes, MessageType::Hello) && bytes.size() >= kStablePrefix &&
           u32At(bytes, offsetof(wire::Hello, magic)) == wire::kHelloMagic &&
           u32At(bytes, offsetof(wire::Hello, version)) != wire::kProtocolVersion;
}

bool isWelcomeOfAnotherVersion(Bytes bytes) {
    return framedAs(bytes, MessageType::Welcome) && bytes.size() == sizeof(wire::Welcome) &&
           u32At(bytes, offsetof(wire::Welcome, version)) != wire::kProtocolVersion;
}

// The version check answers exactly the peers of another version, and only them.
Verdict checkMismatch(const ProtocolError& error, bool otherVersion, const char* what) {
    const bool mismatch = error.code == ErrorCode::VersionMismatch;
    if (mismatch && !otherVersion) {
        return std::string("a version mismatch reported for what is not a ") + what +
               " of another version: " + error.reason;
    }
    if (!mismatch && otherVersion) {
        return std::string("a ") + what + " of another version refused as: " + error.reason;
    }
    return std::nullopt;
}

Verdict checkAcceptedHello(const wire::Hello& hello) {
    if (hello.magic != wire::kHelloMagic) return "accepted a hello with a bad magic";
    if (hello.version != wire::kProtocolVersion) {
        return "accepted a hello of version " + std::to_string(hello.version);
    }
    if (!isKnownRole(hello.role)) {
        return "accepted a hello for role " + std::to_string(std::uint32_t(hello.role));
    }
    // The camera answers it with a Welcome for that role, which must be sendable.
    wire::Welcome welcome;
    welcome.role = hello.role;
    if (auto problem = wire::check(Message(welcome), Peer::Host, 0)) {
        return "the Welcome that answers this hello cannot be sent: " + problem->reason;
    }
    return std::nullopt;
}

Verdict checkAcceptedWelcome(const wire::Welcome& welcome) {
    if (welcome.version != wire::kProtocolVersion) {
        return "a client accepted a Welcome of version " + std::to_string(welcome.version);
    }
    if (!isKnownRole(welcome.role)) return "a client accepted a Welcome for an unknown role";
    if (welcome.maxMessageSize == 0 || welcome.maxRegisteredBuffers == 0 ||
        welcome.sinkQueueSize == 0 || welcome.viewerFramesInFlight == 0) {
        return "a client accepted a Welcome with a limit of 0";
    }
    return std::nullopt;
}

// Whatever the decoder accepts is a message that `sender` may send, byte for byte as it came.
Verdict checkAccepted(const Message& message, Bytes bytes, Peer sender) {
    if (!holdsBytes(message, bytes)) return "the message returned differs from its bytes";
    if (auto problem = wire::check(message, sender, 0)) {
        return "accepted a message that its own check refuses: " + problem->reason;
    }
    return std::nullopt;
}

// The camera reads the first message of a client.
Verdict checkCameraReading(Bytes bytes) {
    const auto decoded = wire::decode(bytes, Peer::Client, 0);
    const bool otherVersion = isHelloOfAnotherVersion(bytes);
    if (const auto* error = std::get_if<ProtocolError>(&decoded)) {
        if (auto problem = refusalProblem(*error)) return problem;
        return checkMismatch(*error, otherVersion, "hello");
    }
    const Message& message = std::get<Message>(decoded);
    if (otherVersion) return "accepted a hello of another version";
    if (auto problem = checkAccepted(message, bytes, Peer::Client)) return problem;
    if (const auto* hello = std::get_if<wire::Hello>(&message)) return checkAcceptedHello(*hello);
    return std::nullopt;
}

// A client reads the camera's answer to its hello.
Verdict checkClientReading(Bytes bytes) {
    const auto decoded = wire::decode(bytes, Peer::Host, 0);
    const bool otherVersion = isWelcomeOfAnotherVersion(bytes);
    if (const auto* error = std::get_if<ProtocolError>(&decoded)) {
        if (auto problem = refusalProblem(*error)) return problem;
        return checkMismatch(*error, otherVersion, "Welcome");
    }
    const Message& message = std::get<Message>(decoded);
    if (auto problem = checkAccepted(message, bytes, Peer::Host)) return problem;
    if (const auto* welcome = std::get_if<wire::Welcome>(&message)) {
        return checkAcceptedWelcome(*welcome);
    }
    if (const auto* error = std::get_if<wire::Error>(&message)) {
        if (std::uint32_t(error->code) == 0 || std::uint32_t(error->code) > wire::kLastErrorCode) {
            return "a client accepted an Error with code " +
                   std::to_string(std::uint32_t(error->code));
        }
    }
    return std::nullopt;
}

}  // namespace

Verdict runHelloExchange(Input input) {
    const Bytes bytes = std::as_bytes(input);
    if (auto problem = checkCameraReading(bytes)) return "camera: " + *problem;
    if (auto problem = checkClientReading(bytes)) return "client: " + *problem;
    return std::nullopt;
}

}  // namespace kova::fuzz
