"""Byte-exact capture of a serial port into a recording.

The port is opened by the native opener that every reader of a port uses
(raw mode, 8N1, no flow control, held exclusively, failures in its words),
and read on its reader thread: each read is stamped as it returns with the
wall clock and the clock that never steps, and scanned for frames there.
Every read is written to the file as soon as it is taken, and then its
times go to the receive-time file beside it (`receive_times`), so whatever
ends the capture (its time, a stop request, the port hanging up, a power
cut) leaves both complete up to the last read taken, give or take that
read's time entry.
"""

from __future__ import annotations

import errno
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, BinaryIO

from ..errors import load_columns
from ..files.receive_times import TimesWriter
from ..wire.fields import PACKET_TYPES

WAIT_S = 0.1  # the longest a capture goes without looking at its stop and time
# After taking reads, how long the reader is left to gather more: the times
# are the reader's, so this only spares waking for every read.
GATHER_S = 0.02


def open_port(path: str, baudrate: int) -> Any:
    """Opens the serial port `path` for capture at `baudrate` and starts
    reading it: a brimlet_columns.Capture, to close when done. OSError in the
    words every reader of a port gives."""
    return load_columns().Capture(path, baudrate)


def close_port(port: Any) -> None:
    """Stops reading and lets the port go."""
    port.close()


@dataclass
class FrameCounts:
    """What the reader's frame scan found: bytes read, bytes done with
    (whole frames and bytes outside them), bytes outside valid frames, and
    packet frames by kind."""

    total_bytes: int = 0
    finished: int = 0
    skipped_bytes: int = 0
    kinds: dict[str, int] = field(default_factory=lambda: dict.fromkeys(PACKET_TYPES, 0))

    @property
    def packets(self) -> int:
        return sum(self.kinds.values())

    def by_type(self) -> dict[str, int]:
        return dict(self.kinds)

    def update(self, counts: dict[str, int]) -> None:
        self.total_bytes, self.finished, self.skipped_bytes = counts["bytes"], counts["finished"], counts["outside"]
        self.kinds = {kind: counts[kind] for kind in PACKET_TYPES}


@dataclass
class CaptureReport:
    """How a capture went: bytes and packet frames seen, the boot clock of
    the last read taken, and why it ended ("time", "stopped" or "hang-up")."""

    counter: FrameCounts
    ended: str = ""
    seconds: float = 0.0
    boot_ns: int = 0


def write_all(out: BinaryIO, data: bytes) -> None:
    """Writes all of `data` to the unbuffered `out`. The bytes are then the
    kernel's, which is enough for them to outlive this process."""
    view = memoryview(data)
    while view:
        n = out.write(view)
        view = view[n or 0 :]


@dataclass
class Split:
    """Where a capture goes on into a new part: once the part holds
    `seconds` of the line or `size` bytes (None: no such bound); `open_next`
    opens the next part and its receive times (the old ones are closed by
    whoever opened them). A part ends where a frame does (or where bytes
    outside frames end), never inside one, so that each part decodes whole."""

    seconds: float | None
    size: int | None
    open_next: Callable[[], tuple[BinaryIO, TimesWriter | None]]
    started: float = 0.0  # when the part began (monotonic seconds)
    written: int = 0  # bytes in the part

    def due(self, now: float, more: int) -> bool:
        """Whether the part is full, with `more` bytes to come."""
        return (self.seconds is not None and now - self.started >= self.seconds) or (
            self.size is not None and self.written + more > self.size and self.written > 0
        )


def capture(
    port: Any,
    out: BinaryIO,
    seconds: float | None = None,
    stop: Callable[[], bool] | None = None,
    progress: Callable[[CaptureReport], None] | None = None,
    times: TimesWriter | None = None,
    split: Split | None = None,
) -> CaptureReport:
    """Copies what the capture `port` reads to `out`, and the times of every
    read to `times`, until `seconds` have passed, `stop()` says so, or the
    port hangs up; with `split`, into one part after another. A failure of
    the port other than its hanging up is raised, after what came before it
    is written."""
    report = CaptureReport(FrameCounts())
    sink = Sink(out, times, split)
    start = time.monotonic()
    if split is not None:
        split.started = start
    deadline = None if seconds is None else start + seconds
    while not report.ended:
        now = time.monotonic()
        report.seconds = now - start
        if stop is not None and stop():
            report.ended = "stopped"
        elif deadline is not None and now >= deadline:
            report.ended = "time"
        elif not take_reads(port, WAIT_S if deadline is None else min(WAIT_S, deadline - now), sink, report):
            report.ended = "hang-up"
        if progress is not None:
            progress(report)
    return report


def take_reads(port: Any, wait: float, sink: Sink, report: CaptureReport) -> bool:
    """Writes what the port has read, waiting up to `wait` seconds for it;
    False when the port has hung up."""
    try:
        reads = port.read(max(wait, 0.0))
    except OSError as e:
        if e.errno in (errno.EPIPE, errno.EIO):  # the other side of the line is gone
            return False
        raise
    if reads is None:
        return False
    if reads:
        start = report.counter.total_bytes
        report.counter.update(port.counts())
        sink.take(reads, start, report.counter.finished)
        report.boot_ns = reads[-1][2]
        time.sleep(min(GATHER_S, wait))
    return True


@dataclass
class Sink:
    """Where a capture's bytes and receive times go: the part being written."""

    out: BinaryIO
    times: TimesWriter | None
    split: Split | None

    def take(self, reads: list[tuple[bytes, int, int]], start: int, finished: int) -> None:
        """Writes `reads`, which begin at the stream's byte `start`: into a
        new part from where the unfinished bytes begin (`finished`), when
        the part is full and that place lies within the read at hand."""
        for data, received, boot in reads:
            cut = finished - start
            start += len(data)
            if self.split is not None and 0 <= cut <= len(data) and self.split.due(time.monotonic(), len(data)):
                self.write(data[:cut], received, boot)
                self.out, self.times = self.split.open_next()
                self.split.started, self.split.written = time.monotonic(), 0
                data = data[cut:]
            self.write(data, received, boot)

    def write(self, data: bytes, received: int, boot: int) -> None:
        if not data:
            return
        write_all(self.out, data)
        if self.times is not None:
            self.times.add(data, received, boot)
        if self.split is not None:
            self.split.written += len(data)
