"""What the commands share: the progress line, Ctrl-C as a stop request,
and errors reported as one line (outputs are opened through `files.outputs`).

A command reports a failure by raising `ToolError` with the text to show;
the dispatcher prints it as one line and exits with the error's status (1).
Bad command-line input goes through `args.parser.error` (status 2).
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from types import FrameType
from typing import Any

from ..errors import ToolError, cannot

__all__ = ["ToolError", "cannot"]

# How the tool names itself in its messages.
PROG = "brimlet" if Path(sys.argv[0]).name == "brimlet" else "python -m brimlet_tools"


# --- messages -----------------------------------------------------------------------


def note(text: str) -> None:
    """A line on stderr, at once: closing lines, progress, messages."""
    print(text, file=sys.stderr, flush=True)


def warn(text: str) -> None:
    """A warning: one line on stderr, `brimlet: warning: ...`."""
    note(f"{PROG}: warning: {text}")


@contextmanager
def one_line_warnings() -> Iterator[None]:
    """While the block runs, a Python warning (such as receive times that
    do not belong) is shown as `warn` shows one, without its source line."""
    saved = warnings.showwarning

    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: object = None, line: str | None = None) -> None:  # fmt: skip
        warn(str(message))

    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = saved

# --- progress and stopping ---------------------------------------------------------------


class Progress:
    """A status line on stderr. On a terminal it is redrawn in place at most
    four times a second, by tqdm as every progress bar is (by hand without
    it); otherwise a line is written every `piped_interval` seconds, or
    never. `quiet` leaves only the final line."""

    def __init__(self, piped_interval: float | None = None, quiet: bool = False) -> None:
        self.stream = sys.stderr
        self.live = self.stream.isatty()
        self.interval = None if quiet else 0.25 if self.live else piped_interval
        self._next = time.monotonic() + (self.interval or 0.0)
        self._drawn = False
        self._bar: Any = None

    def update(self, text: Callable[[], str]) -> None:
        if self.interval is None or time.monotonic() < self._next:
            return
        self._next = time.monotonic() + self.interval
        if self.live and self.status_bar() is not None:
            self._bar.set_description_str(text(), refresh=True)
            return
        if self.live:
            self.stream.write("\r\x1b[K" + text())
            self._drawn = True
        else:
            self.stream.write(text() + "\n")
        self.stream.flush()

    def status_bar(self) -> Any:
        """tqdm's line that shows a text alone, made on first use; None
        without tqdm."""
        if self._bar is None:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped]
            except ImportError:
                return None
            self._bar = tqdm(total=None, bar_format="{desc}", file=self.stream, leave=False, dynamic_ncols=True,
                             mininterval=0)  # fmt: skip
        return self._bar

    def finish(self, text: str) -> None:
        if self._bar is not None:
            self._bar.close()  # and its line is gone
        elif self._drawn:
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

