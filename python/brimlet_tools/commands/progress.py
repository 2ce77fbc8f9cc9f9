"""Progress on stderr for long work, one mechanism for every command: a bar
that counts the work done (export, dump to a file, stats, plot) and a status
line that shows a text (record, generate), each ended by `finish`.

On a terminal, and unless the command was asked to be quiet, tqdm draws it
when it is installed (an optional extra): the bar with the amount done, the
total where it is known, the rate and an estimate of the time left. Without
tqdm a plain line is redrawn in place instead, at most four times a second.
Either way the line is removed when the work ends. Piped or quiet, a bar
draws nothing and a status line is written every `piped_interval` seconds
(or never), so that stderr carries only errors and closing lines.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from typing import Any, TextIO, TypeVar

from ..errors import ToolError, load_columns
from ..recordings.recording import open_regular_file

T = TypeVar("T")
Advance = Callable[[int], object]
# The least time between two drawings of a line redrawn in place.
REDRAW = 0.25


class PlainLine:
    """The line redrawn in place by hand, where tqdm is not installed: the
    status text, or the count of a bar."""

    def __init__(self, stream: TextIO, what: str, total: int | None, unit: str) -> None:
        self.stream, self.what, self.total, self.unit = stream, what, total, unit
        self.done = 0
        self.drawn = False
        self._next = 0.0

    def update(self, n: int) -> None:
        self.done += n
        if time.monotonic() >= self._next:
            self._next = time.monotonic() + REDRAW
            of = f"/{self.total}" if self.total is not None else ""
            self.set_description_str(f"{self.what}: {self.done}{of}{self.unit}")

    def set_description_str(self, text: str, refresh: bool = True) -> None:
        self.stream.write("\r\x1b[K" + text)
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def terminal_line(stream: TextIO, what: str, total: int | None, unit: str, counting: bool) -> Any:
    """A line on the terminal `stream` with tqdm's `update`,
    `set_description_str` and `close`: a bar when `counting`, else a line
    that shows its text alone; drawn by tqdm where it is installed."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return PlainLine(stream, what, total, unit)
    common = {"file": stream, "leave": False, "dynamic_ncols": True}
    if counting:
        return tqdm(total=total, desc=what, unit=unit, unit_scale=True, mininterval=REDRAW, **common)
    return tqdm(total=None, bar_format="{desc}", mininterval=0, **common)


class Progress:
    """The progress of one piece of work, labelled `what`: `advance` counts
    the work done, `total` in all (None if unknown; a function that says it
    is asked only when a bar is drawn), in `unit`; `update` shows a status
    text instead; `finish` removes the line and writes the closing one."""

    def __init__(self, what: str = "", total: int | Callable[[], int | None] | None = None, unit: str = " packets",
                 *, piped_interval: float | None = None, quiet: bool = False) -> None:  # fmt: skip
        self.stream = sys.stderr
        self.what, self.total, self.unit = what, total, unit
        self.live = not quiet and self.stream.isatty()
        self.interval = None if quiet else REDRAW if self.live else piped_interval
        self._next = time.monotonic() + (self.interval or 0.0)
        self._line: Any = None

    def line(self, counting: bool) -> Any:
        """The line on the terminal, opened on first use."""
        if self._line is None:
            total = self.total() if callable(self.total) else self.total
            self._line = terminal_line(self.stream, self.what, total, self.unit, counting)
        return self._line

    def advance(self, n: int) -> None:
        """`n` more done."""
        if self.live:
            self.line(counting=True).update(n)

    def update(self, text: Callable[[], str]) -> None:
        """Shows the status `text()`, asked for only when it is drawn."""
        if self.interval is None or time.monotonic() < self._next:
            return
        self._next = time.monotonic() + self.interval
        if self.live:
            self.line(counting=False).set_description_str(text(), refresh=True)
        else:
            self.stream.write(text() + "\n")
            self.stream.flush()

    def finish(self, text: str | None = None) -> None:
        """Removes the line, then writes `text` as the closing line."""
        if self._line is not None:
            self._line.close()
            self._line = None
        if text is not None:
            self.stream.write(text + "\n")
            self.stream.flush()


@contextmanager
def progress_bar(
    what: str, total: int | Callable[[], int | None] | None, unit: str = " packets", quiet: bool = False
) -> Iterator[Advance]:
    """A function to call with each amount of work done while the block
    runs (see `Progress`); the bar is removed when it ends."""
    progress = Progress(what, total, unit, quiet=quiet)
    try:
        yield progress.advance
    finally:
        progress.finish()


def packet_total(path: str) -> int | None:
    """The number of packets in the recording at `path`, from the native
    decoder's pass over its bytes alone (no receive times, no time axis: a
    few hundredths of a second for ten minutes of data); None when it
    cannot be had."""
    try:
        fd = open_regular_file(path)
    except OSError:
        return None
    try:
        columns, _ = load_columns().decode_file(fd, os.fstat(fd).st_size)
        return len(columns["kind"])
    except (ToolError, OSError, EOFError):
        return None
    finally:
        os.close(fd)


def tracked(items: Iterable[T], advance: Advance, every: int = 1024) -> Iterator[T]:
    """`items`, telling `advance` about them `every` at a time (the rest at
    the end)."""
    n = 0
    for item in items:
        yield item
        n += 1
        if n == every:
            advance(n)
            n = 0
    if n:
        advance(n)
