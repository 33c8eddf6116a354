// The engine tests' hand-turned loop, host double, clients and fixture.
#include "tests/engine/EngineTestSupport.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Sources/CameraExtension/CameraDeviceSource.h"
#include "Sources/CameraExtension/CameraSinkStreamSource.h"
#include "base/MemFd.h"

namespace kova::engine::test {

namespace {

// More rounds than any test needs; a loop that never settles is a busy loop in the engine.
constexpr int kMaximumPumpRounds = 100000;
// One period of the placeholder timer, rounded up to whole nanoseconds.
constexpr std::uint64_t kPlaceholderPeriodNs = 33'333'334;

}  // namespace

// ---- ManualLoop ----

int ManualLoop::watch(int fd, std::function<void()> onReady) {
    if (watched_.count(fd) != 0) return -EEXIST;
    watched_[fd] = std::make_shared<std::function<void()>>(std::move(onReady));
    return 0;
}

void ManualLoop::unwatch(int fd) {
    watched_.erase(fd);
}

void ManualLoop::perform(std::function<void()> work) {
    posted_.push_back(std::move(work));
}

Executor ManualLoop::callbackQueue() {
    return [this](std::function<void()> work) { callbackWork_.push_back(std::move(work)); };
}

void ManualLoop::pump() {
    for (int round = 0; round < kMaximumPumpRounds; ++round) {
        if (!posted_.empty()) {
            auto work = std::move(posted_.front());
            posted_.pop_front();
            work();
            continue;
        }
        if (!callbackWork_.empty()) {
            auto work = std::move(callbackWork_.front());
            callbackWork_.pop_front();
            work();
            continue;
        }
        std::vector<pollfd> fds;
        for (const auto& [fd, callback] : watched_) fds.push_back(pollfd{fd, POLLIN, 0});
        if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
        for (const pollfd& ready : fds) {
            if (ready.revents == 0) continue;
            const auto found = watched_.find(ready.fd);
            // Kept alive while it runs: the callback may unwatch its own fd.
            if (found != watched_.end())
                std::shared_ptr<std::function<void()>>(found->second)->operator()();
        }
    }
    ADD_FAILURE() << "the engine never settles: it keeps posting work";
}

// ---- EngineHost ----

void EngineHost::sendSampleBuffer(CMIOExtensionStream& stream,
                                  const CMSampleBufferRef& sampleBuffer,
                                  CMIOExtensionStreamDiscontinuityFlags,
                                  std::uint64_t hostTimeInNanoseconds) {
    if (const auto target = engine.lock()) {
        target->sendSampleBuffer(stream, sampleBuffer, hostTimeInNanoseconds);
    }
}

void EngineHost::consumeSampleBuffer(CMIOExtensionStream& stream,
                                     const CMIOExtensionClientRef& client,
                                     CMIOExtensionConsumeCompletion completion) {
    ++consumeRequests;
    if (const auto target = engine.lock()) {
        target->consumeSampleBuffer(stream, client, std::move(completion));
    }
}

// ---- TestClient ----

namespace {

std::pair<base::UniqueFD, base::UniqueFD> socketPair() {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {base::UniqueFD(ends[0]), base::UniqueFD(ends[1])};
}

}  // namespace

TestClient::TestClient(CameraEngine& engine, ManualLoop& loop, std::optional<wire::Role> role)
    : TestClient(engine, loop, role, socketPair()) {}

TestClient::TestClient(CameraEngine& engine, ManualLoop& loop, std::optional<wire::Role> role,
                       std::pair<base::UniqueFD, base::UniqueFD> ends)
    : connection(std::move(ends.second), wire::Peer::Client), loop_(loop) {
    engine.attach(std::move(ends.first), wire::PeerIdentity{::getpid(), ::getuid(), ::getgid()});
    if (!role) return;
    wire::Hello hello;
    hello.role = *role;
    wire::setText(hello.clientName, "engine test");
    send(hello);
    const auto welcome = expect<wire::Welcome>();
    EXPECT_EQ(welcome.role, *role);
}

void TestClient::send(const wire::Message& message, int fd) {
    ASSERT_EQ(connection.send(message, fd, wire::SendMode::DontWait), 0);
    loop_.pump();
}

std::optional<wire::Received> TestClient::next() {
    wire::ReceiveResult result = connection.receive();
    if (result.status != wire::ReceiveResult::Status::Message) return std::nullopt;
    return std::move(result.received);
}

std::string TestClient::expectError(wire::ErrorCode code) {
    const auto error = expect<wire::Error>();
    EXPECT_EQ(error.code, code) << wire::textOf(error.text);
    return std::string(wire::textOf(error.text));
}

bool TestClient::quiet() {
    return connection.receive().status == wire::ReceiveResult::Status::Empty;
}

bool TestClient::hungUp() {
    for (;;) {
        const wire::ReceiveResult result = connection.receive();
        if (result.status == wire::ReceiveResult::Status::Closed) return true;
        // Closed with requests of ours still unread on its side.
        if (result.status == wire::ReceiveResult::Status::Failed) {
            return result.systemError == -ECONNRESET;
        }
        if (result.status != wire::ReceiveResult::Status::Message) return false;
    }
}

// ---- helpers ----

wire::FrameLayout streamLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, 800, 960, 3200, 3200ull * 960};
}

