// Messages over a socket pair: every type arrives intact, and every kind of malformed packet is
// refused with a reason before anything acts on it.
#include <gtest/gtest.h>

#include <cstddef>
#include <set>
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

struct BadPacket {
    const char* what;
    std::vector<std::byte> bytes;
    Peer sender;
    const char* reasonContains;
    ErrorCode code = ErrorCode::ProtocolViolation;
};

class ProtocolTest : public FdLeakCheck {
  protected:
    // Sends `bytes` raw from `sender`'s end and returns what the other end makes of it.
    ReceiveResult deliver(const std::vector<std::byte>& bytes, Peer sender,
                          const std::vector<int>& fds = {}) {
        const Connection& from = sender == Peer::Client ? pair_.client : pair_.camera;
        const Connection& to = sender == Peer::Client ? pair_.camera : pair_.client;
        sendRaw(from.fd(), bytes, fds);
        return to.receive();
    }

    void expectRefused(const BadPacket& bad, const std::vector<int>& fds = {}) {
        SCOPED_TRACE(bad.what);
        const ReceiveResult result = deliver(bad.bytes, bad.sender, fds);
        ASSERT_EQ(result.status, Status::Invalid);
        EXPECT_EQ(result.error.code, bad.code);
        EXPECT_NE(result.error.reason.find(bad.reasonContains), std::string::npos)
            << "reason: " << result.error.reason;
        EXPECT_FALSE(result.received.has_value());
    }

    ConnectedPair pair_;
};

TEST_F(ProtocolTest, EveryMessageTypeArrivesIntactWithItsFd) {
    const std::vector<Message> samples = sampleMessages();
    std::set<std::size_t> kinds;
    for (const Message& sample : samples) kinds.insert(sample.index());
    ASSERT_EQ(kinds.size(), std::variant_size_v<Message>) << "one sample of every message";
    ASSERT_EQ(samples.size(), kinds.size());
    base::UniqueFD memory = makeSealedMemFd();

    for (const Message& sample : samples) {
        std::visit(
            [&](const auto& message) {
                using M = std::decay_t<decltype(message)>;
                SCOPED_TRACE(messageTypeName(M::kType));
                const bool sendsFd = M::kFds != FdRule::None;
                const Connection& from = M::kSender == Peer::Client ? pair_.client : pair_.camera;
                const Connection& to = M::kSender == Peer::Client ? pair_.camera : pair_.client;

                ASSERT_EQ(from.send(sample, sendsFd ? memory.get() : -1), 0);
                ReceiveResult result = to.receive();
                ASSERT_EQ(result.status, Status::Message) << result.error.reason;
                const auto* arrived = std::get_if<M>(&result.received->message);
                ASSERT_NE(arrived, nullptr);
                EXPECT_EQ(std::memcmp(arrived, &message, sizeof message), 0);
                EXPECT_EQ(result.received->fd.isValid(), sendsFd);
                if (sendsFd) {
                    EXPECT_TRUE(sameFile(result.received->fd.get(), memory.get()));
                }
            },
            sample);
    }
}

TEST_F(ProtocolTest, SendStampsTheHeaderAndRefusesWhatWouldBreakTheProtocol) {
    Ping ping;
    ping.header = MessageHeader{MessageType::Frame, 3};
    ping.cookie = 5;
    ASSERT_EQ(pair_.client.send(ping), 0);
    ReceiveResult result = pair_.camera.receive();
    ASSERT_EQ(result.status, Status::Message) << result.error.reason;
    EXPECT_EQ(std::get<Ping>(result.received->message).cookie, 5u);

    base::UniqueFD memory = makeSealedMemFd();
    Hello noRole;
    Frame frameClaimingFd = validFrame();
    frameClaimingFd.fdAttached = 1;
    EXPECT_EQ(pair_.camera.send(Push{}), -EINVAL) << "the camera does not push";
    EXPECT_EQ(pair_.client.send(validRegistration()), -EINVAL) << "registration without fd";
    EXPECT_EQ(pair_.client.send(Push{}, memory.get()), -EINVAL) << "push with fd";
    EXPECT_EQ(pair_.client.send(noRole), -EINVAL);
    EXPECT_EQ(pair_.camera.send(frameClaimingFd), -EINVAL);
    EXPECT_EQ(pair_.camera.receive().status, Status::Empty);
    EXPECT_EQ(pair_.client.receive().status, Status::Empty);
}

