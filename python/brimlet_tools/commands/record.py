"""`record`: capture a serial port byte for byte into a recording."""

from __future__ import annotations

import argparse
import glob
import os
from contextlib import ExitStack
from typing import Any, BinaryIO

from ..errors import PortHungUp
from ..files.outputs import check, open_output
from ..files.receive_times import TimesWriter, companion_path
from ..live.capture import CaptureReport, Split, capture, close_port, open_port
from ..live.linewatch import HINT_AFTER
from ..wire.fields import COMMON_BAUDS
from . import options
from .common import StopFlag, ToolError, cannot, note, warn
from .fitted import CaptureClock, fitted_line
from .progress import Progress

NAME = "record"
HELP = "Capture a serial port byte for byte into a recording, with the receive time of every read beside it."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add(p, "port", required=True)
    options.add(p, "output", required=True, help="the recording to write; the receive times go to PATH.times")
    options.add(p, "force")
    options.add(p, "baudrate")
    options.add(p, "seconds")
    split = p.add_argument_group("split into parts (each a recording of its own, cut between frames)")
    options.add(split, "split_seconds")
    options.add(split, "split_size")
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    parts = Parts(args.output, args.force, split=args.split_seconds is not None or args.split_size is not None)
    parts.check()  # before the port is touched
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
        with parts, stopping.on_signals():
            out, times = parts.open()
            note(f"recording {args.port} to {parts.names[0]}, receive times to {companion_path(parts.names[0])}"
                 + (", then into new parts" if parts.split else "") + ("" if args.seconds else "; Ctrl-C ends"))  # fmt: skip

            def tick(report: CaptureReport) -> None:
                watch.look(report)
                clock.look(report)
                progress.update(lambda: capture_line(report))

            split = Split(args.split_seconds, args.split_size, parts.open) if parts.split else None
            try:
                report = capture(port, out, args.seconds, stopping, tick, times, split)
            except OSError as e:  # not a hang-up (an overrun): what came before it is kept
                raise cannot("read port", args.port, e) from e
    finally:
        close_port(port)
    ends = {"time": "", "stopped": " (stopped)", "hang-up": " (the port hung up)"}
    if not args.quiet:
        into = f" into {len(parts.names)} parts, {parts.names[0]} to {parts.names[-1]}" if len(parts.names) > 1 else ""
        progress.finish(f"recorded {capture_line(report)} in {report.seconds:.1f} s{ends[report.ended]}{into}")
        if len(parts.names) == 1:
            note(recorded_line(parts.names[0]) or fitted_line(clock.finish()))
        else:
            for name in parts.names:
                note(f"{name}: {recorded_line(name) or 'sample clock: not measured'}")
    if report.ended == "hang-up":  # not the end asked for, whatever came before it is kept
        asked = "" if args.seconds is None else f" of the {args.seconds:g} s asked for"
        kept = parts.names[0] if len(parts.names) == 1 else f"{parts.names[0]} to {parts.names[-1]}"
        raise PortHungUp(args.port, f" after {report.seconds:.1f} s{asked}; what came until then is in {kept}")
    return 0


class Parts:
    """The recordings a capture goes into: `output` itself, or, split,
    NAME_000.EXT, NAME_001.EXT, ... beside it, each with its receive times.
    A context: what is open is closed at its end."""

    def __init__(self, output: str, force: bool, split: bool) -> None:
        self.output, self.force, self.split = output, force, split
        self.names: list[str] = []
        self.stack = ExitStack()

    def name(self, index: int) -> str:
        if not self.split:
            return self.output
        stem, ext = os.path.splitext(self.output)
        return f"{stem}_{index:03d}{ext}"

    def check(self) -> None:
        """Refuses, before anything is opened, to write over a recording
        (any part of an earlier split one) unless forced."""
        check(self.name(0), recording=True, force=self.force)
        if self.split and not self.force:
            stem, ext = os.path.splitext(self.output)
            earlier = sorted(glob.glob(f"{glob.escape(stem)}_[0-9][0-9][0-9]{glob.escape(ext)}"))
            if earlier:
                raise ToolError(f"{earlier[0]} is there already, a part of an earlier recording: "
                                "give another name, or --force to replace the parts")  # fmt: skip

    def open(self) -> tuple[BinaryIO, TimesWriter]:
        """The next part and its receive times, the one before closed."""
        self.stack.close()
        name = self.name(len(self.names))
        if self.names:
            check(name, recording=True, force=self.force)
        out = self.stack.enter_context(open_output(name, recording=True, force=self.force, buffered=False, keep=True))
        times = self.stack.enter_context(open_times(name, out.name))
        self.names.append(name)
        return out, times

    def __enter__(self) -> Parts:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stack.__exit__(*exc)


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
