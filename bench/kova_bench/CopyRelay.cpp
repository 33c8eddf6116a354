// One frame's copy and fill, and the copying socket relay.
#include "CopyRelay.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"
#include "kova/kova.h"

namespace kova::bench {

namespace {

// Frames the writer cycles through: as many as a producer's pool, so the source is not one
// frame that stays in cache.
constexpr std::size_t kSourceFrames = 8;

// A page-aligned frame, written once so that its pages exist before anything is timed.
class FrameMemory {
  public:
    explicit FrameMemory(std::uint8_t fill)
        : bytes_(static_cast<std::uint8_t*>(std::aligned_alloc(4096, kova::kFrameBytes))) {
        if (!bytes_) throw std::bad_alloc();
        std::memset(bytes_.get(), fill, kova::kFrameBytes);
    }
    std::uint8_t* data() const { return bytes_.get(); }

  private:
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> bytes_;
};

// Keeps the compiler from dropping a copy whose result nobody reads.
void touch(const std::uint8_t* bytes) {
    asm volatile("" : : "r"(bytes) : "memory");
}

}  // namespace

FrameCopyCost measureFrameCopy(int repetitions) {
    FrameMemory source(0x5a);
    FrameMemory target(0);
    std::vector<double> copies;
    std::vector<double> fills;
    // Alternating, so both see the same load; the first round warms caches and is dropped.
    for (int i = 0; i <= repetitions; ++i) {
        const std::uint64_t start = monotonicNs();
        std::memcpy(target.data(), source.data(), kova::kFrameBytes);
        touch(target.data());
        const std::uint64_t middle = monotonicNs();
        std::memset(target.data(), 0x1c, kova::kFrameBytes);
        touch(target.data());
        const std::uint64_t end = monotonicNs();
        if (i == 0) continue;
        copies.push_back(double(middle - start) / 1000.0);
        fills.push_back(double(end - middle) / 1000.0);
    }
    return FrameCopyCost{medianOf(copies), medianOf(fills)};
}

CopyingRelayResult runCopyingRelay(double warmupSeconds, double windowSeconds) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    const int writerEnd = ends[0];
    const int readerEnd = ends[1];
    std::vector<std::unique_ptr<FrameMemory>> sources;
    for (std::size_t i = 0; i < kSourceFrames; ++i) {
        sources.push_back(std::make_unique<FrameMemory>(std::uint8_t(0x40 + i)));
    }
    FrameMemory received(0);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> frames{0};
    std::atomic<int> failure{0};

    std::thread writer([&] {
        for (std::size_t n = 0; !stop.load(); ++n) {
            const std::uint8_t* frame = sources[n % kSourceFrames]->data();
            std::size_t sent = 0;
            while (sent < kova::kFrameBytes) {
                const ssize_t wrote =
                    ::send(writerEnd, frame + sent, kova::kFrameBytes - sent, MSG_NOSIGNAL);
                if (wrote < 0 && errno == EINTR) continue;
                if (wrote <= 0) {
                    // The reader hung up at the end of the window.
                    if (!stop.load()) failure.store(errno);
                    return;
                }
                sent += std::size_t(wrote);
            }
        }
        ::shutdown(writerEnd, SHUT_WR);
    });
    std::thread reader([&] {
        for (;;) {
            std::size_t got = 0;
            while (got < kova::kFrameBytes) {
                const ssize_t read =
                    ::recv(readerEnd, received.data() + got, kova::kFrameBytes - got, 0);
                if (read < 0 && errno == EINTR) continue;
                if (read <= 0) {
                    if (read < 0 && !stop.load()) failure.store(errno);
                    return;
                }
                got += std::size_t(read);
            }
            frames.fetch_add(1);
        }
    });

    std::this_thread::sleep_for(std::chrono::duration<double>(warmupSeconds));
    const std::uint64_t startNs = monotonicNs();
    const std::uint64_t startFrames = frames.load();
    const std::uint64_t startWriter = threadCpuNs(writer.native_handle());
    const std::uint64_t startReader = threadCpuNs(reader.native_handle());
    std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
    const std::uint64_t endNs = monotonicNs();
    const std::uint64_t endFrames = frames.load();
    const std::uint64_t endWriter = threadCpuNs(writer.native_handle());
    const std::uint64_t endReader = threadCpuNs(reader.native_handle());

    stop.store(true);
    // The writer may be blocked in send(): shutting the reader's side down wakes it.
    ::shutdown(readerEnd, SHUT_RDWR);
    writer.join();
    reader.join();
    ::close(writerEnd);
    ::close(readerEnd);
    if (const int error = failure.load(); error != 0) {
        throw std::runtime_error(std::string("copying relay: ") + std::strerror(error));
    }
    return CopyingRelayResult{double(endNs - startNs) / 1e9, endFrames - startFrames,
                              endWriter - startWriter, endReader - startReader};
}

}  // namespace kova::bench
