"""The command-line tool, `brimlet COMMAND` or `python -m brimlet_tools COMMAND`.

Commands: generate (write a simulated recording), virtual-device (play a
simulated device on a pseudo-terminal), dump (packets as text, CSV or JSON
lines), export (a recording as Parquet, HDF5, a ROS 2 bag, CSV or JSON
lines), record (capture a port byte for byte), stats (counts, spans, rates,
flagged fields), plot (a PNG of the motion), monitor (a live view of a
line's health), serve (the live view for Foxglove), ports (the serial ports and
what identifies them) and demo (replay the bundled sample recording). Each
lives in its own module under `commands`; this one holds the top-level
parser and the dispatch.

Exit status: 0 on success, 1 when the work fails (a file or port that
cannot be opened, a missing module), 2 for bad command-line input, 130 when
Ctrl-C (SIGINT) cuts work short and 143 when SIGTERM does: 128 and the
signal's number, what a shell reports for a program the signal ended, so the
status is the same whether the signal came before the handlers were in place
or after. For record, virtual-device, monitor and a followed port, either
signal is the normal way to end, with status 0.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import platform
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from types import FrameType
from typing import Any, Protocol

from .commands import demo, dump, export, generate, monitor, options, plot, ports, record, serve, stats, virtual_device
from .commands.common import PROG, ToolError, note, one_line_warnings
from .files.outputs import write_errors
from .errors import load_brimlet

__all__ = ["build_parser", "main"]


class Command(Protocol):
    """What a command module provides (see `commands`)."""

    NAME: str
    HELP: str

    def add_arguments(self, p: argparse.ArgumentParser, /) -> None: ...
    def run(self, args: argparse.Namespace, /) -> int: ...


# In the order that --help lists them.
COMMANDS: tuple[Command, ...] = (generate, virtual_device, dump, export, record, stats, plot, monitor, serve, ports,
                                 demo)  # fmt: skip

# The installed console script is "brimlet"; from a checkout it is run as a module.


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Tools for brimlet: simulate, record, inspect.")
    parser.add_argument("--version", action=VersionAction, help="show the versions and where the module is, and exit")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        p = subparsers.add_parser(command.NAME, help=command.HELP, description=command.HELP)
        command.add_arguments(p)
        options.add_renamed(p, command.NAME)
        p.set_defaults(run=command.run, parser=p)
    return parser


class VersionAction(argparse.Action):
    """--version: worked out only when asked, since it imports the module."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        print(version_line())
        parser.exit()


def version_line() -> str:
    """The installed version, and which module this tool would load."""
    try:
        installed = importlib.metadata.version("brimlet")
    except importlib.metadata.PackageNotFoundError:
        installed = None
    try:
        module = load_brimlet()
    except ToolError as e:
        module_text = f"module not importable: {e}"
    else:
        module_text = f"module {module.VERSION} from {module.__file__}"
        installed = installed or module.VERSION
    return f"brimlet {installed or 'unknown'} ({module_text}; Python {platform.python_version()})"


class Terminated(KeyboardInterrupt):
    """SIGTERM, which ends work the way Ctrl-C does: what is in hand is
    finished or cleaned up on the way out."""


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated


@contextmanager
def sigterm_as_interrupt() -> Iterator[None]:
    """Turns SIGTERM into `Terminated` while the block runs, unless the
    process already handles or ignores it."""
    if signal.getsignal(signal.SIGTERM) != signal.SIG_DFL:
        yield
        return
    signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def main(argv: Sequence[str] | None = None) -> int:
    """The console script `brimlet` and `python -m brimlet_tools`."""
    args = build_parser().parse_args(argv)
    options.check(args)
    try:
        with sigterm_as_interrupt(), one_line_warnings():
            status: int = args.run(args)
            # What standard output still holds goes out now, so that a
            # failure to write it is reported here and not at exit.
            with write_errors("standard output"):
                sys.stdout.flush()
            return status
    except ToolError as e:
        note(f"{PROG}: error: {e}")
        drop_unwritable_stdout()
        return 1
    except Terminated:
        note(f"\n{PROG}: terminated")
        return 128 + signal.SIGTERM
    except KeyboardInterrupt:
        note(f"\n{PROG}: interrupted")
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # The reader of standard output went away (a pager, head): stop
        # quietly, and keep the interpreter's final flush from failing.
        discard_stdout()
        return 0


def discard_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's
    final flush of what it holds succeeds."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def drop_unwritable_stdout() -> None:
    """After an error: if what standard output holds cannot be written (a
    full disk, a closed pipe), drops it instead of failing again at exit."""
    try:
        sys.stdout.flush()
    except OSError:
        discard_stdout()
