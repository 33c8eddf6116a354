"""Kova, the virtual camera: push numpy frames into it, or read what it outputs.

    import kova, numpy as np
    with kova.Camera(fps=30) as cam:
        cam.send(np.zeros((960, 800, 3), np.uint8))   # RGB; order="bgr" for OpenCV pictures
        with cam.frame() as f:                         # the shared buffer itself, BGRA
            f[:] = 255
        cam.sleep_until_next_frame()

    with kova.Viewer() as viewer:
        for frame in viewer:                           # frame.pixels: read-only, no copy
            print(frame.seq, frame.origin, frame.pixels[0, 0])
            break

One producer holds the camera's sink at a time: a second kova.Camera() raises kova.Error with
.code "sink_busy", naming the holder, unless it is made with take_over=True; the camera taken
over then raises "taken_over" on its next call. kova.status() says who pushes and who watches.

The camera is found at $KOVA_SOCKET, else at the user's default socket; every constructor,
kova.info() and kova.status() also take socket="...". Failures raise kova.Error with the
camera's text and a .code ("no_camera", "refused", "disconnected", "timeout", ...).
"""

from ._kova import (
    FRAME_HEIGHT,
    FRAME_WIDTH,
    Camera,
    Error,
    Frame,
    FrameBlock,
    Viewer,
    host_time_ns,
    info,
    status,
)

__all__ = [
    "FRAME_HEIGHT",
    "FRAME_WIDTH",
    "Camera",
    "Error",
    "Frame",
    "FrameBlock",
    "Viewer",
    "host_time_ns",
    "info",
    "status",
]
