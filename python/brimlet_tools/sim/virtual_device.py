"""A virtual device on a pseudo-terminal.

`VirtualDevice` opens a pseudo-terminal whose slave side stands in for the
device's serial port: a `brimlet.SerialParser` opens `device.path` like any
port. `play` writes a stream of frames to the master side, each no earlier
than its device time and no faster than the line rate that the baud rate
allows (ten bits per byte: start bit, eight data bits, stop bit).

Like a real device, the virtual one never waits for a reader, and like a
real port, the virtual one does not keep what nobody reads: bytes that stay
unread in the port's input queue for longer than `stale_after` seconds are
discarded, and bytes that do not fit in a full queue are dropped. A reader
that opens the port later thus starts with fresh data, not a backlog whose
burst would distort its timing. (A pseudo-terminal would otherwise keep
about 4 KiB for a reader that may never come.)
"""

from __future__ import annotations

import os
import termios
import fcntl
import struct
import time
import tty
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from types import TracebackType
from typing import Protocol

from ..wire.fields import MODULE_DEFAULT_BAUD

BITS_PER_BYTE = 10
STALE_AFTER = 0.1  # seconds
SETTLE = 0.05  # seconds an empty queue must stay empty to be drained
RELEASE_CHECK = 0.2  # seconds between looks for a port held by a reader that is gone
TIOCGEXCL = 0x80045440  # _IOR('T', 0x40, int): whether the terminal is held exclusively
# How long the device stays open after the stream ends for a reader to take
# what the port still holds.
DRAIN_LIMIT = 1.0


SLACK = 0.001  # seconds of a wait that play skips


@dataclass
class PlayReport:
    """What one `play` call did."""

    frames: int = 0
    bytes_sent: int = 0  # put on the line, the dropped ones included
    bytes_dropped: int = 0
    # How far the line fell behind the device's own clock, in seconds: more
    # than a frame period means the baud rate cannot carry the stream.
    lag: float = 0.0


class Timed(Protocol):
    """What `play` sends: bytes due some seconds after the start (a
    simulated frame, or a piece of a recording)."""

    @property
    def time(self) -> float: ...
    @property
    def wire(self) -> bytes: ...


