"""`plot`: acceleration, angular rate, orientation and altitude into a PNG."""

from __future__ import annotations

import argparse

from ..recordings.summary import estimated_note
from ..wire.fields import RAW_RATE
from .common import StopFlag, add_raw_rate, cannot, note
from .progress import progress_bar, tracked
from .source import add_source_options, live_signals, load_recording, packets_of, refuse_live_options

# The steps of plotting a recording, for the progress bar: loading it, then
# what `plot.render` counts.
STEPS = 1 + 5

NAME = "plot"
HELP = "Draw acceleration, angular rate, orientation and altitude into a PNG."


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_source_options(p)
    p.add_argument("--output", "-o", required=True, metavar="PNG",
                   help="the picture to write, in the format its ending names (.png, .svg, .pdf, ...)")  # fmt: skip
    add_raw_rate(p, RAW_RATE)
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no closing line")


def run(args: argparse.Namespace) -> int:
    from .. import plot

    plot.check_output(args.output)  # fail early, before reading anything
    stop = StopFlag()
    # A recording is loaded at once and most of the time goes into drawing:
    # the bar counts the steps. From a port it counts the packets read.
    steps, unit = (STEPS, " steps") if args.file is not None else (None, " packets")
    with progress_bar("plot", steps, unit, quiet=args.quiet) as advance:
        if args.file is not None:
            refuse_live_options(args)
            recording = load_recording(args.file, args.raw_rate)
            series = plot.from_recording(recording)
            advance(1)
            label, title = "receive time (s)", args.file
            if recording.times_estimated:
                if not args.quiet:
                    note(estimated_note(args.file, args.raw_rate))
                label = f"time (s), estimated: raw packets at {args.raw_rate:g} Hz"
            drawn = advance
        else:
            with live_signals(args, stop):
                series = plot.collect(tracked(packets_of(args, stop), advance))
            label, title, drawn = "host time (s)", args.port, (lambda n: None)
        try:
            plot.render(series, args.output, label, title, drawn)
        except OSError as e:
            raise cannot("write", args.output, e) from e
    if not args.quiet:
        print(f"wrote {args.output}")
    return 0

