"""`stats`: counts, time span, rates and flagged fields of a recording or a port."""

from __future__ import annotations

import argparse

from ..recordings.summary import (
    Summary, count_line, flagged_lines, line_lines, live_span_lines, recording_span_lines, recording_summary, summarize,
)  # fmt: skip
from . import options
from .common import StopFlag
from .progress import progress_bar, tracked
from .source import live_signals, load_recording, packets_of, reading_end

NAME = "stats"
HELP = "Count packets, time span, rates and flagged fields."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_source(p, follow=True)
    options.add(p, "assume_rate")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    if args.file is not None:
        lines, summary = recording_lines(args.file, args.assume_rate, args.quiet)
        print("\n".join(lines + flagged_lines(summary)))
        return 0
    stop = StopFlag()
    packets = packets_of(args, stop)
    with live_signals(args, stop), progress_bar("stats", None, quiet=args.quiet) as advance:
        summary = summarize(tracked(packets, advance))
    lines = [f"port: {args.port}", count_line(summary)] + live_span_lines(summary)
    print("\n".join(lines + flagged_lines(summary)))
    reading_end(packets)
    return 0


def recording_lines(path: str, raw_rate: float, quiet: bool) -> tuple[list[str], Summary]:
    """The lines on the recording at `path`, read and decoded once, and its
    summary. Receive times that cannot be read leave the span unmeasured;
    the packets are counted all the same."""
    damaged: list[str] = []
    recording = load_recording(path, raw_rate, times_damaged=damaged.append)
    with progress_bar("stats", len(recording), quiet=quiet) as advance:
        summary = recording_summary(recording)
        advance(len(recording))
    span = [f"span: not measured ({damaged[0]})"] if damaged else recording_span_lines(recording, summary, raw_rate)
    return line_lines(path, recording) + [count_line(summary)] + span, summary
