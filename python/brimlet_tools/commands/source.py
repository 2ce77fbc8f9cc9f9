"""Reading packets for a command: the --file/--port options, the packets
they name, a recording loaded into columns, and what a recording holds
besides its packets."""

from __future__ import annotations

import argparse
from collections.abc import Iterable, Iterator
from contextlib import AbstractContextManager, nullcontext
from typing import TYPE_CHECKING

from ..live.acquire import listen, replay
from ..wire.fields import PacketLike
from ..wire.framecount import FrameCounter
from .common import DEFAULT_BAUD, StopFlag, ToolError, baud_type, cannot, seconds_type

if TYPE_CHECKING:
    from ..recordings.recording import Recording


def load_recording(path: str, raw_rate: float | None = None) -> Recording:
    """The recording at `path` in columns (`raw_rate` for a time axis that
    has to be estimated), or a ToolError that says why it cannot be had."""
    from ..files.receive_times import TimesFormatError
    from ..recordings.recording import load

    try:
        return load(path) if raw_rate is None else load(path, raw_rate)
    except OSError as e:
        raise cannot("read recording", path, e) from e
    except TimesFormatError as e:
        raise ToolError(f"cannot read the receive times of {path}: {e}") from e


def add_source_options(p: argparse.ArgumentParser, follow: bool = False) -> None:
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--file", metavar="PATH", help="a recording")
    src.add_argument("--port", metavar="PATH", help="a serial port, such as /dev/ttyACM0")
    live = p.add_argument_group("live port")
    live.add_argument("--baudrate", type=baud_type, default=DEFAULT_BAUD, metavar="N",
                      help="line speed in bits per second (default %(default)s)")
    live.add_argument("--timeout", type=seconds_type, default=1.0, metavar="S",
                      help="silence that ends the reading, in seconds (default %(default)g)")
    live.add_argument("--seconds", type=seconds_type, default=None, metavar="S",
                      help="read the port for this long")  # fmt: skip
    if follow:
        live.add_argument("--follow", action="store_true", help="keep reading through silences until Ctrl-C")


def packets_of(args: argparse.Namespace, stop: StopFlag) -> Iterator[PacketLike]:
    """The packets of the recording or port that the arguments name. A live
    port is read until `stop` is set (by Ctrl-C, see `live_signals`), among
    the other ends that `listen` knows."""
    if args.file is not None:
        refuse_live_options(args)
        return replay(args.file)
    follow = getattr(args, "follow", False)
    return listen(args.port, args.baudrate, args.timeout, follow, args.seconds, stop)


def refuse_live_options(args: argparse.Namespace) -> None:
    """Exits with a usage error when options of a live port come with --file."""
    if args.seconds is not None or getattr(args, "follow", False):
        args.parser.error("--seconds and --follow apply to --port only")


def live_signals(args: argparse.Namespace, stop: StopFlag) -> AbstractContextManager[None]:
    """For a live port, Ctrl-C ends the reading as a normal end: the packets
    in hand are written whole and the command finishes its work. A recording
    is read to its end, and Ctrl-C interrupts that."""
    return stop.on_signals() if args.port is not None else nullcontext()


def close_iterator(packets: Iterator[PacketLike]) -> None:
    """Ends a packet generator now, which stops its parser."""
    close = getattr(packets, "close", None)
    if close is not None:
        close()


def line_lines(path: str) -> list[str]:
    """What the recording at `path` holds besides valid frames."""
    counter = FrameCounter()
    try:
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                counter.feed(chunk)
    except OSError as e:
        raise cannot("read recording", path, e) from e
    other = sum(n for s, n in counter.frames.items() if s not in (0x80, 0x82))
    lines = [f"recording: {path}, {counter.total_bytes} bytes",
             f"line: {counter.skipped_bytes} bytes outside valid frames"]  # fmt: skip
    if other:
        lines.append(f"line: {other} valid frames of other descriptor sets")
    return lines
