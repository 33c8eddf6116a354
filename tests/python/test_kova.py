# The kova package against a real camera: what the binding adds to the library. Pictures in
# every layout and channel order arrive exactly, a view's memory is the shared buffer itself and
# outlives its handles, blocking calls let other threads run, and errors keep their codes.
import os
import subprocess
import threading
import time

import numpy as np
import pytest

import kova

H, W = kova.FRAME_HEIGHT, kova.FRAME_WIDTH
# Where each channel of the camera's BGRA comes from, by the order a picture is sent in.
TO_BGRA = {"rgb": [2, 1, 0], "bgr": [0, 1, 2], "bgra": [0, 1, 2, 3], "rgba": [2, 1, 0, 3]}


# A real kova-camera on a private socket for each test (KOVA_SOCKET points at it), started from
# $KOVA_CAMERA (the build's bin/kova-camera); its log goes to stderr.
@pytest.fixture
def camera(tmp_path, monkeypatch):
    monkeypatch.setenv("KOVA_SOCKET", str(tmp_path / "camera.sock"))
    process = subprocess.Popen([os.environ["KOVA_CAMERA"]], stdout=subprocess.DEVNULL)
    for _ in range(200):  # it serves once it answers
        try:
            kova.info()
            break
        except kova.Error:
            time.sleep(0.05)
    yield process
    process.terminate()
    assert process.wait(timeout=20) == 0, "kova-camera did not exit cleanly"


# A picture whose every byte depends on its place, unlike any other seed's.
def pattern(channels, seed):
    y, x, c = np.indices((H, W, channels), dtype=np.uint32)
    return ((y * 7 + x * 13 + c * 61 + seed * 101) % 251).astype(np.uint8)


def next_from_sink(viewer):
    for _ in range(100):
        frame = viewer.next(timeout=5)
        assert frame is not None, "no frame came"
        if frame.origin == "sink":
            return frame
    pytest.fail("no frame came from the producer")


# The line of /proc/self/maps that holds `array`'s memory: (permissions, inode, name).
def mapping_of(array):
    address = array.__array_interface__["data"][0]
    with open("/proc/self/maps") as maps:
        for fields in map(str.split, maps):
            start, end = (int(part, 16) for part in fields[0].split("-"))
            if start <= address < end:
                return fields[1], fields[4], " ".join(fields[5:])


# Padded rows, running upwards, go to libyuv where they are; pixels with a gap between them, or
# a column-major array, are packed first.
@pytest.mark.parametrize("channels, order, layout", [
    (3, None, np.asarray),                                 # RGB by default
    (3, "bgr", np.asarray),
    (4, None, np.asarray),                                 # BGRA by default
    (4, "rgba", np.asarray),
    (3, "bgr", lambda p: np.pad(p, ((0, 0), (8, 8), (0, 0)))[:, 8:W + 8][::-1]),
    (3, "rgb", lambda p: np.pad(p, ((0, 0), (0, 0), (0, 1)))[:, :, :3][::-1]),
    (3, "bgr", lambda p: np.asfortranarray(p)[::-1]),
])
def test_send_relays_exact_pixels_in_every_order_and_layout(camera, channels, order, layout):
    sent = layout(pattern(channels, seed=channels))
    expected = np.full((H, W, 4), 0xFF, np.uint8)
    expected[:, :, :channels] = sent[:, :, TO_BGRA[order or ("rgb", "bgra")[channels == 4]]]
    with kova.Viewer() as viewer, kova.Camera() as cam:
        while viewer.next(timeout=0) is not None:  # catch up: a lagging viewer is skipped
            pass
        cam.send(sent, order=order)
        np.testing.assert_array_equal(next_from_sink(viewer).pixels, expected)
    assert cam.frames_sent == 1 and cam.dropped == 0


def test_frame_views_are_the_shared_buffers_and_outlive_their_handles(camera):
    # No copy either way: the producer paints into the very memory the viewer then maps.
    picture = pattern(4, seed=3)
    with kova.Viewer() as viewer, kova.Camera() as cam:
        while viewer.next(timeout=0) is not None:  # catch up: a lagging viewer is skipped
            pass
        with pytest.raises(ZeroDivisionError):
            with cam.frame() as painted:
                1 / 0
        assert cam.frames_sent == 0, "a block that raised pushed its frame"
        with cam.frame() as painted:
            permissions, producer_inode, name = mapping_of(painted)
            assert "memfd:kova-frame" in name and permissions.startswith("rw")
            painted[:] = picture
        assert not painted.flags.writeable  # the buffer is the camera's now
        frame = next_from_sink(viewer)
        permissions, viewer_inode, name = mapping_of(frame.pixels)
        assert viewer_inode == producer_inode and permissions.startswith("r-")
        with pytest.raises(ValueError):
            frame.pixels[0, 0, 0] = 1
    del cam, viewer
    # Both still map their memory: reading them must not fault.
    np.testing.assert_array_equal(painted, picture)
    np.testing.assert_array_equal(frame.pixels, picture)


def test_blocking_calls_let_other_threads_run(camera):
    # A producer sleeping until its next frame must not hold up the other Python threads.
    with kova.Camera(fps=4) as cam:
        cam.sleep_until_next_frame()  # starts the grid: the next sleep is a whole period
        ticks, stop = [], threading.Event()

        def count():
            while not stop.wait(0.01):
                ticks.append(1)

        counter = threading.Thread(target=count)
        counter.start()
        cam.sleep_until_next_frame()
        stop.set()
        counter.join()
    assert len(ticks) >= 5


def test_errors_keep_their_codes_and_the_cameras_text(camera, tmp_path):
    def code_of(call):
        with pytest.raises(kova.Error) as raised:
            call()
        assert str(raised.value)
        return raised.value.code

    assert code_of(lambda: kova.Camera(socket=str(tmp_path / "nobody.sock"))) == "no_camera"
    assert code_of(lambda: kova.Camera(fps=0)) == "invalid_argument"
    with kova.Camera() as holder:
        for frame, order, error in [
            (np.zeros((H, W, 3), np.float32), None, TypeError),
            (np.zeros((W, H, 3), np.uint8), None, ValueError),
            (np.zeros((H, W, 2), np.uint8), None, ValueError),
            (np.zeros((H, W, 3), np.uint8), "bgra", ValueError),
            (np.zeros((H, W, 3), np.uint8), "yuv", ValueError),
        ]:
            with pytest.raises(error):
                holder.send(frame, order=order)
        assert holder.frames_sent == 0
        assert code_of(kova.Camera) == "sink_busy"
        assert kova.status()["producer"]["pid"] == os.getpid()
    viewer = kova.Viewer()
    camera.terminate()
    assert code_of(lambda: [viewer.next(timeout=5) for _ in range(1000)]) == "disconnected"
