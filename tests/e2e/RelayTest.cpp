// End to end, frames between processes: a viewer reads a producer's frames in the producer's own
// memory (no copy on the way), read-only and byte for byte, and the camera's placeholder in the
// camera's memory; a producer killed mid-session leaves the viewer served and nothing of it behind;
// frames that viewers hold never change within the hold limit, however fast the producer pushes.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <thread>

#include "tests/harness/CameraProcess.h"

namespace kova::e2e {
namespace {

using namespace std::chrono_literals;

// What each fd of `pid` leads to, with the memory object (inode) behind it.
std::multimap<std::string, ino_t> fdsOf(pid_t pid) {
    std::multimap<std::string, ino_t> fds;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        struct stat status {};
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && ::stat(entry.path().c_str(), &status) == 0) {
            fds.emplace(target.string(), status.st_ino);
        }
    }
    return fds;
}

// Whether `pid` holds `fd`'s memory through an fd that leads to `name`.
bool holdsMemoryOf(pid_t pid, const std::string& name, int fd) {
    struct stat ours {};
    if (::fstat(fd, &ours) != 0) return false;
    const auto fds = fdsOf(pid);
    return std::any_of(fds.begin(), fds.end(), [&](const auto& each) {
        return each.first.find(name) != std::string::npos && each.second == ours.st_ino;
    });
}

// What `pid` has opened since `before` and still holds, for a failure to name.
std::string openedSince(const std::multimap<std::string, ino_t>& before, pid_t pid) {
    std::string text;
    for (const auto& fd : fdsOf(pid)) {
        const auto [first, last] = before.equal_range(fd.first);
        if (std::none_of(first, last, [&](const auto& each) { return each.second == fd.second; })) {
            text += " " + fd.first;
        }
    }
    return text;
}

// The frame's memory maps for reading and cannot be written by this viewer in any way.
void expectReadOnly(const Viewer::Frame& frame) {
    void* writable =
        ::mmap(nullptr, kFrameBytes, PROT_READ | PROT_WRITE, MAP_SHARED, frame.fd(), 0);
    EXPECT_EQ(writable, MAP_FAILED) << "a viewer mapped a frame for writing";
    if (writable != MAP_FAILED) ::munmap(writable, kFrameBytes);
    const std::uint8_t byte = 0;
    EXPECT_EQ(::pwrite(frame.fd(), &byte, 1, 0), -1) << "a viewer wrote into a frame";
}

// Frame k of the test's input: bytes that differ from offset to offset and from frame to frame.
std::vector<std::uint8_t> inputFrame(int k) {
    std::vector<std::uint8_t> frame(kFrameBytes);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = std::uint8_t((i * 131 + (i >> 8)) ^ k);
    return frame;
}

std::optional<Viewer::Frame> nextOf(Viewer& viewer, Viewer::Origin origin) {
    for (int i = 0; i < 200; ++i) {
        auto frame = viewer.next_frame(3000ms);
        if (!frame || frame->origin() == origin) return frame;
    }
    return std::nullopt;
}

