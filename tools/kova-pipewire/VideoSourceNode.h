// A PipeWire "Video/Source" node that publishes BGRA frames handed to it in the layout, size and
// rate its consumers agree on.
//
// Threading: a VideoSourceNode belongs to the loop of the pw_core it is created on. create(),
// publish(), the accessors and the destructor run on that loop's thread (with a pw_thread_loop:
// while holding its lock), and the streaming callback is called there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FramePacer.h"
#include "PixelConversion.h"

struct pw_core;

namespace kova::pipewire {

// A picture to publish, borrowed for the duration of publish().
struct FrameView {
    const std::uint8_t* pixels = nullptr;  // BGRA
    std::size_t stride = 0;
    std::size_t width = 0;
    std::size_t height = 0;
    std::uint64_t host_time_ns = 0;  // CLOCK_MONOTONIC; becomes the buffer's timestamp
    std::uint64_t sequence = 0;
};

struct NodeSettings {
    std::string name;         // node.name: stable, what consumers and policies target
    std::string description;  // node.description: what people see in pickers
    Size size;                // of the frames handed to publish()
    Fraction rate;            // at which they come
};

// What the node offers, in order of preference: the frames' own size, then common sizes their
// picture is scaled to fit; the frames' own rate, then whole-number rates, highest first (a
// consumer that rounds a rate down to a whole number finds it, and one that takes the highest
// gets the frames' own rate or more).
std::vector<Size> offered_sizes(Size own);
std::vector<Fraction> offered_rates(Fraction own);

// The format consumers agreed on.
struct AgreedFormat {
    PixelFormat format = PixelFormat::BGRA;
    Size size;
    Fraction rate;
    bool operator==(const AgreedFormat&) const = default;
};

class VideoSourceNode {
  public:
    enum class Publish {
        Sent,          // queued for every consumer
        NotStreaming,  // no consumer is taking frames
        Paced,         // left out to keep to the agreed rate, below the frames' own
        NoFreeBuffer,  // consumers still hold every buffer: the frame is dropped
        WrongSize,     // the frame is not the size the node was created for
    };
    struct Counters {
        std::uint64_t sent = 0;
        std::uint64_t copied = 0;     // frames that cost one copy (BGRA, BGRx at the own size)
        std::uint64_t converted = 0;  // one conversion (YUY2, NV12, I420 at the own size)
        std::uint64_t scaled = 0;     // one scaling, plus one conversion for YUV layouts
        std::uint64_t paced = 0;      // left out to keep to a lower agreed rate
        std::uint64_t dropped = 0;    // of the wrong size, or no buffer was free or fit
    };
    // Called with true when consumers start taking frames, with false when the last one stops.
    using StreamingCallback = std::function<void(bool streaming)>;

    // Registers the node on `core`. Throws std::runtime_error when PipeWire refuses it.
    static std::unique_ptr<VideoSourceNode> create(pw_core* core, const NodeSettings& settings,
                                                   StreamingCallback on_streaming);
    ~VideoSourceNode();
    VideoSourceNode(const VideoSourceNode&) = delete;
    VideoSourceNode& operator=(const VideoSourceNode&) = delete;

    // Writes the frame into a free PipeWire buffer (see Counters for what that costs; the buffer
    // is shared by every consumer) and starts a graph cycle so that it goes out at once.
    Publish publish(const FrameView& frame);

    bool streaming() const;
    std::optional<AgreedFormat> format() const;  // the format consumers agreed on, if any
    std::uint32_t node_id() const;               // the node's global id once registered
    const Counters& counters() const;

    struct Impl;

  private:
    explicit VideoSourceNode(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kova::pipewire
