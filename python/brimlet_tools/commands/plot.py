"""`plot`: acceleration, angular rate, orientation and altitude into a PNG."""

from __future__ import annotations

import argparse

from ..recording import Recording, load
from ..sample import RAW_RATE
from ..summary import estimated_note
from .common import StopFlag, add_raw_rate, cannot, note
from .source import add_source_options, live_signals, packets_of, refuse_live_options

NAME = "plot"
HELP = "Draw acceleration, angular rate, orientation and altitude into a PNG."


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_source_options(p)
    p.add_argument("--output", "-o", required=True, metavar="PNG", help="the picture to write")
    add_raw_rate(p, RAW_RATE)


def run(args: argparse.Namespace) -> int:
    from .. import plot

    plot.load_pyplot()  # fail early, before reading anything
    stop = StopFlag()
    if args.file is not None:
        refuse_live_options(args)
        recording = load_recording(args.file, args.raw_rate)
        series = plot.from_recording(recording)
        label, title = "receive time (s)", args.file
        if recording.times_estimated:
            note(estimated_note(args.file, args.raw_rate))
            label = f"time (s), estimated: raw packets at {args.raw_rate:g} Hz"
    else:
        with live_signals(args, stop):
            series = plot.collect(packets_of(args, stop))
        label, title = "host time (s)", args.port
    try:
        plot.render(series, args.output, label, title)
    except OSError as e:
        raise cannot("write", args.output, e) from e
    note(f"wrote {args.output}")
    return 0


def load_recording(path: str, raw_rate: float) -> Recording:
    try:
        return load(path, raw_rate)
    except OSError as e:
        raise cannot("read recording", path, e) from e
