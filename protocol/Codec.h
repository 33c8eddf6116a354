// The message codec: checking the bytes of one packet as a whole message from a given side, and
// the Error that tells a peer why it is refused.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "protocol/Protocol.h"

namespace kova::wire {

// Why a message from a peer was refused. The host sends it back as an Error (see
// disconnectError) and hangs up.
struct ProtocolError {
    ErrorCode code = ErrorCode::ProtocolViolation;
    std::string reason;
};

// Checks `bytes` as one whole message from `sender` that arrived with `fdCount` fds: size at
// least a header, header length equal to the size, type known and sent by `sender`, the exact
// size of that type, the hello's magic and version, enums and counts in range, reserved fields
// zero, text fields NUL-terminated and NUL-padded, and the fds the type takes.
std::variant<Message, ProtocolError> decode(std::span<const std::byte> bytes, Peer sender,
                                            std::size_t fdCount);

// The checks of decode() past the header, for a message about to be sent by `sender`.
std::optional<ProtocolError> check(const Message& message, Peer sender, std::size_t fdCount);

// The Error that tells a peer why it is being disconnected.
Error disconnectError(const ProtocolError& error);

}  // namespace kova::wire
