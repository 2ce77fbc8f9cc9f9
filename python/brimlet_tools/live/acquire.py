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
    `follow` goes to stderr while the reading goes on."""
    brimlet = load_brimlet()
    parser = open_parser(brimlet, port, baudrate, timeout)
    started = time.monotonic()
    deadline = None if seconds is None else started + seconds
    hint_at: float | None = started + (HINT_AFTER if hint_after is None else hint_after)
    received = 0
    try:
        parser.start()
        while deadline is None or time.monotonic() < deadline:
            if stop is not None and stop():
                return
            if hint_at is not None and not received and time.monotonic() >= hint_at:
                hint_at = None
                parser.stop()
                parser = None  # lets go of the port
                hint = no_frame_hint(port, baudrate or MODULE_DEFAULT_BAUD, time.monotonic() - started)
                if hint is not None and not follow:
                    raise ToolError(hint)
                try:
                    parser = open_parser(brimlet, port, baudrate, timeout)
                    parser.start()
                except (ToolError, OSError):
                    if stop is not None and stop():  # Ctrl-C cut the opening short
                        return
                    raise
                if hint is not None:  # once reading again, so that Ctrl-C after it ends the reading
                    print(f"warning: {hint}", file=sys.stderr, flush=True)
            try:
                batch = parser.get_data_packets()
            except OSError as e:
                # The failure ended the run, and everything the run decoded
                # before it is queued behind its text: out with that first.
                rest = parser.get_data_packets()
                received += len(rest)
                yield from rest
                if str(e) != SILENT:
                    raise ToolError(f"reading {port} failed: {e}") from e
                if not follow and received:
                    return
                if not follow:
                    raise ToolError(f"no data from {port} within {timeout:g} s") from e
                parser.stop()
                parser.start()
                if hint_at is not None:  # bytes without a frame must go on for the whole wait
                    hint_at = time.monotonic() + (HINT_AFTER if hint_after is None else hint_after)
                continue
            received += len(batch)
            yield from batch
            if not batch:
                time.sleep(POLL_INTERVAL)
    finally:
        if parser is not None:
            parser.stop()


def open_parser(brimlet: ModuleType, port: str, baudrate: int | None, timeout: float) -> Any:
    """A SerialParser on `port`, not yet started."""
    try:
        return brimlet.SerialParser(port, baudrate, timeout)
    except OSError as e:
        raise ToolError(f"cannot open port {port}: {e}") from e
