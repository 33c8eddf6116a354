// Messages over a socket pair: each check of the decoder at its edge, with the reason it gives,
// and what sending and receiving promise. Arbitrary malformed packets are the fuzz targets'
// business: their corpus is replayed in every build.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/MemFd.h"
#include "protocol/Wire.h"
#include "tests/harness/FdCount.h"

namespace kova::wire::test {
namespace {

using Status = ReceiveResult::Status;

// The camera's end (speaking as the host) and the client's end of a fresh socket pair.
std::pair<Connection, Connection> connectedPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {Connection(base::UniqueFD(ends[0]), Peer::Host),
            Connection(base::UniqueFD(ends[1]), Peer::Client)};
}

struct Packet {
    std::vector<std::byte> bytes;
    Peer sender;
};

template <class M>
Packet packet(const M& message, Peer sender = M::kSender) {
    const auto* bytes = reinterpret_cast<const std::byte*>(&message);
    return {{bytes, bytes + sizeof message}, sender};
}

template <class M, class Change>
Packet changed(M message, Change change) {
    change(message);
    return packet(message);
}

// A client's packet of `size` bytes whose header says `type` and `length`.
Packet framed(MessageType type, std::uint32_t length, std::size_t size) {
    std::vector<std::byte> bytes(size);
    const MessageHeader header{type, length};
    std::memcpy(bytes.data(), &header, std::min(size, sizeof header));
    return {bytes, Peer::Client};
}

const FrameLayout kLayout{PixelFormat::BGRA, 16, 8, 80, 4096};

class ProtocolTest : public ::testing::Test {
  protected:
    kova::testing::FdLeakGuard leakGuard_;
    std::pair<Connection, Connection> ends_ = connectedPair();
    Connection& camera_ = ends_.first;
    Connection& client_ = ends_.second;
};

TEST_F(ProtocolTest, EachCheckOfTheDecoderHoldsAtItsEdgeAndSaysWhy) {
    const Hello hello{.role = Role::Sink};
    const Frame frame{.origin = FrameOrigin::Sink, .layout = kLayout};
    const RegisterBuffer registration{.layout = kLayout};
    const Error error{.code = ErrorCode::HostFailure};
    auto layout = [&](auto change) {
        return changed(registration, [&](RegisterBuffer& m) { change(m.layout); });
    };
    auto timed = [](std::uint32_t flags) { return packet(Push{.timeFlags = flags}); };

    struct Case {
        Packet packet;
        const char* refusal;  // part of the reason; null when the message is taken
        int fds = 0;          // sealed memfds attached
        ErrorCode code = ErrorCode::ProtocolViolation;
    };
    const std::vector<Case> cases = {
        // Each base the rows below change is itself valid.
        {packet(hello), nullptr},
        {packet(registration), nullptr, 1},
        {packet(frame), nullptr},
        {packet(error), nullptr},
        {packet(InfoReply{}), nullptr},
        {packet(StatusReply{}), nullptr},
        // Framing.
        {framed(MessageType::Push, 0, 5), "shorter than its 8-byte header"},
        {framed(MessageType::Push, 32, 40), "header says 32 bytes"},
        {framed(MessageType::Push, 24, 24), "Push must be 32 bytes, not 24"},
        {framed(MessageType::Push, 40, 40), "Push must be 32 bytes, not 40"},
        {framed(MessageType::Push, 0, kMaxMessageSize + 1), "larger than 1024 bytes"},
        {framed(MessageType{300}, kMaxMessageSize, kMaxMessageSize), "unknown message type 300"},
        {framed(MessageType{0}, 8, 8), "unknown message type 0"},
        {packet(frame, Peer::Client), "not sent by clients"},
        {packet(Push{}, Peer::Host), "not sent by the camera"},
        {changed(hello, [](auto& m) { m.version = 2; }),
         "protocol version 2 is not supported (this camera speaks version 3)", 0,
         ErrorCode::VersionMismatch},
        // Fields.
        {changed(hello, [](auto& m) { m.role = Role{4}; }), "is not a role"},
        {changed(hello, [](auto& m) { m.reserved = 1; }), "reserved field"},
        {changed(hello, [](auto& m) { std::memset(m.clientName, 'a', kNameSize); }),
         "clientName is not NUL-terminated"},
        {changed(hello, [](auto& m) { m.clientName[kNameSize - 1] = 'z'; }),
         "clientName is not NUL-terminated"},
        {changed(error, [](auto& m) { m.code = {}; }), "is not an error code"},
        {changed(error, [](auto& m) { m.code = ErrorCode{kLastErrorCode + 1}; }),
         "is not an error code"},
        {changed(error, [](auto& m) { m.requestType = 99; }), "request type 99"},
        {changed(error, [](auto& m) { m.disconnecting = 2; }), "disconnecting is 2"},
        {packet(PushRefused{}), "is not a reason"},
        {packet(BufferReturned{}), "is not an outcome"},
        {packet(BufferRegistered{}), "buffer id 0"},
        {changed(frame, [](auto& m) { m.origin = FrameOrigin{3}; }), "is not an origin"},
        {changed(frame, [](auto& m) { m.slot = kViewerFramesInFlight; }), "slot 4 is not below 4"},
        {packet(InfoReply{.streamCount = kMaxStreams + 1}), "5 streams"},
        {changed(InfoReply{}, [](auto& m) { m.streams[3].width = 1; }), "unused stream entry 3"},
        {changed(InfoReply{.streamCount = 1},
                 [](auto& m) { m.streams[0].direction = StreamDirection{2}; }),
         "direction 2"},
        {packet(StatusReply{.output = OutputShowing{3}}), "is not an output state"},
        {packet(StatusReply{.viewerEntries = 1}), "1 viewer entries for 0 viewers"},
        {packet(StatusReply{.viewerCount = 20, .viewerEntries = 9}), "at most 8"},
        {changed(StatusReply{}, [](auto& m) { m.viewers[7].pid = 1; }), "unused viewer entry 7"},
        {timed(1u << 5), "unknown bits"},
        {timed(kTimeFlagValid), "positive timescale"},
        {timed(0), nullptr},
        {timed(kTimeFlagValid | kTimeFlagPositiveInfinity), nullptr},
        // Frame layouts.
        {layout([](auto& l) { l.pixelFormat = PixelFormat{0x34325659}; }),
         "0x34325659 is not supported"},
        {layout([](auto& l) { l.width = kMaxFrameDimension + 1; }), "outside 1 to 8192"},
        {layout([](auto& l) { l.height = 0; }), "outside 1 to 8192"},
        {layout([](auto& l) { l.bytesPerRow = 16 * 4 - 4; }), "cannot hold 16 pixels"},
        {layout([](auto& l) { l.bytesPerRow = 16 * 4 + 1; }), "cannot hold 16 pixels"},
        {layout([](auto& l) { l.size = 639; }), "less than the frame's 640 bytes"},
        // 2^19 bytes × 8192 rows is 2^32: wrapped to 32 bits it would be 0 and pass any size.
        {layout([](auto& l) {
             l = {l.pixelFormat, 16, kMaxFrameDimension, 1u << 19, l.size};
         }),
         "less than the frame's 4294967296 bytes"},
        {layout([](auto& l) { l.size = kMaxBufferBytes + 1; }), "exceeds the limit"},
        {changed(frame, [](auto& m) { m.layout.width = 0; }), "Frame: frame size 0x8"},
        // Fds.
        {packet(Push{}), "Push takes no fd", 1},
        {packet(registration), "RegisterBuffer needs an fd"},
        {changed(frame, [](auto& m) { m.fdAttached = 1; }), "says an fd is attached, none is"},
        {packet(frame), "says no fd is attached, but one is", 1},
    };
    const base::UniqueFD memory = base::MemFd::create("kova-wire-test", 4096);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.refusal ? test.refusal : "a valid message");
        const bool fromClient = test.packet.sender == Peer::Client;
        ASSERT_EQ(sendPacket((fromClient ? client_ : camera_).fd(), test.packet.bytes,
                             std::vector<int>(test.fds, memory.get())),
                  0);
        const ReceiveResult result = (fromClient ? camera_ : client_).receive();
        if (test.refusal == nullptr) {
            EXPECT_EQ(result.status, Status::Message) << result.error.reason;
            continue;
        }
        ASSERT_EQ(result.status, Status::Invalid);
        EXPECT_EQ(result.error.code, test.code);
        EXPECT_NE(result.error.reason.find(test.refusal), std::string::npos)
            << "reason: " << result.error.reason;
        EXPECT_FALSE(result.received.has_value());
    }
    EXPECT_EQ(camera_.receive().status, Status::Empty) << "one packet, one answer";
    EXPECT_EQ(client_.receive().status, Status::Empty);
}

