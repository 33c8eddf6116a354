// End to end, clients that go wrong: killed mid-session, bad buffers, bad presentation times,
// malformed and unexpected messages, unknown ids, a second camera. Each gets a clear error, the
// camera goes on serving everyone else, and nothing of the client stays behind in the camera.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "E2eSupport.h"
#include "base/MemFd.h"

namespace kova::e2e {
namespace {

// A camera with a viewer attached whose fds and mappings are known, so that a test can tell
// what a client leaves behind.
class ClientFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(camera.running());
        viewer.emplace(Viewer::open(camera.options()));
        // The output runs; its pool has what a steady viewer needs.
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(viewer->next_frame(3000ms));
        fdsAtStart = camera.openFdsBesidesItsPool();
    }

    // The viewer still gets frames: the camera is serving.
    void expectViewerServed() {
        auto frame = viewer->next_frame(3000ms);
        EXPECT_TRUE(frame) << "the viewer got no frame: the camera stopped serving";
    }

    // Takes and lets go every frame waiting for the viewer, so that it holds none of a
    // client's buffers.
    void drainViewer() {
        while (viewer->next_frame(0ms)) {
        }
    }

    // Every fd and mapping a client brought is gone again.
    void expectNothingLeftBehind(const std::string& clientMemory) {
        const std::string name = "/memfd:" + clientMemory;
        EXPECT_TRUE(waitUntil([&] {
            drainViewer();
            return camera.openFdsBesidesItsPool() == fdsAtStart && camera.fdsNaming(name) == 0 &&
                   camera.memfdMappings(clientMemory) == 0;
        })) << "the camera holds "
            << camera.openFdsBesidesItsPool() << " fds (had " << fdsAtStart << "), "
            << camera.fdsNaming(name) << " of them and " << camera.memfdMappings(clientMemory)
            << " mappings of client memory";
    }

    CameraProcess camera;
    std::optional<Viewer> viewer;
    std::size_t fdsAtStart = 0;
};

// An Error from the camera, its code and whether it hangs up after it.
struct ExpectedError {
    wire::ErrorCode code;
    bool disconnecting;
};

// The camera answers `client` with the expected Error, then hangs up or goes on serving it
// (a client that has not said hello yet still may).
void expectError(RawClient& client, ExpectedError expected, const std::string& what,
                 bool helloDone = true) {
    auto error = client.expect<wire::Error>();
    ASSERT_TRUE(error) << what << ": no Error came";
    EXPECT_EQ(error->code, expected.code) << what << ": " << wire::textOf(error->text);
    EXPECT_EQ(error->disconnecting != 0, expected.disconnecting) << what;
    EXPECT_FALSE(wire::textOf(error->text).empty()) << what << ": the error says nothing";
    if (expected.disconnecting) {
        EXPECT_TRUE(client.hangsUp()) << what << ": the camera did not hang up";
    } else if (!helloDone) {
        EXPECT_TRUE(client.hello(wire::Role::Sink)) << what << ": no hello after the error";
    } else {
        wire::Ping ping;
        ping.cookie = 77;
        ASSERT_EQ(client.send(ping), 0) << what;
        const auto pong = client.expect<wire::Pong>();
        EXPECT_TRUE(pong && pong->cookie == 77) << what << ": not served after the error";
    }
}

TEST_F(ClientFaultTest, AClientKilledMidSessionLeavesTheOthersServedAndItsBuffersFreed) {
    ChildProcess pusher = startKova({"push", "--pattern", "counter", "--fps", "60"},
                                    camera.socketPath(), camera.folder().path(), "pusher");
    ASSERT_GT(pusher.pid(), 0);
    // The camera holds the client's buffers and its frames reach the viewer.
    EXPECT_TRUE(waitUntil([&] { return camera.fdsNaming("/memfd:kova-frame") > 0; }));
    bool sawPushedFrame = false;
    for (int i = 0; i < 100 && !sawPushedFrame; ++i) {
        auto frame = viewer->next_frame(3000ms);
        ASSERT_TRUE(frame);
        sawPushedFrame = frame->origin() == Viewer::Origin::Sink;
    }
    EXPECT_TRUE(sawPushedFrame);

    pusher.signal(SIGKILL);
    EXPECT_EQ(pusher.wait(), 128 + SIGKILL);
    // The viewer goes on: the placeholder takes over.
    bool sawPlaceholder = false;
    for (int i = 0; i < 100 && !sawPlaceholder; ++i) {
        auto frame = viewer->next_frame(3000ms);
        ASSERT_TRUE(frame) << "the viewer stopped getting frames";
        sawPlaceholder = frame->origin() == Viewer::Origin::Placeholder;
    }
    EXPECT_TRUE(sawPlaceholder);
    expectNothingLeftBehind("kova-frame");
}

