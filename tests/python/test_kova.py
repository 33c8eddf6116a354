"""The kova package against a real camera: what the binding adds to the library. Pictures in
every layout and channel order arrive exactly, a view's memory is the shared buffer itself and
outlives its handles, blocking calls let other threads run, and errors keep their codes."""
import os
import threading

import numpy as np
import pytest

import kova

H, W = kova.FRAME_HEIGHT, kova.FRAME_WIDTH


def pattern(channels, seed):
    """A picture whose every byte depends on its place, unlike any other seed's."""
    y, x, c = np.indices((H, W, channels), dtype=np.uint32)
    return ((y * 7 + x * 13 + c * 61 + seed * 101) % 251).astype(np.uint8)


def drain(viewer):
    """Reads what is waiting: a viewer that lags misses frames (the camera skips it), so tests
    catch up before they push."""
    while viewer.next(timeout=0) is not None:
        pass


def next_from_sink(viewer):
    for _ in range(100):
        frame = viewer.next(timeout=5)
        assert frame is not None, "no frame came"
        if frame.origin == "sink":
            return frame
    pytest.fail("no frame came from the producer")


def mapping_of(address):
    """The line of /proc/self/maps that holds `address`: (permissions, inode, name)."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            start, end = (int(part, 16) for part in fields[0].split("-"))
            if start <= address < end:
                return fields[1], fields[4], " ".join(fields[5:])
    return None


def address_of(array):
    return array.__array_interface__["data"][0]


@pytest.mark.parametrize("channels, order, to_bgra", [
    (3, None, lambda p: p[:, :, ::-1]),           # RGB by default
    (3, "bgr", lambda p: p),
    (4, None, lambda p: p[:, :, :3]),             # BGRA as it stands
    (4, "rgba", lambda p: p[:, :, 2::-1]),
])
def test_send_relays_exact_pixels(camera, channels, order, to_bgra):
    sent = pattern(channels, seed=channels)
    expected = np.empty((H, W, 4), np.uint8)
    expected[:, :, :3] = to_bgra(sent)
    expected[:, :, 3] = sent[:, :, 3] if channels == 4 else 0xFF
    with kova.Viewer() as viewer, kova.Camera() as cam:
        drain(viewer)
        cam.send(sent, order=order) if order else cam.send(sent)
        frame = next_from_sink(viewer)
        np.testing.assert_array_equal(frame.pixels, expected)
    assert cam.frames_sent == 1 and cam.dropped == 0


def padded_rows(picture):
    wider = np.zeros((H, W + 16, 3), np.uint8)
    wider[:, 8:W + 8] = picture
    return wider[:, 8:W + 8]


def unpacked_pixels(picture):
    four = np.zeros((H, W, 4), np.uint8)
    four[:, :, :3] = picture
    return four[:, :, :3]


# Each picture upside down. Padded rows, running upwards, go to libyuv where they are; pixels
# with a gap between them, or a column-major array, are packed first.
@pytest.mark.parametrize("layout", [padded_rows, unpacked_pixels, np.asfortranarray])
def test_send_takes_strided_arrays(camera, layout):
    large = pattern(3, seed=9)
    sent = layout(large)[::-1]
    with kova.Viewer() as viewer, kova.Camera() as cam:
        drain(viewer)
        cam.send(sent, order="bgr")
        frame = next_from_sink(viewer)
        np.testing.assert_array_equal(frame.pixels[:, :, :3], large[::-1])


def test_frame_views_are_the_shared_buffers(camera):
    """No copy either way: the producer paints into the very memory the viewer then maps."""
    picture = pattern(4, seed=3)
    with kova.Viewer() as viewer, kova.Camera() as cam:
        drain(viewer)
        with cam.frame() as painted:
            permissions, producer_inode, name = mapping_of(address_of(painted))
            assert "memfd:kova-frame" in name and permissions.startswith("rw")
            assert painted.flags.writeable and painted.shape == (H, W, 4)
            painted[:] = picture
        assert not painted.flags.writeable  # the buffer is the camera's now
        frame = next_from_sink(viewer)
        permissions, viewer_inode, name = mapping_of(address_of(frame.pixels))
        assert viewer_inode == producer_inode
        assert permissions.startswith("r-") and not frame.pixels.flags.writeable
        np.testing.assert_array_equal(frame.pixels, picture)
        assert np.shares_memory(np.asarray(frame), frame.pixels)
        with pytest.raises(ValueError):
            frame.pixels[0, 0, 0] = 1


def test_views_outlive_their_camera_and_viewer_and_a_block_that_raises_pushes_nothing(camera):
    with kova.Viewer() as viewer:
        frame = viewer.next(timeout=5)
        with kova.Camera() as cam:
            with pytest.raises(ZeroDivisionError):
                with cam.frame() as painted:
                    1 / 0
            assert cam.frames_sent == 0
            with cam.frame() as painted:
                painted[:] = 7
    del cam, viewer
    # Both still map their memory: reading them must not fault.
    assert int(painted[-1, -1, -1]) == 7
    assert frame.origin == "placeholder" and int(frame.pixels[0, 0, 3]) == 0xFF


def test_blocking_calls_let_other_threads_run(camera):
    # A producer sleeping until its next frame must not hold up the other Python threads.
    with kova.Camera(fps=4) as cam:
        cam.sleep_until_next_frame()  # starts the grid: the next sleep is a whole period
        ticks = []
        stop = threading.Event()

        def count():
            while not stop.is_set():
                ticks.append(1)
                stop.wait(0.01)

        counter = threading.Thread(target=count)
        counter.start()
        cam.sleep_until_next_frame()
        stop.set()
        counter.join()
    assert len(ticks) >= 5


@pytest.mark.parametrize("frame, order, error", [
    (np.zeros((960, 800, 3), np.float32), None, TypeError),
    (np.zeros((800, 960, 3), np.uint8), None, ValueError),
    (np.zeros((960, 800, 2), np.uint8), None, ValueError),
    (np.zeros((960, 800, 3), np.uint8), "bgra", ValueError),
    (np.zeros((960, 800, 3), np.uint8), "yuv", ValueError),
])
def test_send_refuses_bad_frames(camera, frame, order, error):
    with kova.Camera() as cam:
        with pytest.raises(error):
            cam.send(frame, order=order)
        assert cam.frames_sent == 0


def test_errors_keep_their_codes_and_the_cameras_text(camera, tmp_path):
    with pytest.raises(kova.Error) as raised:
        kova.Camera(socket=str(tmp_path / "nobody.sock"))
    assert raised.value.code == "no_camera" and str(raised.value)
    with pytest.raises(kova.Error) as raised:
        kova.Camera(fps=0)
    assert raised.value.code == "invalid_argument" and "frame rate" in str(raised.value)

    holder = kova.Camera()
    with pytest.raises(kova.Error) as busy:
        kova.Camera()
    assert busy.value.code == "sink_busy" and f"(pid {os.getpid()})" in str(busy.value)
    assert kova.status()["producer"]["pid"] == os.getpid()
    viewer = kova.Viewer()
    with kova.Camera(take_over=True) as taker:
        taker.send(pattern(3, 1))
        with pytest.raises(kova.Error) as taken:
            for _ in range(100):
                holder.send(pattern(3, 2))
                holder.sleep_until_next_frame()
        assert taken.value.code == "taken_over"

    camera.terminate()
    assert camera.wait(timeout=20) == 0
    with pytest.raises(kova.Error) as raised:
        while True:
            viewer.next(timeout=5)
    assert raised.value.code == "disconnected"
