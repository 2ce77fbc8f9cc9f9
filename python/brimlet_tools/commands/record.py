"""`record`: capture a serial port byte for byte into a recording."""

from __future__ import annotations

import argparse

from ..files.receive_times import TimesWriter, companion_path
from ..live.capture import CaptureReport, capture, close_port, open_port
from . import options
from .common import Progress, StopFlag, cannot, note, open_output

NAME = "record"
HELP = "Capture a serial port byte for byte into a recording, with the receive time of every read beside it."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add(p, "port", required=True)
    options.add(p, "output", required=True, help="the recording to write; the receive times go to PATH.times")
    options.add(p, "baudrate")
    options.add(p, "seconds")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    try:
        port = open_port(args.port, args.baudrate)
    except OSError as e:
        raise cannot("open port", args.port, e) from e
    stopping = StopFlag()
    progress = Progress(piped_interval=5.0, quiet=args.quiet)
    try:
        with open_output(args.output, buffered=False) as out, open_times(args.output) as times, stopping.on_signals():
            note(f"recording {args.port} to {args.output}, receive times to {times.path}"
                 + ("" if args.seconds else "; Ctrl-C ends"))  # fmt: skip
            report = capture(port.fileno(), out, args.seconds, stopping,
                             lambda r: progress.update(lambda: capture_line(r)), times)  # fmt: skip
    finally:
        close_port(port)
    ends = {"time": "", "stopped": " (stopped)", "hang-up": " (the port hung up)"}
    if not args.quiet:
        progress.finish(f"recorded {capture_line(report)} in {report.seconds:.1f} s{ends[report.ended]}")
    return 0


def capture_line(report: CaptureReport) -> str:
    c = report.counter
    kinds = ", ".join(f"{t} {n}" for t, n in c.by_type().items())
    return f"{c.total_bytes} bytes, {c.packets} packets ({kinds})"


def open_times(recording: str) -> TimesWriter:
    """The receive-time file of `recording`, new and empty but for its header."""
    path = companion_path(recording)
    try:
        return TimesWriter(path)
    except OSError as e:
        raise cannot("write", path, e) from e
