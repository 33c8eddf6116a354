"""A real kova-camera on a private socket for each test that asks for one (KOVA_SOCKET points
at it), started from $KOVA_CAMERA (the build's bin/kova-camera)."""
import os
import signal
import subprocess
import time

import pytest

import kova


@pytest.fixture
def camera(tmp_path, monkeypatch):
    program = os.environ.get("KOVA_CAMERA")
    if not program:
        pytest.fail("KOVA_CAMERA must name the kova-camera to test against")
    socket = str(tmp_path / "camera.sock")
    log = open(tmp_path / "camera.log", "w+")
    process = subprocess.Popen([program], env=dict(os.environ, KOVA_SOCKET=socket),
                               stdout=subprocess.DEVNULL, stderr=log)
    monkeypatch.setenv("KOVA_SOCKET", socket)
    deadline = time.monotonic() + 10
    while True:
        try:
            kova.info()
            break
        except kova.Error:
            if time.monotonic() > deadline or process.poll() is not None:
                process.kill()
                raise
            time.sleep(0.05)
    yield process
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        status = process.wait(timeout=20)
        log.seek(0)
        assert status == 0, "kova-camera did not exit cleanly:\n" + log.read()
    log.close()
