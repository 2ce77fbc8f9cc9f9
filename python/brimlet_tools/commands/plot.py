"""`plot`: acceleration, angular rate, orientation and altitude into a PNG."""

from __future__ import annotations

import argparse

from ..files.outputs import check, writing
from ..recordings.summary import estimated_note
from . import options
from .common import StopFlag, note
from .progress import progress_bar, tracked
from .source import live_signals, load_recording, packets_of, reading_end

# The steps of plotting a recording, for the progress bar: loading it, then
# what `plot.render` counts.
STEPS = 1 + 5

NAME = "plot"
HELP = "Draw acceleration, angular rate, orientation and altitude into a PNG."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_source(p)
    options.add(p, "output", required=True,
                help="the picture to write, in the format its ending names (.png, .svg, .pdf, ...)")  # fmt: skip
    options.add(p, "assume_rate")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    from .. import plot

    plot.check_output(args.output)  # fail early, before reading anything
    reads = [] if args.file is None else [args.file]
    check(args.output, reads)
    stop = StopFlag()
    # A recording is loaded at once and most of the time goes into drawing:
    # the bar counts the steps. From a port it counts the packets read.
    steps, unit = (STEPS, " steps") if args.file is not None else (None, " packets")
    with progress_bar("plot", steps, unit, quiet=args.quiet) as advance:
        if args.file is not None:
            recording = load_recording(args.file, args.assume_rate)
            series = plot.from_recording(recording)
            advance(1)
            label, title = "receive time (s)", args.file
            if recording.times_estimated:
                if not args.quiet:
                    note(estimated_note(args.file, args.assume_rate))
                label = f"time (s), estimated: raw packets at {args.assume_rate:g} Hz"
            drawn = advance
        else:
            packets = packets_of(args, stop)
            with live_signals(args, stop):
                series = plot.collect(tracked(packets, advance))
            label, title, drawn = "host time (s)", args.port, (lambda n: None)
        with writing(args.output, reads) as temporary:
            plot.render(series, str(temporary), label, title, drawn)
    if not args.quiet:
        print(f"wrote {args.output}")
    if args.port is not None:
        reading_end(packets)
    return 0

