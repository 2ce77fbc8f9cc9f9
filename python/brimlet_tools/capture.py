"""Byte-exact capture of a serial port into a recording.

The port is put into raw mode (8 data bits, no parity, one stop bit, no
flow control, no translation of any byte) and held in exclusive mode while
it is read. Every chunk read is written to the file at once, and then
the host's clock at the moment the read returned goes to the receive-time
file beside it (`receive_times`), so whatever ends the capture (its time, a
stop request, the port hanging up, a power cut) leaves both complete up to
the last read, give or take that read's time entry.
"""

from __future__ import annotations

import fcntl
import os
import select
import termios
import time
import tty
from collections.abc import Callable
from dataclasses import dataclass
from typing import BinaryIO

from .framecount import FrameCounter
from .receive_times import TimesWriter

CHUNK = 65536
POLL_MS = 100


def speed_code(baudrate: int) -> int:
    """The terminal speed code of `baudrate`; ValueError if it has none."""
    code = getattr(termios, f"B{baudrate}", None)
    if not isinstance(code, int):
        raise ValueError(f"{baudrate} is not a standard serial speed")
    return code


def open_port(path: str, baudrate: int) -> int:
    """Opens the terminal device `path` for reading in raw mode at
    `baudrate`; returns its descriptor (non-blocking)."""
    speed = speed_code(baudrate)
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        fcntl.ioctl(fd, termios.TIOCEXCL)
        attrs = termios.tcgetattr(fd)
        tty.cfmakeraw(attrs)
        attrs[0] &= ~(termios.IXON | termios.IXOFF | termios.INPCK)
        attrs[2] &= ~(termios.PARENB | termios.CSTOPB | termios.CRTSCTS | termios.CSIZE)
        attrs[2] |= termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[4] = attrs[5] = speed
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
    except BaseException:
        close_port(fd)
        raise
    return fd


def close_port(fd: int) -> None:
    """Leaves exclusive mode and closes the port."""
    try:
        fcntl.ioctl(fd, termios.TIOCNXCL)
    except OSError:
        pass
    os.close(fd)


@dataclass
class CaptureReport:
    """How a capture went: bytes and packet frames seen, and why it ended
    ("time", "stopped" or "hang-up")."""

    counter: FrameCounter
    ended: str = ""
    seconds: float = 0.0


def write_all(out: BinaryIO, data: bytes) -> None:
    """Writes all of `data` to the unbuffered `out`. The bytes are then the
    kernel's, which is enough for them to outlive this process."""
    view = memoryview(data)
    while view:
        n = out.write(view)
        view = view[n or 0 :]


def capture(
    fd: int,
    out: BinaryIO,
    seconds: float | None = None,
    stop: Callable[[], bool] | None = None,
    progress: Callable[[CaptureReport], None] | None = None,
    times: TimesWriter | None = None,
) -> CaptureReport:
    """Copies what arrives on the port `fd` to `out`, and the time of every
    read to `times`, until `seconds` have passed, `stop()` says so, or the
    port hangs up."""
    report = CaptureReport(FrameCounter())
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    start = time.monotonic()
    deadline = None if seconds is None else start + seconds
    while not report.ended:
        now = time.monotonic()
        report.seconds = now - start
        if stop is not None and stop():
            report.ended = "stopped"
        elif deadline is not None and now >= deadline:
            report.ended = "time"
        else:
            wait = POLL_MS if deadline is None else min(POLL_MS, max(1, int((deadline - now) * 1000)))
            if not read_ready(fd, poller.poll(wait), out, report, times):
                report.ended = "hang-up"
        if progress is not None:
            progress(report)
    return report


def read_ready(
    fd: int, events: list[tuple[int, int]], out: BinaryIO, report: CaptureReport, times: TimesWriter | None
) -> bool:
    """Reads what `events` announce; False when the port has hung up."""
    for _fd, mask in events:
        if mask & select.POLLIN:
            try:
                data = os.read(fd, CHUNK)
            except BlockingIOError:
                continue
            except OSError:  # EIO: the other side of the line is gone
                return False
            received = time.time_ns()  # the clock a live parser stamps packets with
            if not data:
                return False
            write_all(out, data)
            report.counter.feed(data)
            if times is not None:
                times.add(report.counter.total_bytes, received)
        elif mask & (select.POLLHUP | select.POLLERR | select.POLLNVAL):
            return False
    return True
