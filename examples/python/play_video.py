"""Plays a video file into the camera at the file's frame rate, the way an OpenCV loop would:
read a frame, send it, sleep until the next. Uses OpenCV (cv2) if installed, else imageio.

    PYTHONPATH=build/python python3 examples/python/play_video.py movie.mp4 [--loop]
"""
import argparse
import sys

import numpy as np

import kova

H, W = kova.FRAME_HEIGHT, kova.FRAME_WIDTH


def fit(picture):
    """The picture scaled (nearest neighbour, no Python loop) to fit 800 x 960, letterboxed."""
    h, w = picture.shape[:2]
    scale = min(W / w, H / h)
    fitted_w, fitted_h = max(1, int(w * scale)), max(1, int(h * scale))
    rows = np.arange(fitted_h) * h // fitted_h
    cols = np.arange(fitted_w) * w // fitted_w
    out = np.zeros((H, W, 3), np.uint8)
    top, left = (H - fitted_h) // 2, (W - fitted_w) // 2
    out[top:top + fitted_h, left:left + fitted_w] = picture[rows[:, None], cols, :3]
    return out


def opencv_frames(path):
    import cv2
    capture = cv2.VideoCapture(path)
    if not capture.isOpened():
        sys.exit(f"cannot open {path}")
    fps = capture.get(cv2.CAP_PROP_FPS) or 30

    def frames():
        capture.set(cv2.CAP_PROP_POS_FRAMES, 0)
        while True:
            ok, picture = capture.read()
            if not ok:
                return
            yield picture
    return fps, frames, "bgr"


def imageio_frames(path):
    import imageio.v3 as iio
    fps = iio.immeta(path).get("fps") or 30
    return fps, lambda: iio.imiter(path), "rgb"


def open_reader(path):
    for reader in (opencv_frames, imageio_frames):
        try:
            return reader(path)
        except ImportError:
            continue
    sys.exit("no video reader is installed: install OpenCV (python3-opencv) or imageio "
             "(python3-imageio with ffmpeg)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("video")
    parser.add_argument("--loop", action="store_true", help="start over at the end")
    arguments = parser.parse_args()
    fps, frames, order = open_reader(arguments.video)
    with kova.Camera(fps=fps) as cam:
        try:
            while True:
                for picture in frames():
                    cam.send(fit(picture), order=order)
                    cam.sleep_until_next_frame()
                if not arguments.loop:
                    break
        except KeyboardInterrupt:
            pass
        print(f"sent {cam.frames_sent} frames at {fps:g} fps, {cam.dropped} dropped")


if __name__ == "__main__":
    main()
