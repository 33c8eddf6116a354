// The seed corpora: valid messages of every type, and the edges around them, as inputs of each
// fuzz target.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/targets/FuzzTargets.h"

namespace kova::fuzz {
namespace {

using decoder::FdKind;
using registration::MemoryKind;
using namespace wire;

template <class M>
std::span<const std::byte> bytesOf(const M& message) {
    return std::as_bytes(std::span(&message, 1));
}

template <class M>
std::vector<std::uint8_t> packetOf(const M& message) {
    const auto bytes = bytesOf(message);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    return {data, data + bytes.size()};
}

constexpr FrameLayout kLayout{PixelFormat::BGRA, 16, 8, 64, 512};

Hello hello(Role role) {
    Hello message;
    message.role = role;
    setText(message.clientName, "kova-fuzz");
    return message;
}

Push push() {
    Push message;
    message.bufferId = 3;
    message.timeFlags = kTimeFlagValid;
    message.timeValue = 1'000'000'000;
    message.timeScale = 1'000'000'000;
    return message;
}

Frame frame(bool fdAttached) {
    Frame message;
    message.token = 1;
    message.sequence = 42;
    message.hostTimeNs = 1'000'000;
    message.bufferKey = 40;
    message.origin = FrameOrigin::Sink;
    message.fdAttached = fdAttached ? 1 : 0;
    message.layout = kLayout;
    return message;
}

InfoReply infoReply() {
    InfoReply message;
    setText(message.providerManufacturer, "Kova");
    setText(message.deviceName, "Kova Camera");
    setText(message.deviceId, "kova-device");
    setText(message.legacyDeviceId, "kova-legacy");
    setText(message.deviceModel, "Kova");
    message.transportType = 0x76697274;
    message.streamCount = 2;
    setText(message.streams[0].name, "output");
    message.streams[0].direction = StreamDirection::Source;
    message.streams[0].pixelFormat = std::uint32_t(PixelFormat::BGRA);
    message.streams[0].width = 1280;
    message.streams[0].height = 720;
    message.streams[0].frameDurationValue = 1;
    message.streams[0].frameDurationTimescale = 30;
    setText(message.streams[1].name, "sink");
    message.streams[1].direction = StreamDirection::Sink;
    message.streams[1].pixelFormat = std::uint32_t(PixelFormat::BGRA);
    message.streams[1].width = 1280;
    message.streams[1].height = 720;
    message.streams[1].frameDurationValue = 1;
    message.streams[1].frameDurationTimescale = 30;
    message.streams[1].sinkBufferQueueSize = kSinkQueueSize;
    message.streams[1].sinkBuffersRequiredForStartup = 1;
    return message;
}

// A header alone, claiming `length` bytes, followed by zeros up to `size`.
std::vector<std::uint8_t> rawPacket(MessageType type, std::uint32_t length, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    const MessageHeader header{type, length};
    std::memcpy(bytes.data(), &header, std::min(size, sizeof header));
    return bytes;
}

std::vector<Seed> decoderSeeds() {
    std::vector<Seed> seeds;
    auto add = [&](std::string name, std::uint8_t control,
                   const std::vector<std::uint8_t>& packet) {
        seeds.push_back(
            {std::move(name), decoder::input(control, std::as_bytes(std::span(packet)))});
    };
    const auto fromClient = [](std::size_t fds, FdKind kind = FdKind::SealedMemFd,
                               bool exhaust = false) {
        return decoder::control(fds, kind, false, exhaust);
    };
    const auto fromCamera = [](std::size_t fds) {
        return decoder::control(fds, FdKind::SealedMemFd, true);
    };

    // Every message a client sends, as it should.
    add("client_hello_sink", fromClient(0), packetOf(hello(Role::Sink)));
    add("client_hello_view", fromClient(0), packetOf(hello(Role::View)));
    add("client_hello_info", fromClient(0), packetOf(hello(Role::Info)));
    Ping ping;
    ping.cookie = 7;
    add("client_ping", fromClient(0), packetOf(ping));
    add("client_info_request", fromClient(0), packetOf(InfoRequest{}));
    RegisterBuffer registration;
    registration.cookie = 1;
    registration.layout = kLayout;
    add("client_register_buffer", fromClient(1), packetOf(registration));
    UnregisterBuffer unregistration;
    unregistration.bufferId = 3;
    add("client_unregister_buffer", fromClient(0), packetOf(unregistration));
    add("client_sink_start", fromClient(0), packetOf(SinkStart{}));
    add("client_sink_stop", fromClient(0), packetOf(SinkStop{}));
    add("client_push", fromClient(0), packetOf(push()));
    add("client_view_start", fromClient(0), packetOf(ViewStart{}));
    add("client_view_stop", fromClient(0), packetOf(ViewStop{}));
    Release release;
    release.token = 1;
    add("client_release", fromClient(0), packetOf(release));
    add("client_returns_area", fromClient(1), packetOf(ReturnsArea{}));
    add("client_returns_wanted", fromClient(0), packetOf(ReturnsWanted{}));

    // Every message the camera sends, as a client receives it.
    Welcome welcome;
    welcome.role = Role::Sink;
    add("camera_welcome", fromCamera(0), packetOf(welcome));
    add("camera_error", fromCamera(0),
        packetOf(disconnectError({ErrorCode::WrongState, "Push before SinkStart"})));
    Pong pong;
    pong.cookie = 7;
    add("camera_pong", fromCamera(0), packetOf(pong));
    add("camera_info_reply", fromCamera(0), packetOf(infoReply()));
    BufferRegistered registered;
    registered.cookie = 1;
    registered.bufferId = 5;
    add("camera_buffer_registered", fromCamera(0), packetOf(registered));
    add("camera_sink_started", fromCamera(0), packetOf(SinkStarted{}));
    add("camera_sink_stopped", fromCamera(0), packetOf(SinkStopped{}));
    PushRefused refused;
    refused.bufferId = 5;
    refused.reason = PushRefusal::QueueFull;
    refused.framesPushed = 9;
    refused.framesDropped = 1;
    refused.framesQueued = kSinkQueueSize;
    add("camera_push_refused", fromCamera(0), packetOf(refused));
    BufferReturned returned;
    returned.bufferId = 5;
    returned.outcome = PushOutcome::Relayed;
    add("camera_buffer_returned", fromCamera(0), packetOf(returned));
    add("camera_returns_posted", fromCamera(0), packetOf(ReturnsPosted{}));
    add("camera_view_started", fromCamera(1), packetOf(ViewStarted{}));
    add("camera_view_stopped", fromCamera(0), packetOf(ViewStopped{}));
    add("camera_frame_with_fd", fromCamera(1), packetOf(frame(true)));
    add("camera_frame_without_fd", fromCamera(0), packetOf(frame(false)));
    BufferGone gone;
    gone.bufferKey = 40;
    add("camera_buffer_gone", fromCamera(0), packetOf(gone));

    // The edges: fds where none belong or missing, too many, cut short; odd packet sizes.
    add("register_buffer_without_fd", fromClient(0), packetOf(registration));
    add("register_buffer_unsealed_fd", fromClient(1, FdKind::UnsealedMemFd),
        packetOf(registration));
    add("register_buffer_two_fds", fromClient(2), packetOf(registration));
    add("register_buffer_fd_table_full", fromClient(1, FdKind::SealedMemFd, true),
        packetOf(registration));
    add("push_with_pipe_fd", fromClient(1, FdKind::Pipe), packetOf(push()));
    add("ping_with_seven_fds", fromClient(7, FdKind::DevNull), packetOf(ping));
    add("ping_with_fd_table_full", fromClient(1, FdKind::DevNull, true), packetOf(ping));
    add("frame_says_fd_but_none", fromCamera(0), packetOf(frame(true)));
    add("empty_packet", fromClient(0), {});
    add("empty_packet_with_fd", fromClient(1), {});
    add("header_only", fromClient(0), rawPacket(MessageType::Ping, 8, 8));
    add("larger_than_a_message", fromClient(0),
        rawPacket(MessageType::Ping, kMaxMessageSize + 1, kMaxMessageSize + 1));
    Hello future = hello(Role::Sink);
    future.version = kProtocolVersion + 1;
    add("client_hello_next_version", fromClient(0), packetOf(future));
    return seeds;
}

std::vector<Seed> helloSeeds() {
    std::vector<Seed> seeds;
    auto add = [&](std::string name, std::vector<std::uint8_t> bytes) {
        seeds.push_back({std::move(name), std::move(bytes)});
    };
    add("hello_sink", packetOf(hello(Role::Sink)));
    add("hello_view", packetOf(hello(Role::View)));
    add("hello_info", packetOf(hello(Role::Info)));

    Hello next = hello(Role::Sink);
    next.version = kProtocolVersion + 1;
    add("hello_next_version", packetOf(next));
    // A hello of another version may have another size: only its first 16 bytes are promised.
    std::vector<std::uint8_t> longer = packetOf(next);
    longer.resize(longer.size() + 8);
    const MessageHeader longerHeader{MessageType::Hello, std::uint32_t(longer.size())};
    std::memcpy(longer.data(), &longerHeader, sizeof longerHeader);
    add("hello_next_version_longer", longer);
    std::vector<std::uint8_t> prefix = packetOf(next);
    prefix.resize(offsetof(Hello, version) + sizeof next.version);
    const MessageHeader prefixHeader{MessageType::Hello, std::uint32_t(prefix.size())};
    std::memcpy(prefix.data(), &prefixHeader, sizeof prefixHeader);
    add("hello_next_version_prefix_only", prefix);

    Hello badMagic = hello(Role::Sink);
    badMagic.magic = 0x4b4f5641;
    add("hello_bad_magic", packetOf(badMagic));
    Hello unterminated = hello(Role::View);
    std::memset(unterminated.clientName, 'k', sizeof unterminated.clientName);
    add("hello_name_not_terminated", packetOf(unterminated));
    Hello noRole = hello(Role::Sink);
    noRole.role = Role{};
    add("hello_without_role", packetOf(noRole));

    Welcome welcome;
    welcome.role = Role::View;
    add("welcome", packetOf(welcome));
    Welcome welcomeNext = welcome;
    welcomeNext.version = kProtocolVersion + 1;
    add("welcome_next_version", packetOf(welcomeNext));
    add("error_version_mismatch",
        packetOf(disconnectError({ErrorCode::VersionMismatch, "protocol version 2"})));
    add("header_only", rawPacket(MessageType::Hello, 8, 8));
    return seeds;
}

std::vector<Seed> registrationSeeds() {
    using namespace registration;
    constexpr std::uint8_t kSealed = kAllowSealing | kSealShrink | kSealGrow | kSealSeal;
    std::vector<Seed> seeds;
    auto add = [&](std::string name, const Case& c) {
        seeds.push_back({std::move(name), input(c)});
    };
    add("sealed_exact_size", {kLayout, kLayout.size, kSealed, MemoryKind::MemFd});
    add("sealed_larger", {kLayout, 4096, kSealed, MemoryKind::MemFd});
    add("sealed_one_byte_short", {kLayout, kLayout.size - 1, kSealed, MemoryKind::MemFd});
    add("sealed_against_writes_too",
        {kLayout, kLayout.size, kSealed | kSealWrite | kSealFutureWrite, MemoryKind::MemFd});
    add("not_sealed", {kLayout, kLayout.size, kAllowSealing, MemoryKind::MemFd});
    add("sealed_against_shrinking_only",
        {kLayout, kLayout.size, kAllowSealing | kSealShrink, MemoryKind::MemFd});
    add("sealing_not_allowed", {kLayout, kLayout.size, kSealShrink | kSealGrow, MemoryKind::MemFd});
    add("reopened_read_only", {kLayout, kLayout.size, kSealed, MemoryKind::ReopenedReadOnly});
    add("sealed_before_sized", {kLayout, kLayout.size, kSealed, MemoryKind::SealedBeforeSized});
    add("pipe", {kLayout, kLayout.size, kSealed, MemoryKind::Pipe});
    const FrameLayout padded{PixelFormat::BGRA, 16, 8, 128, 1024};
    add("padded_rows", {padded, padded.size, kSealed, MemoryKind::MemFd});
    const FrameLayout largest{PixelFormat::BGRA, kMaxFrameDimension, kMaxFrameDimension,
                              kMaxFrameDimension * 4, kMaxBufferBytes};
    add("largest_frame", {largest, largest.size, kSealed, MemoryKind::MemFd});
    FrameLayout unknownFormat = kLayout;
    unknownFormat.pixelFormat = PixelFormat{0x34325247};
    add("unknown_pixel_format", {unknownFormat, kLayout.size, kSealed, MemoryKind::MemFd});
    return seeds;
}

}  // namespace

std::vector<Seed> seedsFor(std::string_view target) {
    if (target == "message_decoder") return decoderSeeds();
    if (target == "hello_exchange") return helloSeeds();
    if (target == "buffer_registration") return registrationSeeds();
    return {};
}

}  // namespace kova::fuzz
