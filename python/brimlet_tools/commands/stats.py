"""`stats`: counts, time span, rates and flagged fields of a recording or a port."""

from __future__ import annotations

import argparse

from ..recordings.summary import count_line, flagged_lines, live_span_lines, recording_span_lines, summarize
from . import options
from .common import StopFlag
from .progress import packet_total, progress_bar, tracked
from .source import line_lines, live_signals, packets_of, reading_end

NAME = "stats"
HELP = "Count packets, time span, rates and flagged fields."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_source(p, follow=True)
    options.add(p, "assume_rate")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    stop = StopFlag()
    total = (lambda: packet_total(args.file)) if args.file is not None else None
    packets = packets_of(args, stop)
    with live_signals(args, stop), progress_bar("stats", total, quiet=args.quiet) as advance:
        summary = summarize(tracked(packets, advance))
    if args.file is not None:
        lines = line_lines(args.file) + [count_line(summary)] + recording_span_lines(args.file, args.assume_rate)
    else:
        lines = [f"port: {args.port}", count_line(summary)] + live_span_lines(summary)
    print("\n".join(lines + flagged_lines(summary)))
    reading_end(packets)
    return 0
