"""What the commands share: messages, Ctrl-C as a stop request, and errors
reported as one line (outputs are opened through `files.outputs`, progress
is drawn by `progress`).

A command reports a failure by raising `ToolError` with the text to show;
the dispatcher prints it as one line and exits with the error's status (1).
Bad command-line input goes through `args.parser.error` (status 2).
"""

from __future__ import annotations

import argparse
import signal
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from types import FrameType

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

# --- stopping ---------------------------------------------------------------------------


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

