// libkova-client: push frames into the Kova camera, or watch what it outputs.
//
// A Producer opens the camera's sink stream "Kova Sink" and pushes 800 x 960 BGRA frames that
// live in shared memory registered with the camera once, so pushing a frame copies nothing.
// That memory is sealed once the producer has mapped it: viewers can read it, never write it.
// A Viewer opens the output stream "Kova Video" and receives every frame the camera sends
// (relayed from a producer, or its placeholder picture), mapped read-only, without a copy.
//
// Errors are reported as kova::Error exceptions carrying the camera's message. A camera that
// goes away is reported as an Error with code ErrorCode::Disconnected; call reconnect() to
// start a new session.
//
// Threading: a Producer or Viewer is used from one thread at a time. Frames may be destroyed on
// any thread, also after their Producer/Viewer is gone (a frame keeps its memory mapped).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(KOVA_CLIENT_BUILDING)
#define KOVA_EXPORT __attribute__((visibility("default")))
#else
#define KOVA_EXPORT
#endif

namespace kova {

// The one frame format of both streams.
inline constexpr std::size_t kFrameWidth = 800;
inline constexpr std::size_t kFrameHeight = 960;
inline constexpr std::size_t kFrameStride = kFrameWidth * 4;
inline constexpr std::size_t kFrameBytes = kFrameStride * kFrameHeight;  // 3 072 000
inline constexpr std::uint32_t kFramePixelFormat = 0x42475241;           // 'BGRA'
// The stream's advertised frame duration, 100/5983 s (59.83 frames a second).
inline constexpr double kStreamFrameRate = 5983.0 / 100.0;

enum class ErrorCode {
    NoCamera,         // nothing serves the socket
    Refused,          // the camera refused a request; what() says why
    ProtocolError,    // the camera sent something this library does not understand
    Disconnected,     // the camera went away
    InvalidArgument,  // a bad argument to this library
    SystemError,      // an operating-system call failed
    Timeout,          // the camera did not answer, or no buffer came back, in time
};

class KOVA_EXPORT Error : public std::runtime_error {
  public:
    Error(ErrorCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ErrorCode code() const { return code_; }

  private:
    ErrorCode code_;
};

// Nanoseconds on the host clock (CLOCK_MONOTONIC), the clock frames are stamped on.
KOVA_EXPORT std::uint64_t host_time_now();
// The socket the camera serves: $KOVA_SOCKET, else $XDG_RUNTIME_DIR/kova/camera.sock, else
// /tmp/kova-<uid>/camera.sock.
KOVA_EXPORT std::string default_socket_path();

struct ConnectOptions {
    std::string socket_path;  // empty: default_socket_path()
};

class KOVA_EXPORT Producer {
  public:
    // A writable frame: one of the producer's registered buffers, lent until submitted.
    class KOVA_EXPORT Frame {
      public:
        Frame(Frame&&) noexcept;
        Frame& operator=(Frame&&) noexcept;
        ~Frame();  // an unsubmitted frame goes back to the producer's pool
        std::uint8_t* data() const;
        std::size_t stride() const;
        // The frame's shared memory, the memfd registered with the camera; borrowed, valid while
        // the frame lives. Sealed: it maps read-only anywhere, data() is its one writable mapping.
        int fd() const;
        std::size_t width() const { return kFrameWidth; }
        std::size_t height() const { return kFrameHeight; }

      private:
        friend class Producer;
        struct Impl;
        explicit Frame(std::unique_ptr<Impl> impl);
        std::unique_ptr<Impl> impl_;
    };

    struct Counters {
        std::uint64_t sent = 0;     // accepted by the camera
        std::uint64_t dropped = 0;  // refused by the camera (its queue was full) or not delivered
        double fps = 0;             // frames sent per second over the last second
    };

    // Connects, registers a small pool of shared buffers and starts a sink session.
    static Producer open(const ConnectOptions& options = {});
    Producer(Producer&&) noexcept;
    Producer& operator=(Producer&&) noexcept;
    ~Producer();

