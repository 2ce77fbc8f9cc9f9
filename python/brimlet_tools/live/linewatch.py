"""The health of a serial line, from its raw bytes: what the monitor shows,
and the hint for a line that brings bytes but no frame.

`LineWatch` is fed the bytes as they arrive and keeps what a person looking
at a misbehaving unit wants to see: packet rates by kind over the last
seconds, bytes outside frames, failed checksums, fields the device flagged
not valid, the time since the last packet and the latest value of every
field. The frame counter finds the frames; the packet frames of each piece
fed are decoded by the native decoder (`brimlet_columns`) in one call.

`no_frame_hint` looks at a line that has delivered no packet for a while
although it is not silent: most often the port runs at another speed than
the device, and every byte arrives garbled.
"""

from __future__ import annotations

import os
import time
from collections import Counter, deque
from collections.abc import Callable
from typing import BinaryIO, cast

from ..errors import ToolError, load_columns
from ..wire.fields import COMMON_BAUDS, DATA_COLUMNS, DATA_FIELDS, DEFAULT_BAUD, PACKET_TYPES, RAW_RATE, VALIDITY_NAMES
from ..wire.framecount import PACKET_SETS, FrameCounter
from .capture import capture, close_port, open_port

# How long a line may bring bytes without a frame before the hint, and how
# long the hint then listens to count them.
HINT_AFTER = 3.0
PROBE_SECONDS = 0.5

class LineWatch:
    """What the bytes of a line held so far; `feed` them as they arrive."""

    def __init__(self, window: float = 2.0, clock: Callable[[], float] = time.monotonic) -> None:
        self.window = window
        self.clock = clock
        self.started = clock()
        self.counter = FrameCounter(on_frame=self._frame)
        self.arrivals: dict[str, deque[float]] = {kind: deque() for kind in PACKET_TYPES}
        self.flagged: Counter[str] = Counter()
        self.latest: dict[str, tuple[float, ...]] = {}
        self.last_packet: float | None = None
        self._now = self.started
        self._frames: list[bytes] = []  # the packet frames of the piece being fed

    def feed(self, data: bytes) -> None:
        self._now = self.clock()
        self._frames.clear()
        self.counter.feed(data)
        if self._frames:
            self._decode(b"".join(self._frames))

    def write(self, data: bytes | memoryview) -> int:
        """`feed`, as a binary file's write: a LineWatch can stand where a
        capture writes its bytes."""
        self.feed(bytes(data))
        return len(data)

    def as_output(self) -> BinaryIO:
        return cast(BinaryIO, self)

    def _frame(self, descriptor_set: int, frame: bytes) -> None:
        kind = PACKET_SETS.get(descriptor_set)
        if kind is None:
            return
        self.arrivals[kind].append(self._now)
        self.last_packet = self._now
        self._frames.append(frame)

    def _decode(self, frames: bytes) -> None:
        """The latest values and the flagged fields of valid packet frames."""
        columns, _ = load_columns().decode(frames)
        present, invalid = memoryview(columns["present"]), memoryview(columns["invalid"])
        data = {name: memoryview(columns[name]) for name in DATA_COLUMNS}
        for row in range(len(present)):
            for bit, f in enumerate(DATA_FIELDS):
                if present[row] >> bit & 1:
                    self.latest[f.name] = tuple(data[c][row] for c in f.columns)
            self.flagged.update(name for bit, name in enumerate(VALIDITY_NAMES) if invalid[row] >> bit & 1)

    def rate(self, kind: str, now: float) -> float:
        """Packets of `kind` per second over the last `window` seconds (or
        since the start, if that is shorter)."""
        arrivals = self.arrivals[kind]
        while arrivals and arrivals[0] <= now - self.window:
            arrivals.popleft()
        span = min(self.window, now - self.started)
        return len(arrivals) / span if span > 0 else 0.0


def probe(port: str, baudrate: int, seconds: float = PROBE_SECONDS) -> FrameCounter:
    """Reads the port at `baudrate` for `seconds` and counts what came."""
    serial_port = open_port(port, baudrate)
    try:
        with open(os.devnull, "wb", buffering=0) as sink:
            return capture(serial_port.fileno(), sink, seconds).counter
    finally:
        close_port(serial_port)


def no_frame_hint(port: str, baudrate: int, waited: float) -> str | None:
    """The hint for a port that has brought no packet in `waited` seconds
    while not silent, after counting what arrives; None when a listen finds
    frames after all, or nothing at all. Where the bytes make no frame, the
    other common rates are tried, and one that brings frames is named. The
    port must be free to open."""
    advice = (
        f"check the baud rate: this reads at {baudrate}; units like this one are commonly set to "
        + ", ".join(map(str, COMMON_BAUDS))
        + f" ({DEFAULT_BAUD} for raw packets at {RAW_RATE:g} Hz)"
    )
    try:
        seen = probe(port, baudrate)
        if seen.packets or not seen.total_bytes:
            return None
        found = next((rate for rate in COMMON_BAUDS if rate != baudrate and probe(port, rate).packets > 1), None)
    except (OSError, ToolError):  # gone meanwhile, or no pyserial to count with
        return f"no valid frame from {port} in {waited:.0f} s although the line is not silent: {advice}"
    what = (
        f"no valid frame from {port} in {waited:.0f} s, yet bytes arrive ({seen.total_bytes} in "
        f"{PROBE_SECONDS:g} s, none in a valid frame)"
    )
    if found is not None:
        return f"{what}: at {found} baud the line brings valid frames; give --baudrate {found}"
    return f"{what}: the port likely runs at another speed than the device; {advice}"