base::UniqueFD frameMemory(std::size_t size, bool sealed) {
    if (sealed) return base::MemFd::create("engine-test-frame", size);
    base::UniqueFD fd(::memfd_create("engine-test-unsealed", MFD_CLOEXEC));
    EXPECT_EQ(::ftruncate(fd.get(), off_t(size)), 0);
    return fd;
}

wire::Push pushAt(std::uint32_t bufferId, std::uint64_t nanoseconds) {
    wire::Push push;
    push.bufferId = bufferId;
    push.timeFlags = wire::kTimeFlagValid;
    push.timeValue = std::int64_t(nanoseconds);
    push.timeScale = 1'000'000'000;
    return push;
}

// ---- EngineTest ----

EngineTest::EngineTest() : host(std::make_shared<EngineHost>()) {
    host::HostBackend::install(host);
    extension = CameraProviderSource::create(nullptr);
    engine = CameraEngine::create(CameraEngine::Environment{
        loop, loop.callbackQueue(), [host = host.get()] { return host->hostTimeNanoseconds(); }});
    host->engine = engine;
    bool serving = false;
    engine->serve(extension->provider, [&serving] { serving = true; });
    loop.pump();
    EXPECT_TRUE(serving);
}

EngineTest::~EngineTest() {
    engine.reset();
    loop.pump();
    extension.reset();
    host::HostBackend::install(nullptr);
}

std::unique_ptr<TestClient> EngineTest::connect(std::optional<wire::Role> role) {
    return std::make_unique<TestClient>(*engine, loop, role);
}

std::uint32_t EngineTest::registerBuffer(TestClient& client, std::uint32_t cookie) {
    const wire::FrameLayout layout = streamLayout();
    base::UniqueFD memory = frameMemory(layout.size);
    wire::RegisterBuffer request;
    request.cookie = cookie;
    request.layout = layout;
    client.send(request, memory.get());
    const auto registered = client.expect<wire::BufferRegistered>();
    EXPECT_EQ(registered.cookie, cookie);
    EXPECT_NE(registered.bufferId, 0u);
    return registered.bufferId;
}

void EngineTest::startSink(TestClient& client) {
    client.send(wire::SinkStart{});
    client.expect<wire::SinkStarted>();
}

void EngineTest::startView(TestClient& client) {
    client.send(wire::ViewStart{});
    client.expect<wire::ViewStarted>();
}

CMIOExtensionStream& EngineTest::sinkStream() const {
    return *extension->deviceSource->sinkStream->stream;
}

void EngineTest::placeholderTick() {
    host->fireDueTimers();
    // The next tick is due one period on; each call fires exactly one.
    host->setHostTime(now() + kPlaceholderPeriodNs);
    loop.pump();
}

}  // namespace kova::engine::test
