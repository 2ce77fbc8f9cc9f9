"""Packets from a recording, and the reading of a live port, as plain
iterators.

`replay` polls the parser without blocking and sleeps between empty polls:
a blocking `get_data_packets` holds the interpreter lock while it waits,
which would stall every other Python thread (a virtual device playing in
the same process, for one).
"""

from __future__ import annotations

import errno
import math
import os
import sys
import time
from collections.abc import Callable, Generator, Iterator
from typing import TYPE_CHECKING

from ..errors import ToolError, load_brimlet
from ..wire.fields import MODULE_DEFAULT_BAUD
from .linewatch import HINT_AFTER, no_frame_hint

if TYPE_CHECKING:
    from brimlet import IMUPacket

POLL_INTERVAL = 0.002
SILENT = "Operation timed out"


def hung_up(e: OSError) -> bool:
    """Whether the reader's failure `e` is the port hanging up (the device
    went away, or the other end of the line closed)."""
    return e.errno == errno.EPIPE


def replay(path: str | os.PathLike[str]) -> Iterator[IMUPacket]:
    """Every packet of the recording at `path`, in stream order."""
    brimlet = load_brimlet()
    try:
        parser = brimlet.MockParser(path)
    except OSError as e:
        raise ToolError(f"cannot open recording {os.fspath(path)}: {e}") from e
    with parser:
        while True:
            # Once the run has ended, everything it decoded is queued, so the
            # drain that follows an ended run is the last one needed.
            running = parser.is_running()
            try:
                batch = parser.get_data_packets()
            except OSError as e:
                raise ToolError(f"cannot read recording {os.fspath(path)}: {e}") from e
            yield from batch
            if not running and not batch:
                return
            if not batch:
                time.sleep(POLL_INTERVAL)


class PortReading[T]:
    """One reading of the serial port `port`, an iterator of what it
    decodes (`stream.ColumnListener`: batches of columns).

    Without `follow`, ends when the line has been silent for `timeout`
    seconds after data came (silence from the start is an error). With
    `follow`, silence is waited out by the reader itself: it reads on
    through any pause, however far behind the consumer is. Either way ends
    after `seconds`, if given, when `stop()` says so, when the port hangs up
    (after everything decoded until then; `hung_up` then says so), or when
    the caller stops iterating.

    A line that brings bytes but no packet for `hint_after` seconds (default
    `linewatch.HINT_AFTER`) is looked at once: the reader lets go of the
    port, the bytes are counted for a moment, and the hint that names the
    likely cause (the baud rate) ends the reading as an error, or with
    `follow` goes to stderr while the reading goes on. Nothing is opened
    before the first item is asked for."""

    def __init__(
        self,
        port: str,
        baudrate: int | None = None,
        timeout: float = 1.0,
        follow: bool = False,
        seconds: float | None = None,
        stop: Callable[[], bool] | None = None,
        hint_after: float | None = None,
        linger: float = 0.0,
    ) -> None:
        self.port, self.baudrate, self.timeout, self.follow = port, baudrate, timeout, follow
        # Following, no wait for input ever ends the reader's run: a silence
        # that ended it would leave the port unread until the consumer next
        # asks, and a consumer that is behind would lose what the line brings
        # meanwhile. A stop still ends such a wait at once.
        self.wait = math.inf if follow else timeout
        self.seconds = seconds
        self.stop = stop or (lambda: False)
        self.hint_after = HINT_AFTER if hint_after is None else hint_after
        self.received = 0
        self.hung_up = False
        # Once the time asked for has passed or a stop came, the reading goes
        # on for `linger` seconds: what comes then only tells about what came
        # before `ended_at` (ns since the epoch, as the receive times).
        self.linger = linger
        self.ended_at: int | None = None
        self._items = self.items()

    def __iter__(self) -> PortReading[T]:
        return self

    def __next__(self) -> T:
        return next(self._items)

    def close(self) -> None:
        """Ends the reading now, which lets go of the port."""
        self._items.close()

    def open_line(self) -> None:
        """Opens the port and starts its reader."""
        raise NotImplementedError

    def let_go(self) -> None:
        """Stops the reader and lets go of the port, if it is open."""
        raise NotImplementedError

    def poll(self) -> list[T] | None:
        """What the reader has decoded since the last poll (counted in
        `received`), after a short wait when nothing has; None once its run
        has ended without a failure. OSError with the reader's text when
        its run failed."""
        raise NotImplementedError

    def what_the_run_decoded(self) -> list[T]:
        """After a failure ended the run: what it decoded before and is
        still to be given out."""
        return []

    def items(self) -> Generator[T]:
        try:
            self.open_line()
            self.started = time.monotonic()
            self.deadline = None if self.seconds is None else self.started + self.seconds
            self.hint_at: float | None = self.started + self.hint_after
            while not self.over():
                if self.no_frame_for_long() and not self.look_at_the_line():
                    return
                try:
                    got = self.poll()
                except OSError as e:
                    yield from self.what_the_run_decoded()
                    self.run_ended(e)
                    return
                if got is None:
                    return
                yield from got
        finally:
            self.let_go()

    def over(self) -> bool:
        """Whether the time asked for has passed, or `stop()` says so, and
        the `linger` after that."""
        now = time.monotonic()
        if self.ended_at is None:
            if not ((self.deadline is not None and now >= self.deadline) or self.stop()):
                return False
            self.ended_at = time.time_ns()
            self.linger_until = now + self.linger
        return now >= self.linger_until

    def no_frame_for_long(self) -> bool:
        """Whether the line has brought no packet for `hint_after` seconds
        (asked once a reading)."""
        return self.hint_at is not None and not self.received and time.monotonic() >= self.hint_at

    def look_at_the_line(self) -> bool:
        """Lets go of the port to count what it brings, and says what is
        likely wrong: as the error that ends the reading, or with `follow`
        as a warning once the port is read again. False when Ctrl-C cut
        the reopening short."""
        self.hint_at = None
        self.let_go()
        hint = no_frame_hint(self.port, self.baudrate or MODULE_DEFAULT_BAUD, time.monotonic() - self.started)
        if hint is not None and not self.follow:
            raise ToolError(hint)
        try:
            self.open_line()
        except (ToolError, OSError):
            if self.stop():
                return False
            raise
        if hint is not None:  # once reading again, so that Ctrl-C after it ends the reading
            print(f"warning: {hint}", file=sys.stderr, flush=True)
        return True

    def is_hang_up(self, e: OSError) -> bool:
        """Whether the reader's failure `e` is the port hanging up."""
        return hung_up(e)

    def run_ended(self, e: OSError) -> None:
        """Takes the failure `e` that ended the reader's run (its packets are
        out): a hang-up ends the reading, noted in `hung_up`; so does a
        silence after data (only without `follow` can a wait run out); any
        other failure, or silence from the start, is a ToolError."""
        if self.is_hang_up(e):
            self.hung_up = self.ended_at is None  # not after the end, while lingering
            return
        if str(e) != SILENT:
            raise ToolError(f"reading {self.port} failed: {e}") from e
        if not self.received:
            raise ToolError(f"no data from {self.port} within {self.timeout:g} s") from e