TEST_F(ProtocolTest, LongTextIsCutToFitItsField) {
    Hello hello = validHello();
    setText(hello.clientName, std::string(200, 'x'));
    EXPECT_EQ(textOf(hello.clientName), std::string(kNameSize - 1, 'x'));
    setText(hello.clientName, "short");
    EXPECT_EQ(textOf(hello.clientName), "short");
    ASSERT_EQ(pair_.client.send(hello), 0);
    ReceiveResult result = pair_.camera.receive();
    ASSERT_EQ(result.status, Status::Message) << result.error.reason;
    EXPECT_EQ(textOf(std::get<Hello>(result.received->message).clientName), "short");
}

TEST_F(ProtocolTest, PeersTextIsShownEscapedAndBounded) {
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

TEST_F(ProtocolTest, MalformedPacketsAreRefused) {
    Push push;
    push.header.length = 24;
    std::vector<std::byte> truncatedPush = packet(push);
    truncatedPush.resize(24);

    std::vector<std::byte> overlongPush = packet(Push{});
    overlongPush.resize(40);

    std::vector<std::byte> largestPacket(kMaxMessageSize);
    const MessageHeader unknownLargest{MessageType{300}, kMaxMessageSize};
    std::memcpy(largestPacket.data(), &unknownLargest, sizeof unknownLargest);

    const std::vector<BadPacket> cases = {
        {"garbage", std::vector<std::byte>(37, std::byte{0xa5}), Peer::Client, "header says"},
        {"shorter than a header", std::vector<std::byte>(5), Peer::Client,
         "shorter than its 8-byte header"},
        {"truncated", truncatedPush, Peer::Client, "Push must be 32 bytes, not 24"},
        {"header shorter than packet", overlongPush, Peer::Client, "header says 32 bytes"},
        {"one past the limit", std::vector<std::byte>(kMaxMessageSize + 1), Peer::Client,
         "larger than 1024 bytes"},
        {"far past the limit", std::vector<std::byte>(5000), Peer::Client, "larger than"},
        {"largest packet, unknown type", largestPacket, Peer::Client, "unknown message type 300"},
        {"type 0", packet(MessageHeader{MessageType{0}, 8}), Peer::Client,
         "unknown message type 0"},
        {"frame from a client", packet(validFrame()), Peer::Client, "not sent by clients"},
        {"push from the camera", packet(Push{}), Peer::Host, "not sent by the camera"},
    };
    for (const BadPacket& bad : cases) expectRefused(bad);
    EXPECT_EQ(pair_.camera.receive().status, Status::Empty) << "one packet, one answer";
}

TEST_F(ProtocolTest, FieldsOutOfRangeAreRefused) {
    auto frameWith = [](auto change) { return changed(validFrame(), change); };
    auto registrationWith = [](auto change) { return changed(validRegistration(), change); };

    Error validError;
    validError.code = ErrorCode::HostFailure;
    InfoReply validInfo;
    StatusReply validStatus;

    const std::vector<BadPacket> cases = {
        {"role 0", changed(validHello(), [](Hello& m) { m.role = Role{0}; }), Peer::Client,
         "is not a role"},
        {"role 4", changed(validHello(), [](Hello& m) { m.role = Role{4}; }), Peer::Client,
         "is not a role"},
        {"hello reserved", changed(validHello(), [](Hello& m) { m.reserved = 1; }), Peer::Client,
         "reserved field"},
        {"unterminated name",
         changed(validHello(), [](Hello& m) { std::memset(m.clientName, 'a', kNameSize); }),
         Peer::Client, "clientName is not NUL-terminated"},
        {"bytes after the NUL",
         changed(validHello(), [](Hello& m) { m.clientName[kNameSize - 1] = 'z'; }), Peer::Client,
         "clientName is not NUL-terminated"},
        {"error code 0", packet(Error{}), Peer::Host, "is not an error code"},
        {"error code past the last",
         changed(validError, [](Error& m) { m.code = ErrorCode{kLastErrorCode + 1}; }), Peer::Host,
         "is not an error code"},
        {"error request type", changed(validError, [](Error& m) { m.requestType = 99; }),
         Peer::Host, "request type 99"},
        {"error disconnecting 2", changed(validError, [](Error& m) { m.disconnecting = 2; }),
         Peer::Host, "disconnecting is 2"},
        {"unterminated error text",
         changed(validError, [](Error& m) { std::memset(m.text, '!', kErrorTextSize); }),
         Peer::Host, "text is not NUL-terminated"},
        {"refusal reason", changed(PushRefused{}, [](PushRefused& m) { m.reason = {}; }),
         Peer::Host, "is not a reason"},
        {"push outcome", changed(BufferReturned{}, [](BufferReturned& m) { m.outcome = {}; }),
         Peer::Host, "is not an outcome"},
        {"buffer id 0", packet(BufferRegistered{}), Peer::Host, "buffer id 0"},
        {"frame origin", frameWith([](Frame& m) { m.origin = FrameOrigin{3}; }), Peer::Host,
         "is not an origin"},
        {"frame fdAttached 2", frameWith([](Frame& m) { m.fdAttached = 2; }), Peer::Host,
         "fdAttached is 2"},
        {"frame slot", frameWith([](Frame& m) { m.slot = kViewerFramesInFlight; }), Peer::Host,
         "slot 4 is not below 4"},
        {"stream count", changed(validInfo, [](InfoReply& m) { m.streamCount = kMaxStreams + 1; }),
         Peer::Host, "5 streams"},
        {"unused stream filled", changed(validInfo, [](InfoReply& m) { m.streams[3].width = 1; }),
         Peer::Host, "unused stream entry 3"},
        {"stream direction",
         changed(validInfo,
                 [](InfoReply& m) {
                     m.streamCount = 1;
                     m.streams[0].direction = StreamDirection{2};
                 }),
         Peer::Host, "direction 2"},
        {"unterminated manufacturer",
         changed(validInfo,
                 [](InfoReply& m) { std::memset(m.providerManufacturer, 'L', kNameSize); }),
         Peer::Host, "providerManufacturer"},
        {"status output", changed(validStatus, [](StatusReply& m) { m.output = OutputShowing{3}; }),
         Peer::Host, "is not an output state"},
        {"status viewer entries past the count",
         changed(validStatus, [](StatusReply& m) { m.viewerEntries = 1; }), Peer::Host,
         "1 viewer entries for 0 viewers"},
        {"status viewer entries past the limit",
         changed(validStatus,
                 [](StatusReply& m) {
                     m.viewerCount = 20;
                     m.viewerEntries = 9;
                 }),
         Peer::Host, "at most 8"},
        {"status unused viewer filled",
         changed(validStatus, [](StatusReply& m) { m.viewers[7].pid = 1; }), Peer::Host,
         "unused viewer entry 7"},
        {"status unterminated producer name",
         changed(validStatus, [](StatusReply& m) { std::memset(m.producerName, 'k', kNameSize); }),
         Peer::Host, "producerName"},
        {"push time flags", changed(Push{}, [](Push& m) { m.timeFlags = 1u << 5; }), Peer::Client,
         "unknown bits"},
        {"valid time, timescale 0", changed(Push{}, [](Push& m) { m.timeFlags = kTimeFlagValid; }),
         Peer::Client, "positive timescale"},
        {"push reserved", changed(Push{}, [](Push& m) { m.reserved = 1; }), Peer::Client,
         "reserved field"},
        {"pixel format", registrationWith([](RegisterBuffer& m) {
             m.layout.pixelFormat = PixelFormat{0x34325659};
         }),
         Peer::Client, "0x34325659 is not supported"},
        {"width 0", registrationWith([](RegisterBuffer& m) { m.layout.width = 0; }), Peer::Client,
         "outside 1 to 8192"},
        {"height past the limit",
         registrationWith([](RegisterBuffer& m) { m.layout.height = kMaxFrameDimension + 1; }),
         Peer::Client, "outside 1 to 8192"},
        {"row too short",
         registrationWith([](RegisterBuffer& m) { m.layout.bytesPerRow = 16 * 4 - 4; }),
         Peer::Client, "cannot hold 16 pixels"},
        {"row not whole pixels",
         registrationWith([](RegisterBuffer& m) { m.layout.bytesPerRow = 16 * 4 + 1; }),
         Peer::Client, "cannot hold 16 pixels"},
        {"size under the frame", registrationWith([](RegisterBuffer& m) { m.layout.size = 639; }),
         Peer::Client, "less than the frame's 640 bytes"},
        // 2^19 bytes × 8192 rows is 2^32: wrapped to 32 bits it would be 0 and pass any size.
        {"rows that overflow 32 bits", registrationWith([](RegisterBuffer& m) {
             m.layout.height = kMaxFrameDimension;
             m.layout.bytesPerRow = 1u << 19;
         }),
         Peer::Client, "less than the frame's 4294967296 bytes"},
        {"size past the limit",
         registrationWith([](RegisterBuffer& m) { m.layout.size = kMaxBufferBytes + 1; }),
         Peer::Client, "exceeds the limit"},
        {"frame layout too", frameWith([](Frame& m) { m.layout.width = 0; }), Peer::Host,
         "Frame: frame size 0x8"},
    };
    for (const BadPacket& bad : cases) expectRefused(bad);
}

TEST_F(ProtocolTest, TimesWithoutAFiniteValueNeedNoTimescale) {
    for (std::uint32_t flags :
         {0u, kTimeFlagValid | kTimeFlagPositiveInfinity,
          kTimeFlagValid | kTimeFlagNegativeInfinity, kTimeFlagValid | kTimeFlagIndefinite}) {
        Push push;
        push.timeFlags = flags;
        EXPECT_EQ(deliver(packet(push), Peer::Client).status, Status::Message) << flags;
    }
}

TEST_F(ProtocolTest, AnotherVersionIsToldSoWhateverTheSizeOfItsHello) {
    Hello newer = validHello();
    newer.version = kProtocolVersion + 1;
    expectRefused({"newer hello", packet(newer), Peer::Client,
                   "protocol version 4 is not supported", ErrorCode::VersionMismatch});
    // A client of the version before releases and returns in shared memory: told plainly, not
    // served.
    Hello older = validHello();
    older.version = 2;
    expectRefused({"version 2 hello", packet(older), Peer::Client,
                   "protocol version 2 is not supported (this camera speaks version 3)",
                   ErrorCode::VersionMismatch});

    std::vector<std::byte> longerHello = packet(newer);
    longerHello.resize(120);
    const MessageHeader header{MessageType::Hello, 120};
    std::memcpy(longerHello.data(), &header, sizeof header);
    expectRefused({"newer, longer hello", longerHello, Peer::Client, "protocol version 4",
                   ErrorCode::VersionMismatch});

    Hello stranger = validHello();
    stranger.magic = 0x50545448;
    expectRefused({"bad magic", packet(stranger), Peer::Client, "not a Kova client"});

    Welcome welcome;
    welcome.role = Role::View;
    welcome.version = 0;
    expectRefused({"old camera", packet(welcome), Peer::Host, "camera speaks protocol version 0",
                   ErrorCode::VersionMismatch});
}

TEST_F(ProtocolTest, WrongFdsAreRefusedAndClosed) {
    base::UniqueFD first = makeSealedMemFd();
    base::UniqueFD second = makeSealedMemFd();
    const std::size_t fdsBefore = testing::openFdCount();
    Frame claimsFd = validFrame();
    claimsFd.fdAttached = 1;

    expectRefused({"fd on a push", packet(Push{}), Peer::Client, "Push takes no fd"},
                  {first.get()});
    expectRefused({"fd on an empty packet", {}, Peer::Client, "shorter than its 8-byte header"},
                  {first.get()});
    expectRefused({"registration without fd", packet(validRegistration()), Peer::Client,
                   "RegisterBuffer needs an fd"});
    expectRefused(
        {"two fds", packet(validRegistration()), Peer::Client, "2 fds attached, at most 1"},
        {first.get(), second.get()});
    expectRefused(
        {"control data cut short", packet(validRegistration()), Peer::Client,
         "control data cut short"},
        {first.get(), second.get(), first.get(), second.get(), first.get(), second.get()});
    expectRefused(
        {"frame claims an fd", packet(claimsFd), Peer::Host, "says an fd is attached, none is"});
    expectRefused({"frame hides an fd", packet(validFrame()), Peer::Host,
                   "says no fd is attached, but one is"},
                  {first.get()});
    EXPECT_EQ(testing::openFdCount(), fdsBefore) << "a refused message's fds must be closed";
}

TEST_F(ProtocolTest, ReceiveReportsEmptyThenTheRestThenTheHangUp) {
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

TEST_F(ProtocolTest, SendToAGonePeerFailsWithoutASignal) {
    ConnectedPair pair;
    { Connection gone = std::move(pair.client); }
    EXPECT_EQ(pair.camera.send(SinkStarted{}), -EPIPE);
}

TEST_F(ProtocolTest, DontWaitSendFailsWhenFullInsteadOfBlocking) {
    int sent = 0;
    int result = 0;
    while ((result = pair_.camera.send(Pong{}, -1, SendMode::DontWait)) == 0 && sent < 1'000'000) {
        ++sent;
    }
    ASSERT_EQ(result, -EAGAIN) << "after " << sent << " messages";
    ASSERT_EQ(pair_.client.receive().status, Status::Message);
    EXPECT_EQ(pair_.camera.send(Pong{}, -1, SendMode::DontWait), 0) << "room again";
}

TEST_F(ProtocolTest, DisconnectErrorCarriesTheReasonWithinItsField) {
    const Error error = disconnectError({ErrorCode::VersionMismatch, std::string(300, 'r')});
    EXPECT_EQ(error.code, ErrorCode::VersionMismatch);
    EXPECT_EQ(error.disconnecting, 1u);
    EXPECT_EQ(textOf(error.text), std::string(kErrorTextSize - 1, 'r'));
    ASSERT_EQ(pair_.camera.send(error), 0);
    EXPECT_EQ(pair_.client.receive().status, Status::Message);
}

}  // namespace
}  // namespace kova::wire::test
