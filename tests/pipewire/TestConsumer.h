// A small PipeWire consumer for tests and measurements: takes a node's frames through a stream of
// its own, as a video application would.
//
// Threading: the PipeWire side runs on the consumer's own pw_thread_loop; the public methods are
// called from one other thread and wait on what the loop records under a mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kova::pipewire::test {

struct ReceivedFrame {
    std::int64_t pts = 0;              // the buffer's header timestamp
    std::uint64_t received_ns = 0;     // the steady clock's time when the consumer got it
    std::vector<std::uint8_t> pixels;  // every data block's, one after the other
};

class TestConsumer {
  public:
    // Connects to the PipeWire daemon at `remote` (a socket path) with a stream that asks the
    // session manager to link it to the node `target`, accepting only `spa_format` at the given
    // size, at any rate. Throws if it cannot.
    TestConsumer(const std::string& remote, const std::string& target, std::uint32_t spa_format,
                 std::uint32_t width, std::uint32_t height);
    ~TestConsumer();

    // Waits for the stream to stream or fail: nothing once it streams, else why it does not.
    std::optional<std::string> wait_streaming(std::chrono::milliseconds timeout);
    // Waits for a frame that matches, among the last few received and those still to come.
    // `match` may see a frame more than once.
    std::optional<ReceivedFrame> wait_frame(const std::function<bool(const ReceivedFrame&)>& match,
                                            std::chrono::milliseconds timeout);
    // Closes the stream, as an application that stops watching.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kova::pipewire::test
