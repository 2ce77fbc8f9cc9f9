"""The health of a serial line: what the monitor shows, and the hint for a
line that brings bytes but no frame.

`LineWatch` takes the batches of columns the live reader gives as they
arrive, with the reader's scan totals, and keeps what a person looking at a
misbehaving unit wants to see: packets by kind and their rate over the last
seconds, bytes outside frames, failed checksums, fields the device flagged
not valid, the time since the last packet and the latest value of every
field. The frames are found by the reader's own scanner; nothing here looks
at the bytes.

`no_frame_hint` looks at a line that has delivered no packet for a while
although it is not silent: most often the port runs at another speed than
the device, and every byte arrives garbled. It reopens the port and counts
frames itself, since the reader that found none has let go of it.
"""

from __future__ import annotations

import os
import time
from collections import Counter, deque
from collections.abc import Callable, Mapping
from typing import Any

from ..errors import ToolError
from ..wire.fields import COMMON_BAUDS, DATA_FIELDS, DEFAULT_BAUD, PACKET_TYPES, RAW_RATE, VALIDITY_NAMES
from .capture import FrameCounts, capture, close_port, open_port

# How long a line may bring bytes without a frame before the hint, and how
# long the hint then listens to count them.
HINT_AFTER = 3.0
PROBE_SECONDS = 0.5

NO_TOTALS = {"bytes": 0, "outside": 0, "bad_checksums": 0, "other_frames": 0}


class LineWatch:
    """What the line brought so far; `take` each batch as it arrives."""

    def __init__(self, window: float = 2.0, clock: Callable[[], float] = time.monotonic) -> None:
        self.window = window
        self.clock = clock
        self.started = clock()
        self.packets = dict.fromkeys(PACKET_TYPES, 0)
        self.arrivals: dict[str, deque[tuple[float, int]]] = {kind: deque() for kind in PACKET_TYPES}
        self.flagged: Counter[str] = Counter()
        self.latest: dict[str, tuple[float, ...]] = {}
        self.last_packet: float | None = None
        self.totals: Mapping[str, int] = NO_TOTALS

    def take(self, batch: Mapping[str, Any], totals: Mapping[str, int]) -> None:
        """Takes a batch of columns ("kind", "present", "invalid", the data
        columns) as it came, and the reader's scan totals once it was read."""
        self.totals = totals
        kinds = batch["kind"]
        if not len(kinds):
            return
        present, invalid = batch["present"], batch["invalid"]
        now = self.last_packet = self.clock()
        for code, kind in enumerate(PACKET_TYPES):
            if n := int((kinds == code).sum()):
                self.packets[kind] += n
                self.arrivals[kind].append((now, n))
        for bit, f in enumerate(DATA_FIELDS):
            rows = (present >> bit & 1).nonzero()[0]
            if len(rows):
                self.latest[f.name] = tuple(float(batch[c][rows[-1]]) for c in f.columns)
        for bit, name in enumerate(VALIDITY_NAMES):
            if n := int((invalid >> bit & 1).sum()):
                self.flagged[name] += n

    @property
    def total_bytes(self) -> int:
        """The bytes the line brought, as the reader counted them."""
        return self.totals["bytes"]

    def rate(self, kind: str, now: float) -> float:
        """Packets of `kind` per second over the last `window` seconds (or
        since the start, if that is shorter)."""
        arrivals = self.arrivals[kind]
        while arrivals and arrivals[0][0] <= now - self.window:
            arrivals.popleft()
        span = min(self.window, now - self.started)
        return sum(n for _, n in arrivals) / span if span > 0 else 0.0


def probe(port: str, baudrate: int, seconds: float = PROBE_SECONDS) -> FrameCounts:
    """Reads the port at `baudrate` for `seconds` and counts what came."""
    serial_port = open_port(port, baudrate)
    try:
        with open(os.devnull, "wb", buffering=0) as sink:
            return capture(serial_port, sink, seconds).counter
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
    except (OSError, ToolError):  # gone meanwhile, or no native module to count with
        return f"no valid frame from {port} in {waited:.0f} s although the line is not silent: {advice}"
    what = (
        f"no valid frame from {port} in {waited:.0f} s, yet bytes arrive ({seen.total_bytes} in "
        f"{PROBE_SECONDS:g} s, none in a valid frame)"
    )
    if found is not None:
        return f"{what}: at {found} baud the line brings valid frames; give --baudrate {found}"
    return f"{what}: the port likely runs at another speed than the device; {advice}"
