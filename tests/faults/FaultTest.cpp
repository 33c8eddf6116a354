// Faults the camera survives, end to end: a producer killed mid-push, a viewer stopped for 5 s,
// connections that never say Hello, a client name full of control characters, a camera out of
// fds, a client flooding pushes, memory scribbled on while it
// is read, viewers that never release their frames, and the camera itself killed and restarted.
// In each, a bystanding producer and viewer go on at full rate (where another producer takes the
// sink over, the viewer does, and the producer has the sink back once it is free), the camera
// comes back to the fds and memory it held before, and every frame it took is seen or counted.
#include <fcntl.h>
#include <linux/falloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>
#include <sstream>
#include <thread>

#include "FaultSupport.h"
#include "base/MemFd.h"

namespace kova::faults {
namespace {

using e2e::ChildProcess;
using e2e::RawClient;
using e2e::waitUntil;

// A camera with the bystanders running and what it held once they were.
class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(camera.running());
        bystanders.emplace(camera.options());
        ASSERT_TRUE(bystanders->flowing()) << "the bystanders' frames do not flow";
        before = stateOf(camera.pid());
    }

    // The fault is over: the camera holds what it held before it, while the bystanders still
    // run, and nothing the bystanders pushed went uncounted.
    void expectRecovered(const std::string& fault, const soak::Figures& during,
                         std::size_t grownBuffers = 0) {
        const CameraState after = expectCameraBackTo(camera.pid(), before, grownBuffers);
        reportFigures(fault, during, before, after);
        bystanders->stopAndExpectAllCounted();
    }

    // Frames the bystanding viewer got that the bystanding producer did not push.
    std::uint64_t othersFrames() const {
        const soak::ViewerTally tally = bystanders->viewerTally();
        return tally.frames - tally.marked;
    }

    e2e::CameraProcess camera;
    std::optional<Bystanders> bystanders;
    CameraState before;
};

// Sessions the bystanding producer has opened again since it started: one each time it has
// the sink back after another producer took it over.
std::uint64_t sinkTakenBack(const Bystanders& bystanders) {
    return bystanders.producerTally().reconnects;
}

TEST_F(FaultTest, AProducerKilledWithSigkillMidPush) {
    // The pusher takes the sink over from the bystanding producer, which asks for it back.
    ChildProcess pusher =
        e2e::startKova({"push", "--pattern", "counter", "--fps", "60", "--take-over"},
                       camera.socketPath(), camera.folder().path(), "pusher");
    ASSERT_GT(pusher.pid(), 0);
    const std::uint64_t othersBefore = othersFrames();
    ASSERT_TRUE(waitUntil([&] { return othersFrames() > othersBefore + 30; }))
        << "the pusher's frames never reached the viewer";

    std::this_thread::sleep_for(1s);
    const std::uint64_t takenBack = sinkTakenBack(*bystanders);
    pusher.signal(SIGKILL);
    EXPECT_EQ(pusher.wait(), 128 + SIGKILL);
    // Its death frees the sink at once: the bystander has it again and goes on at full rate.
    ASSERT_TRUE(waitUntil([&] { return sinkTakenBack(*bystanders) > takenBack; }))
        << "the killed producer still held the sink";
    bystanders->startStretch();
    std::this_thread::sleep_for(1s);
    expectRecovered("producer killed mid-push",
                    bystanders->expectFullRate("once a producer was killed mid-push"));
}

// One line of `kova view --json`.
struct ViewedFrame {
    unsigned long long sequence = 0, hostTimeNs = 0, receivedNs = 0, missed = 0;
};

std::vector<ViewedFrame> viewedFrames(const std::string& output) {
    std::vector<ViewedFrame> frames;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        ViewedFrame frame;
        if (std::sscanf(line.c_str(),
                        "{\"seq\":%llu,\"hostTimeNs\":%llu,\"receivedNs\":%llu,\"origin\":\"%*[a-z]"
                        "\",\"missed\":%llu}",
                        &frame.sequence, &frame.hostTimeNs, &frame.receivedNs,
                        &frame.missed) == 4) {
            frames.push_back(frame);
        }
    }
    return frames;
}

