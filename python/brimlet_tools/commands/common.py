"""What the commands share: the progress line, Ctrl-C as a
stop request, opening outputs, and errors reported as one line.

A command reports a failure by raising `ToolError` with the text to show;
the dispatcher prints it as one line and exits with the error's status (1).
Bad command-line input goes through `args.parser.error` (status 2).
"""

from __future__ import annotations

import argparse
import errno
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from types import FrameType
from typing import IO, BinaryIO, Literal, TextIO, overload

from ..errors import ToolError, cannot

__all__ = ["ToolError", "cannot"]


# --- errors -----------------------------------------------------------------------


# Failures of a write that say the output cannot take the data (a full disk,
# a quota, a file too large, a device error); they end the command with its
# one-line error. A closed pipe is not among them: the dispatcher ends
# quietly on that.
WRITE_FAILURES = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO})


@contextmanager
def write_errors(what: str) -> Iterator[None]:
    """Turns a write failure of the output `what` inside the block into the
    one-line error "cannot write WHAT: REASON"."""
    try:
        yield
    except OSError as e:
        if e.errno not in WRITE_FAILURES:
            raise
        raise cannot("write", what, e) from e


def note(text: str) -> None:
    """A line on stderr, at once."""
    print(text, file=sys.stderr, flush=True)


# --- outputs ------------------------------------------------------------------------


@overload
def open_output(path: str | None, text: Literal[True], buffered: bool = True) -> AbstractContextManager[TextIO]: ...
@overload
def open_output(
    path: str | None, text: Literal[False] = False, buffered: bool = True
) -> AbstractContextManager[BinaryIO]: ...
def open_output(path: str | None, text: bool = False, buffered: bool = True) -> AbstractContextManager[IO[str] | IO[bytes]]:
    """The file `path` opened for writing, as a context that closes it; with
    no path or "-", standard output, flushed but left open. Text is UTF-8
    with line endings as written. `buffered=False` makes every write reach
    the file at once (binary only)."""
    return _output(path, text, buffered)


@contextmanager
def _output(path: str | None, text: bool, buffered: bool) -> Iterator[IO[str] | IO[bytes]]:
    if path is None or path == "-":
        stream: IO[str] | IO[bytes] = sys.stdout if text else sys.stdout.buffer
        with write_errors("standard output"):
            try:
                yield stream
            finally:
                stream.flush()
        return
    try:
        if text:
            opened: IO[str] | IO[bytes] = open(path, "w", encoding="utf-8", newline="")
        else:
            opened = open(path, "wb", buffering=-1 if buffered else 0)
    except OSError as e:
        raise cannot("write", path, e) from e
    # Closing flushes, and can fail the same way as a write.
    with write_errors(path), opened:
        yield opened


# --- progress and stopping ---------------------------------------------------------------


class Progress:
    """A status line on stderr. On a terminal it is redrawn in place at most
    four times a second; otherwise a line is written every `piped_interval`
    seconds, or never. `quiet` leaves only the final line."""

    def __init__(self, piped_interval: float | None = None, quiet: bool = False) -> None:
        self.stream = sys.stderr
        self.live = self.stream.isatty()
        self.interval = None if quiet else 0.25 if self.live else piped_interval
        self._next = time.monotonic() + (self.interval or 0.0)
        self._drawn = False

    def update(self, text: Callable[[], str]) -> None:
        if self.interval is None or time.monotonic() < self._next:
            return
        self._next = time.monotonic() + self.interval
        if self.live:
            self.stream.write("\r\x1b[K" + text())
            self._drawn = True
        else:
            self.stream.write(text() + "\n")
        self.stream.flush()

    def finish(self, text: str) -> None:
        if self._drawn:
            self.stream.write("\r\x1b[K")
        self.stream.write(text + "\n")
        self.stream.flush()


class StopFlag:
    """Set by SIGINT or SIGTERM instead of raising, so that a loop can finish
    the chunk or packet in hand before it ends."""

    def __init__(self) -> None:
        self.set = False

    def __call__(self) -> bool:
        return self.set

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        self.set = True

    @contextmanager
    def on_signals(self) -> Iterator[None]:
        """Routes SIGINT and SIGTERM to this flag while the block runs."""
        saved = {sig: signal.signal(sig, self._handle) for sig in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for sig, old in saved.items():
                signal.signal(sig, old)