TEST_F(ProtocolTest, SendStampsTheHeaderAndRefusesWhatItsPeerWouldRefuse) {
    ASSERT_EQ(client_.send(Ping{.header = {MessageType::Frame, 3}, .cookie = 5}), 0);
    ReceiveResult result = camera_.receive();
    ASSERT_EQ(result.status, Status::Message) << result.error.reason;
    EXPECT_EQ(std::get<Ping>(result.received->message).cookie, 5u);

    const base::UniqueFD memory = base::MemFd::create("kova-wire-test", 4096);
    EXPECT_EQ(camera_.send(Push{}), -EINVAL) << "the camera does not push";
    EXPECT_EQ(client_.send(RegisterBuffer{.layout = kLayout}), -EINVAL) << "no fd";
    EXPECT_EQ(client_.send(Push{}, memory.get()), -EINVAL) << "push with fd";
    EXPECT_EQ(client_.send(Hello{}), -EINVAL) << "hello without a role";
    EXPECT_EQ(camera_.receive().status, Status::Empty);
}

// A peer's text goes into log lines and replies: it cannot forge a line or drive a terminal.
TEST_F(ProtocolTest, APeersTextIsShownEscapedAndBounded) {
    const std::pair<std::string_view, const char*> shown[] = {
        {"a\nkova-camera: forged", "a\\x0akova-camera: forged"},
        {"\x1b[2J\r\t\x7f", "\\x1b[2J\\x0d\\x09\\x7f"},
        {"say \"hi\" \\ \xc2\x9b", "say \\x22hi\\x22 \\x5c \\xc2\\x9b"},
        {std::string_view("nul\0after", 9), "nul\\x00after"},
    };
    for (const auto& [text, escaped] : shown) EXPECT_EQ(printable(text, 64), escaped);
    EXPECT_EQ(printable("abcdef", 4), "abcd...");
    // A whole text for a person keeps its quotes, and nothing else.
    EXPECT_EQ(readable("held by \"kova\" \\ \x1b[2J", 64), "held by \"kova\" \\ \\x1b[2J");
}

}  // namespace
}  // namespace kova::wire::test