TEST_F(FaultTest, AViewerStoppedWithSigstopForFiveSecondsThenResumed) {
    // Its wait outlasts the stop, so that what is judged is what the camera sends after it.
    ChildProcess watcher = e2e::startKova({"view", "--json", "--timeout", "15"},
                                          camera.socketPath(), camera.folder().path(), "watcher");
    ASSERT_GT(watcher.pid(), 0);
    auto seen = [&] { return viewedFrames(e2e::readFile(watcher.stdoutPath())); };
    ASSERT_TRUE(waitUntil([&] { return seen().size() >= 10; })) << "the viewer saw nothing";

    bystanders->startStretch();
    watcher.signal(SIGSTOP);
    std::this_thread::sleep_for(5s);
    const soak::Figures during = bystanders->expectFullRate("while a viewer was stopped");
    const std::uint64_t resumedNs = host_time_now();
    watcher.signal(SIGCONT);

    // After the frames it held when it stopped, it gets fresh ones, told how many it missed.
    auto freshFrames = [&] {
        const auto frames = seen();
        return std::count_if(frames.begin(), frames.end(),
                             [&](const ViewedFrame& f) { return f.hostTimeNs > resumedNs; });
    };
    EXPECT_TRUE(waitUntil([&] { return freshFrames() >= 10; }))
        << "the viewer got no fresh frames after it resumed";
    watcher.signal(SIGTERM);
    EXPECT_EQ(watcher.wait(), 0) << e2e::readFile(watcher.stderrPath());

    const auto frames = seen();
    std::uint64_t missed = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].sequence, frames[i - 1].sequence + 1 + frames[i].missed)
            << "frames skipped the stopped viewer without being reported missed";
        missed += frames[i].missed;
    }
    // 5 s of the bystander's 60 frames a second went by while it slept.
    EXPECT_GE(missed, 200u) << "the stopped viewer was not told what it missed";
    std::cout << "[ figures  ] viewer stopped 5 s: it was told of " << missed << " frames missed\n";
    expectRecovered("viewer stopped for 5 s", during);
}

// Lines of the camera's log that contain `text`.
std::size_t linesWith(const std::string& log, const std::string& text) {
    std::size_t count = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) count += line.find(text) != line.npos;
    return count;
}

// A connection that says Hello at once and does not wait for the Welcome.
wire::Connection helloWithoutWaiting(const std::string& socketPath, const std::string& name) {
    auto socket = wire::connectTo(socketPath);
    EXPECT_TRUE(socket.ok());
    wire::Connection connection(socket.ok() ? std::move(socket.value()) : base::UniqueFD(),
                                wire::Peer::Client);
    wire::Hello hello;
    hello.role = wire::Role::Info;
    wire::setText(hello.clientName, name);
    EXPECT_EQ(connection.send(hello), 0);
    return connection;
}

TEST_F(FaultTest, ConnectionsThatNeverSayHelloAreClosedAndHoldNoClientSlot) {
    bystanders->startStretch();
    // More than may wait at once: the oldest make room for the newest.
    constexpr std::size_t kSilent = 40;
    std::vector<RawClient> silent;
    for (std::size_t i = 0; i < kSilent; ++i) silent.emplace_back(camera.socketPath());
    // Clients that do say Hello fill every client slot the bystanders leave, the silent ones
    // notwithstanding; one more is told the camera is full.
    std::vector<RawClient> speaking;
    for (std::uint32_t i = 2; i < wire::kMaxClients; ++i) {
        speaking.emplace_back(camera.socketPath());
        ASSERT_TRUE(speaking.back().hello(wire::Role::Info)) << "client " << i;
    }
    {
        RawClient oneMore(camera.socketPath());
        wire::Hello hello;
        hello.role = wire::Role::Info;
        ASSERT_EQ(oneMore.send(hello), 0);
        const auto error = oneMore.expect<wire::Error>();
        ASSERT_TRUE(error) << "a client past the limit was not told";
        EXPECT_EQ(error->code, wire::ErrorCode::LimitReached);
        EXPECT_TRUE(oneMore.hangsUp());
    }
    // Every silent one is told and let go within its 2 s.
    std::size_t toldLimit = 0, toldLate = 0;
    for (RawClient& client : silent) {
        const auto error = client.expect<wire::Error>(4000ms);
        ASSERT_TRUE(error) << "a silent connection was kept";
        EXPECT_EQ(error->disconnecting, 1u);
        ++(error->code == wire::ErrorCode::LimitReached ? toldLimit : toldLate);
        EXPECT_TRUE(client.hangsUp());
    }
    // Past the bound on those awaiting Hello, the oldest were let go for newcomers.
    EXPECT_GE(toldLimit, kSilent - 32);
    EXPECT_GT(toldLate, 0u) << "no silent connection was kept to its deadline";
    const soak::Figures during =
        bystanders->expectFullRate("while silent connections and full slots came and went");
    silent.clear();
    speaking.clear();
    expectRecovered("silent connections and every client slot taken", during);
    RawClient later(camera.socketPath());
    EXPECT_TRUE(later.hello(wire::Role::Info));
}

