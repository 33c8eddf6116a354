// The table of fuzz targets, their input formats, and what the targets share.
#include "fuzz/targets/FuzzTargets.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <variant>

namespace kova::fuzz {

namespace decoder {

std::vector<std::uint8_t> input(std::uint8_t control, std::span<const std::byte> packet) {
    std::vector<std::uint8_t> bytes(1 + packet.size());
    bytes[0] = control;
    if (!packet.empty()) std::memcpy(bytes.data() + 1, packet.data(), packet.size());
    return bytes;
}

}  // namespace decoder

namespace registration {
namespace {

constexpr std::size_t kLayoutAt = 0;
constexpr std::size_t kMemorySizeAt = 24;
constexpr std::size_t kSealsAt = 32;
constexpr std::size_t kKindAt = 33;
static_assert(sizeof(wire::FrameLayout) == kMemorySizeAt - kLayoutAt);

}  // namespace

Case parse(Input input) {
    std::array<std::uint8_t, kInputSize> bytes{};
    // Short inputs leave the rest zero.
    const std::size_t given = std::min(input.size(), bytes.size());
    if (given > 0) std::memcpy(bytes.data(), input.data(), given);
    Case c;
    std::memcpy(&c.layout, bytes.data() + kLayoutAt, sizeof c.layout);
    std::memcpy(&c.memorySize, bytes.data() + kMemorySizeAt, sizeof c.memorySize);
    c.memorySize = std::min(c.memorySize, kMemorySizeCeiling);
    c.seals = bytes[kSealsAt];
    c.kind = static_cast<MemoryKind>(bytes[kKindAt] % 4);
    return c;
}

std::vector<std::uint8_t> input(const Case& c) {
    std::vector<std::uint8_t> bytes(kInputSize);
    std::memcpy(bytes.data() + kLayoutAt, &c.layout, sizeof c.layout);
    std::memcpy(bytes.data() + kMemorySizeAt, &c.memorySize, sizeof c.memorySize);
    bytes[kSealsAt] = c.seals;
    bytes[kKindAt] = static_cast<std::uint8_t>(c.kind);
    return bytes;
}

}  // namespace registration

namespace {

constexpr std::array kTargets{
    Target{"message_decoder", runMessageDecoder},
    Target{"hello_exchange", runHelloExchange},
    Target{"buffer_registration", runBufferRegistration},
};

}  // namespace

std::span<const Target> targets() {
    return kTargets;
}

const Target* findTarget(std::string_view name) {
    for (const Target& target : kTargets) {
        if (name == target.name) return &target;
    }
    return nullptr;
}

Verdict refusalProblem(const wire::ProtocolError& error) {
    if (error.reason.empty()) return "refused without a reason";
    if (error.code != wire::ErrorCode::ProtocolViolation &&
        error.code != wire::ErrorCode::VersionMismatch) {
        return std::string("refused with the code \"") + wire::errorCodeName(error.code) +
               "\", which no decoder gives";
    }
    const wire::Error reply = wire::disconnectError(error);
    if (auto problem = wire::check(wire::Message(reply), wire::Peer::Host, 0)) {
        return "the Error that tells the peer why cannot be sent: " + problem->reason;
    }
    const std::string_view told = wire::textOf(reply.text);
    if (told != std::string_view(error.reason).substr(0, wire::kErrorTextSize - 1)) {
        return "the Error does not carry the reason intact: \"" + error.reason + "\"";
    }
    return std::nullopt;
}

std::span<const std::byte> wireBytes(const wire::Message& message) {
    return std::visit([](const auto& m) { return std::as_bytes(std::span(&m, 1)); }, message);
}

bool holdsBytes(const wire::Message& message, std::span<const std::byte> bytes) {
    const auto held = wireBytes(message);
    return held.size() == bytes.size() && std::memcmp(held.data(), bytes.data(), held.size()) == 0;
}

}  // namespace kova::fuzz
