/* libkova-client's C interface: push frames into the Kova camera, or watch what it outputs.
 *
 * The same library as the C++ interface in kova.h, for C and for every language that calls C.
 * Frames are 800 x 960 BGRA (stride 3200) in shared memory: a producer paints into a buffer the
 * camera already knows, and a viewer reads the camera's buffers mapped read-only, so neither
 * side copies a frame.
 *
 * Errors: every call that can fail returns a kova_status; KOVA_OK is 0. On failure,
 * kova_last_error() gives a readable message (the camera's own text when the camera refused
 * something). Nothing is thrown across this interface.
 *
 * Threading:
 *  - A kova_producer or kova_viewer is used from one thread at a time (a caller that shares one
 *    between threads locks around its calls).
 *  - Frames may be released or pushed-and-consumed on any thread, also after their producer
 *    or viewer has been freed: a frame keeps its memory mapped until it is released.
 *  - kova_last_error() is per thread: it describes the last failed call made on the calling
 *    thread, and stays valid until that thread's next failed call.
 *
 * Handles are opaque. Every handle an *_open() or *_acquire()/next_frame() call gives out is
 * given back exactly once, by the matching *_free()/release() call or by a call that says it
 * consumes it. Free and release functions accept NULL; the getters of a NULL frame give 0.
 */
#ifndef KOVA_KOVA_C_H
#define KOVA_KOVA_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(KOVA_CLIENT_BUILDING)
#define KOVA_C_EXPORT __attribute__((visibility("default")))
#else
#define KOVA_C_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The one frame format of both streams. */
#define KOVA_FRAME_WIDTH 800
#define KOVA_FRAME_HEIGHT 960
#define KOVA_FRAME_STRIDE (KOVA_FRAME_WIDTH * 4)
#define KOVA_FRAME_BYTES (KOVA_FRAME_STRIDE * KOVA_FRAME_HEIGHT)

/* A presentation time meaning "now, on the host clock". */
#define KOVA_TIME_NOW UINT64_MAX

typedef enum kova_status {
    KOVA_OK = 0,
    KOVA_ERROR_NO_CAMERA = 1,        /* nothing serves the socket */
    KOVA_ERROR_REFUSED = 2,          /* the camera refused a request; the message says why */
    KOVA_ERROR_PROTOCOL = 3,         /* the camera sent something this library does not know */
    KOVA_ERROR_DISCONNECTED = 4,     /* the camera went away; reconnect to go on */
    KOVA_ERROR_INVALID_ARGUMENT = 5, /* a bad argument, or a call on a closed handle */
    KOVA_ERROR_SYSTEM = 6,           /* an operating-system call failed */
    KOVA_ERROR_TIMEOUT = 7,          /* the camera did not answer, or give a buffer back, in time */
    KOVA_ERROR_NO_MEMORY = 8,
    KOVA_ERROR_INTERNAL = 9,   /* a fault inside this library; the message says what */
    KOVA_ERROR_UNTRUSTED = 10, /* the socket, or its default folder, is another user's */
    KOVA_ERROR_SINK_BUSY = 11, /* another producer holds the sink; the message names it */
    KOVA_ERROR_TAKEN_OVER = 12 /* another producer took the sink over; the message names it */
} kova_status;

/* Flags of kova_producer_open(). */
/* When another producer holds the sink, end its session rather than fail with
 * KOVA_ERROR_SINK_BUSY; that producer's next call fails with KOVA_ERROR_TAKEN_OVER. */
#define KOVA_PRODUCER_TAKE_OVER 0x1u
/* Keep the last pushed frame up while nothing new is pushed: while the producer waits in
 * kova_producer_sleep_until_next_frame(), its last frame is pushed again (no copy), so a slow
 * producer never lets the placeholder show between its frames. */
#define KOVA_PRODUCER_KEEP_STILL 0x2u

typedef enum kova_origin {
    KOVA_ORIGIN_SINK = 0,       /* relayed from a producer */
    KOVA_ORIGIN_PLACEHOLDER = 1 /* the camera's own picture, shown while no producer pushes */
} kova_origin;