TEST_F(FaultTest, AClientNameCannotWriteLinesOrEscapesIntoTheCameraLog) {
    // As long as a name may be: every byte of it reaches the camera.
    const std::string forged =
        "k\", pid 1) stole your frames\nkova-camera: forged line\x1b[2J\r\x7f\xc2\x9b\a\b";
    ASSERT_EQ(forged.size(), wire::kNameSize - 1);
    wire::Connection client = helloWithoutWaiting(camera.socketPath(), forged);
    ASSERT_EQ(client.waitReadable(5000), 1);
    ASSERT_EQ(client.receive().status, wire::ReceiveResult::Status::Message);
    // Any protocol error makes the camera log the client's name.
    const std::uint32_t garbage[2] = {0xdead, 8};
    wire::sendPacket(client.fd(), std::as_bytes(std::span(garbage)), {});
    ASSERT_TRUE(waitUntil([&] { return linesWith(camera.log(), "broke the protocol") == 1; }))
        << camera.log();
    const std::string log = camera.log();
    EXPECT_EQ(linesWith(log, "forged line"), 1u) << "the name split the line:\n" << log;
    for (const std::string raw : {"\nkova-camera: forged", "\x1b", "\r", "\x7f", "\x9b"}) {
        EXPECT_EQ(log.find(raw), std::string::npos) << "the log holds the raw name:\n" << log;
    }
    EXPECT_NE(log.find(R"(k\x22, pid 1) stole your frames\x0akova-camera: forged line\x1b[2J\x0d)"),
              std::string::npos)
        << log;
    const soak::Figures during = bystanders->expectFullRate("while a name forged log lines");
    expectRecovered("a name with control characters", during);
}

// The lowest fd number `pid` has free.
int lowestFreeFd(pid_t pid) {
    std::set<int> open;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        open.insert(std::stoi(entry.path().filename().string()));
    }
    int free = 0;
    while (open.count(free) != 0) ++free;
    return free;
}

// The soft limit on fds a camera is started with is its own, inherited from whoever started it.
TEST(CameraLimits, TheCameraTakesAllTheFdsItsHardLimitAllows) {
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max <= 256 || own.rlim_max == RLIM_INFINITY) {
        GTEST_SKIP() << "no room under the hard limit to start the camera lower";
    }
    rlimit lowered = own;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    e2e::CameraProcess camera;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    rlimit cameras{};
    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, nullptr, &cameras), 0);
    EXPECT_EQ(cameras.rlim_cur, own.rlim_max);
}

