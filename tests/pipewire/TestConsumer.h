// A small PipeWire consumer for tests and measurements: takes a node's frames through a stream of
// its own, as a video application would.
//
// Threading: the PipeWire side runs on the consumer's own pw_thread_loop; every public method may
// be called from any one other thread, and waits on state that the loop fills in under a mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;

namespace kova::pipewire::test {

struct ReceivedFrame {
    std::uint64_t index = 0;           // how many frames this consumer received before it
    std::int64_t pts = 0;              // the buffer's header timestamp
    std::uint64_t seq = 0;             // the buffer's header sequence
    std::uint64_t received_ns = 0;     // CLOCK_MONOTONIC when the consumer got it
    std::uint32_t stride = 0;          // of the first plane
    std::vector<std::uint8_t> pixels;  // every data block's, one after the other
};

class TestConsumer {
  public:
    // Connects to the PipeWire daemon at `remote` (a socket path).
    static std::unique_ptr<TestConsumer> connect(const std::string& remote);
    ~TestConsumer();
    TestConsumer(const TestConsumer&) = delete;
    TestConsumer& operator=(const TestConsumer&) = delete;

    // Opens a stream that asks the session manager to link it to the node `target`, accepting
    // only `spa_format` at the given size, at any rate. Frames are kept with their pixels when
    // `keep_pixels`, else only their timing is recorded.
    void capture(const std::string& target, std::uint32_t spa_format, std::uint32_t width,
                 std::uint32_t height, bool keep_pixels = true);
    void stop_capture();
    bool wait_streaming(std::chrono::milliseconds timeout);
    // Waits for the stream to fail; its error message, if it did.
    std::optional<std::string> wait_error(std::chrono::milliseconds timeout);

    // Waits for a frame received from now on (or already kept, if `include_kept`) that matches.
    std::optional<ReceivedFrame> wait_frame(const std::function<bool(const ReceivedFrame&)>& match,
                                            std::chrono::milliseconds timeout,
                                            bool include_kept = false);
    struct Arrival {
        std::int64_t pts = 0;
        std::uint64_t received_ns = 0;
    };
    // The timestamp and receive time of every frame so far.
    std::vector<Arrival> arrivals();

    struct Impl;

  private:
    explicit TestConsumer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kova::pipewire::test
