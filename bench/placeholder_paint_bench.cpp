// Painting the placeholder picture into one 800 × 960 BGRA frame, against a plain memset of the
// same bytes. PlaceholderPaintOverMemset times both alternately in one loop and reports their
// ratio (counter `paint_over_memset`; the goal is at most 1.25).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Sources/CameraExtension/ExtensionSupport.h"
#include "Sources/CameraExtension/PlaceholderPicture.h"

namespace {

constexpr std::size_t kBytesPerRow = static_cast<std::size_t>(kWidth) * 4;
constexpr std::size_t kFrameBytes = kBytesPerRow * static_cast<std::size_t>(kHeight);

// A page-aligned frame, touched once so page faults stay out of the measurement.
struct Frame {
    Frame() : bytes(static_cast<std::uint8_t*>(std::aligned_alloc(4096, kFrameBytes))) {
        std::memset(bytes.get(), 0, kFrameBytes);
    }
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> bytes;
};

void PlaceholderPaint(benchmark::State& state) {
    Frame frame;
    for (auto _ : state) {
        paintPlaceholder(frame.bytes.get(), kBytesPerRow);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(PlaceholderPaint);

void FrameMemset(benchmark::State& state) {
    Frame frame;
    for (auto _ : state) {
        std::memset(frame.bytes.get(), 0x1C, kFrameBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(FrameMemset);

// Both in one loop, so that the ratio compares them under the same machine load.
void PlaceholderPaintOverMemset(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Frame frame;
    Clock::duration paintTime{};
    Clock::duration memsetTime{};
    for (auto _ : state) {
        const auto start = Clock::now();
        std::memset(frame.bytes.get(), 0x1C, kFrameBytes);
        benchmark::ClobberMemory();
        const auto middle = Clock::now();
        paintPlaceholder(frame.bytes.get(), kBytesPerRow);
        benchmark::ClobberMemory();
        const auto end = Clock::now();
        memsetTime += middle - start;
        paintTime += end - middle;
        state.SetIterationTime(std::chrono::duration<double>(end - middle).count());
    }
    state.counters["paint_over_memset"] = std::chrono::duration<double>(paintTime).count() /
                                          std::chrono::duration<double>(memsetTime).count();
}
BENCHMARK(PlaceholderPaintOverMemset)->UseManualTime();

}  // namespace
