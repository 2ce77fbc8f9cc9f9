"""The command-line tool, `brimlet COMMAND` or `python -m brimlet_tools COMMAND`.

Commands: generate (write a simulated recording), virtual-device (play a
simulated device on a pseudo-terminal), dump (packets as text, CSV or JSON
lines), record (capture a port byte for byte), stats (counts, spans, rates,
flagged fields), plot (a PNG of the motion) and demo (replay the bundled
sample recording). Each lives in its own module under `commands`; this one
holds the top-level parser and the dispatch.

Exit status: 0 on success, 1 when the work fails (a file or port that
cannot be opened, a missing module), 2 for bad command-line input, 130 when
Ctrl-C cuts work short. For record, virtual-device and a followed port,
Ctrl-C is the normal way to end, with status 0.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import Protocol

from .commands import demo, dump, generate, plot, record, stats, virtual_device
from .commands.common import ToolError, note
from .commands.demo import SAMPLE_ARGUMENTS, SAMPLE_PATH

__all__ = ["SAMPLE_ARGUMENTS", "SAMPLE_PATH", "build_parser", "main", "terminate"]


class Command(Protocol):
    """What a command module provides (see `commands`)."""

    NAME: str
    HELP: str

    def add_arguments(self, p: argparse.ArgumentParser, /) -> None: ...
    def run(self, args: argparse.Namespace, /) -> int: ...


# In the order that --help lists them.
COMMANDS: tuple[Command, ...] = (generate, virtual_device, dump, record, stats, plot, demo)

# The installed console script is "brimlet"; from a checkout it is run as a module.
PROG = "brimlet" if Path(sys.argv[0]).name == "brimlet" else "python -m brimlet_tools"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Tools for brimlet: simulate, record, inspect.")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        p = subparsers.add_parser(command.NAME, help=command.HELP, description=command.HELP)
        command.add_arguments(p)
        p.set_defaults(run=command.run, parser=p)
    return parser


def terminate(signum: int, frame: FrameType | None) -> None:
    """SIGTERM ends work the way Ctrl-C does (installed by __main__)."""
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except ToolError as e:
        note(f"{PROG}: error: {e}")
        return 1
    except KeyboardInterrupt:
        note(f"\n{PROG}: interrupted")
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (a pager, head): stop
        # quietly, and keep the interpreter's final flush from failing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
