"""`demo`: replay the sample recording that comes with brimlet_tools, or
another one, and summarise it."""

from __future__ import annotations

import argparse
from contextlib import AbstractContextManager, nullcontext
from pathlib import Path

from .. import sample
from ..errors import load_brimlet
from ..live.acquire import replay
from ..recordings.summary import count_line, flagged_lines, recording_span_lines, summarize
from . import options
from .common import ToolError
from .source import line_lines

NAME = "demo"
HELP = "Replay the bundled sample recording and summarise it."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_recording(p, "another recording (default: the bundled sample)", required=False)
    options.add(p, "assume_rate")


def run(args: argparse.Namespace) -> int:
    recording: AbstractContextManager[Path] = nullcontext(Path(args.file)) if args.file else sample.path()
    with recording as path:
        if not path.is_file():
            raise ToolError(f"no recording at {path}" + ("; name another one" if not args.file else ""))
        show(path, args.assume_rate)
    return 0


def show(path: Path, raw_rate: float) -> None:
    brimlet = load_brimlet()
    summary = summarize(replay(path))
    print(f"brimlet {brimlet.VERSION}: replaying {path} ({path.stat().st_size} bytes)")
    print(count_line(summary))
    for line in recording_span_lines(str(path), raw_rate) + flagged_lines(summary):
        print(line)
    for line in line_lines(str(path))[1:]:
        print(line)
    for kind, packet in summary.first.items():
        print(f"first {kind} packet:\n  {packet}")
