"""`demo`: replay the sample recording that comes with brimlet_tools, or
another one, and summarise it."""

from __future__ import annotations

import argparse
from contextlib import AbstractContextManager, nullcontext
from pathlib import Path

from .. import sample
from ..errors import load_brimlet
from ..live.acquire import replay
from ..recordings.summary import count_line, flagged_lines, line_lines, recording_span_lines, recording_summary
from ..wire.fields import PACKET_TYPES, PacketLike
from . import options
from .common import ToolError
from .source import close_iterator, load_recording

NAME = "demo"
HELP = "Replay the bundled sample recording and summarise it."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_recording(p, "another recording (default: the bundled sample)", required=False)
    options.add(p, "assume_rate")


def run(args: argparse.Namespace) -> int:
    recording: AbstractContextManager[Path] = nullcontext(Path(args.file)) if args.file else sample.path()
    with recording as path:
        if not args.file and not path.is_file():  # an installation without its sample
            raise ToolError(f"no recording at {path}; name another one")
        show(path, args.assume_rate)  # another is read as every command reads one
    return 0


def show(path: Path, raw_rate: float) -> None:
    """The summary of the recording at `path`, decoded once into columns,
    and the first packet of each kind as the module replays it."""
    brimlet = load_brimlet()
    recording = load_recording(str(path), raw_rate)
    summary = recording_summary(recording)
    print(f"brimlet {brimlet.VERSION}: replaying {path} ({path.stat().st_size} bytes)")
    print(count_line(summary))
    for line in recording_span_lines(recording, summary, raw_rate) + flagged_lines(summary):
        print(line)
    for line in line_lines(str(path), recording)[1:]:
        print(line)
    for kind, packet in first_packets(path).items():
        print(f"first {kind} packet:\n  {packet}")


def first_packets(path: Path) -> dict[str, PacketLike]:
    """The first packet of each kind in the recording, in the order they
    come; the replay ends once it has them all."""
    first: dict[str, PacketLike] = {}
    packets = replay(path)
    try:
        for packet in packets:
            first.setdefault(packet.packet_type, packet)
            if len(first) == len(PACKET_TYPES):
                break
    finally:
        close_iterator(packets)
    return first
