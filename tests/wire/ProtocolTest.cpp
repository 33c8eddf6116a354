// Messages over a socket pair: each check of the decoder at its edge, with the reason it gives,
// and what sending and receiving promise. Arbitrary malformed packets are the fuzz targets'
// business: their corpus is replayed in every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "tests/wire/WireTestSupport.h"

namespace kova::wire::test {
namespace {

using Status = ReceiveResult::Status;

template <class M>
std::vector<std::byte> packet(const M& message) {
    const auto bytes = bytesOf(message);
    return {bytes.begin(), bytes.end()};
}

template <class M, class Change>
std::vector<std::byte> changed(M message, Change change) {
    change(message);
    return packet(message);
}

// A packet of `size` bytes whose header says `type` and `length`.
std::vector<std::byte> framed(MessageType type, std::uint32_t length, std::size_t size) {
    std::vector<std::byte> bytes(size);
    const MessageHeader header{type, length};
    std::memcpy(bytes.data(), &header, std::min(size, sizeof header));
    return bytes;
}

Hello validHello() {
    Hello hello;
    hello.role = Role::Sink;
    setText(hello.clientName, "test");
    return hello;
}

Frame validFrame() {
    Frame frame;
    frame.origin = FrameOrigin::Sink;
    frame.layout = sampleLayout();
    return frame;
}

RegisterBuffer validRegistration() {
    RegisterBuffer registration;
    registration.layout = sampleLayout();
    return registration;
}

Error validError() {
    Error error;
    error.code = ErrorCode::HostFailure;
    return error;
}

class ProtocolTest : public FdLeakCheck {
  protected:
    ConnectedPair pair_;
};

TEST_F(ProtocolTest, EachCheckOfTheDecoderHoldsAtItsEdgeAndSaysWhy) {
    auto hello = [](auto change) { return changed(validHello(), change); };
    auto error = [](auto change) { return changed(validError(), change); };
    auto info = [](auto change) { return changed(InfoReply{}, change); };
    auto status = [](auto change) { return changed(StatusReply{}, change); };
    auto push = [](auto change) { return changed(Push{}, change); };
    auto frame = [](auto change) { return changed(validFrame(), change); };
    auto layout = [](auto change) {
        return changed(validRegistration(), [&](RegisterBuffer& m) { change(m.layout); });
    };
    auto timed = [&](std::uint32_t flags) { return push([=](Push& m) { m.timeFlags = flags; }); };

    struct Case {
        const char* what;
        std::vector<std::byte> bytes;
        Peer sender;
        const char* refusal;  // part of the reason; null when the message is taken
        int fds = 0;          // sealed memfds attached
        ErrorCode code = ErrorCode::ProtocolViolation;
    };
    const std::vector<Case> cases = {
        // Each base the rows below change is itself valid.
        {"hello", packet(validHello()), Peer::Client, nullptr},
        {"registration", packet(validRegistration()), Peer::Client, nullptr, 1},
        {"frame", packet(validFrame()), Peer::Host, nullptr},
        {"error", packet(validError()), Peer::Host, nullptr},
        {"info", packet(InfoReply{}), Peer::Host, nullptr},
        {"status", packet(StatusReply{}), Peer::Host, nullptr},
        // Framing.
        {"shorter than a header", std::vector<std::byte>(5), Peer::Client,
         "shorter than its 8-byte header"},
        {"header shorter than the packet", framed(MessageType::Push, 32, 40), Peer::Client,
         "header says 32 bytes"},
        {"shorter than its type", framed(MessageType::Push, 24, 24), Peer::Client,
         "Push must be 32 bytes, not 24"},
        {"longer than its type", framed(MessageType::Push, 40, 40), Peer::Client,
         "Push must be 32 bytes, not 40"},
        {"one past the size limit", std::vector<std::byte>(kMaxMessageSize + 1), Peer::Client,
         "larger than 1024 bytes"},
        {"largest packet, unknown type", framed(MessageType{300}, kMaxMessageSize, kMaxMessageSize),
         Peer::Client, "unknown message type 300"},
        {"type 0", framed(MessageType{0}, 8, 8), Peer::Client, "unknown message type 0"},
        {"frame from a client", packet(validFrame()), Peer::Client, "not sent by clients"},
        {"push from the camera", packet(Push{}), Peer::Host, "not sent by the camera"},
        {"version 2", hello([](Hello& m) { m.version = 2; }), Peer::Client,
         "protocol version 2 is not supported (this camera speaks version 3)", 0,
         ErrorCode::VersionMismatch},
        // Fields.
        {"role past the last", hello([](Hello& m) { m.role = Role{4}; }), Peer::Client,
         "is not a role"},
        {"reserved", hello([](Hello& m) { m.reserved = 1; }), Peer::Client, "reserved field"},
        {"name unterminated", hello([](Hello& m) { std::memset(m.clientName, 'a', kNameSize); }),
         Peer::Client, "clientName is not NUL-terminated"},
        {"bytes after the NUL", hello([](Hello& m) { m.clientName[kNameSize - 1] = 'z'; }),
         Peer::Client, "clientName is not NUL-terminated"},
        {"error code 0", error([](Error& m) { m.code = {}; }), Peer::Host, "is not an error code"},
        {"error code past the last",
         error([](Error& m) { m.code = ErrorCode{kLastErrorCode + 1}; }), Peer::Host,
         "is not an error code"},
        {"error request type", error([](Error& m) { m.requestType = 99; }), Peer::Host,
         "request type 99"},
        {"flag of 2", error([](Error& m) { m.disconnecting = 2; }), Peer::Host,
         "disconnecting is 2"},
        {"refusal reason", packet(PushRefused{}), Peer::Host, "is not a reason"},
        {"push outcome", packet(BufferReturned{}), Peer::Host, "is not an outcome"},
        {"buffer id 0", packet(BufferRegistered{}), Peer::Host, "buffer id 0"},
        {"frame origin", frame([](Frame& m) { m.origin = FrameOrigin{3}; }), Peer::Host,
         "is not an origin"},
        {"frame slot", frame([](Frame& m) { m.slot = kViewerFramesInFlight; }), Peer::Host,
         "slot 4 is not below 4"},
        {"stream count", info([](InfoReply& m) { m.streamCount = kMaxStreams + 1; }), Peer::Host,
         "5 streams"},
        {"unused stream filled", info([](InfoReply& m) { m.streams[3].width = 1; }), Peer::Host,
         "unused stream entry 3"},
        {"stream direction", info([](InfoReply& m) {
             m.streamCount = 1;
             m.streams[0].direction = StreamDirection{2};
         }),
         Peer::Host, "direction 2"},
        {"output state", status([](StatusReply& m) { m.output = OutputShowing{3}; }), Peer::Host,
         "is not an output state"},
        {"viewer entries past the count", status([](StatusReply& m) { m.viewerEntries = 1; }),
         Peer::Host, "1 viewer entries for 0 viewers"},
        {"viewer entries past the limit", status([](StatusReply& m) {
             m.viewerCount = 20;
             m.viewerEntries = 9;
         }),
         Peer::Host, "at most 8"},
        {"unused viewer filled", status([](StatusReply& m) { m.viewers[7].pid = 1; }), Peer::Host,
         "unused viewer entry 7"},
        {"unknown time flags", timed(1u << 5), Peer::Client, "unknown bits"},
        {"valid time, timescale 0", timed(kTimeFlagValid), Peer::Client, "positive timescale"},
        {"no time", timed(0), Peer::Client, nullptr},
        {"+infinity", timed(kTimeFlagValid | kTimeFlagPositiveInfinity), Peer::Client, nullptr},
        {"-infinity", timed(kTimeFlagValid | kTimeFlagNegativeInfinity), Peer::Client, nullptr},
        {"indefinite", timed(kTimeFlagValid | kTimeFlagIndefinite), Peer::Client, nullptr},
        // Frame layouts.
        {"pixel format", layout([](FrameLayout& l) { l.pixelFormat = PixelFormat{0x34325659}; }),
         Peer::Client, "0x34325659 is not supported"},
        {"width past the limit", layout([](FrameLayout& l) { l.width = kMaxFrameDimension + 1; }),
         Peer::Client, "outside 1 to 8192"},
        {"height 0", layout([](FrameLayout& l) { l.height = 0; }), Peer::Client,
         "outside 1 to 8192"},
        {"row too short", layout([](FrameLayout& l) { l.bytesPerRow = 16 * 4 - 4; }), Peer::Client,
         "cannot hold 16 pixels"},
        {"row not whole pixels", layout([](FrameLayout& l) { l.bytesPerRow = 16 * 4 + 1; }),
         Peer::Client, "cannot hold 16 pixels"},
        {"size a byte under the frame", layout([](FrameLayout& l) { l.size = 639; }), Peer::Client,
         "less than the frame's 640 bytes"},
        // 2^19 bytes × 8192 rows is 2^32: wrapped to 32 bits it would be 0 and pass any size.
        {"rows that overflow 32 bits", layout([](FrameLayout& l) {
             l.height = kMaxFrameDimension;
             l.bytesPerRow = 1u << 19;
         }),
         Peer::Client, "less than the frame's 4294967296 bytes"},
        {"size past the limit", layout([](FrameLayout& l) { l.size = kMaxBufferBytes + 1; }),
         Peer::Client, "exceeds the limit"},
        {"a frame's layout", frame([](Frame& m) { m.layout.width = 0; }), Peer::Host,
         "Frame: frame size 0x8"},
        // Fds.
        {"fd on a push", packet(Push{}), Peer::Client, "Push takes no fd", 1},
        {"registration without fd", packet(validRegistration()), Peer::Client,
         "RegisterBuffer needs an fd"},
        {"frame claims an fd", frame([](Frame& m) { m.fdAttached = 1; }), Peer::Host,
         "says an fd is attached, none is"},
        {"frame hides an fd", packet(validFrame()), Peer::Host,
         "says no fd is attached, but one is", 1},
    };
    const base::UniqueFD memory = makeSealedMemFd();
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const bool fromClient = test.sender == Peer::Client;
        sendRaw((fromClient ? pair_.client : pair_.camera).fd(), test.bytes,
                std::vector<int>(test.fds, memory.get()));
        const ReceiveResult result = (fromClient ? pair_.camera : pair_.client).receive();
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
    EXPECT_EQ(pair_.camera.receive().status, Status::Empty) << "one packet, one answer";
    EXPECT_EQ(pair_.client.receive().status, Status::Empty);
}

TEST_F(ProtocolTest, SendStampsTheHeaderAndRefusesWhatItsPeerWouldRefuse) {
    Ping ping;
    ping.header = MessageHeader{MessageType::Frame, 3};
    ping.cookie = 5;
    ASSERT_EQ(pair_.client.send(ping), 0);
    ReceiveResult result = pair_.camera.receive();
    ASSERT_EQ(result.status, Status::Message) << result.error.reason;
    EXPECT_EQ(std::get<Ping>(result.received->message).cookie, 5u);

    const base::UniqueFD memory = makeSealedMemFd();
    EXPECT_EQ(pair_.camera.send(Push{}), -EINVAL) << "the camera does not push";
    EXPECT_EQ(pair_.client.send(validRegistration()), -EINVAL) << "registration without fd";
    EXPECT_EQ(pair_.client.send(Push{}, memory.get()), -EINVAL) << "push with fd";
    EXPECT_EQ(pair_.client.send(Hello{}), -EINVAL) << "hello without a role";
    EXPECT_EQ(pair_.camera.receive().status, Status::Empty);
    EXPECT_EQ(pair_.client.receive().status, Status::Empty);
}

TEST_F(ProtocolTest, TextIsCutToItsFieldAndAPeersTextIsShownEscapedAndBounded) {
    Hello hello;
    setText(hello.clientName, std::string(200, 'x'));
    EXPECT_EQ(textOf(hello.clientName), std::string(kNameSize - 1, 'x'));
    const Error error = disconnectError({ErrorCode::VersionMismatch, std::string(300, 'r')});
    EXPECT_EQ(error.disconnecting, 1u);
    EXPECT_EQ(textOf(error.text), std::string(kErrorTextSize - 1, 'r'));

    const struct {
        std::string_view text;
        std::size_t limit;
        const char* shown;
    } cases[] = {
        {"kova view", 64, "kova view"},
        {"a\nkova-camera: forged", 64, "a\\x0akova-camera: forged"},
        {"\x1b[2J\r\t\x7f", 64, "\\x1b[2J\\x0d\\x09\\x7f"},
        {"say \"hi\" \\ \xc2\x9b", 64, "say \\x22hi\\x22 \\x5c \\xc2\\x9b"},
        {std::string_view("nul\0after", 9), 64, "nul\\x00after"},
        {"abcdef", 4, "abcd..."},
    };
    for (const auto& test : cases) EXPECT_EQ(printable(test.text, test.limit), test.shown);
    // A whole text for a person keeps its quotes, and nothing else.
    EXPECT_EQ(readable("held by \"kova\" \\ \x1b[2J", 64), "held by \"kova\" \\ \\x1b[2J");
}

TEST_F(ProtocolTest, ReceiveReportsEmptyThenWhatWasSentBeforeTheHangUpThenTheHangUp) {
    EXPECT_EQ(pair_.camera.receive().status, Status::Empty);
    EXPECT_EQ(pair_.camera.waitReadable(0), 0);
    ASSERT_EQ(pair_.client.send(SinkStart{}), 0);
    pair_.client.shutdown();
    EXPECT_EQ(pair_.camera.waitReadable(-1), 1);
    ReceiveResult result = pair_.camera.receive();
    ASSERT_EQ(result.status, Status::Message);
    EXPECT_TRUE(std::holds_alternative<SinkStart>(result.received->message));
    EXPECT_EQ(pair_.camera.receive().status, Status::Closed);
}

TEST_F(ProtocolTest, SendNeitherBlocksWhenAskedNotToNorRaisesASignalAtAGonePeer) {
    int sent = 0;
    int result = 0;
    while ((result = pair_.camera.send(Pong{}, -1, SendMode::DontWait)) == 0 && sent < 1'000'000) {
        ++sent;
    }
    ASSERT_EQ(result, -EAGAIN) << "after " << sent << " messages";
    ASSERT_EQ(pair_.client.receive().status, Status::Message);
    EXPECT_EQ(pair_.camera.send(Pong{}, -1, SendMode::DontWait), 0) << "room again";

    ConnectedPair quiet;  // with nothing unread, whose close would read as a reset
    { Connection gone = std::move(quiet.client); }
    EXPECT_EQ(quiet.camera.send(SinkStarted{}), -EPIPE);
}

}  // namespace
}  // namespace kova::wire::test