TEST_F(FaultTest, ACameraOutOfFdsPausesAcceptingTellsTheTruthAndServesItsClients) {
    std::optional<RawClient> client(camera.socketPath());
    RawClient& sink = *client;
    ASSERT_TRUE(sink.hello(wire::Role::Sink));
    rlimit original{};
    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    // Every fd number it may open is taken: it can open no more.
    rlimit full = original;
    full.rlim_cur = rlim_t(lowestFreeFd(camera.pid()));
    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, &full, nullptr), 0);

    bystanders->startStretch();
    std::vector<wire::Connection> waiting;
    for (int i = 0; i < 4; ++i)
        waiting.push_back(helloWithoutWaiting(camera.socketPath(), "waiting"));
    waitUntil([&] { return linesWith(camera.log(), "not accepting clients") != 0; });
    ASSERT_EQ(linesWith(camera.log(), "not accepting clients"), 1u) << camera.log();
    // The fd a client sends cannot be taken either, and it is told so: not that it sent too many.
    const base::UniqueFD memory = base::MemFd::create("e2e-no-room", kFrameBytes);
    const auto registered = sink.registerBuffer(memory.get(), e2e::frameLayout());
    ASSERT_TRUE(std::holds_alternative<wire::Error>(registered)) << "registered without an fd";
    const wire::Error& refusal = std::get<wire::Error>(registered);
    EXPECT_EQ(refusal.code, wire::ErrorCode::HostFailure) << wire::textOf(refusal.text);
    EXPECT_EQ(refusal.disconnecting, 0u);
    EXPECT_NE(wire::textOf(refusal.text).find("file descriptors"), std::string::npos)
        << wire::textOf(refusal.text);
    std::this_thread::sleep_for(1500ms);
    const soak::Figures during = bystanders->expectFullRate("while the camera was out of fds");
    // Said once, not once for every failed accept.
    EXPECT_LE(linesWith(camera.log(), "Too many open files"), 1u);

    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
    EXPECT_TRUE(waitUntil([&] { return linesWith(camera.log(), "accepting clients again") == 1; }))
        << camera.log();
    for (wire::Connection& connection : waiting) {
        ASSERT_EQ(connection.waitReadable(5000), 1) << "a waiting client was never served";
        const auto answer = connection.receive();
        ASSERT_EQ(answer.status, wire::ReceiveResult::Status::Message);
        EXPECT_TRUE(std::holds_alternative<wire::Welcome>(answer.received->message));
    }
    EXPECT_TRUE(std::holds_alternative<std::uint32_t>(
        sink.registerBuffer(memory.get(), e2e::frameLayout())));
    waiting.clear();
    client.reset();
    expectRecovered("a camera out of fds", during);
}

// What a flooding sink client was answered.
struct FloodAnswers {
    std::uint64_t pushes = 0;
    std::uint64_t refused[wire::kLastPushRefusal + 1] = {};
    std::uint64_t relayed = 0;
    std::uint64_t dropped = 0;
    std::uint64_t answered() const {
        std::uint64_t total = relayed + dropped;
        for (const std::uint64_t count : refused) total += count;
        return total;
    }
    bool count(const wire::Received& received) {
        if (const auto* refusal = std::get_if<wire::PushRefused>(&received.message)) {
            ++refused[std::uint32_t(refusal->reason)];
            return true;
        }
        if (const auto* back = std::get_if<wire::BufferReturned>(&received.message)) {
            ++(back->outcome == wire::PushOutcome::Relayed ? relayed : dropped);
            return true;
        }
        return false;
    }
};

