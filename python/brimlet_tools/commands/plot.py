"""`plot`: acceleration, angular rate, orientation and altitude into a PNG."""

from __future__ import annotations

import argparse

from .common import StopFlag, add_raw_rate, cannot, note
from .source import add_source_options, live_signals, packets_of

NAME = "plot"
HELP = "Draw acceleration, angular rate, orientation and altitude into a PNG."


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_source_options(p)
    p.add_argument("--output", "-o", required=True, metavar="PNG", help="the picture to write")
    add_raw_rate(p, None)


def run(args: argparse.Namespace) -> int:
    from .. import plot

    plot.load_pyplot()  # fail early, before reading anything
    stop = StopFlag()
    with live_signals(args, stop):
        if args.file is not None:
            rate = args.raw_rate
            label = "raw packet number" if rate is None else f"device time (s), raw packets at {rate:g} Hz"
            series = plot.collect(packets_of(args, stop), 1.0 if rate is None else rate)
            title = args.file
        else:
            series = plot.collect(packets_of(args, stop), None)
            label, title = "host time (s)", args.port
    try:
        plot.render(series, args.output, label, title)
    except OSError as e:
        raise cannot("write", args.output, e) from e
    note(f"wrote {args.output}")
    return 0
