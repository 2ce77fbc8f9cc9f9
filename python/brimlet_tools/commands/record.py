"""`record`: capture a serial port byte for byte into a recording."""

from __future__ import annotations

import argparse

from ..errors import PortHungUp
from ..files.outputs import check, open_output
from ..files.receive_times import TimesWriter, companion_path
from ..live.capture import CaptureReport, capture, close_port, open_port
from ..live.linewatch import HINT_AFTER
from ..wire.fields import COMMON_BAUDS
from . import options
from .common import Progress, StopFlag, ToolError, cannot, note, warn
from .fitted import CaptureClock, fitted_line

NAME = "record"
HELP = "Capture a serial port byte for byte into a recording, with the receive time of every read beside it."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add(p, "port", required=True)
    options.add(p, "output", required=True, help="the recording to write; the receive times go to PATH.times")
    options.add(p, "force")
    options.add(p, "baudrate")
    options.add(p, "seconds")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    check(args.output, recording=True, force=args.force)  # before the port is touched
    try:
        port = open_port(args.port, args.baudrate)
    except OSError as e:
        raise cannot("open port", args.port, e) from e
    stopping = StopFlag()
    progress = Progress(piped_interval=5.0, quiet=args.quiet)
    watch = Watch(args.port, args.baudrate)
    clock = CaptureClock()
    try:
        # Ctrl-C or SIGTERM is the normal end; whatever ends it, what was
        # captured is kept.
        with (
            open_output(args.output, recording=True, force=args.force, buffered=False, keep=True) as out,
            open_times(args.output, out.name) as times,
            stopping.on_signals(),
        ):
            note(f"recording {args.port} to {args.output}, receive times to {companion_path(args.output)}"
                 + ("" if args.seconds else "; Ctrl-C ends"))  # fmt: skip

            def tick(report: CaptureReport) -> None:
                watch.look(report)
                clock.look(report)
                progress.update(lambda: capture_line(report))

            report = capture(port.fileno(), out, args.seconds, stopping, tick, times)
    finally:
        close_port(port)
    ends = {"time": "", "stopped": " (stopped)", "hang-up": " (the port hung up)"}
    if not args.quiet:
        progress.finish(f"recorded {capture_line(report)} in {report.seconds:.1f} s{ends[report.ended]}")
        note(recorded_line(args.output) or fitted_line(clock.finish()))
    if report.ended == "hang-up":  # not the end asked for, whatever came before it is kept
        asked = "" if args.seconds is None else f" of the {args.seconds:g} s asked for"
        raise PortHungUp(args.port, f" after {report.seconds:.1f} s{asked}; what came until then is in {args.output}")
    return 0


class Watch:
    """Says once, as `dump` does, when a port has brought no frame for a
    while: bytes that make no frame (most often another line speed), or
    no byte at all."""

    def __init__(self, port: str, baudrate: int) -> None:
        self.port, self.baudrate = port, baudrate
        self.said = False

    def look(self, report: CaptureReport) -> None:
        c = report.counter
        if self.said or c.packets or report.seconds < HINT_AFTER:
            return
        self.said = True
        if c.total_bytes:
            warn(f"no valid frame from {self.port} in {report.seconds:.0f} s, yet bytes arrive "
                 f"({c.total_bytes} so far, none in a valid frame): the port likely runs at another speed than "
                 f"the device; check the baud rate: this reads at {self.baudrate}; units like this one are "
                 f"commonly set to {', '.join(map(str, COMMON_BAUDS))}")  # fmt: skip
        else:
            warn(f"nothing from {self.port} in {report.seconds:.0f} s: is the device connected, "
                 "powered and sending?")  # fmt: skip


def recorded_line(path: str) -> str | None:
    """The sample clock of the recording just written, fitted as `stats`
    fits it from its receive times, in the words of `fitted_line`; None
    where it cannot be loaded (numpy missing, or no frame in it)."""
    from ..recordings.recording import load
    from ..recordings.summary import timing_reports

    try:
        recording = load(path)
    except (ToolError, ImportError, OSError):
        return None
    parts = []
    for kind, r in timing_reports(recording).items():
        if not r["packets"]:
            continue
        gaps = r["gaps"]
        rate = "no fitted rate" if r["rate_hz"] is None else f"{r['rate_hz']:.3f} Hz ({r['drift_ppm']:+.1f} ppm)"
        missed = f"{gaps['count']} gap{'s' * (gaps['count'] != 1)}, {gaps['missing']} missing" if gaps["count"] else "no gap"
        parts.append(f"{kind} {rate}, {missed}")
    return "sample clock: " + ("; ".join(parts) if parts else "no packet")


def capture_line(report: CaptureReport) -> str:
    c = report.counter
    kinds = ", ".join(f"{t} {n}" for t, n in c.by_type().items())
    return f"{c.total_bytes} bytes, {c.packets} packets ({kinds})"


def open_times(recording: str, written_as: str) -> TimesWriter:
    """The receive-time file of `recording`, written beside the file its
    bytes go to (`written_as`), new and empty but for its header."""
    try:
        return TimesWriter(companion_path(written_as))
    except OSError as e:
        raise cannot("write", companion_path(recording), e) from e
