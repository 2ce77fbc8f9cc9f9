"""`record`: capture a serial port byte for byte into a recording."""

from __future__ import annotations

import argparse

from ..capture import CaptureReport, capture, close_port, open_port
from .common import DEFAULT_BAUD, Progress, StopFlag, cannot, note, open_output, seconds_type, standard_baud_type

NAME = "record"
HELP = "Capture a serial port byte for byte into a recording."


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--port", required=True, metavar="PATH", help="the serial port")
    p.add_argument("--output", "-o", required=True, metavar="PATH", help="the recording to write")
    p.add_argument("--baudrate", type=standard_baud_type, default=DEFAULT_BAUD, metavar="N",
                   help="line speed, a standard one (default %(default)s)")
    p.add_argument("--seconds", type=seconds_type, default=None, metavar="S",
                   help="record this long (default: until Ctrl-C)")
    p.add_argument("--quiet", "-q", action="store_true", help="no running count")  # fmt: skip


def run(args: argparse.Namespace) -> int:
    try:
        fd = open_port(args.port, args.baudrate)
    except OSError as e:
        raise cannot("open port", args.port, e) from e
    stopping = StopFlag()
    progress = Progress(piped_interval=5.0, quiet=args.quiet)
    try:
        with open_output(args.output, buffered=False) as out, stopping.on_signals():
            note(f"recording {args.port} to {args.output}" + ("" if args.seconds else "; Ctrl-C ends"))
            report = capture(fd, out, args.seconds, stopping, lambda r: progress.update(lambda: capture_line(r)))
    finally:
        close_port(fd)
    ends = {"time": "", "stopped": " (stopped)", "hang-up": " (the port hung up)"}
    progress.finish(f"recorded {capture_line(report)} in {report.seconds:.1f} s{ends[report.ended]}")
    return 0


def capture_line(report: CaptureReport) -> str:
    c = report.counter
    kinds = ", ".join(f"{t} {n}" for t, n in c.by_type().items())
    return f"{c.total_bytes} bytes, {c.packets} packets ({kinds})"
