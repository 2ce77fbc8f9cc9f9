"""`generate`: write a simulated recording."""

from __future__ import annotations

import argparse
from collections import Counter

from ..files.outputs import STANDARD_OUTPUT, check, open_output
from ..sim import simulator
from . import options
from .progress import Progress

NAME = "generate"
HELP = "Write a simulated recording."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add(p, "output", required=True)
    options.add(p, "force")
    options.add(p, "duration")
    options.add(p, "quiet")
    options.add_stream(p)


def run(args: argparse.Namespace) -> int:
    if args.output != STANDARD_OUTPUT:
        check(args.output, recording=True, force=args.force)
    config = options.stream_config(args, args.duration)
    progress = Progress(quiet=args.quiet)
    kinds: Counter[str] = Counter()
    size = 0
    with open_output(args.output, recording=True, force=args.force) as out:
        for frame in simulator.simulate(config):
            out.write(frame.wire)
            size += len(frame.wire)
            kinds[frame.packet_type] += 1
            kinds["faulty"] += not frame.intact
            kinds["flagged"] += len(frame.invalid)
            progress.update(lambda: f"generating: {frame.time:.1f} of {args.duration:g} s")
    if args.quiet:
        return 0
    progress.finish(
        f"wrote {size} bytes to {args.output}: {kinds['raw'] + kinds['estimated']} frames "
        f"({kinds['raw']} raw, {kinds['estimated']} estimated), {kinds['faulty']} hit by line faults, "
        f"{kinds['flagged']} fields flagged not valid"
    )
    return 0
