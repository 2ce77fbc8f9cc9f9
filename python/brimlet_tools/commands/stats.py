"""`stats`: counts, time span, rates, timing and flagged fields of a
recording or a port, as lines or as one JSON object."""

from __future__ import annotations

import argparse
import json
from typing import Any

from ..errors import require
from ..recordings.recording import Recording
from ..recordings.summary import (
    Summary, count_line, flagged_lines, line_lines, live_span_lines, recording_span_lines, recording_summary,
    timing_lines, timing_reports,
)  # fmt: skip
from ..timing.stage import ClockStage
from ..wire.fields import LEADING_COLUMNS, PACKET_TYPES
from . import options
from .common import StopFlag
from .progress import progress_bar
from .source import batches_of, kept_columns, live_signals, load_recording, reading_end

NAME = "stats"
HELP = "Count packets; rates, drift, period, latency and gaps by kind; flagged fields."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_source(p, follow=True)
    options.add(p, "assume_rate")
    options.add(p, "json")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    if args.file is not None:
        recording_stats(args)
    else:
        live_stats(args)
    return 0


def live_stats(args: argparse.Namespace) -> None:
    """The report on the packets read from `args.port` in batches, their
    sample times given by the clock stage as they come. The columns the
    report needs are kept, and the report is made from them as from a
    recording's, with the clock's figures for the recording's fit."""
    require("numpy", "stats of a port", "numpy", "python3-numpy")
    stop, stage = StopFlag(), ClockStage()
    batches = batches_of(args, stop)
    try:
        with live_signals(args, stop), progress_bar("stats", None, quiet=args.quiet) as advance:
            read = Recording(kept_columns(stage(batches), LEADING_COLUMNS, advance), False, args.port)
    finally:
        batches.close()
    summary = recording_summary(read)
    reports = timing_reports(read, {kind: stage.stats(kind) for kind in PACKET_TYPES})
    if args.json:
        report = {"port": args.port, "packets": summary.total, "times": "received",
                  "span_s": summary.host_span(), "kinds": reports}  # fmt: skip
        print_json(report, summary)
    else:
        lines = [f"port: {args.port}", count_line(summary)] + live_span_lines(summary) + timing_lines(reports)
        print("\n".join(lines + flagged_lines(summary)))
    reading_end(batches)


def recording_stats(args: argparse.Namespace) -> None:
    """The report on the recording `args.file`, read and decoded once.
    Receive times that cannot be read leave the span and the timing
    unmeasured; the packets are counted all the same."""
    path, raw_rate = args.file, args.assume_rate
    damaged: list[str] = []
    recording = load_recording(path, raw_rate, times_damaged=damaged.append)
    with progress_bar("stats", len(recording), quiet=args.quiet) as advance:
        summary = recording_summary(recording)
        reports = timing_reports(recording)
        advance(len(recording))
    if args.json:
        scan = recording.scan
        report = {
            "recording": path, "bytes": scan.bytes, "outside_bytes": scan.outside,
            "bad_checksums": scan.bad_checksums, "other_frames": scan.other_frames,
            "unfinished_bytes": scan.unfinished, "packets": summary.total,
            "times": "estimated" if recording.times_estimated else "received",
            "times_unreadable": damaged[0] if damaged else None,
            "span_s": None if damaged or not summary.total else summary.host_span(), "kinds": reports,
        }  # fmt: skip
        print_json(report, summary)
        return
    span = [f"span: not measured ({damaged[0]})"] if damaged else recording_span_lines(recording, summary, raw_rate)
    lines = line_lines(path, recording) + [count_line(summary)] + span + timing_lines(reports)
    print("\n".join(lines + flagged_lines(summary)))


def print_json(report: dict[str, Any], summary: Summary) -> None:
    """`report` with the flagged fields of `summary`, as one JSON object."""
    report["flagged"] = {"packets": summary.flagged_packets, "fields": dict(sorted(summary.flagged.items()))}
    print(json.dumps(report, allow_nan=False))