TEST(Relay, FramesCrossProcessesInTheirOwnersMemoryReadOnlyAndByteForByte) {
    CameraProcess camera;
    const TempFolder& folder = camera.folder();
    Viewer viewer = Viewer::open(camera.options());
    const auto placeholder = nextOf(viewer, Viewer::Origin::Placeholder);
    ASSERT_TRUE(placeholder) << "the output does not run";
    EXPECT_TRUE(holdsMemoryOf(camera.pid(), "/memfd:kova-pixel-buffer", placeholder->fd()))
        << "the placeholder is not in the camera's own memory";
    EXPECT_EQ(firstRowUnlikePlaceholder(placeholder->data(), placeholder->stride()), std::nullopt);
    expectReadOnly(*placeholder);

    // kova push reads its frames from a pipe opened read-write, which blocks neither end.
    const std::string fifo = folder.file("input.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    base::UniqueFD input(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
    ChildProcess push =
        startKova({"push", "--input", "-"}, camera.socketPath(), folder.path(), "push", fifo);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const auto pixels = inputFrame(k);
        ASSERT_EQ(::write(input.get(), pixels.data(), pixels.size()), ssize_t(pixels.size()));
        const auto frame = nextOf(viewer, Viewer::Origin::Sink);
        ASSERT_TRUE(frame) << "the pushed frame never came: " << push.log();
        EXPECT_TRUE(holdsMemoryOf(push.pid(), "/memfd:kova-frame", frame->fd()))
            << "the viewer does not read the producer's own memory";
        ASSERT_EQ(frame->stride(), kFrameStride);
        EXPECT_EQ(std::memcmp(frame->data(), pixels.data(), kFrameBytes), 0)
            << "the frame changed on its way";
        expectReadOnly(*frame);
    }
    input.reset();
    EXPECT_EQ(push.wait(), 0) << push.log();
    EXPECT_EQ(readFile(push.stdoutPath()), "pushed 3 frames, dropped 0\n");
}

TEST(Relay, AProducerKilledMidSessionLeavesTheViewerServedAndNothingBehind) {
    CameraProcess camera;
    Viewer viewer = Viewer::open(camera.options());
    ASSERT_TRUE(viewer.next_frame(3000ms));
    const std::size_t fdsAtStart = camera.openFdsBesidesItsPool();
    const auto fdsAtStartNamed = fdsOf(camera.pid());
    ChildProcess pusher = startKova({"push", "--pattern", "counter", "--fps", "60"},
                                    camera.socketPath(), camera.folder().path(), "pusher");
    ASSERT_TRUE(nextOf(viewer, Viewer::Origin::Sink)) << pusher.log();
    EXPECT_GT(camera.fdsNaming("/memfd:kova-frame"), 0u);

    pusher.signal(SIGKILL);
    EXPECT_EQ(pusher.wait(), 128 + SIGKILL);
    EXPECT_TRUE(nextOf(viewer, Viewer::Origin::Placeholder)) << "the viewer stopped getting frames";
    // Every fd and mapping of its memory is let go, once this viewer holds none of its frames.
    EXPECT_TRUE(waitUntil([&] {
        while (viewer.next_frame(0ms)) {
        }
        return camera.openFdsBesidesItsPool() == fdsAtStart &&
               camera.fdsNaming("/memfd:kova-frame") == 0 &&
               camera.mappingsNaming("/memfd:kova-frame") == 0;
    })) << "the camera holds "
        << camera.openFdsBesidesItsPool() << " fds (had " << fdsAtStart << "), "
        << camera.fdsNaming("/memfd:kova-frame") << " of them and "
        << camera.mappingsNaming("/memfd:kova-frame") << " mappings of the producer's memory; open"
        << " since the start:" << openedSince(fdsAtStartNamed, camera.pid());
}

// A viewer that holds every frame it may gets no more until it lets one go, and each frame then
// tells it exactly how many it missed: the gap in the output's sequence, counted once.
TEST(Relay, AViewerHoldingItsLimitGetsNoMoreAndIsToldExactlyWhatItMissed) {
    CameraProcess camera;
    Viewer viewer = Viewer::open(camera.options());
    std::vector<Viewer::Frame> held;
    for (std::uint32_t i = 0; i < wire::kViewerFramesInFlight; ++i) {
        auto frame = viewer.next_frame(3000ms);
        ASSERT_TRUE(frame);
        held.push_back(std::move(*frame));
    }
    EXPECT_FALSE(viewer.next_frame(300ms)) << "a frame past the limit came";
    std::uint64_t last = held.back().sequence();
    held.clear();
    std::uint64_t missed = 0;
    for (int i = 0; i < 10; ++i) {
        const auto frame = viewer.next_frame(3000ms);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->sequence(), last + 1 + frame->missed_before()) << "frame " << i;
        missed += frame->missed_before();
        last = frame->sequence();
    }
    EXPECT_GT(missed, 0u);
}