TEST_F(ClientFaultTest, SessionsThatComeAndGoLeaveNoFdOrMemoryBehind) {
    for (int round = 0; round < 3; ++round) {
        Producer producer = Producer::open(camera.options());
        Viewer another = Viewer::open(camera.options());
        for (int i = 0; i < 5; ++i) {
            Producer::Frame frame = producer.acquire();
            std::memset(frame.data(), i, kFrameBytes);
            EXPECT_TRUE(producer.submit(std::move(frame)));
            ASSERT_TRUE(another.next_frame(3000ms));
        }
        if (round % 2 == 0) producer.close();  // and otherwise it just hangs up
    }
    expectViewerServed();
    expectNothingLeftBehind("kova-frame");
}

TEST_F(ClientFaultTest, BadBuffersAreRefusedWithTheReason) {
    struct Case {
        const char* name;
        wire::FrameLayout layout;
        std::size_t memoryBytes;  // 0: a pipe, not shared memory
        bool sealed;
        ExpectedError expected;
    };
    const auto frame = frameLayout();
    auto with = [&](auto change) {
        wire::FrameLayout layout = frame;
        change(layout);
        return layout;
    };
    const wire::ErrorCode bad = wire::ErrorCode::BadBuffer;
    const wire::ErrorCode violation = wire::ErrorCode::ProtocolViolation;
    const std::vector<Case> cases{
        {"a format the protocol does not know",
         with([](auto& l) { l.pixelFormat = wire::PixelFormat(0x34325258); }),
         kFrameBytes,
         true,
         {violation, true}},
        {"another frame size",
         with([](auto& l) {
             l.width = 640;
             l.height = 480;
             l.bytesPerRow = 2560;
             l.size = 2560 * 480;
         }),
         2560 * 480,
         true,
         {bad, false}},
        {"rows shorter than a row of pixels",
         with([](auto& l) { l.bytesPerRow = 3196; }),
         kFrameBytes,
         true,
         {violation, true}},
        {"a size that cannot hold the rows",
         with([](auto& l) { l.size = kFrameBytes - 1; }),
         kFrameBytes,
         true,
         {violation, true}},
        {"memory smaller than its size", frame, 4096, true, {bad, false}},
        {"memory not sealed", frame, kFrameBytes, false, {bad, false}},
        {"no shared memory at all", frame, 0, false, {bad, false}},
    };
    for (const auto& test : cases) {
        RawClient client(camera.socketPath());
        ASSERT_TRUE(client.hello(wire::Role::Sink)) << test.name;
        base::UniqueFD memory;
        base::UniqueFD pipeEnds[2];
        if (test.memoryBytes == 0) {
            int ends[2];
            ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
            pipeEnds[0].reset(ends[0]);
            pipeEnds[1].reset(ends[1]);
        } else if (test.sealed) {
            memory = base::MemFd::create("e2e-bad-buffer", test.memoryBytes);
        } else {
            memory.reset(::memfd_create("e2e-bad-buffer", MFD_CLOEXEC | MFD_ALLOW_SEALING));
            ASSERT_EQ(::ftruncate(memory.get(), off_t(test.memoryBytes)), 0);
        }
        wire::RegisterBuffer request;
        request.cookie = 9;
        request.layout = test.layout;
        // Past the sender's own checks: this client means to be wrong.
        client.sendRaw(&request, sizeof request,
                       {test.memoryBytes == 0 ? pipeEnds[0].get() : memory.get()});
        expectError(client, test.expected, test.name);
    }
    // A wider stride is fine: rows may be padded.
    {
        RawClient client(camera.socketPath());
        ASSERT_TRUE(client.hello(wire::Role::Sink));
        const auto padded = with([](auto& l) {
            l.bytesPerRow = 4096;
            l.size = 4096 * 960;
        });
        const auto memory = base::MemFd::create("e2e-bad-buffer", padded.size);
        const auto registered = client.registerBuffer(memory.get(), padded);
        EXPECT_TRUE(std::holds_alternative<std::uint32_t>(registered));
    }
    expectViewerServed();
    expectNothingLeftBehind("e2e-bad-buffer");
}

