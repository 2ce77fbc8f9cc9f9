"""`generate`: write a simulated recording."""

from __future__ import annotations

import argparse
from collections import Counter

from ..sim import simulator
from ..wire.fields import ESTIMATED_RATE, RAW_RATE
from .common import Progress, open_output, seconds_type
from .simulation import add_stream_options, stream_config

NAME = "generate"
HELP = "Write a simulated recording."


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--output", "-o", required=True, metavar="PATH", help="file to write, - for standard output")
    p.add_argument("--seconds", type=seconds_type, default=10.0, metavar="S",
                   help="length of the recording in device time (default %(default)g)")  # fmt: skip
    add_stream_options(p, raw_rate=RAW_RATE, estimated_rate=ESTIMATED_RATE)


def run(args: argparse.Namespace) -> int:
    config = stream_config(args, args.seconds)
    progress = Progress()
    kinds: Counter[str] = Counter()
    size = 0
    with open_output(args.output) as out:
        for frame in simulator.simulate(config):
            out.write(frame.wire)
            size += len(frame.wire)
            kinds[frame.packet_type] += 1
            kinds["faulty"] += not frame.intact
            kinds["flagged"] += len(frame.invalid)
            progress.update(lambda: f"generating: {frame.time:.1f} of {args.seconds:g} s")
    progress.finish(
        f"wrote {size} bytes to {args.output}: {kinds['raw'] + kinds['estimated']} frames "
        f"({kinds['raw']} raw, {kinds['estimated']} estimated), {kinds['faulty']} hit by line faults, "
        f"{kinds['flagged']} fields flagged not valid"
    )
    return 0
