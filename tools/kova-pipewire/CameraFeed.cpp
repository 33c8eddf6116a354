// The camera side of kova-pipewire: a kova::Viewer driven by the PipeWire loop.
#include "CameraFeed.h"

#include <pipewire/loop.h>
#include <spa/support/loop.h>

#include <cstdio>

// libpipewire's loop macros are statement expressions, a GNU extension that clang reports under
// -Wpedantic at every call site.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace kova::pipewire {
namespace {

// How soon to try again while the camera is away (restarting, or not started yet).
constexpr auto kRetryInterval = std::chrono::milliseconds(250);
// Frames taken per wake-up, so that a busy stream cannot starve the rest of the loop.
constexpr int kFramesPerWakeup = 8;

}  // namespace

CameraFeed::CameraFeed(pw_loop* loop, kova::ConnectOptions options, FrameCallback on_frame)
    : loop_(loop), options_(std::move(options)), on_frame_(std::move(on_frame)) {
    retry_ = pw_loop_add_timer(
        loop_, [](void* data, std::uint64_t) { static_cast<CameraFeed*>(data)->open(); }, this);
}

CameraFeed::~CameraFeed() {
    close();
    pw_loop_destroy_source(loop_, retry_);
}

void CameraFeed::set_active(bool active) {
    active_ = active;
    if (active) {
        reported_unavailable_ = false;
        open();
        return;
    }
    const bool was_viewing = viewer_.has_value();
    close();
    if (was_viewing) std::fprintf(stderr, "kova-pipewire: no consumer; camera session closed\n");
}

void CameraFeed::open() {
    if (!active_ || viewer_) return;
    try {
        viewer_.emplace(kova::Viewer::open(options_));
    } catch (const kova::Error& error) {
        if (!reported_unavailable_) {
            std::fprintf(stderr, "kova-pipewire: camera unavailable (%s); retrying\n",
                         error.what());
            reported_unavailable_ = true;
        }
        timespec delay{0, std::chrono::nanoseconds(kRetryInterval).count()};
        pw_loop_update_timer(loop_, retry_, &delay, nullptr, false);
        return;
    }
    reported_unavailable_ = false;
    ++counters_.sessions;
    readable_ = pw_loop_add_io(
        loop_, viewer_->poll_fd(), SPA_IO_IN | SPA_IO_ERR | SPA_IO_HUP, false,
        [](void* data, int, std::uint32_t mask) { static_cast<CameraFeed*>(data)->drain(mask); },
        this);
    std::fprintf(stderr, "kova-pipewire: viewing the camera\n");
}

void CameraFeed::close() {
    timespec disarmed{0, 0};
    pw_loop_update_timer(loop_, retry_, &disarmed, nullptr, false);
    if (readable_ != nullptr) {
        pw_loop_destroy_source(loop_, readable_);
        readable_ = nullptr;
    }
    viewer_.reset();
}

void CameraFeed::lose(const char* why) {
    std::fprintf(stderr, "kova-pipewire: lost the camera (%s); reconnecting\n", why);
    close();
    open();
}

void CameraFeed::drain(std::uint32_t mask) {
    for (int i = 0; i < kFramesPerWakeup; ++i) {
        std::optional<kova::Viewer::Frame> frame;
        try {
            frame = viewer_->next_frame(std::chrono::milliseconds(0));
        } catch (const kova::Error& error) {
            lose(error.what());
            return;
        }
        if (!frame) break;
        ++counters_.received;
        counters_.missed += frame->missed_before();
        on_frame_(*frame);
    }
    // A hung-up socket stays readable; without an error from the viewer it would spin.
    if ((mask & (SPA_IO_ERR | SPA_IO_HUP)) != 0 && viewer_) lose("connection closed");
}

}  // namespace kova::pipewire