TEST_F(FaultTest, AClientFloodingPushesFasterThanTheQueueDrains) {
    std::optional<RawClient> client(camera.socketPath());
    RawClient& flooder = *client;
    ASSERT_TRUE(flooder.hello(wire::Role::Sink));
    // It takes the sink over from the bystanding producer, which asks for it back meanwhile.
    const std::uint64_t takenBack = sinkTakenBack(*bystanders);
    const auto ids = flooder.startSink(wire::kMaxRegisteredBuffersPerClient, wire::SinkTakeOver{});
    ASSERT_EQ(ids.size(), wire::kMaxRegisteredBuffersPerClient);

    // Pushes every buffer in turn, free or not, as fast as the answers are read: never more
    // than a socketful waits unanswered, so the camera has no cause to hang up.
    constexpr std::uint64_t kUnansweredAtMost = 64;
    FloodAnswers answers;
    bool stopped = false;
    auto take = [&](std::chrono::milliseconds timeout) {
        while (auto received = flooder.receive(timeout)) {
            stopped = stopped || std::holds_alternative<wire::SinkStopped>(received->message);
            ASSERT_TRUE(answers.count(*received) || stopped)
                << "unexpected "
                << wire::messageTypeName(
                       std::visit([](const auto& m) { return m.kType; }, received->message));
            timeout = 0ms;
        }
    };
    bystanders->startStretch();
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end && !flooder.hungUp()) {
        if (answers.pushes - answers.answered() >= kUnansweredAtMost) {
            take(100ms);
            continue;
        }
        ASSERT_EQ(flooder.send(e2e::pushAt(ids[answers.pushes % ids.size()], host_time_now())), 0);
        ++answers.pushes;
        take(0ms);
    }
    // The flood's frames are output, as fast as it pushes them: the viewer gets frames at full
    // rate or faster, and is told of those it misses.
    const soak::Figures during =
        bystanders->expectFullRate("while a client flooded pushes", Bystanders::Viewed::Output);
    ASSERT_FALSE(flooder.hungUp()) << "the camera hung up on a flooder that read its answers";

    ASSERT_EQ(flooder.send(wire::SinkStop{}), 0);
    // Frames still held by viewers come back after the stop is answered.
    EXPECT_TRUE(waitUntil([&] {
        take(10ms);
        return stopped && answers.answered() == answers.pushes;
    })) << answers.pushes
        << " pushes, " << answers.answered() << " answered";
    const auto& refused = answers.refused;
    const auto queueFull = refused[std::uint32_t(wire::PushRefusal::QueueFull)];
    const auto busy = refused[std::uint32_t(wire::PushRefusal::BufferBusy)];
    EXPECT_GT(queueFull, 0u) << "the flood never filled the queue";
    EXPECT_GT(answers.relayed, 0u);
    EXPECT_EQ(queueFull + busy + answers.relayed + answers.dropped, answers.pushes)
        << "refusals other than a full queue or a busy buffer";
    std::cout << "[ figures  ] flood: " << answers.pushes << " pushes in 3 s: " << answers.relayed
              << " relayed, " << answers.dropped << " dropped, " << queueFull
              << " refused (queue full), " << busy << " refused (buffer busy); the bystanding "
              << "viewer saw " << during.viewedFps / during.pushedFps * 100
              << " % of the bystander's frames, and was told of the rest\n";
    // The sink is the bystander's again once the flood has stopped.
    EXPECT_TRUE(waitUntil([&] { return sinkTakenBack(*bystanders) > takenBack; }))
        << "the bystanding producer did not get the sink back";
    bystanders->startStretch();
    std::this_thread::sleep_for(1s);
    bystanders->expectFullRate("once the flood stopped");
    client.reset();
    expectRecovered("flooding client", during);
}

