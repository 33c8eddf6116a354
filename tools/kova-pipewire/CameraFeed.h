// Views the camera's output stream, on a PipeWire loop, for as long as someone wants its frames.
//
// Threading: a CameraFeed lives on the pw_loop it is given; construct it, call it and destroy it
// on that loop's thread. Frames are handed to the frame callback there, one at a time.
#pragma once

#include <kova/kova.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

struct pw_loop;
struct spa_source;

namespace kova::pipewire {

class CameraFeed {
  public:
    using FrameCallback = std::function<void(const kova::Viewer::Frame& frame)>;
    struct Counters {
        std::uint64_t received = 0;  // frames taken from the camera
        std::uint64_t missed = 0;    // frames the camera says this viewer missed
        std::uint64_t sessions = 0;  // view sessions opened (the first, then each reconnection)
    };

    CameraFeed(pw_loop* loop, kova::ConnectOptions options, FrameCallback on_frame);
    ~CameraFeed();
    CameraFeed(const CameraFeed&) = delete;
    CameraFeed& operator=(const CameraFeed&) = delete;

    // Active: keep a view session open, reconnecting whenever the camera goes away.
    // Inactive: no session, so the camera sends nothing and no frame is held.
    void set_active(bool active);
    bool viewing() const { return viewer_.has_value(); }
    const Counters& counters() const { return counters_; }

  private:
    void open();
    void close();
    void lose(const char* why);
    void drain(std::uint32_t mask);

    pw_loop* loop_;
    kova::ConnectOptions options_;
    FrameCallback on_frame_;
    bool active_ = false;
    bool reported_unavailable_ = false;  // says "unavailable" once per outage, not per retry
    std::optional<kova::Viewer> viewer_;
    spa_source* readable_ = nullptr;
    spa_source* retry_ = nullptr;
    Counters counters_;
};

}  // namespace kova::pipewire
