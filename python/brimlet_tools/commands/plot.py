"""`plot`: acceleration, angular rate, orientation and altitude into a picture."""

from __future__ import annotations

import argparse

from ..files.outputs import check, writing
from ..recordings.summary import estimated_note
from ..recordings.window import window
from . import options
from .common import StopFlag, ToolError, note, warn
from .progress import progress_bar
from .source import batches_of, kept_columns, live_signals, load_recording, reading_end

NAME = "plot"
HELP = "Draw acceleration, angular rate, orientation and altitude into a picture (PNG, SVG, PDF...)."


def add_arguments(p: argparse.ArgumentParser) -> None:
    from ..plot import PLOTTED

    options.add_source(p)
    options.add(p, "output", required=True,
                help="the picture to write, in the format its ending names (.png, .svg, .pdf, ...; none: PNG)")  # fmt: skip
    options.add(p, "fields", help=f"the fields to draw (default {','.join(PLOTTED)})")
    options.add_window(p)
    options.add(p, "assume_rate")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    from .. import plot

    fields = [f.name for f in args.fields] if args.fields else list(plot.PLOTTED)
    plot.check_output(args.output)  # fail early, before reading or making anything
    reads = [] if args.file is None else [args.file]
    check(args.output, reads)
    if args.port is not None and (args.start is not None or args.end is not None):
        raise ToolError("--start and --end apply to a recording; a port is read with --seconds")
    stop = StopFlag()
    # A recording is loaded at once and most of the time goes into drawing:
    # the bar counts the steps. From a port it counts the packets read.
    steps = plot.steps(fields)
    total, unit = (1 + steps, " steps") if args.file is not None else (None, " packets")
    with progress_bar("plot", total, unit, quiet=args.quiet) as advance:
        if args.file is not None:
            recording = window(load_recording(args.file, args.assume_rate), args.start, args.end)
            if not len(recording) and (args.start is not None or args.end is not None):
                warn(f"no packet of {args.file} lies between --start and --end")
            picture = plot.from_recording(recording, fields)
            advance(1)
            axis, title = "receive time", args.file
            if recording.times_estimated and len(recording):
                if not args.quiet:
                    warn(estimated_note(args.file, args.assume_rate))
                axis = f"estimated time (raw packets at {args.assume_rate:g} Hz)"
            drawn = advance
        else:
            batches = batches_of(args, stop)
            try:
                with live_signals(args, stop):
                    picture = plot.from_recording(kept_columns(batches, plot.columns(fields), advance), fields)
            finally:
                batches.close()
            axis, title, drawn = "receive time", args.port, (lambda n: None)
            if picture.start_ns is None:
                warn(f"no packet from {args.port}: the picture is empty")
        with writing(args.output, reads) as temporary:
            plot.render(picture, str(temporary), axis, title, drawn, fmt=plot.picture_format(args.output))
    if not args.quiet:
        note(f"wrote {args.output}")
    if args.port is not None:
        reading_end(batches)
    return 0
