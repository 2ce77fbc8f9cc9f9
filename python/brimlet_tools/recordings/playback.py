"""A recording played back at its recorded pace, for the virtual device.

`recorded_stream` cuts a recording into pieces, one per packet: the bytes up
to the end of the packet's frame (line noise and broken frames before it
included, so the line carries exactly what was recorded), due at the
packet's receive time after the first, divided by `speed`. A recording
without receive times goes at the line's pace: each piece is due when the
bytes before it have gone out at `line_rate` bytes per second. With `loop`,
the recording starts again after its end, one mean packet interval later
(or once its last bytes are out, at the line's pace). A stretch of the
recording (`rows`, its packets from one to another) is played from the
bytes that came after the packet before it, its first packet due at once.
"""

from __future__ import annotations

import itertools
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..errors import cannot
from ..sim.virtual_device import BITS_PER_BYTE, line_warning

if TYPE_CHECKING:
    from .recording import Recording


@dataclass(frozen=True, slots=True)
class Piece:
    """Bytes to put on the line no earlier than `time` seconds after the start."""

    time: float
    wire: bytes


@dataclass(frozen=True)
class Playback:
    """A recording cut into pieces, and how it is paced."""

    pieces: list[Piece]
    span: float  # seconds from the first piece to the start of the next pass
    paced: bool  # False when the recording had no receive times
    packets: int


def cut(recording: Recording, line_rate: float, speed: float = 1.0, rows: slice | None = None) -> Playback:
    """The pieces of the loaded `recording`, whose bytes are read again from
    its file, or of its packets `rows` alone (see the module's description)."""
    with open(recording.source, "rb") as f:
        data = f.read()
    if not data:
        return Playback([], 0.0, False, 0)
    # Where each packet's frame ends, from the decode that loaded it.
    ends = [] if recording.scan.end is None else recording.scan.end.tolist()
    times = recording.columns["time"].view("int64")
    paced = not recording.times_estimated and len(ends) == len(times) > 0
    if paced:
        due = ((times - times[0]) / 1e9 / speed).tolist()
        span = due[-1] * len(due) / (len(due) - 1) if len(due) > 1 else 0.0
    else:
        ends = ends or [len(data)]
        due = [start / line_rate for start in [0, *ends[:-1]]]
        span = len(data) / line_rate
    pieces, start = [], 0
    for end, t in zip(ends, due):
        pieces.append(Piece(t, data[start:end]))
        start = end
    if start < len(data):
        pieces.append(Piece(due[-1], data[start:]))
    if rows is None or rows.indices(len(recording))[:2] == (0, len(recording)):
        return Playback(pieces, span, paced, len(recording))
    if len(ends) != len(recording):
        raise ValueError("a stretch of a recording needs where each of its frames ends")
    return stretch(pieces, rows, paced, line_rate)


def stretch(pieces: list[Piece], rows: slice, paced: bool, line_rate: float) -> Playback:
    """The pieces of the packets `rows` (one piece a packet, in order),
    the first due at once."""
    chosen = pieces[rows]
    if not chosen:
        return Playback([], 0.0, paced, 0)
    first = chosen[0].time
    shifted = [Piece(p.time - first, p.wire) for p in chosen]
    last = shifted[-1].time
    if paced:
        span = last * len(shifted) / (len(shifted) - 1) if len(shifted) > 1 else 0.0
    else:
        span = sum(len(p.wire) for p in shifted) / line_rate
    return Playback(shifted, span, paced, len(shifted))


def recorded_stream(playback: Playback, loop: bool = False) -> Iterator[Piece]:
    """The pieces of `playback` once, or again and again with `loop`."""
    if not playback.pieces:
        return
    for n in itertools.count() if loop else range(1):
        offset = n * playback.span
        for piece in playback.pieces:
            yield Piece(piece.time + offset, piece.wire) if offset else piece


def played_recording(
    recording: Recording, baudrate: int, speed: float = 1.0, loop: bool = False, rows: slice | None = None
) -> tuple[Iterator[Piece], str, str | None]:
    """`recording` (or its packets `rows`) played on a line of `baudrate`,
    paced as asked, its description, and a warning when the line is too
    slow for that pace."""
    line_rate = baudrate / BITS_PER_BYTE
    try:
        playback = cut(recording, line_rate, speed, rows)
    except OSError as e:
        raise cannot("read recording", recording.source, e) from e
    if playback.paced:
        pace = f"at {speed:g} times its recorded pace"
    else:
        pace = "at the line's pace (the recording has no receive times)"
    looped = ", looped" if loop else ""
    description = f"{recording.source}, {playback.packets} packets {pace}{looped}"
    needed = sum(len(p.wire) for p in playback.pieces) / playback.span if playback.paced and playback.span else 0.0
    warning = line_warning(baudrate, needed, f"the recording at {speed:g} times its pace", "raise --baudrate or lower --speed")
    return recorded_stream(playback, loop), description, warning
