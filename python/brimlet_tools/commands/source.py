"""Reading packets for a command: the packets that the recording or port
options name, and a recording loaded into columns."""

from __future__ import annotations

import argparse
import importlib
import os
from collections.abc import Callable, Generator, Iterable, Iterator
from contextlib import AbstractContextManager, nullcontext
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from ..errors import PortHungUp
from ..files.inputs import recording_path
from ..live.acquire import PortReading, replay
from ..wire.fields import COLUMN_TYPES, PacketLike
from .common import StopFlag, ToolError, cannot, note, warn

if TYPE_CHECKING:
    from ..live.stream import Batch, ColumnListener
    from ..recordings.recording import Recording
    from ..recordings.window import TimePoint


def load_recording(path: str, raw_rate: float | None = None, *,
                   times_damaged: Callable[[str], object] | None = None) -> Recording:  # fmt: skip
    """The recording at `path` in columns (`raw_rate` for a time axis that
    has to be estimated), or a ToolError that says why it cannot be had:
    not a file, unreadable, its receive times damaged, or no frame in it.
    Given `times_damaged`, receive times that cannot be read are told to it
    instead, and the packets are loaded without them."""
    from ..files.receive_times import TimesFormatError, companion_path
    from ..recordings.recording import load

    recording_path(path)
    rate = {} if raw_rate is None else {"raw_rate": raw_rate}
    try:
        try:
            loaded = load(path, **rate)
        except TimesFormatError as e:
            why = f"cannot read the receive times {companion_path(path)}: {e}"
            if times_damaged is None:
                raise ToolError(why) from e
            times_damaged(why)
            loaded = load(Path(path).read_bytes(), **rate)
    except OSError as e:
        raise cannot("read recording", path, e) from e
    if not len(loaded):
        no_packet(path)
    return loaded


def no_packet(path: str) -> None:
    """For a recording without a packet: the error when it holds no frame of
    the device's stream, else (it is empty: a capture of a silent port is
    one) the warning that says so."""
    size = os.stat(path).st_size
    if size:
        raise ToolError(f"no frame of the device's stream in {path} ({size:,} bytes)")
    warn(f"{path} is empty: no packet in it")


class Restamped:
    """A packet with another timestamp."""

    def __init__(self, packet: PacketLike, timestamp: int) -> None:
        self._packet = packet
        self.timestamp = timestamp

    def __getattr__(self, name: str) -> object:
        return getattr(self._packet, name)


def receive_stamped(packets: Iterator[PacketLike], path: str) -> Generator[PacketLike]:
    """`packets` of the recording at `path` stamped with its receive times,
    the time axis `load` gives it (the packets' own stamps are the times
    they were decoded now)."""
    try:
        import brimlet_columns  # noqa: F401
        import numpy  # noqa: F401
    except ImportError as e:
        warn(f"without {e.name} the receive times of {path} cannot be read: the timestamps are "
             "the times the packets were decoded")  # fmt: skip
        yield from packets
        return
    times = load_recording(path).columns["time"].view("int64").tolist()
    try:
        for packet, t in zip(packets, times, strict=True):
            yield cast("PacketLike", Restamped(packet, t))
    finally:
        close_iterator(packets)


def recording_packets(path: str, receive_times: bool, start: TimePoint | None = None,
                      end: TimePoint | None = None) -> Generator[PacketLike]:  # fmt: skip
    """The packets of the recording at `path` one by one, stamped with its
    receive times (see `receive_stamped`) or with the times they are decoded
    now, those between `start` and `end` only (where given: numpy is needed)."""
    packets = counted(replay(recording_path(path)), path)
    if receive_times:
        packets = receive_stamped(packets, path)
    if start is None and end is None:
        return packets
    from ..recordings.window import rows

    return within(packets, rows(load_recording(path), start, end))


def within(packets: Iterator[PacketLike], chosen: slice) -> Generator[PacketLike]:
    """The packets of a recording at the rows `chosen` (its packets are in
    the order of its columns)."""
    try:
        for n, packet in enumerate(packets):
            if n >= chosen.stop:
                break
            if n >= chosen.start:
                yield packet
    finally:
        close_iterator(packets)


def columns_at_hand() -> bool:
    """Whether a recording can be read into columns (numpy and the columns
    module are there)."""
    try:
        for module in ("brimlet_columns", "numpy"):
            importlib.import_module(module)
    except ImportError:
        return False
    return True


def batches_of(args: argparse.Namespace, stop: StopFlag, linger: float = 0.0) -> ColumnListener:
    """The port that the arguments name, read until `stop` is set (by Ctrl-C,
    see `live_signals`) among the other ends that `ColumnListener` knows, in
    batches of columns, for `linger` seconds more at its end."""
    from ..live.stream import ColumnListener

    follow = getattr(args, "follow", False)
    return ColumnListener(args.port, args.baudrate, args.timeout, follow, args.seconds, stop, linger=linger)


def kept_columns(batches: Iterable[Batch], names: Iterable[str], advance: Callable[[int], object]) -> Batch:
    """The columns `names` of every row of `batches`, joined in one batch
    (the other columns are let go as the batches pass); `advance` is told
    the rows of each batch."""
    import numpy as np

    kept: dict[str, list[Any]] = {name: [np.empty(0, COLUMN_TYPES[name])] for name in names}
    for batch in batches:
        for name, parts in kept.items():
            parts.append(batch[name])
        advance(len(batch["kind"]))
    return {name: np.concatenate(parts) for name, parts in kept.items()}


def reading_end(packets: Iterable[object]) -> None:
    """Once a command has written out what it read: the error for a port
    that hung up meanwhile, the same for every command."""
    if isinstance(packets, PortReading) and packets.hung_up:
        raise PortHungUp(packets.port)


def counted(packets: Iterator[PacketLike], path: str) -> Generator[PacketLike]:
    """`packets` of the recording at `path`, and at their end the error for
    a recording without a frame."""
    n = 0
    for n, packet in enumerate(packets, 1):
        yield packet
    if not n:
        no_packet(path)


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