// A frame's number, written by the producer at its start, middle and end.
struct Stamp {
    std::uint64_t words[3] = {};
    bool operator==(const Stamp&) const = default;
};
constexpr std::size_t kStampOffsets[3] = {0, kFrameBytes / 2, kFrameBytes - 8};

Stamp stampOf(const std::uint8_t* pixels) {
    Stamp stamp;
    for (int i = 0; i < 3; ++i) std::memcpy(&stamp.words[i], pixels + kStampOffsets[i], 8);
    return stamp;
}

// What one viewer found when it looked at its frames again before letting them go.
struct HoldRecord {
    std::uint64_t checked = 0;
    std::uint64_t changedWithinLimit = 0;  // must stay 0
    std::uint64_t changedButIntact = 0;    // must stay 0
    std::uint64_t takenBack = 0;           // read as not intact

    void check(const Viewer::Frame& frame, const Stamp& first, std::uint64_t limitNs) {
        const bool same = stampOf(frame.data()) == first;
        const bool intact = frame.intact();
        ++checked;
        if (!same && host_time_now() - frame.host_time_ns() < limitNs) ++changedWithinLimit;
        if (!same && intact) ++changedButIntact;
        if (!intact) ++takenBack;
    }
};

// Holds `depth` pushed frames at a time, each until the next is due, and checks every one
// before releasing it; or, `forGood`, holds the first `depth` until `stop`.
void holdAndCheck(Viewer& viewer, std::size_t depth, bool forGood, const std::atomic<bool>& stop,
                  HoldRecord& record) {
    const auto limitNs = std::uint64_t(viewer.hold_limit().count()) * 1'000'000;
    std::deque<std::pair<Viewer::Frame, Stamp>> held;
    while (!stop.load()) {
        // The oldest goes before the next comes, so no more than `depth` are ever held.
        if (held.size() == depth) {
            if (forGood) {
                stop.wait(false);
                break;
            }
            record.check(held.front().first, held.front().second, limitNs);
            held.pop_front();
        }
        auto frame = viewer.next_frame(100ms);
        if (!frame || frame->origin() != Viewer::Origin::Sink) continue;
        const Stamp stamp = stampOf(frame->data());
        held.emplace_back(std::move(*frame), stamp);
    }
    for (const auto& [frame, stamp] : held) record.check(frame, stamp, limitNs);
}

TEST(HeldFrames, NeverChangeWithinTheHoldLimitWhileAProducerPushesAsFastAsItCan) {
    CameraProcess camera;
    std::atomic<bool> stop{false};
    // Two viewers hold frames all the time, within their fair share even while a release is on
    // its way; a third holds its first frames for good, past the hold limit.
    std::vector<Viewer> viewers;
    for (int i = 0; i < 3; ++i) viewers.push_back(Viewer::open(camera.options()));
    HoldRecord records[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            holdAndCheck(viewers[i],
                         i < 2 ? wire::kViewerFairShare - 1 : wire::kViewerFramesInFlight, i == 2,
                         stop, records[i]);
        });
    }

    Producer producer = Producer::open(camera.options());
    std::uint64_t number = 0;
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end) {
        Producer::Frame frame = producer.acquire(2s);
        ++number;
        for (std::size_t offset : kStampOffsets) std::memcpy(frame.data() + offset, &number, 8);
        producer.push(std::move(frame));
    }
    stop = true;
    stop.notify_all();
    for (std::thread& thread : threads) thread.join();
    producer.close();

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("viewer " + std::to_string(i));
        EXPECT_GT(records[i].checked, 0u);
        EXPECT_EQ(records[i].changedWithinLimit, 0u);
        EXPECT_EQ(records[i].changedButIntact, 0u);
    }
    // The hoarder held its frames for well over the limit while the producer needed buffers.
    EXPECT_EQ(records[2].takenBack, wire::kViewerFramesInFlight) << number << " frames pushed";
}

}  // namespace
}  // namespace kova::e2e