TEST_F(FaultTest, MemoryTheClientTruncatesOrWritesWhileAViewerReadsIt) {
    std::optional<RawClient> client(camera.socketPath());
    RawClient& producer = *client;
    ASSERT_TRUE(producer.hello(wire::Role::Sink));
    base::UniqueFD memory = base::MemFd::create("e2e-scribbled", kFrameBytes);
    ASSERT_TRUE(memory);
    const auto registered = producer.registerBuffer(memory.get(), e2e::frameLayout());
    ASSERT_TRUE(std::holds_alternative<std::uint32_t>(registered));
    const std::uint32_t id = std::get<std::uint32_t>(registered);

    // The memory cannot change size: every attempt fails.
    errno = 0;
    EXPECT_EQ(::ftruncate(memory.get(), kFrameBytes / 2), -1);
    EXPECT_EQ(errno, EPERM) << "a registered buffer could shrink";
    EXPECT_EQ(::ftruncate(memory.get(), 2 * kFrameBytes), -1);
    EXPECT_EQ(errno, EPERM) << "a registered buffer could grow";
    EXPECT_EQ(::fallocate(memory.get(), 0, 0, 2 * kFrameBytes), -1);
    EXPECT_EQ(errno, EPERM) << "a registered buffer could be extended";
    EXPECT_EQ(::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_WRITE), -1) << "seals could change";

    // Its pixels can change at any time: a scribbler writes and punches holes (pages that read
    // back as zeros) all the while the frame is pushed and read.
    auto mapping = base::MemoryMapping::create(memory.get(), kFrameBytes, true);
    ASSERT_TRUE(mapping);
    std::atomic<bool> done{false};
    std::uint64_t holesPunched = 0;
    std::thread scribbler([&] {
        for (std::uint8_t value = 1; !done.load(); ++value) {
            std::memset(mapping->data(), value, kFrameBytes);
            const off_t offset = off_t(value % 16) * 4096 * 40;
            if (::fallocate(memory.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset,
                            4096 * 40) == 0) {
                ++holesPunched;
            }
        }
    });
    // A viewer reads every byte of every frame.
    std::uint64_t framesRead = 0, torn = 0;
    std::string readerFailure;
    std::thread reader([&] {
        try {
            Viewer viewer = Viewer::open(camera.options());
            while (!done.load()) {
                auto frame = viewer.next_frame(100ms);
                if (!frame || frame->origin() != Viewer::Origin::Sink) continue;
                std::uint64_t sum = 0;
                const std::uint8_t first = frame->data()[0];
                bool uniform = true;
                for (std::size_t i = 0; i < kFrameBytes; i += 64) {
                    sum += frame->data()[i];
                    uniform = uniform && frame->data()[i] == first;
                }
                ++framesRead;
                if (!uniform && sum != 0) ++torn;
            }
        } catch (const Error& error) {
            readerFailure = error.what();
        }
    });

    // It takes the sink over from the bystanding producer, which asks for it back meanwhile.
    const std::uint64_t takenBack = sinkTakenBack(*bystanders);
    bystanders->startStretch();
    ASSERT_EQ(producer.send(wire::SinkTakeOver{}), 0);
    ASSERT_TRUE(producer.expect<wire::SinkStarted>());
    std::uint64_t pushed = 0, relayed = 0;
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(producer.send(e2e::pushAt(id, host_time_now())), 0);
        ++pushed;
        const auto back = producer.expect<wire::BufferReturned>();
        ASSERT_TRUE(back) << "the scribbled buffer did not come back";
        if (back->outcome == wire::PushOutcome::Relayed) ++relayed;
        std::this_thread::sleep_for(16ms);
    }
    done.store(true);
    scribbler.join();
    reader.join();
    // The bystanding viewer gets the output as fast as the scribbler pushed it.
    const soak::Figures during = bystanders->stretch();
    EXPECT_GE(during.outputFps, kFullRateShare * double(pushed) / during.seconds)
        << "the bystanding viewer slowed down while a client scribbled on a frame being read ("
        << during.missed << " frames missed)";
    EXPECT_EQ(readerFailure, "");
    EXPECT_EQ(relayed, pushed) << "scribbled frames were not relayed";
    EXPECT_GT(framesRead, 0u) << "the viewer read none of the scribbled frames";
    EXPECT_GT(holesPunched, 0u);
    std::cout << "[ figures  ] scribbled memory: " << pushed << " pushes, " << framesRead
              << " sink frames read whole, " << torn << " of them changing while read, "
              << holesPunched << " holes punched\n";
    *mapping = base::MemoryMapping();
    memory.reset();
    ASSERT_EQ(producer.send(wire::SinkStop{}), 0);
    EXPECT_TRUE(producer.expect<wire::SinkStopped>());
    EXPECT_TRUE(waitUntil([&] { return sinkTakenBack(*bystanders) > takenBack; }))
        << "the bystanding producer did not get the sink back";
    bystanders->startStretch();
    std::this_thread::sleep_for(1s);
    bystanders->expectFullRate("once the scribbler stopped");
    client.reset();
    expectRecovered("memory scribbled while read", during);
}

// A viewer that takes its frames and never gives one back.
class HoardingViewer {
  public:
    explicit HoardingViewer(const std::string& socketPath) : client_(socketPath) {
        EXPECT_TRUE(client_.hello(wire::Role::View));
        EXPECT_EQ(client_.send(wire::ViewStart{}), 0);
        EXPECT_TRUE(client_.expect<wire::ViewStarted>());
    }
    // Takes every frame that comes within `time`; how many.
    std::size_t hoard(std::chrono::milliseconds time) {
        const auto end = std::chrono::steady_clock::now() + time;
        std::size_t frames = 0;
        for (auto left = time; left > 0ms;
             left = std::chrono::duration_cast<std::chrono::milliseconds>(
                 end - std::chrono::steady_clock::now())) {
            auto received = client_.receive(left);
            if (!received) break;
            if (const auto* frame = std::get_if<wire::Frame>(&received->message)) {
                tokens_.push_back(frame->token);
                lastMissed_ = frame->framesMissed;
                ++frames;
            }
        }
        return frames;
    }
    // Gives one frame back.
    void releaseOne() {
        wire::Release release;
        release.token = tokens_.front();
        tokens_.erase(tokens_.begin());
        EXPECT_EQ(client_.send(release), 0);
    }
    std::uint32_t lastMissed() const { return lastMissed_; }

  private:
    RawClient client_;
    std::vector<std::uint64_t> tokens_;
    std::uint32_t lastMissed_ = 0;
};

