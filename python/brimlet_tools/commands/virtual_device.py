"""`virtual-device`: play a simulated device on a pseudo-terminal."""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any
from contextlib import contextmanager

from ..recordings.playback import Piece, played_recording
from ..recordings.window import rows
from ..sim import simulator
from ..sim.virtual_device import DRAIN_LIMIT, STALE_AFTER, PlayReport, VirtualDevice, line_warning
from . import options
from .common import StopFlag, cannot, note
from .source import load_recording

NAME = "virtual-device"
HELP = "Play a simulated device, or a recording, on a pseudo-terminal; prints the port to open."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add(p, "baudrate", help="line speed that paces the stream, 10 bits per byte (default %(default)s)")
    options.add(p, "seconds", help="play for this many seconds of wall-clock time (default: until Ctrl-C)")
    options.add(p, "quiet")
    p.add_argument("--link", metavar="PATH", help="also make a symbolic link to the port here")
    p.add_argument("--keep-unread", action="store_true",
                   help="keep what nobody reads in the port's queue (about 4 KiB) instead of discarding "
                   f"it after {STALE_AFTER:g} s, as a closed real port would")  # fmt: skip
    recorded = p.add_argument_group("a recording instead of the simulated device")
    options.add_recording(p, "play this recording byte for byte, at the pace of its receive times (at the "
                          "line's pace when it has none); the simulated stream's options do not apply",
                          required=False)  # fmt: skip
    options.add(recorded, "speed")
    recorded.add_argument("--loop", action="store_true", help="start the recording again at its end")
    options.add_window(p)
    options.add_stream(p)
    p.add_argument("--truth", metavar="PATH",
                   help="for tests and benchmarks: write each frame's kind, sample time (ns since the epoch), "
                   "line fault and how late it went out here, one CSV line per frame sent")  # fmt: skip


def run(args: argparse.Namespace) -> int:
    if args.file is None and (args.speed != 1.0 or args.loop):
        args.parser.error("--speed and --loop apply to a recording only")
    if args.file is not None and args.truth is not None:
        args.parser.error("--truth applies to the simulated device only")
    stream, description = recorded(args) if args.file is not None else simulated(args)
    report = PlayReport()
    stop = StopFlag()
    stale_after = None if args.keep_unread else STALE_AFTER
    with VirtualDevice(args.baudrate, stale_after) as device, stop.on_signals():
        with symlink(args.link, device.path):
            print(args.link or device.path, flush=True)
            note(f"virtual device on {device.path} at {args.baudrate} baud: {description}; Ctrl-C ends")
            with truth_writer(args.truth) as sent:
                device.play(stream, stop=until(args.seconds, stop), report=report, sent=sent)
            device.drain(DRAIN_LIMIT, stop)
    if not args.quiet:
        note(f"sent {report.frames} frames, {report.bytes_sent} bytes"
             + (f" ({report.bytes_dropped} dropped: nobody was reading)" if report.bytes_dropped else ""))  # fmt: skip
    return 0


@contextmanager
def truth_writer(path: str | None) -> Iterator[Callable[[Any, int], None] | None]:
    """What `play` calls with each frame sent and its sample time, writing
    `kind,sample_time_ns,fault,late_ns` lines to `path` (late_ns: how long
    after its sample time the frame went out); None without a path."""
    if path is None:
        yield None
        return
    try:
        out = open(path, "w", encoding="ascii")
    except OSError as e:
        raise cannot("write", path, e) from e
    with out:
        out.write("kind,sample_time_ns,fault,late_ns\n")

        def sent(frame: Any, ns: int) -> None:
            out.write(f"{frame.packet_type},{ns},{frame.fault or ''},{time.time_ns() - ns}\n")

        yield sent


def until(seconds: float | None, stop: StopFlag) -> Callable[[], bool]:
    """`stop`, which also says to stop once `seconds` of wall-clock time
    have passed from now."""
    if seconds is None:
        return stop
    deadline = time.monotonic() + seconds
    return lambda: stop() or time.monotonic() >= deadline


def simulated(args: argparse.Namespace) -> tuple[Iterable[simulator.SimFrame], str]:
    """The simulated stream that the options describe, and its description."""
    config = options.stream_config(args, None)
    warning = stream_warning(config, args.baudrate)
    if warning:
        note(warning)
    return simulator.simulate(config), (f"profile {config.profile}, raw {config.raw_rate:g} Hz, "
                                        f"estimated {config.estimated_rate:g} Hz")  # fmt: skip


def recorded(args: argparse.Namespace) -> tuple[Iterable[Piece], str]:
    """The recording named by --file, paced as asked, and its description."""
    recording = load_recording(args.file)
    stream, description, warning = played_recording(recording, args.baudrate, args.speed, args.loop,
                                                    rows(recording, args.start, args.end))  # fmt: skip
    if warning:
        note(warning)
    return stream, description


def frame_sizes(config: simulator.StreamConfig) -> dict[str, int]:
    """Bytes per frame of each kind, from the first frames of the stream."""
    sizes: dict[str, int] = {}
    for frame in simulator.simulate(config):
        sizes.setdefault(frame.packet_type, len(frame.frame))
        if len(sizes) == 2 or frame.index > 100:
            break
    return sizes


def stream_warning(config: simulator.StreamConfig, baudrate: int) -> str | None:
    """A warning when the baud rate cannot carry the stream in real time."""
    sizes = frame_sizes(config)
    needed = config.raw_rate * sizes.get("raw", 0) + config.estimated_rate * sizes.get("estimated", 0)
    return line_warning(baudrate, needed, "the stream", "raise --baudrate or lower the rates")


@contextmanager
def symlink(link: str | None, target: str) -> Iterator[None]:
    """A symbolic link at `link` (if given) to `target` while the block runs."""
    if link:
        try:
            if os.path.islink(link):
                os.unlink(link)
            os.symlink(target, link)
        except OSError as e:
            raise cannot("make link", link, e) from e
    try:
        yield
    finally:
        if link and os.path.islink(link) and os.readlink(link) == target:
            os.unlink(link)
