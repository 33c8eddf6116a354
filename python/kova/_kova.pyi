# Type hints of kova._kova, the compiled part of the kova package.
from types import TracebackType
from typing import Any, Iterator, Literal, Optional, Type

import numpy as np
import numpy.typing as npt

FRAME_WIDTH: int  # 800
FRAME_HEIGHT: int  # 960

class Error(RuntimeError):
    """A failure of the camera or of its client library, with the camera's own text."""

    code: Literal[
        "no_camera",
        "refused",
        "protocol_error",
        "disconnected",
        "invalid_argument",
        "system_error",
        "timeout",
        "untrusted",
    ]

class FrameBlock:
    """`with cam.frame() as f:` f is the next shared buffer, (960, 800, 4) BGRA, writable.

    It is pushed when the block ends, or given back unpushed if the block raises; the view is
    read-only from then on."""

    def __enter__(self) -> npt.NDArray[np.uint8]: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool: ...

class Camera:
    """A producer: pushes frames into the camera's sink stream.

    fps paces sleep_until_next_frame() (default: the sink stream's rate). While another
    producer holds the sink this raises Error "sink_busy", unless take_over ends that one's
    session. Closing (or leaving the with block) waits for the frames still queued in the
    camera, so the counters are final.
    """

    def __init__(
        self, fps: Optional[float] = None, take_over: bool = False, socket: Optional[str] = None
    ) -> None: ...
    def send(
        self,
        frame: npt.NDArray[np.uint8],
        order: Optional[Literal["rgb", "bgr", "bgra", "rgba"]] = None,
    ) -> None:
        """Copies a (960, 800, 3) RGB (or order="bgr") or (960, 800, 4) BGRA (or
        order="rgba") picture into a shared buffer and pushes it; one pass, no Python loop."""
    def frame(self) -> FrameBlock: ...
    def sleep_until_next_frame(self) -> None: ...
    def close(self) -> None: ...
    @property
    def frames_sent(self) -> int:
        """Frames the camera accepted."""
    @property
    def dropped(self) -> int:
        """Frames it refused or returned unrelayed."""
    @property
    def fps(self) -> float:
        """Frames sent over the last second."""
    def __enter__(self) -> "Camera": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool: ...

class Frame:
    """A frame of the camera's output. Its buffer goes back to the camera once the frame and
    every view of its pixels are gone; hold it only while reading (after 4 newer frames the
    camera takes the buffer back and its pixels may change)."""

    @property
    def seq(self) -> int: ...
    @property
    def host_time_ns(self) -> int:
        """The host time (CLOCK_MONOTONIC) the camera sent it with."""
    @property
    def received_ns(self) -> int: ...
    @property
    def origin(self) -> Literal["sink", "placeholder"]: ...
    @property
    def missed(self) -> int:
        """Frames this viewer missed just before this one."""
    def intact(self) -> bool:
        """Whether the pixels stayed as they were until now: asked after reading them. A frame
        held past the camera's hold limit (1 s) may be taken back and written again."""
    @property
    def pixels(self) -> npt.NDArray[np.uint8]:
        """(960, 800, 4) BGRA, read-only: the camera's shared buffer, not a copy."""
    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> npt.NDArray[Any]: ...

class Viewer:
    """A viewer of the camera's output stream; iterating it waits for each next frame."""

    def __init__(self, socket: Optional[str] = None) -> None: ...
    def next(self, timeout: Optional[float] = None) -> Optional[Frame]:
        """The next frame within timeout seconds (None: no limit), or None."""
    def close(self) -> None: ...
    @property
    def frames_missed(self) -> int: ...
    def __iter__(self) -> Iterator[Frame]: ...
    def __next__(self) -> Frame: ...
    def __enter__(self) -> "Viewer": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> bool: ...

def info(socket: Optional[str] = None) -> dict[str, Any]:
    """What the camera publishes: its device and streams."""

def status(socket: Optional[str] = None) -> dict[str, Any]:
    """Who uses the camera now (producer, viewers, what the output shows) and its counters."""

def host_time_ns() -> int:
    """Nanoseconds on the host clock, the clock frames are stamped on."""
