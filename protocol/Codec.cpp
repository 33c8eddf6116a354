// The message codec: every check a message passes before it is accepted or sent.
#include "protocol/Codec.h"

#include <cstring>
#include <string_view>
#include <type_traits>

#include "protocol/Sentences.h"

namespace kova::wire {
namespace {

using namespace sentences;

using Problem = std::optional<ProtocolError>;

Problem violation(std::string reason) {
    return ProtocolError{ErrorCode::ProtocolViolation, std::move(reason)};
}

// NUL-terminated within the field and zero after the terminator.
template <std::size_t N>
bool isPaddedText(const char (&field)[N]) {
    const std::size_t length = strnlen(field, N);
    if (length == N) return false;
    for (std::size_t i = length; i < N; ++i) {
        if (field[i] != 0) return false;
    }
    return true;
}

template <std::size_t N>
Problem checkText(const char* message, const char* fieldName, const char (&field)[N]) {
    if (isPaddedText(field)) return std::nullopt;
    return violation(
        says(message, ": text field ", fieldName, " is not NUL-terminated and NUL-padded"));
}

Problem checkReserved(const char* message, std::uint32_t reserved) {
    if (reserved == 0) return std::nullopt;
    return violation(says(message, ": reserved field is ", reserved, ", not 0"));
}

Problem checkFlag(const char* message, const char* fieldName, std::uint32_t value) {
    if (value <= 1) return std::nullopt;
    return violation(says(message, ": ", fieldName, " is ", value, ", not 0 or 1"));
}

Problem checkLayout(const char* message, const FrameLayout& layout) {
    const std::uint32_t pixelBytes = bytesPerPixel(layout.pixelFormat);
    if (pixelBytes == 0) {
        return violation(
            says(message, ": pixel format ", hex(raw(layout.pixelFormat)), " is not supported"));
    }
    if (layout.width == 0 || layout.width > kMaxFrameDimension || layout.height == 0 ||
        layout.height > kMaxFrameDimension) {
        return violation(says(message, ": frame size ", layout.width, "x", layout.height,
                              " is outside 1 to ", kMaxFrameDimension));
    }
    // Widened to 64 bits: none of these products can overflow.
    const std::uint64_t rowBytes = std::uint64_t{layout.width} * pixelBytes;
    if (layout.bytesPerRow < rowBytes || layout.bytesPerRow % pixelBytes != 0) {
        return violation(says(message, ": ", layout.bytesPerRow, " bytes per row cannot hold ",
                              layout.width, " pixels"));
    }
    const std::uint64_t frameBytes = std::uint64_t{layout.bytesPerRow} * layout.height;
    if (layout.size < frameBytes) {
        return violation(says(message, ": size ", layout.size, " is less than the frame's ",
                              frameBytes, " bytes"));
    }
    if (layout.size > kMaxBufferBytes) {
        return violation(says(message, ": size ", layout.size, " exceeds the limit of ",
                              kMaxBufferBytes, " bytes"));
    }
    return std::nullopt;
}

bool isRole(Role role) {
    return raw(role) >= raw(Role::Sink) && raw(role) <= raw(Role::Info);
}

bool isMessageType(std::uint32_t type) {
    return std::string_view(messageTypeName(MessageType{type})) != "unknown";
}

Problem checkFields(const Hello& m) {
    if (m.magic != kHelloMagic) return violation("Hello: this is not a Kova client (bad magic)");
    if (m.version != kProtocolVersion) {
        return ProtocolError{
            ErrorCode::VersionMismatch,
            says("protocol version ", m.version, " is not supported (this camera speaks version ",
                 kProtocolVersion, ")")};
    }
    if (!isRole(m.role)) return violation(says("Hello: ", raw(m.role), " is not a role"));
    if (auto problem = checkReserved("Hello", m.reserved)) return problem;
    return checkText("Hello", "clientName", m.clientName);
}

Problem checkFields(const Welcome& m) {
    if (m.version != kProtocolVersion) {
        return ProtocolError{ErrorCode::VersionMismatch,
                             says("the camera speaks protocol version ", m.version,
                                  ", this client speaks version ", kProtocolVersion)};
    }
    if (!isRole(m.role)) return violation(says("Welcome: ", raw(m.role), " is not a role"));
    if (m.maxMessageSize == 0 || m.maxRegisteredBuffers == 0 || m.sinkQueueSize == 0 ||
        m.viewerFramesInFlight == 0 || m.viewerHoldLimitMs == 0) {
        return violation("Welcome: a limit is 0");
    }
    return checkReserved("Welcome", m.reserved);
}

Problem checkFields(const Error& m) {
    if (raw(m.code) == 0 || raw(m.code) > kLastErrorCode) {
        return violation(says("Error: ", raw(m.code), " is not an error code"));
    }
    if (m.requestType != 0 && !isMessageType(m.requestType)) {
        return violation(says("Error: request type ", m.requestType, " is not a message type"));
    }
    if (auto problem = checkFlag("Error", "disconnecting", m.disconnecting)) return problem;
    if (auto problem = checkReserved("Error", m.reserved)) return problem;
    return checkText("Error", "text", m.text);
}

Problem checkFields(const InfoReply& m) {
    if (auto problem = checkText("InfoReply", "providerManufacturer", m.providerManufacturer)) {
        return problem;
    }
    if (auto problem = checkText("InfoReply", "deviceName", m.deviceName)) return problem;
    if (auto problem = checkText("InfoReply", "deviceId", m.deviceId)) return problem;
    if (auto problem = checkText("InfoReply", "legacyDeviceId", m.legacyDeviceId)) return problem;
    if (auto problem = checkText("InfoReply", "deviceModel", m.deviceModel)) return problem;
    if (m.streamCount > kMaxStreams) {
        return violation(says("InfoReply: ", m.streamCount, " streams, at most ", kMaxStreams));
    }
    for (std::size_t i = 0; i < kMaxStreams; ++i) {
        const StreamInfo& stream = m.streams[i];
        if (i >= m.streamCount) {
            static constexpr StreamInfo kUnused{};
            if (std::memcmp(&stream, &kUnused, sizeof stream) != 0) {
                return violation(says("InfoReply: unused stream entry ", i, " is not zero"));
            }
            continue;
        }
        if (auto problem = checkText("InfoReply", "streams[].name", stream.name)) return problem;
        if (raw(stream.direction) > raw(StreamDirection::Sink)) {
            return violation(
                says("InfoReply: stream ", i, " has direction ", raw(stream.direction)));
        }
    }
    return std::nullopt;
}

Problem checkFields(const StatusReply& m) {
    if (raw(m.output) > raw(OutputShowing::Placeholder)) {
        return violation(says("StatusReply: ", raw(m.output), " is not an output state"));
    }
    if (auto problem = checkFlag("StatusReply", "hasProducer", m.hasProducer)) return problem;
    if (auto problem = checkText("StatusReply", "producerName", m.producerName)) return problem;
    if (m.viewerEntries > kMaxStatusViewers || m.viewerEntries > m.viewerCount) {
        return violation(says("StatusReply: ", m.viewerEntries, " viewer entries for ",
                              m.viewerCount, " viewers, at most ", kMaxStatusViewers));
    }
    if (auto problem = checkReserved("StatusReply", m.reserved)) return problem;
    for (std::size_t i = 0; i < kMaxStatusViewers; ++i) {
        const StatusViewer& viewer = m.viewers[i];
        if (i >= m.viewerEntries) {
            static constexpr StatusViewer kUnused{};
            if (std::memcmp(&viewer, &kUnused, sizeof viewer) != 0) {
                return violation(says("StatusReply: unused viewer entry ", i, " is not zero"));
            }
            continue;
        }
        if (auto problem = checkText("StatusReply", "viewers[].name", viewer.name)) return problem;
        if (auto problem = checkReserved("StatusReply", viewer.reserved)) return problem;
    }
    return std::nullopt;
}

Problem checkFields(const RegisterBuffer& m) {
    if (auto problem = checkReserved("RegisterBuffer", m.reserved)) return problem;
    return checkLayout("RegisterBuffer", m.layout);
}

Problem checkFields(const BufferRegistered& m) {
    if (m.bufferId == 0) return violation("BufferRegistered: buffer id 0");
    return std::nullopt;
}

Problem checkFields(const UnregisterBuffer& m) {
    return checkReserved("UnregisterBuffer", m.reserved);
}

Problem checkFields(const Push& m) {
    if ((m.timeFlags & ~kTimeFlagsKnown) != 0) {
        return violation(says("Push: time flags ", hex(m.timeFlags), " have unknown bits"));
    }
    const bool finite = (m.timeFlags & kTimeFlagValid) != 0 &&
                        (m.timeFlags & (kTimeFlagPositiveInfinity | kTimeFlagNegativeInfinity |
                                        kTimeFlagIndefinite)) == 0;
    if (finite && m.timeScale <= 0) {
        return violation(says("Push: a valid time needs a positive timescale, not ", m.timeScale));
    }
    return checkReserved("Push", m.reserved);
}

Problem checkFields(const PushRefused& m) {
    if (raw(m.reason) == 0 || raw(m.reason) > kLastPushRefusal) {
        return violation(says("PushRefused: ", raw(m.reason), " is not a reason"));
    }
    return checkReserved("PushRefused", m.reserved);
}

Problem checkFields(const BufferReturned& m) {
    if (m.outcome != PushOutcome::Relayed && m.outcome != PushOutcome::Dropped) {
        return violation(says("BufferReturned: ", raw(m.outcome), " is not an outcome"));
    }
    return std::nullopt;
}

Problem checkFields(const Frame& m) {
    if (m.origin != FrameOrigin::Sink && m.origin != FrameOrigin::Placeholder) {
        return violation(says("Frame: ", raw(m.origin), " is not an origin"));
    }
    if (auto problem = checkFlag("Frame", "fdAttached", m.fdAttached)) return problem;
    if (m.slot >= kViewerFramesInFlight) {
        return violation(says("Frame: slot ", m.slot, " is not below ", kViewerFramesInFlight));
    }
    return checkLayout("Frame", m.layout);
}

// Messages whose every bit pattern is valid: empty ones, cookies, tokens and keys.
template <class M>
Problem checkFields(const M&) {
    return std::nullopt;
}

template <class M>
Problem checkFds(const M& m, std::size_t fdCount) {
    const char* name = messageTypeName(M::kType);
    if (fdCount > kMaxFdsPerMessage) {
        return violation(
            says(name, ": ", fdCount, " fds attached, at most ", kMaxFdsPerMessage, " allowed"));
    }
    if constexpr (M::kFds == FdRule::None) {
        if (fdCount != 0) return violation(says(name, " takes no fd, but one is attached"));
    } else if constexpr (M::kFds == FdRule::Required) {
        if (fdCount == 0) return violation(says(name, " needs an fd, none is attached"));
    } else {
        if (m.fdAttached == 1 && fdCount == 0) {
            return violation(says(name, " says an fd is attached, none is"));
        }
        if (m.fdAttached == 0 && fdCount != 0) {
            return violation(says(name, " says no fd is attached, but one is"));
        }
    }
    return std::nullopt;
}

const char* senderName(Peer peer) {
    return peer == Peer::Client ? "clients" : "the camera";
}

template <class M>
Problem checkMessage(const M& m, Peer sender, std::size_t fdCount) {
    if (M::kSender != sender) {
        return violation(says(messageTypeName(M::kType), " is not sent by ", senderName(sender)));
    }
    if (auto problem = checkFields(m)) return problem;
    return checkFds(m, fdCount);
}

// The hello's first 16 bytes are the same in every version, so a peer of another version is
// told so even when the rest of its hello has another size.
Problem checkHelloPrefix(std::span<const std::byte> bytes) {
    constexpr std::size_t kPrefix = offsetof(Hello, version) + sizeof(Hello::version);
    if (bytes.size() < kPrefix) return std::nullopt;
    Hello hello;
    std::memcpy(&hello.magic, bytes.data() + offsetof(Hello, magic), sizeof hello.magic);
    std::memcpy(&hello.version, bytes.data() + offsetof(Hello, version), sizeof hello.version);
    if (hello.magic != kHelloMagic)
        return violation("Hello: this is not a Kova client (bad magic)");
    if (hello.version != kProtocolVersion) return checkFields(hello);
    return std::nullopt;
}

template <std::size_t I = 0>
std::variant<Message, ProtocolError> decodeAs(MessageType type, std::span<const std::byte> bytes,
                                              Peer sender, std::size_t fdCount) {
    if constexpr (I == std::variant_size_v<Message>) {
        return ProtocolError{ErrorCode::ProtocolViolation,
                             says("unknown message type ", raw(type))};
    } else {
        using M = std::variant_alternative_t<I, Message>;
        if (type != M::kType) return decodeAs<I + 1>(type, bytes, sender, fdCount);
        const char* name = messageTypeName(M::kType);
        if (M::kSender != sender) {
            return ProtocolError{ErrorCode::ProtocolViolation,
                                 says(name, " is not sent by ", senderName(sender))};
        }
        if constexpr (M::kType == MessageType::Hello) {
            if (auto problem = checkHelloPrefix(bytes)) return *problem;
        }
        if (bytes.size() != sizeof(M)) {
            return ProtocolError{ErrorCode::ProtocolViolation,
                                 says(name, " must be ", sizeof(M), " bytes, not ", bytes.size())};
        }
        M message;
        std::memcpy(&message, bytes.data(), sizeof message);
        if (auto problem = checkMessage(message, sender, fdCount)) return *problem;
        return Message(message);
    }
}

}  // namespace

std::variant<Message, ProtocolError> decode(std::span<const std::byte> bytes, Peer sender,
                                            std::size_t fdCount) {
    if (bytes.size() < sizeof(MessageHeader)) {
        return ProtocolError{ErrorCode::ProtocolViolation,
                             says("message of ", bytes.size(), " bytes is shorter than its ",
                                  sizeof(MessageHeader), "-byte header")};
    }
    MessageHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.length != bytes.size()) {
        return ProtocolError{
            ErrorCode::ProtocolViolation,
            says("header says ", header.length, " bytes, but ", bytes.size(), " arrived")};
    }
    return decodeAs(header.type, bytes, sender, fdCount);
}

std::optional<ProtocolError> check(const Message& message, Peer sender, std::size_t fdCount) {
    return std::visit([&](const auto& m) { return checkMessage(m, sender, fdCount); }, message);
}

Error disconnectError(const ProtocolError& error) {
    Error message;
    message.code = error.code;
    message.disconnecting = 1;
    setText(message.text, error.reason);
    return message;
}

}  // namespace kova::wire
