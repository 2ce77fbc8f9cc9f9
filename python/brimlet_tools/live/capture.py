"""Byte-exact capture of a serial port into a recording.

The port is opened with pyserial, which takes any rate the driver does, put
into raw mode (8 data bits, no parity, one stop bit, no flow control, no
translation of any byte) and held in exclusive mode while it is read. Every chunk read is written to the file at once, and then
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
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, BinaryIO

from ..errors import ToolError, load_brimlet, require
from ..files.receive_times import TimesWriter
from ..wire.framecount import FrameCounter

CHUNK = 65536
POLL_MS = 100


def open_port(path: str, baudrate: int) -> Any:
    """Opens the serial port `path` for reading at `baudrate` (any rate the
    port's driver takes, as for the live parser), in raw mode and held in
    exclusive mode; gives the open pyserial port (non-blocking)."""
    serial = require("serial", "recording a port", "serial", "python3-serial", package="pyserial")
    port = serial.Serial()
    port.port = path
    port.baudrate = baudrate
    port.bytesize, port.parity, port.stopbits = serial.EIGHTBITS, serial.PARITY_NONE, serial.STOPBITS_ONE
    port.xonxoff = port.rtscts = port.dsrdtr = False
    port.timeout = 0
    port.exclusive = True  # a lock that other pyserial users respect
    try:
        port.open()
    except serial.SerialException as e:  # its text repeats the path; the system's reason is enough
        # Said as every other reader of a port says it: in the native
        # opener's words, which fails the same way.
        failure = opener_failure(path, baudrate)
        if failure is not None:
            raise failure from e
        # A failure to configure the line carries the system's number only
        # in the error it wraps (a termios.error).
        number = e.errno or next((c.args[0] for c in (e.__cause__, e.__context__)
                                  if isinstance(c, (OSError, termios.error)) and c.args
                                  and isinstance(c.args[0], int)), None)  # fmt: skip
        raise OSError(number, os.strerror(number) if number else str(e)) from e
    try:
        # The terminal's own exclusive mode, which the live parser uses: no
        # other program can open the port meanwhile.
        fcntl.ioctl(port.fileno(), termios.TIOCEXCL)
    except BaseException:
        port.close()
        raise
    return port


def opener_failure(path: str, baudrate: int) -> OSError | None:
    """Why the native opener cannot open the port `path` (its OSError, in
    the words `dump`, `serve` and `live()` give), None when it can: the port
    is let go of at once, unread."""
    try:
        brimlet = load_brimlet()
        brimlet.SerialParser(path, baudrate, 0.1)
    except OSError as e:
        return e
    except ToolError:  # no native module: pyserial's words, then
        pass
    return None


def close_port(port: Any) -> None:
    """Leaves exclusive mode and closes the port."""
    try:
        fcntl.ioctl(port.fileno(), termios.TIOCNXCL)
    except OSError:
        pass
    port.close()


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
    fd: int,
    out: BinaryIO,
    seconds: float | None = None,
    stop: Callable[[], bool] | None = None,
    progress: Callable[[CaptureReport], None] | None = None,
    times: TimesWriter | None = None,
    split: Split | None = None,
) -> CaptureReport:
    """Copies what arrives on the port `fd` to `out`, and the time of every
    read to `times`, until `seconds` have passed, `stop()` says so, or the
    port hangs up; with `split`, into one part after another."""
    report = CaptureReport(FrameCounter())
    sink = Sink(out, times, split)
    poller = select.poll()
    poller.register(fd, select.POLLIN)
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
        else:
            wait = POLL_MS if deadline is None else min(POLL_MS, max(1, int((deadline - now) * 1000)))
            if not read_ready(fd, poller.poll(wait), sink, report):
                report.ended = "hang-up"
        if progress is not None:
            progress(report)
    return report


@dataclass
class Sink:
    """Where a capture's bytes and receive times go: the part being written."""

    out: BinaryIO
    times: TimesWriter | None
    split: Split | None

    def take(self, data: bytes, counter: FrameCounter, received: int, boot: int) -> None:
        """Writes one read's `data`, which `counter` has seen: into a new
        part from where the unfinished bytes begin, when the part is full
        and that place lies within this read."""
        cut = len(data) - (counter.total_bytes - counter.finished)
        if self.split is not None and cut >= 0 and self.split.due(time.monotonic(), len(data)):
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


def read_ready(fd: int, events: list[tuple[int, int]], sink: Sink, report: CaptureReport) -> bool:
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
            boot = time.clock_gettime_ns(time.CLOCK_BOOTTIME)  # and one that never steps
            if not data:
                return False
            report.counter.feed(data)
            sink.take(data, report.counter, received, boot)
        elif mask & (select.POLLHUP | select.POLLERR | select.POLLNVAL):
            return False
    return True