typedef struct kova_producer kova_producer;
typedef struct kova_producer_frame kova_producer_frame;
typedef struct kova_viewer kova_viewer;
typedef struct kova_viewer_frame kova_viewer_frame;

typedef struct kova_producer_counters {
    uint64_t sent;    /* frames the camera accepted */
    uint64_t dropped; /* frames it refused or returned unrelayed */
    double fps;       /* frames sent over the last second */
} kova_producer_counters;

/* The message of the calling thread's last failed call ("" if none has failed). */
KOVA_C_EXPORT const char* kova_last_error(void);
/* A short name of a status ("KOVA_ERROR_TIMEOUT"), for logs. */
KOVA_C_EXPORT const char* kova_status_name(kova_status status);
/* Nanoseconds on the host clock (CLOCK_MONOTONIC), the clock frames are stamped on. */
KOVA_C_EXPORT uint64_t kova_host_time_now(void);

/* ---- Producers: the sink stream "Kova Sink" ---- */

/* Connects to the camera at `socket_path` (NULL: $KOVA_SOCKET, else the user's default path),
 * registers a small pool of shared buffers and starts a sink session. One producer holds the
 * sink at a time: while another does, this fails with KOVA_ERROR_SINK_BUSY unless `flags` has
 * KOVA_PRODUCER_TAKE_OVER. `flags`: KOVA_PRODUCER_* or 0. */
KOVA_C_EXPORT kova_status kova_producer_open(const char* socket_path, uint32_t flags,
                                             kova_producer** producer);
/* Ends the session at once (if any) and frees the producer. Frames it lent stay valid. */
KOVA_C_EXPORT void kova_producer_free(kova_producer* producer);

/* A free buffer to paint into, waiting up to `timeout_ms` for the camera to give one back. */
KOVA_C_EXPORT kova_status kova_producer_acquire(kova_producer* producer, int timeout_ms,
                                                kova_producer_frame** frame);
/* The frame's pixels: KOVA_FRAME_HEIGHT rows of KOVA_FRAME_STRIDE bytes, BGRA, writable. */
KOVA_C_EXPORT uint8_t* kova_producer_frame_pixels(const kova_producer_frame* frame);
KOVA_C_EXPORT size_t kova_producer_frame_stride(const kova_producer_frame* frame);
/* Gives an acquired frame back unpushed. */
KOVA_C_EXPORT void kova_producer_frame_release(kova_producer_frame* frame);

/* Pushes the frame and returns at once; a refusal shows later in the counters. The frame is
 * consumed whatever the result. `presentation_time_ns` is on the host clock, or
 * KOVA_TIME_NOW. */
KOVA_C_EXPORT kova_status kova_producer_push(kova_producer* producer, kova_producer_frame* frame,
                                             uint64_t presentation_time_ns);
/* Pushes the frame and waits (one round trip) for the camera's answer: *accepted (if not NULL)
 * is 1 when it took the frame, 0 when it refused it (counted as dropped; the status is KOVA_OK
 * and kova_last_error() gives the camera's reason). Consumes the frame. */
KOVA_C_EXPORT kova_status kova_producer_submit(kova_producer* producer, kova_producer_frame* frame,
                                               uint64_t presentation_time_ns, int* accepted);
/* Copies the caller's BGRA picture (`stride` bytes a row, at least KOVA_FRAME_STRIDE) into a
 * shared buffer and submits it. */
KOVA_C_EXPORT kova_status kova_producer_send(kova_producer* producer, const uint8_t* pixels,
                                             size_t stride, uint64_t presentation_time_ns,
                                             int* accepted);

/* Paces a push loop at `fps` (above 0, at most 1000); without it, at the sink stream's rate.
 * Deadlines lie on a grid from the first sleep, so the loop never drifts; a loop that fell
 * behind skips the frames it missed rather than bursting. */