TEST_F(FaultTest, AViewerThatNeverReleasesItsFrames) {
    bystanders->startStretch();
    std::optional<HoardingViewer> hoarder(camera.socketPath());
    // It gets as many frames as a viewer may hold, then no more.
    EXPECT_EQ(hoarder->hoard(2s), wire::kViewerFramesInFlight);
    const soak::Figures during =
        bystanders->expectFullRate("while a viewer held its frames for good");
    // One given back makes room for the next, which says what it missed.
    hoarder->releaseOne();
    EXPECT_EQ(hoarder->hoard(1s), 1u);
    EXPECT_GT(hoarder->lastMissed(), 60u) << "the hoarder was not told what it missed";
    hoarder.reset();
    expectRecovered("viewer never releasing", during);
}

TEST_F(FaultTest, SeveralViewersThatNeverReleaseCannotStarveTheProducer) {
    bystanders->startStretch();
    // Each hoards frames of its own moment, so that between them they hold more of the
    // producer's buffers than it has.
    std::vector<std::unique_ptr<HoardingViewer>> hoarders;
    for (int i = 0; i < 4; ++i) {
        hoarders.push_back(std::make_unique<HoardingViewer>(camera.socketPath()));
        EXPECT_EQ(hoarders.back()->hoard(300ms), wire::kViewerFramesInFlight);
    }
    std::this_thread::sleep_for(1s);
    const soak::Figures during =
        bystanders->expectFullRate("while four viewers held their frames for good");
    hoarders.clear();
    // The producer's pool grew meanwhile, within its limit, before any frame was taken back.
    expectRecovered("viewers never releasing", during, wire::kMaxRegisteredBuffersPerClient);
}

// A camera that a test can kill and start again on the same socket.
class RestartableCamera {
  public:
    RestartableCamera() : socketPath_(folder_.file("camera.sock")) { start(); }
    ~RestartableCamera() {
        if (!process_ || !process_->running()) return;
        process_->signal(SIGTERM);
        EXPECT_EQ(process_->wait(), 0) << "kova-camera did not end cleanly:\n"
                                       << e2e::readFile(process_->stderrPath());
    }
    ConnectOptions options() const { return ConnectOptions{socketPath_}; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }

    // Kills it as a crash would and starts another; whether that one serves.
    bool killAndRestart() {
        process_->signal(SIGKILL);
        process_->wait();
        return start();
    }

  private:
    bool start() {
        process_.emplace(e2e::spawn(KOVA_CAMERA_EXECUTABLE, {}, socketPath_, folder_.path(),
                                    "camera-" + std::to_string(++starts_)));
        return waitUntil([&] { return wire::connectTo(socketPath_).ok() || !process_->running(); },
                         20000ms) &&
               process_->running();
    }

    e2e::TempFolder folder_;
    std::string socketPath_;
    std::optional<ChildProcess> process_;
    int starts_ = 0;
};

TEST(CameraRestart, TheCameraKilledUnderRunningClientsWhoReportItAndReconnect) {
    RestartableCamera camera;
    Bystanders bystanders(camera.options(), /*reconnect=*/true);
    ASSERT_TRUE(bystanders.flowing());
    const CameraState before = stateOf(camera.pid());

    ASSERT_TRUE(camera.killAndRestart()) << "the camera did not start again";
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto producer = bystanders.producerTally();
            const auto viewer = bystanders.viewerTally();
            return producer.reconnects == 1 && viewer.reconnects == 1;
        },
        10000ms))
        << "the clients did not reconnect";
    EXPECT_EQ(bystanders.producerTally().disconnects, 1u) << "the producer did not report it";
    EXPECT_EQ(bystanders.viewerTally().disconnects, 1u) << "the viewer did not report it";
    ASSERT_TRUE(bystanders.flowing());

    bystanders.startStretch();
    std::this_thread::sleep_for(2s);
    const soak::Figures after = bystanders.expectFullRate("once the camera was back");
    // The new camera holds for the reconnected clients what the old one held for them.
    const CameraState held = expectCameraBackTo(camera.pid(), before);
    reportFigures("camera killed and restarted", after, before, held);
    // Frames the old camera had taken went with it; only the new one's are accounted for.
    bystanders.stopAndExpectAllCounted(/*accountable=*/false);
}

}  // namespace
}  // namespace kova::faults
