"""What the Python package costs per frame: CPU of the Python process for cam.send() of an RGB
and of a BGRA array, and for the cam.frame() path (painting nothing, and filling the frame
from an array), beside one memcpy of a frame measured in the same run.

It starts its own kova-camera on a private socket for each run; the producer pushes as fast as
the camera gives buffers back (nobody views, so the camera relays to no one). CPU is the
process's CPU clock (every thread of this process; the camera is another process) over the
frames of the window, so waiting for a buffer costs nothing. Prints the medians of the runs.

    PYTHONPATH=build/python python3 bench/python/kova_python_bench.py --camera build/bin/kova-camera
"""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import kova

H, W = kova.FRAME_HEIGHT, kova.FRAME_WIDTH


def cpu_per_frame_us(frames, step):
    """(CPU µs, wall µs) per frame over `frames` calls of step(), after a warm-up."""
    for _ in range(20):
        step()
    cpu, wall = time.process_time_ns(), time.perf_counter_ns()
    for _ in range(frames):
        step()
    return ((time.process_time_ns() - cpu) / frames / 1e3,
            (time.perf_counter_ns() - wall) / frames / 1e3)


class CameraProcess:
    def __init__(self, program):
        self.folder = tempfile.TemporaryDirectory(prefix="kova-pybench-")
        self.socket = os.path.join(self.folder.name, "camera.sock")
        self.process = subprocess.Popen([program], env=dict(os.environ, KOVA_SOCKET=self.socket),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                kova.info(socket=self.socket)
                return
            except kova.Error:
                if time.monotonic() > deadline:
                    self.stop()
                    raise
                time.sleep(0.05)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=20)
        self.folder.cleanup()


def one_run(program, frames):
    rgb = np.random.default_rng(1).integers(0, 256, (H, W, 3), dtype=np.uint8)
    bgra = np.random.default_rng(2).integers(0, 256, (H, W, 4), dtype=np.uint8)
    target = np.empty_like(bgra)
    figures = {}
    figures["memcpy of one frame (np.copyto)"] = cpu_per_frame_us(
        frames, lambda: np.copyto(target, bgra))

    camera = CameraProcess(program)
    try:
        with kova.Camera(socket=camera.socket) as cam:
            figures["cam.send(rgb array)"] = cpu_per_frame_us(frames, lambda: cam.send(rgb))
            figures["cam.send(bgra array)"] = cpu_per_frame_us(frames, lambda: cam.send(bgra))

            def frame_untouched():
                with cam.frame() as f:
                    f[0, 0, 0] = 1

            def frame_filled():
                with cam.frame() as f:
                    np.copyto(f, bgra)

            figures["with cam.frame() (one pixel painted)"] = cpu_per_frame_us(
                frames, frame_untouched)
            figures["with cam.frame() + np.copyto(f, bgra)"] = cpu_per_frame_us(
                frames, frame_filled)
            dropped = cam.dropped
    finally:
        camera.stop()
    if dropped:
        print(f"note: the camera dropped {dropped} frames in this run", file=sys.stderr)
    return figures


def main():
    parser = argparse.ArgumentParser(description="CPU per frame of the kova Python package")
    parser.add_argument("--camera", default="kova-camera", help="the kova-camera to start")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--frames", type=int, default=300, help="frames a case, a run")
    parser.add_argument("--json", help="writes every run's figures here")
    arguments = parser.parse_args()

    runs = [one_run(arguments.camera, arguments.frames) for _ in range(arguments.runs)]
    memcpy_key = "memcpy of one frame (np.copyto)"
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}; {arguments.runs} runs of "
          f"{arguments.frames} frames a case; medians (ratios taken within each run)")
    print(f"{'case':42} {'CPU µs/frame':>13} {'÷ memcpy':>9} {'wall µs/frame':>14}")
    for key in runs[0]:
        cpu = statistics.median(run[key][0] for run in runs)
        wall = statistics.median(run[key][1] for run in runs)
        ratio = statistics.median(run[key][0] / run[memcpy_key][0] for run in runs)
        print(f"{key:42} {cpu:13.1f} {ratio:9.2f} {wall:14.1f}")
    if arguments.json:
        with open(arguments.json, "w") as out:
            json.dump(runs, out, indent=1)


if __name__ == "__main__":
    main()
