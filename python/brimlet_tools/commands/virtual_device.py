"""`virtual-device`: play a simulated device on a pseudo-terminal."""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager

from ..recordings.playback import Piece, played_recording
from ..sim import simulator
from ..sim.virtual_device import DRAIN_LIMIT, STALE_AFTER, PlayReport, VirtualDevice
from ..wire.fields import ESTIMATED_RATE, RAW_RATE
from .common import DEFAULT_BAUD, StopFlag, baud_type, cannot, note, number, seconds_type
from .simulation import add_stream_options, stream_config
from .source import load_recording

NAME = "virtual-device"
HELP = "Play a simulated device, or a recording, on a pseudo-terminal; prints the port to open."


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--baudrate", type=baud_type, default=DEFAULT_BAUD, metavar="N",
                   help="line speed that paces the stream, 10 bits per byte (default %(default)s)")
    p.add_argument("--seconds", type=seconds_type, default=None, metavar="S",
                   help="play this long (default: until Ctrl-C)")
    p.add_argument("--link", metavar="PATH", help="also make a symbolic link to the port here")
    p.add_argument("--keep-unread", action="store_true",
                   help="keep what nobody reads in the port's queue (about 4 KiB) instead of discarding "
                   f"it after {STALE_AFTER:g} s, as a closed real port would")  # fmt: skip
    recorded = p.add_argument_group("a recording instead of the simulated device")
    recorded.add_argument("--file", metavar="PATH",
                          help="play this recording byte for byte, at the pace of its receive times (at the "
                          "line's pace when it has none); the simulated stream's options do not apply")
    recorded.add_argument("--speed", type=speed_type, default=1.0, metavar="X",
                          help="play X times as fast as recorded (default %(default)g)")
    recorded.add_argument("--loop", action="store_true", help="start the recording again at its end")
    add_stream_options(p, raw_rate=RAW_RATE, estimated_rate=ESTIMATED_RATE)


def speed_type(text: str) -> float:
    return number(text, 0.0, low_ok=False, high=1e6)


def run(args: argparse.Namespace) -> int:
    if args.file is None and (args.speed != 1.0 or args.loop):
        args.parser.error("--speed and --loop apply to --file only")
    stream, description = recorded(args) if args.file is not None else simulated(args)
    report = PlayReport()
    stop = StopFlag()
    stale_after = None if args.keep_unread else STALE_AFTER
    with VirtualDevice(args.baudrate, stale_after) as device, stop.on_signals():
        with symlink(args.link, device.path):
            print(args.link or device.path, flush=True)
            note(f"virtual device on {device.path} at {args.baudrate} baud: {description}; Ctrl-C ends")
            device.play(stream, seconds=args.seconds, stop=stop, report=report)
            device.drain(DRAIN_LIMIT, stop)
    note(f"sent {report.frames} frames, {report.bytes_sent} bytes"
         + (f" ({report.bytes_dropped} dropped: nobody was reading)" if report.bytes_dropped else ""))  # fmt: skip
    return 0


def simulated(args: argparse.Namespace) -> tuple[Iterable[simulator.SimFrame], str]:
    """The simulated stream that the options describe, and its description."""
    config = stream_config(args, None)
    warning = line_warning(config, args.baudrate)
    if warning:
        note(warning)
    return simulator.simulate(config), (f"profile {config.profile}, raw {config.raw_rate:g} Hz, "
                                        f"estimated {config.estimated_rate:g} Hz")  # fmt: skip


def recorded(args: argparse.Namespace) -> tuple[Iterable[Piece], str]:
    """The recording named by --file, paced as asked, and its description."""
    return played_recording(load_recording(args.file), args.baudrate, args.speed, args.loop)


def frame_sizes(config: simulator.StreamConfig) -> dict[str, int]:
    """Bytes per frame of each kind, from the first frames of the stream."""
    sizes: dict[str, int] = {}
    for frame in simulator.simulate(config):
        sizes.setdefault(frame.packet_type, len(frame.frame))
        if len(sizes) == 2 or frame.index > 100:
            break
    return sizes


def line_warning(config: simulator.StreamConfig, baudrate: int) -> str | None:
    """A warning when the baud rate cannot carry the stream in real time."""
    sizes = frame_sizes(config)
    needed = config.raw_rate * sizes.get("raw", 0) + config.estimated_rate * sizes.get("estimated", 0)
    capacity = baudrate / 10
    if needed <= capacity:
        return None
    return (
        f"warning: at {baudrate} baud the line carries {capacity:.0f} bytes/s but the stream needs "
        f"{needed:.0f}: it will run {needed / capacity:.1f} times slower than real time "
        "(raise --baudrate or lower the rates)"
    )


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
