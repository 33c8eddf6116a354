"""A moving colour gradient at 30 frames a second, painted straight into the camera's shared
buffers (no copy). Run with the camera up:  PYTHONPATH=build/python python3 examples/python/gradient.py
Stop with Ctrl-C."""
import numpy as np

import kova

H, W = kova.FRAME_HEIGHT, kova.FRAME_WIDTH

# Two periods of a ramp, so that any window of W (or H) of it is a seamless gradient.
ramp_x = (np.arange(2 * W) * 255 // W % 256).astype(np.uint8)
ramp_y = (np.arange(2 * H) * 255 // H % 256).astype(np.uint8)

with kova.Camera(fps=30) as cam:
    try:
        step = 0
        while True:
            with cam.frame() as f:  # (960, 800, 4) BGRA, the shared buffer itself
                shift_x, shift_y = step * 4 % W, step * 3 % H
                f[:, :, 0] = ramp_x[shift_x:shift_x + W]                 # blue across
                f[:, :, 1] = ramp_y[shift_y:shift_y + H, np.newaxis]     # green down
                f[:, :, 2] = (step * 2) % 256                            # red pulses
                f[:, :, 3] = 255
            step += 1
            cam.sleep_until_next_frame()
    except KeyboardInterrupt:
        pass
    print(f"sent {cam.frames_sent} frames, {cam.dropped} dropped")
