// libkova-client: push frames into the Kova camera, or watch what it outputs.
//
// A Producer opens the camera's sink stream "Kova Sink" and pushes 800 x 960 frames that live
// in shared memory registered with the camera once, so pushing a frame copies nothing. That
// memory is sealed once the producer has mapped it: viewers can read it, never write it.
// A Viewer opens the output stream "Kova Video" and receives every frame the camera sends
// (relayed from a producer, or its placeholder picture), mapped read-only, without a copy.
//
// Pixels: BGRA, 4 bytes a pixel in the order blue, green, red, alpha, rows kFrameStride bytes
// apart. Nothing is converted on the way: alpha reaches viewers as it was pushed (a red frame
// with alpha 0 is a transparent red frame to them), so paint alpha 0xFF for an opaque picture.
//
// One producer at a time: the camera lets one sink session hold the sink. A second
// Producer::open() fails with ErrorCode::SinkBusy, naming the holder ("kova" (pid 4242));
// with ProducerOptions::take_over it ends the holder's session instead. The producer taken
// over gets its queued frames back as dropped, and its next call throws ErrorCode::TakenOver
// naming the new holder. A producer that closes, or whose process ends, frees the sink at once.
//
// The placeholder: the camera relays each pushed frame once. When no pushed frame has come for
// half a second it shows its placeholder picture (at 30 frames a second) until the next one.
// So below 2 frames a second the output falls back to the placeholder between frames, unless
// the producer keeps its last frame up (Producer::keep_still()).
//
// Errors are reported as kova::Error exceptions carrying the camera's message. A camera that
// goes away is reported as an Error with code ErrorCode::Disconnected; call reconnect() to
// start a new session.
//
// Blocking: every call that talks to the camera waits at most the time it names (acquire(),
// close(), next_frame()), or else 5 s for the camera's answer (open(), submit(), send(),
// reconnect(), query_info(), query_status()), then throws ErrorCode::Timeout. push() never
// waits for the camera. Destructors never block: a Producer or Viewer destroyed without
// close() hangs up at once, and the camera ends its session as if it had been closed (the
// frames it had queued are dropped, which a destroyed producer no longer counts).
//
// Threading: a Producer or Viewer is used from one thread at a time. Frames may be destroyed on
// any thread, also after their Producer/Viewer is gone (a frame keeps its memory mapped).
#pragma once

#if __cplusplus < 201703L
#error "kova.h needs C++17 or later (-std=c++17)"
#endif

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
    Untrusted,        // the socket, or its default folder, is another user's
    SinkBusy,         // another producer holds the sink; what() names it (take_over ends it)
    TakenOver,        // another producer took the sink over; what() names it
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

