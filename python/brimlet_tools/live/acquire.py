"""Packets from a recording or a live port, as plain iterators.

Both functions poll the parser without blocking and sleep between empty
polls: a blocking `get_data_packets` holds the interpreter lock while it
waits, which would stall every other Python thread (a virtual device playing
in the same process, for one).
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import TYPE_CHECKING, Any

from ..errors import ToolError, load_brimlet
from ..wire.fields import MODULE_DEFAULT_BAUD
from .linewatch import HINT_AFTER, no_frame_hint

if TYPE_CHECKING:
    from brimlet import IMUPacket

POLL_INTERVAL = 0.002
SILENT = "Operation timed out"


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


def listen(
    port: str,
    baudrate: int | None = None,
    timeout: float = 1.0,
    follow: bool = False,
    seconds: float | None = None,
    stop: Callable[[], bool] | None = None,
    hint_after: float | None = None,
) -> Iterator[IMUPacket]:
    """Packets from the serial port `port` as they arrive.

    Without `follow`, ends when the line has been silent for `timeout`
    seconds after data came (silence from the start is an error). With
    `follow`, silence is waited out. Either way ends after `seconds`, if
    given, when `stop()` says so, or when the caller stops iterating.

    A line that brings bytes but no packet for `hint_after` seconds (default
    `linewatch.HINT_AFTER`) is looked at once: the parser lets go of the
    port, the bytes are counted for a moment, and the hint that names the
    likely cause (the baud rate) ends the reading as an error, or with
    `follow` goes to stderr while the reading goes on. Nothing is opened
    before the first packet is asked for."""
    return Listener(port, baudrate, timeout, follow, seconds, stop, hint_after).packets()


class Listener:
    """One reading of a port, as `listen` describes it."""

    def __init__(
        self,
        port: str,
        baudrate: int | None,
        timeout: float,
        follow: bool,
        seconds: float | None,
        stop: Callable[[], bool] | None,
        hint_after: float | None,
    ) -> None:
        self.port, self.baudrate, self.timeout, self.follow = port, baudrate, timeout, follow
        self.seconds = seconds
        self.stop = stop or (lambda: False)
        self.hint_after = HINT_AFTER if hint_after is None else hint_after
        self.parser: Any = None
        self.received = 0

    def packets(self) -> Iterator[IMUPacket]:
        self.brimlet = load_brimlet()
        self.parser = open_parser(self.brimlet, self.port, self.baudrate, self.timeout)
        self.started = time.monotonic()
        self.deadline = None if self.seconds is None else self.started + self.seconds
        self.hint_at: float | None = self.started + self.hint_after
        try:
            self.parser.start()
            while not self.over():
                if self.no_frame_for_long() and not self.look_at_the_line():
                    return
                try:
                    batch = self.parser.get_data_packets()
                except OSError as e:
                    yield from self.what_the_run_decoded()
                    if self.silence_ends_it(e):
                        return
                    self.start_again()
                    continue
                self.received += len(batch)
                yield from batch
                if not batch:
                    time.sleep(POLL_INTERVAL)
        finally:
            if self.parser is not None:
                self.parser.stop()

    def over(self) -> bool:
        """Whether the time asked for has passed, or `stop()` says so."""
        return (self.deadline is not None and time.monotonic() >= self.deadline) or self.stop()

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
        self.parser.stop()
        self.parser = None
        hint = no_frame_hint(self.port, self.baudrate or MODULE_DEFAULT_BAUD, time.monotonic() - self.started)
        if hint is not None and not self.follow:
            raise ToolError(hint)
        try:
            self.parser = open_parser(self.brimlet, self.port, self.baudrate, self.timeout)
            self.parser.start()
        except (ToolError, OSError):
            if self.stop():
                return False
            raise
        if hint is not None:  # once reading again, so that Ctrl-C after it ends the reading
            print(f"warning: {hint}", file=sys.stderr, flush=True)
        return True

    def what_the_run_decoded(self) -> list[IMUPacket]:
        """After a failure ended the run: what it decoded before, queued
        behind the failure's text."""
        rest: list[IMUPacket] = self.parser.get_data_packets()
        self.received += len(rest)
        return rest

    def silence_ends_it(self, e: OSError) -> bool:
        """Whether the failure `e` ends the reading: a silence after data
        without `follow` does; any other failure, or silence from the start
        without `follow`, is a ToolError."""
        if str(e) != SILENT:
            raise ToolError(f"reading {self.port} failed: {e}") from e
        if self.follow:
            return False
        if self.received:
            return True
        raise ToolError(f"no data from {self.port} within {self.timeout:g} s") from e

    def start_again(self) -> None:
        """Reads on after a silence; bytes without a frame must go on for
        the whole wait to earn the hint."""
        self.parser.stop()
        self.parser.start()
        if self.hint_at is not None:
            self.hint_at = time.monotonic() + self.hint_after


def open_parser(brimlet: ModuleType, port: str, baudrate: int | None, timeout: float) -> Any:
    """A SerialParser on `port`, not yet started."""
    try:
        return brimlet.SerialParser(port, baudrate, timeout)
    except OSError as e:
        raise ToolError(f"cannot open port {port}: {e}") from e