    // A free buffer to paint into; waits up to `timeout` for the camera to return one.
    Frame acquire(std::chrono::milliseconds timeout = std::chrono::seconds(1));
    // Pushes the frame and waits (one round trip) until the camera has taken it or refused it.
    // Its presentation time defaults to host_time_now(). Returns false when the camera refused
    // it (counted as dropped); the buffer is free again at once either way it goes.
    bool submit(Frame&& frame, std::optional<std::uint64_t> presentation_time_ns = std::nullopt);
    // Pushes the frame and returns at once. The camera's answer is read later, by acquire() and
    // close(): a refusal is then counted as dropped, and the buffer is free again. It saves the
    // round trip of submit(): for a producer that paints into acquired frames, whose pool is no
    // larger than the camera's queue, a push is refused only for a stopped session or a bad
    // presentation time.
    void push(Frame&& frame, std::optional<std::uint64_t> presentation_time_ns = std::nullopt);
    // For callers that already have a picture: one copy into a shared buffer, then submit().
    bool send(const std::uint8_t* pixels, std::size_t stride,
              std::optional<std::uint64_t> presentation_time_ns = std::nullopt);
    // Paces a push loop: sleeps until the next frame is due at the chosen rate (above 0, at most
    // 1000), by default the sink stream's rate as the camera reports it. Deadlines lie on a grid
    // from the first call, so the loop never drifts; a loop that fell behind by more than a
    // frame skips the frames it missed rather than bursting.
    void set_frame_rate(double fps);
    void sleep_until_next_frame();
    Counters counters() const;
    // Ends the sink session: frames still queued in the camera come back (as dropped) before it
    // returns, so the counters are final. Later calls other than counters() and reconnect()
    // throw.
    void close(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Ends the session (if any) and opens a new one on the same socket.
    void reconnect();

  private:
    struct Impl;
    explicit Producer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class KOVA_EXPORT Viewer {
  public:
    enum class Origin { Sink, Placeholder };

    // A received frame, mapped read-only; the camera gets the buffer back when it goes. Its
    // pixels do not change while it is held for up to hold_limit() (1 s). A frame held
    // longer may be taken back, as may the oldest of a viewer's frames when it holds more than
    // two from a producer that has run out of buffers: the buffer goes back to its producer,
    // whose next picture may then be written into it. intact(), asked after reading, says
    // whether that happened.
    class KOVA_EXPORT Frame {
      public:
        Frame(Frame&&) noexcept;
        Frame& operator=(Frame&&) noexcept;
        ~Frame();
        std::uint64_t sequence() const;
        std::uint64_t host_time_ns() const;  // the time the camera sent it with
        std::uint64_t received_ns() const;   // host clock when this viewer received it
        Origin origin() const;
        std::uint64_t missed_before() const;  // frames this viewer missed just before it
        const std::uint8_t* data() const;
        // The camera's buffer the picture lies in, from its first byte: a sealed memfd that maps
        // read-only, for callers that hand frames on by descriptor. Borrowed, valid while the
        // frame lives; data() is this viewer's mapping of it.
        int fd() const;
        std::size_t stride() const;
        std::size_t width() const;
        std::size_t height() const;
        // Whether the pixels are still those the camera sent: true until the frame is taken
        // back. Ask after reading them: true then means everything read belongs to this frame;
        // false means what was read may be partly a later picture. Costs one memory read.
        bool intact() const;

      private:
        friend class Viewer;
        struct Impl;
        explicit Frame(std::unique_ptr<Impl> impl);
        std::unique_ptr<Impl> impl_;
    };

    // Connects and starts a view session; frames follow.
    static Viewer open(const ConnectOptions& options = {});
    Viewer(Viewer&&) noexcept;
    Viewer& operator=(Viewer&&) noexcept;
    ~Viewer();

    // The next frame, or nothing if none came within `timeout` (0: only one already waiting).
    // Each camera buffer is mapped once, the first time a frame names it, and unmapped when the
    // camera says it is gone and no frame from it is left. Memory that is not sealed against
    // resizing, or smaller than its frame, is refused (ErrorCode::ProtocolError).
    std::optional<Frame> next_frame(std::chrono::milliseconds timeout);
    // A descriptor that becomes readable when a frame may be waiting (for poll loops); it
    // changes with reconnect().
    int poll_fd() const;
    // Frames this viewer missed since it opened: the sum of every frame's missed_before().
    std::uint64_t frames_missed() const;
    // How long a frame may be held with its pixels guaranteed not to change, as the camera says.
    std::chrono::milliseconds hold_limit() const;
    // Ends the session (if any) and opens a new one on the same socket.
    void reconnect();

  private:
    struct Impl;
    explicit Viewer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// What the camera publishes, read through its property queries.
struct StreamInfo {
    std::string name;
    std::string direction;  // "source" or "sink"
    std::string fourcc;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int64_t frame_duration_value = 0;
    std::int32_t frame_duration_timescale = 0;
    std::int64_t active_format_index = 0;
    std::optional<std::int64_t> sink_buffer_queue_size;
    std::optional<std::int64_t> sink_buffers_required_for_startup;
};
struct CameraInfo {
    std::string manufacturer;
    std::string device_name;
    std::string device_id;
    std::string legacy_device_id;
    std::string model;
    std::uint32_t transport_type = 0;
    std::vector<StreamInfo> streams;
};
KOVA_EXPORT CameraInfo query_info(const ConnectOptions& options = {});
// A four-character code as text, most significant byte first: "BGRA" for 0x42475241; bytes
// that are not printable show as '?'.
KOVA_EXPORT std::string fourcc_text(std::uint32_t code);

}  // namespace kova