TEST_F(ClientFaultTest, PushesWithBadTimesOrUnknownIdsAreRefusedAndTheBufferStaysUsable) {
    RawClient client(camera.socketPath());
    ASSERT_TRUE(client.hello(wire::Role::Sink));
    const auto ids = client.startSink(1);
    ASSERT_EQ(ids.size(), 1u);
    const std::uint32_t id = ids[0];

    auto expectRefusal = [&](const wire::Push& push, wire::PushRefusal reason, const char* what) {
        ASSERT_EQ(client.send(push), 0) << what;
        const auto refusal = client.expect<wire::PushRefused>();
        ASSERT_TRUE(refusal) << what;
        EXPECT_EQ(refusal->reason, reason) << what;
        EXPECT_EQ(refusal->bufferId, push.bufferId) << what;
    };
    wire::Push push = pushAt(id, host_time_now());
    push.timeFlags = 0;
    expectRefusal(push, wire::PushRefusal::BadTime, "a time that is not valid");
    push.timeFlags = wire::kTimeFlagValid | wire::kTimeFlagPositiveInfinity;
    expectRefusal(push, wire::PushRefusal::BadTime, "an infinite time");
    push.timeFlags = wire::kTimeFlagValid | wire::kTimeFlagIndefinite;
    expectRefusal(push, wire::PushRefusal::BadTime, "an indefinite (not a number) time");
    expectRefusal(pushAt(id, host_time_now() + 2'000'000'000), wire::PushRefusal::BadTime,
                  "a time 2 s ahead");
    expectRefusal(pushAt(999, host_time_now()), wire::PushRefusal::UnknownBuffer,
                  "an unknown buffer id");

    wire::UnregisterBuffer unregister;
    unregister.bufferId = 999;
    ASSERT_EQ(client.send(unregister), 0);
    expectError(client, {wire::ErrorCode::UnknownBuffer, false}, "unregistering an unknown id");

    // None of it cost the buffer: a good push goes through, and comes back once the viewer has
    // seen it.
    ASSERT_EQ(client.send(pushAt(id, host_time_now())), 0);
    std::optional<wire::Received> back;
    EXPECT_TRUE(waitUntil([&] {
        drainViewer();
        back = client.receive(10ms);
        return back.has_value();
    }));
    ASSERT_TRUE(back);
    const auto* returned = std::get_if<wire::BufferReturned>(&back->message);
    ASSERT_NE(returned, nullptr) << "the good push was not relayed";
    EXPECT_EQ(returned->bufferId, id);
    EXPECT_EQ(returned->outcome, wire::PushOutcome::Relayed);
    expectViewerServed();
}

TEST_F(ClientFaultTest, MalformedOrUnexpectedMessagesGetAClearErrorAndNoFdIsKept) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::size_t fds;  // sealed memfds attached
        bool helloFirst;
        ExpectedError expected;
    };
    auto bytesOf = [](const auto& message) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(&message);
        return std::vector<std::uint8_t>(first, first + sizeof message);
    };
    wire::Ping ping;
    ping.cookie = 1;
    wire::Push push = pushAt(1, 1);
    const auto whole = bytesOf(push);
    const std::vector<std::uint8_t> truncated(whole.begin(), whole.begin() + 20);
    auto lying = whole;
    lying[4] = 40;  // the header says 40 bytes, the packet has 32
    wire::MessageHeader unknownType{wire::MessageType(99), 8};
    wire::Hello laterVersion;
    laterVersion.role = wire::Role::Sink;
    laterVersion.version = wire::kProtocolVersion + 1;
    wire::Hello sinkHello;
    sinkHello.role = wire::Role::Sink;
    wire::RegisterBuffer noFd;
    noFd.cookie = 1;
    noFd.layout = frameLayout();
    std::vector<std::uint8_t> garbage(37);
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = std::uint8_t(i * 151 + 7);

    const ExpectedError violation{wire::ErrorCode::ProtocolViolation, true};
    const std::vector<Case> cases{
        {"garbage", garbage, 0, true, violation},
        {"a truncated push", truncated, 0, true, violation},
        {"a header that lies about the length", lying, 0, true, violation},
        {"an oversized packet", std::vector<std::uint8_t>(4000, 0), 0, true, violation},
        {"an unknown message type", bytesOf(unknownType), 0, true, violation},
        {"a message only the camera sends", bytesOf(wire::Welcome{}), 0, true, violation},
        {"another protocol version",
         bytesOf(laterVersion),
         0,
         false,
         {wire::ErrorCode::VersionMismatch, true}},
        {"an fd where none belongs", bytesOf(ping), 1, true, violation},
        {"too many fds", bytesOf(ping), 3, true, violation},
        {"a registration without its fd", bytesOf(noFd), 0, true, violation},
        {"a message before the hello",
         bytesOf(ping),
         0,
         false,
         {wire::ErrorCode::WrongState, false}},
        {"a second hello", bytesOf(sinkHello), 0, true, {wire::ErrorCode::WrongState, false}},
    };
    for (const auto& test : cases) {
        RawClient client(camera.socketPath());
        if (test.helloFirst) {
            ASSERT_TRUE(client.hello(wire::Role::Sink)) << test.name;
        }
        std::vector<base::UniqueFD> memory;
        std::vector<int> fds;
        for (std::size_t i = 0; i < test.fds; ++i) {
            memory.push_back(base::MemFd::create("e2e-stray", 4096));
            fds.push_back(memory.back().get());
        }
        client.sendRaw(test.bytes.data(), test.bytes.size(), fds);
        expectError(client, test.expected, test.name, test.helloFirst);
    }
    // A viewer may not push.
    {
        RawClient client(camera.socketPath());
        ASSERT_TRUE(client.hello(wire::Role::View));
        ASSERT_EQ(client.send(pushAt(1, host_time_now())), 0);
        expectError(client, {wire::ErrorCode::NotAllowed, false}, "a push from a viewer");
    }
    expectViewerServed();
    EXPECT_TRUE(waitUntil([&] { return camera.fdsNaming("e2e-stray") == 0; }))
        << "the camera kept fds that came with refused messages";
    expectNothingLeftBehind("e2e-stray");
}

