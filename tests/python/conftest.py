"""A real kova-camera on a private socket for each test that asks for one (KOVA_SOCKET points
at it), started from $KOVA_CAMERA (the build's bin/kova-camera); its log goes to stderr."""
import os
import subprocess
import time

import pytest

import kova


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