KOVA_C_EXPORT kova_status kova_producer_set_frame_rate(kova_producer* producer, double fps);
KOVA_C_EXPORT kova_status kova_producer_sleep_until_next_frame(kova_producer* producer);

KOVA_C_EXPORT kova_status kova_producer_counters_get(const kova_producer* producer,
                                                     kova_producer_counters* counters);
/* Ends the sink session, waiting up to `timeout_ms` for the frames still queued in the camera
 * to come back, so that the counters are final. Later calls fail but for the counters and
 * kova_producer_reconnect(). */
KOVA_C_EXPORT kova_status kova_producer_close(kova_producer* producer, int timeout_ms);
/* Ends the session (if any) and opens a new one on the same socket. */
KOVA_C_EXPORT kova_status kova_producer_reconnect(kova_producer* producer);

/* ---- Viewers: the output stream "Kova Video" ---- */

/* Connects to the camera at `socket_path` (NULL: the default) and starts a view session.
 * `flags` must be 0. */
KOVA_C_EXPORT kova_status kova_viewer_open(const char* socket_path, uint32_t flags,
                                           kova_viewer** viewer);
/* Ends the session and frees the viewer. Frames it gave out stay valid until released. */
KOVA_C_EXPORT void kova_viewer_free(kova_viewer* viewer);

/* The next frame, waiting up to `timeout_ms` (0: only one already waiting). When none came in
 * time, returns KOVA_OK with *frame set to NULL. A frame's pixels hold still for 1 s; one
 * held longer may be taken back and written again (see kova_viewer_frame_intact()). */
KOVA_C_EXPORT kova_status kova_viewer_next_frame(kova_viewer* viewer, int timeout_ms,
                                                 kova_viewer_frame** frame);
/* A descriptor that becomes readable when a frame may be waiting (for poll loops); it changes
 * with kova_viewer_reconnect(). -1 when not connected. */
KOVA_C_EXPORT int kova_viewer_poll_fd(const kova_viewer* viewer);
/* Frames this viewer missed since it opened. */
KOVA_C_EXPORT uint64_t kova_viewer_frames_missed(const kova_viewer* viewer);
KOVA_C_EXPORT kova_status kova_viewer_reconnect(kova_viewer* viewer);

/* What a received frame says of itself. */
KOVA_C_EXPORT uint64_t kova_viewer_frame_sequence(const kova_viewer_frame* frame);
/* The host time the camera sent it with. */
KOVA_C_EXPORT uint64_t kova_viewer_frame_host_time_ns(const kova_viewer_frame* frame);
/* The host time this viewer received it. */
KOVA_C_EXPORT uint64_t kova_viewer_frame_received_ns(const kova_viewer_frame* frame);
KOVA_C_EXPORT kova_origin kova_viewer_frame_origin(const kova_viewer_frame* frame);
/* Frames this viewer missed just before this one. */
KOVA_C_EXPORT uint64_t kova_viewer_frame_missed_before(const kova_viewer_frame* frame);
/* Its pixels, BGRA, read-only: height rows of stride bytes. */
KOVA_C_EXPORT const uint8_t* kova_viewer_frame_pixels(const kova_viewer_frame* frame);
/* Asked after reading the pixels: 1 when everything read belongs to this frame, 0 when it was
 * taken back meanwhile and what was read may be partly a later picture. */
KOVA_C_EXPORT int kova_viewer_frame_intact(const kova_viewer_frame* frame);
KOVA_C_EXPORT size_t kova_viewer_frame_stride(const kova_viewer_frame* frame);
KOVA_C_EXPORT size_t kova_viewer_frame_width(const kova_viewer_frame* frame);
KOVA_C_EXPORT size_t kova_viewer_frame_height(const kova_viewer_frame* frame);
/* Gives the frame's buffer back to the camera. Any thread. */
KOVA_C_EXPORT void kova_viewer_frame_release(kova_viewer_frame* frame);

#ifdef __cplusplus
}
#endif

#endif /* KOVA_KOVA_C_H */