TEST_F(ClientFaultTest, AReleaseOfAFrameNotHeldIsRefused) {
    RawClient client(camera.socketPath());
    ASSERT_TRUE(client.hello(wire::Role::View));
    ASSERT_EQ(client.send(wire::ViewStart{}), 0);
    ASSERT_TRUE(client.expect<wire::ViewStarted>());
    wire::Release release;
    release.token = 123456789;
    ASSERT_EQ(client.send(release), 0);
    // Frames may come first.
    std::optional<wire::Error> error;
    for (int i = 0; i < 20 && !error; ++i) {
        auto received = client.receive();
        ASSERT_TRUE(received);
        if (auto* e = std::get_if<wire::Error>(&received->message)) error = *e;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, wire::ErrorCode::WrongState);
    EXPECT_EQ(error->subject, 123456789u);
    EXPECT_EQ(error->disconnecting, 0u);
}

TEST(SecondCamera, IsRefusedWithAClearMessageAndTheFirstGoesOn) {
    CameraProcess camera;
    ChildProcess second = spawn(KOVA_CAMERA_EXECUTABLE, {}, camera.socketPath(),
                                camera.folder().path(), "second-camera");
    const auto status = second.wait(10000ms);
    ASSERT_TRUE(status) << "the second camera kept running";
    EXPECT_NE(*status, 0);
    const std::string err = readFile(second.stderrPath());
    EXPECT_NE(err.find("another kova-camera is already serving " + camera.socketPath()),
              std::string::npos)
        << err;
    EXPECT_EQ(query_info(camera.options()).device_name, "Kova");
}

}  // namespace
}  // namespace kova::e2e
