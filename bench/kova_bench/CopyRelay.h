// The copying side of the comparison: what one frame copy or fill costs on this machine, and a
// relay that copies every frame through a SOCK_STREAM Unix socket, as a loopback-device writer
// or a shared-memory pipe relay does.
//
// Threading: each function is called from one thread; the relay starts and joins its own.
#pragma once

#include <cstdint>

namespace kova::bench {

// Median time of one warm copy and one warm fill of an 800 × 960 BGRA frame, in microseconds.
struct FrameCopyCost {
    double memcpyUs = 0;
    double memsetUs = 0;
};
FrameCopyCost measureFrameCopy(int repetitions);

struct CopyingRelayResult {
    double seconds = 0;
    std::uint64_t frames = 0;  // frames the reader received whole
    std::uint64_t writerCpuNs = 0;
    std::uint64_t readerCpuNs = 0;
};
// A writer thread sends the frames as fast as the socket takes them; a reader thread reads each
// one whole into a frame of its own. Throws std::runtime_error when the socket fails.
CopyingRelayResult runCopyingRelay(double warmupSeconds, double windowSeconds);

}  // namespace kova::bench
