// Shared pieces of the wire tests.
#include "tests/wire/WireTestSupport.h"

#include <sys/stat.h>

#include "base/MemFd.h"

namespace kova::wire::test {

std::pair<base::UniqueFD, base::UniqueFD> socketPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {base::UniqueFD(ends[0]), base::UniqueFD(ends[1])};
}

void sendRaw(int socket, std::span<const std::byte> bytes, const std::vector<int>& fds) {
    ASSERT_EQ(sendPacket(socket, bytes, fds), 0);
}

base::UniqueFD makeSealedMemFd(std::size_t size) {
    base::Result<base::UniqueFD> fd = base::MemFd::createSealed("kova-wire-test", size);
    EXPECT_TRUE(fd) << fd.failure().message;
    return fd ? std::move(*fd) : base::UniqueFD();
}

bool sameFile(int a, int b) {
    struct stat first {
    }, second{};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

FrameLayout sampleLayout() {
    return FrameLayout{PixelFormat::BGRA, 16, 8, 80, 4096};
}

std::vector<Message> sampleMessages() {
    std::vector<Message> samples;

    Hello hello;
    hello.role = Role::View;
    setText(hello.clientName, "kova view");
    samples.emplace_back(hello);

    Welcome welcome;
    welcome.role = Role::Sink;
    samples.emplace_back(welcome);

    Error error;
    error.code = ErrorCode::UnknownBuffer;
    error.requestType = static_cast<std::uint32_t>(MessageType::Push);
    error.subject = 7;
    error.disconnecting = 1;
    setText(error.text, "no buffer 7");
    samples.emplace_back(error);

    Ping ping;
    ping.cookie = 0x1122334455667788;
    samples.emplace_back(ping);
    Pong pong;
    pong.cookie = 0x8877665544332211;
    samples.emplace_back(pong);

    samples.emplace_back(InfoRequest{});

    InfoReply info;
    setText(info.providerManufacturer, "Lantern Works");
    setText(info.deviceName, "Kova");
    setText(info.deviceId, "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
    setText(info.legacyDeviceId, "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
    setText(info.deviceModel, "Kova");
    info.transportType = 0x76697274;
    info.streamCount = 2;
    setText(info.streams[0].name, "Kova Video");
    info.streams[0].direction = StreamDirection::Source;
    info.streams[0].pixelFormat = 0x42475241;
    info.streams[0].width = 800;
    info.streams[0].height = 960;
    info.streams[0].frameDurationValue = 100;
    info.streams[0].frameDurationTimescale = 5983;
    info.streams[1] = info.streams[0];
    setText(info.streams[1].name, "Kova Sink");
    info.streams[1].direction = StreamDirection::Sink;
    info.streams[1].sinkBufferQueueSize = 8;
    info.streams[1].sinkBuffersRequiredForStartup = 1;
    samples.emplace_back(info);

    RegisterBuffer registration;
    registration.cookie = 41;
    registration.layout = sampleLayout();
    samples.emplace_back(registration);

    BufferRegistered registered;
    registered.cookie = 41;
    registered.bufferId = 3;
    samples.emplace_back(registered);

    UnregisterBuffer unregistration;
    unregistration.bufferId = 3;
    samples.emplace_back(unregistration);

    samples.emplace_back(SinkStart{});
    samples.emplace_back(SinkStarted{});
    samples.emplace_back(SinkStop{});
    samples.emplace_back(SinkStopped{});

    Push push;
    push.bufferId = 3;
    push.timeFlags = kTimeFlagValid;
    push.timeValue = -5;
    push.timeScale = 1'000'000'000;
    samples.emplace_back(push);

    PushRefused refused;
    refused.bufferId = 3;
    refused.reason = PushRefusal::QueueFull;
    refused.framesPushed = 100;
    refused.framesDropped = 2;
    refused.framesQueued = 8;
    samples.emplace_back(refused);

    BufferReturned returned;
    returned.bufferId = 3;
    returned.outcome = PushOutcome::Dropped;
    samples.emplace_back(returned);

    samples.emplace_back(ViewStart{});
    samples.emplace_back(ViewStarted{});
    samples.emplace_back(ViewStop{});
    samples.emplace_back(ViewStopped{});

    Frame frame;
    frame.token = 9;
    frame.sequence = 12345;
    frame.hostTimeNs = 987654321;
    frame.bufferKey = 0xabcdef;
    frame.origin = FrameOrigin::Placeholder;
    frame.framesMissed = 2;
    frame.fdAttached = 1;
    frame.layout = sampleLayout();
    samples.emplace_back(frame);

    Release release;
    release.token = 9;
    samples.emplace_back(release);

    BufferGone gone;
    gone.bufferKey = 0xabcdef;
    samples.emplace_back(gone);

    samples.emplace_back(StatusRequest{});
    StatusReply status;
    status.cameraPid = 4242;
    status.output = OutputShowing::Relayed;
    status.uptimeNs = 5'000'000'000;
    status.hasProducer = 1;
    status.producerPid = 4343;
    setText(status.producerName, "kova");
    status.viewerCount = 3;
    status.viewerEntries = 1;
    setText(status.viewers[0].name, "kova");
    status.viewers[0].pid = 4444;
    status.viewers[0].framesMissed = 2;
    samples.emplace_back(status);
    samples.emplace_back(SinkTakeOver{});
    samples.emplace_back(ReturnsArea{});
    samples.emplace_back(ReturnsWanted{});
    samples.emplace_back(ReturnsPosted{});

    return samples;
}

}  // namespace kova::wire::test