class VirtualDevice:
    """A pseudo-terminal pair; the slave's path is the port to open."""

    def __init__(self, baudrate: int = MODULE_DEFAULT_BAUD, stale_after: float | None = STALE_AFTER) -> None:
        if baudrate <= 0:
            raise ValueError(f"baud rate must be above 0, not {baudrate}")
        self.baudrate = baudrate
        self.stale_after = stale_after
        self._drained_at = time.monotonic()  # when the input queue was last seen empty
        self._release_checked = 0.0  # when an abandoned exclusive hold was last looked for
        self._master, self._slave = os.openpty()
        # Raw from the start: no echo, no line editing, no translation of
        # carriage returns or flow-control bytes, even before a reader sets
        # the line up itself.
        tty.setraw(self._slave)
        os.set_blocking(self._master, False)
        self.path = os.ttyname(self._slave)

    @property
    def bytes_per_second(self) -> float:
        return self.baudrate / BITS_PER_BYTE

    def close(self) -> None:
        """Closes both sides; a reader of the port then sees a hang-up."""
        for fd in (self._master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self._master = self._slave = -1

    def __enter__(self) -> VirtualDevice:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def write(self, data: bytes) -> int:
        """Puts `data` on the line at once; returns how many bytes were lost
        for want of a reader (stale ones discarded, and those of `data` that
        did not fit)."""
        lost = self._discard_stale()
        self._release_abandoned()
        try:
            written = os.write(self._master, data)
        except BlockingIOError:
            written = 0
        if written < len(data):
            termios.tcflush(self._slave, termios.TCIFLUSH)
        return lost + len(data) - written

    def drain(self, limit: float, stop: Callable[[], bool] | None = None) -> None:
        """Waits until a reader has taken what the port holds, at most
        `limit` seconds (or until `stop()` says so), so that closing the
        device does not cut off the end of what was played. Bytes written
        to the master reach the port's queue a moment later, so the queue
        must stay empty for a while to count as drained. Unread bytes that
        have gone stale (see `stale_after`) mean nobody is reading."""
        deadline = time.monotonic() + limit
        empty_since: float | None = None
        while not wait_until(min(time.monotonic() + 0.01, deadline), stop) and time.monotonic() < deadline:
            now = time.monotonic()
            if self._queued():
                empty_since = None
                if self.stale_after is not None and now - self._drained_at > self.stale_after:
                    return
            else:
                self._drained_at = now
                empty_since = now if empty_since is None else empty_since
                if now - empty_since >= SETTLE:
                    return

    def _release_abandoned(self) -> None:
        """Lets the port go when the reader that held it exclusively is gone
        without letting go itself (killed): a terminal that this side keeps
        open would stay exclusive, "busy" for every later reader. A reader
        holds its lock while it lives, so an exclusive port whose lock is
        free has no reader. Looked at every RELEASE_CHECK seconds at most."""
        now = time.monotonic()
        if now - self._release_checked < RELEASE_CHECK:
            return
        self._release_checked = now
        try:
            held = struct.unpack("i", fcntl.ioctl(self._slave, TIOCGEXCL, b"\0" * 4))[0]
            if not held:
                return
            fcntl.flock(self._slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return  # a reader holds it (or the system cannot tell)
        try:
            fcntl.ioctl(self._slave, termios.TIOCNXCL)
        finally:
            fcntl.flock(self._slave, fcntl.LOCK_UN)

    def _queued(self) -> int:
        """Bytes in the port's input queue, not yet read."""
        queued: int = struct.unpack("i", fcntl.ioctl(self._slave, termios.FIONREAD, b"\0" * 4))[0]
        return queued

    def _discard_stale(self) -> int:
        """Flushes the port's input queue if it has not been empty for
        `stale_after` seconds (a reader drains it within milliseconds);
        returns the number of bytes flushed."""
        now = time.monotonic()
        queued = self._queued()
        if queued == 0:
            self._drained_at = now
        elif self.stale_after is not None and now - self._drained_at > self.stale_after:
            termios.tcflush(self._slave, termios.TCIFLUSH)
            self._drained_at = now
            return queued
        return 0

    def play(
        self,
        stream: Iterable[Timed],
        seconds: float | None = None,
        stop: Callable[[], bool] | None = None,
        report: PlayReport | None = None,
        sent: Callable[[Timed, int], None] | None = None,
    ) -> PlayReport:
        """Writes the frames of `stream` paced to device time and line rate,
        until the stream ends, `seconds` of device time have passed or
        `stop()` says so (it is asked at least every 50 ms). Counts go to `report` as they happen, so a caller that is
        interrupted still has them. With `sent`, no frame goes out before its
        time, and `sent(frame, ns)` follows each with its device time on the
        host's real-time clock (ns since the epoch): when it was sampled."""
        report = PlayReport() if report is None else report
        start = time.monotonic()
        start_ns = time.time_ns()
        slack = 0.0 if sent is not None else SLACK
        line_free = 0.0  # seconds after start when the line is idle again
        for frame in stream:
            if seconds is not None and frame.time >= seconds:
                break
            due = max(frame.time, line_free)
            report.lag = max(report.lag, due - frame.time)
            if wait_until(start + due, stop, slack):
                break
            report.bytes_dropped += self.write(frame.wire)
            report.bytes_sent += len(frame.wire)
            report.frames += 1
            if sent is not None:
                sent(frame, start_ns + round(frame.time * 1e9))
            line_free = due + len(frame.wire) / self.bytes_per_second
        return report


def wait_until(deadline: float, stop: Callable[[], bool] | None, slack: float = 0.0) -> bool:
    """Sleeps until the monotonic `deadline`, asking `stop()` at least every
    50 ms; returns True if it said to stop. Waits under `slack` seconds are
    skipped (`play` skips those under a millisecond: the line's own
    buffering smooths them out, and sleeping that briefly costs more than it
    keeps)."""
    while True:
        if stop is not None and stop():
            return True
        delay = deadline - time.monotonic()
        if delay <= slack:
            return False
        time.sleep(min(delay, 0.05))


def line_warning(baudrate: int, needed: float, what: str, remedy: str) -> str | None:
    """A warning when a line of `baudrate` cannot carry the `needed` bytes
    per second of `what`; None when it can."""
    capacity = baudrate / BITS_PER_BYTE
    if needed <= capacity:
        return None
    return (
        f"warning: at {baudrate} baud the line carries {capacity:.0f} bytes/s but {what} needs {needed:.0f}: "
        f"it will run {needed / capacity:.1f} times slower than asked ({remedy})"
    )