struct ProducerOptions {
    // When another producer holds the sink, end its session rather than fail with SinkBusy.
    // The output goes on from its last frame to this producer's first without the placeholder
    // between them, if this producer pushes within half a second.
    bool take_over = false;
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
        std::uint64_t sent = 0;      // accepted by the camera, repeats of a kept still included
        std::uint64_t dropped = 0;   // refused by the camera, or accepted and never relayed
        std::uint64_t repeated = 0;  // of `sent`: pushes again of the kept still
        double fps = 0;              // frames sent per second over the last second
    };

    // What became of a submitted frame: accepted, or refused with the camera's reason.
    struct PushResult {
        bool accepted = false;
        std::string refusal;  // empty when accepted, e.g. "the camera's queue is full"
        explicit operator bool() const { return accepted; }
    };

    // Connects, registers a small pool of shared buffers and starts a sink session. Throws
    // SinkBusy when another producer holds the sink (see ProducerOptions::take_over).
    static Producer open(const ConnectOptions& options = {},
                         const ProducerOptions& producer_options = {});
    Producer(Producer&&) noexcept;
    Producer& operator=(Producer&&) noexcept;
    ~Producer();

    // The recommended push loop:
    //     producer.set_frame_rate(30);              // optional: the stream's rate by default
    //     for (;;) {
    //         Producer::Frame frame = producer.acquire();
    //         paint(frame.data(), frame.stride());   // paint first,
    //         producer.sleep_until_next_frame();     // then wait for the frame's slot,
    //         producer.push(std::move(frame));       // and push it right on time
    //     }
    // Painting before the wait keeps the time the painting takes out of the frame's timing.

    // A free buffer to paint into; waits up to `timeout` for the camera to return one.
    Frame acquire(std::chrono::milliseconds timeout = std::chrono::seconds(1));
    // The way to push: sends the frame and returns at once, without waiting for the camera.
    // Its presentation time defaults to host_time_now() and may be at most 1 s ahead of it.
    // The camera's answer is read later, by acquire(), sleep_until_next_frame() and close(): a
    // refusal is then counted as dropped, and the buffer is free again. For a producer that
    // paints into acquired frames a push is refused only for a stopped session or a bad time.
    void push(Frame&& frame, std::optional<std::uint64_t> presentation_time_ns = std::nullopt);
    // For a caller that must know, frame by frame, whether the camera took it (a test, a
    // measurement): push() and a wait of one round trip for the answer. Returns the refusal
    // and its reason (counted as dropped); the buffer is free again at once either way.
    PushResult submit(Frame&& frame,
                      std::optional<std::uint64_t> presentation_time_ns = std::nullopt);
    // For a caller whose picture already lives in memory of its own: one copy into a shared
    // buffer (acquire()), then submit(). Painting into acquire()'s frames saves the copy.
    PushResult send(const std::uint8_t* pixels, std::size_t stride,
                    std::optional<std::uint64_t> presentation_time_ns = std::nullopt);
    // Paces a push loop: sleeps until the next frame is due at the chosen rate (above 0, at most
    // 1000), by default the sink stream's rate as the camera reports it. The rate paces this
    // producer only; the output stream keeps its own. Deadlines lie on a grid from the first
    // call, so the loop never drifts; a loop that fell behind by more than a frame skips the
    // frames it missed rather than bursting. Waits at most one frame period.
    void set_frame_rate(double fps);
    void sleep_until_next_frame();
    // Keeps the last pushed frame up while nothing new is pushed: while this producer waits in
    // sleep_until_next_frame(), its last frame is pushed again at the stream's rate (the same
    // buffer, no copy), so a slow producer (below 2 frames a second) never lets the placeholder
    // show between its frames. The kept buffer is not lent by acquire() until a newer frame is
    // pushed. Off by default.
    void keep_still(bool keep);
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
    // camera says it is gone and no frame from it is left. A frame whose memory cannot be
    // mapped is skipped and counted (frames_unusable()).
    std::optional<Frame> next_frame(std::chrono::milliseconds timeout);
    // A descriptor that becomes readable when a frame may be waiting (for poll loops); it
    // changes with reconnect().
    int poll_fd() const;
    // Frames this viewer missed since it opened: the sum of every frame's missed_before().
    std::uint64_t frames_missed() const;
    // Frames that came but could not be mapped here (e.g. the address space or the fd table
    // was full): each is lost, not the session, and counted as missed too. The last one's
    // reason, for a person.
    std::uint64_t frames_unusable() const;
    std::string last_unusable_reason() const;
    // How long a frame may be held with its pixels guaranteed not to change, as the camera says.
    std::chrono::milliseconds hold_limit() const;
    // Ends the session (if any) and opens a new one on the same socket.
    void reconnect();

  private:
    struct Impl;
    explicit Viewer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Who uses the camera now, and its counters since it started.
struct CameraStatus {
    enum class Output { Stopped, Relayed, Placeholder };  // what the output sent last
    struct ProducerStatus {
        std::string name;
        std::uint32_t pid = 0;
        std::uint32_t frames_last_second = 0;  // pushes accepted over the last second
        std::uint64_t pushed = 0;
        std::uint64_t dropped = 0;
    };
    struct ViewerStatus {
        std::string name;
        std::uint32_t pid = 0;
        std::uint64_t frames = 0;  // output frames sent to it
        std::uint64_t missed = 0;  // output frames it missed
    };
    std::string socket_path;
    std::uint32_t camera_pid = 0;
    std::uint64_t uptime_ns = 0;
    Output output = Output::Stopped;
    std::optional<ProducerStatus> producer;
    std::uint32_t viewer_count = 0;
    std::vector<ViewerStatus> viewers;  // at most 8 of them
    // Since the camera started.
    std::uint64_t frames_relayed = 0;
    std::uint64_t frames_placeholder = 0;
    std::uint64_t frames_pushed = 0;
    std::uint64_t frames_dropped = 0;
    std::uint64_t frames_missed = 0;
    std::uint64_t sink_sessions = 0;
    std::uint64_t take_overs = 0;
};
KOVA_EXPORT CameraStatus query_status(const ConnectOptions& options = {});
// The output's state as one word: "stopped", "relayed" or "placeholder".
KOVA_EXPORT const char* output_name(CameraStatus::Output output);

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
