"""`demo`: replay the bundled sample recording and summarise it."""

from __future__ import annotations

import argparse
from pathlib import Path

from ..acquire import load_brimlet, replay
from ..summary import count_line, flagged_lines, recording_span_lines, summarize
from .common import ToolError, add_raw_rate
from .source import line_lines

NAME = "demo"
HELP = "Replay the bundled sample recording and summarise it."

SAMPLE_PATH = Path(__file__).resolve().parents[3] / "data" / "sample.bin"
SAMPLE_RAW_RATE = 1000.0
# The arguments of `generate` that made the sample; a test holds the file to them.
SAMPLE_ARGUMENTS: tuple[str, ...] = (
    "--profile", "turn-and-climb", "--seconds", "10", "--seed", "1",
    "--raw-rate", "1000", "--estimated-rate", "100", "--invalid-rate", "0.01",
    "--garbage-rate", "0.002", "--drop-rate", "0.001", "--damage-rate", "0.001",
)  # fmt: skip


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--file", metavar="PATH", help=f"another recording (default {SAMPLE_PATH})")
    add_raw_rate(p, SAMPLE_RAW_RATE)


def run(args: argparse.Namespace) -> int:
    path = Path(args.file) if args.file else SAMPLE_PATH
    if not path.is_file():
        raise ToolError(f"no recording at {path}; give one with --file")
    brimlet = load_brimlet()
    summary = summarize(replay(path))
    print(f"brimlet {brimlet.VERSION}: replaying {path} ({path.stat().st_size} bytes)")
    print(count_line(summary))
    for line in recording_span_lines(summary, args.raw_rate) + flagged_lines(summary):
        print(line)
    for line in line_lines(str(path))[1:]:
        print(line)
    for kind, packet in summary.first.items():
        print(f"first {kind} packet:\n  {packet}")
    return 0
