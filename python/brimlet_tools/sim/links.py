"""How a device's frames reach the host's reader, and when: the link model
that the sample-time tests and benchmarks measure against, with the truth
kept beside.

A device samples on its own crystal and writes each frame to its line at
once; the line carries it at the baud rate; the host's side of the link
hands the bytes on in its own way (`DELIVERIES`); a reader takes what has
been handed on whenever it is free. What can happen on the way:

* the device skips frames (`skip_every`: one in so many; `pauses`: it
  sends nothing for a while), no byte lost: its next frame simply comes later;
* the line loses a stretch (`losses`): from a third into one frame to two
  thirds into a later one, so only fragments of the two ends arrive;
* the crystal warms up (`warm`): its error moves from one rate to another
  over a time, in parts per million, then stays.

`deliver(config, link)` gives the bytes received, the reads (end, receive
time) as `record` notes them, and per intact frame its sample time and the
frames of its kind missing just before it. Everything is deterministic in
the seeds.
"""

from __future__ import annotations

import bisect
import math
import random
from dataclasses import dataclass, replace

from .simulator import StreamConfig, simulate

NS = 1_000_000_000
START_NS = 1_750_000_000_000_000_000
BITS_PER_BYTE = 10
FIFO_TRIGGER = 14  # a 16-byte FIFO interrupts at this level...
FIFO_TIMEOUT_CHARS = 4  # ...or this many character times after the last byte
CHUNK = 62  # a converter's payload per transfer
USB_FRAME_NS = 1_000_000
USB_BITS_PER_S = 12_000_000

# How the host's side hands bytes on: (timer between partial transfers in
# ns or None, what it is). "polled" and "fifo16" are a UART on the board.
DELIVERIES: dict[str, str] = {
    "polled": "a UART read as bytes arrive",
    "fifo16": "a UART with a 16-byte FIFO and its interrupt timeout",
    "chunk62-1ms": "a USB-serial converter: 62-byte transfers, 1 ms latency timer",
    "chunk62-16ms": "a USB-serial converter: 62-byte transfers, 16 ms latency timer",
    "usb1ms": "native USB serial: what is written goes at the next 1 ms frame",
}


@dataclass(frozen=True, slots=True)
class Link:
    """The link and what happens on it; see the module."""

    delivery: str = "polled"
    baudrate: int = 921_600
    skip_every: int = 0
    pauses: tuple[tuple[float, float], ...] = ()  # (from s, for s): the device sends nothing
    losses: tuple[tuple[float, int], ...] = ()  # (at s, frames): the line loses that many frames
    warm: tuple[float, float, float] | None = None  # (ppm from, ppm to, over s)
    seed: int = 1

    def __post_init__(self) -> None:
        if self.delivery not in DELIVERIES:
            raise ValueError(f"unknown delivery {self.delivery!r} (choose from {', '.join(DELIVERIES)})")


@dataclass
class Delivered:
    data: bytes
    reads: list[tuple[int, int]]  # (end, receive time ns) of each read
    truth: list[int]  # sample time of each intact frame, ns
    missing: list[int]  # frames of its kind that never arrived just before each intact one
    kinds: list[str]


def warmed(seconds: float, warm: tuple[float, float, float] | None) -> float:
    """The host's time at which a crystal warming as `warm` says has counted
    `seconds` of its own."""
    if warm is None:
        return seconds
    start, end, over = warm
    t = min(seconds, over)
    counted = start * t + (end - start) * t * t / (2 * over) + end * max(seconds - over, 0.0)
    return seconds - counted * 1e-6


def deliver(config: StreamConfig, link: Link) -> Delivered:
    """The stream of `config` as the reader on the far end of `link` gets it."""
    rng = random.Random(link.seed)
    # Native USB has no UART: a frame is written at full speed's 12 Mbit/s.
    byte_ns = 8 * NS / USB_BITS_PER_S if link.delivery == "usb1ms" else BITS_PER_BYTE * NS / link.baudrate
    if link.warm is not None:
        config = replace(config, clock_ppm=0.0)
    data = bytearray()
    pieces: list[tuple[int, float]] = []  # (end in data, line time of its last byte)
    truth, missing, kinds = [], [], []
    lost: dict[str, int] = {}
    line_free = 0.0
    losses = sorted(link.losses)
    cutting = 0  # frames still to lose of a stretch
    for k, f in enumerate(simulate(config)):
        sampled = warmed(f.time, link.warm) * NS
        skipped = (link.skip_every and k % link.skip_every == link.skip_every // 2) or any(
            at <= f.time < at + length for at, length in link.pauses)  # fmt: skip
        if skipped:
            lost[f.packet_type] = lost.get(f.packet_type, 0) + 1
            continue
        wire = f.wire
        if not cutting and losses and f.time >= losses[0][0]:
            cutting = losses.pop(0)[1]
            # The stretch starts a third into this frame, ends two thirds into its last.
            wire = f.wire[: len(f.wire) // 3] + (f.wire[2 * len(f.wire) // 3 :] if cutting == 1 else b"")
            cutting -= 1
        elif cutting:
            cutting -= 1
            wire = f.wire[2 * len(f.wire) // 3 :] if cutting == 0 else b""
        begin = max(line_free, sampled)
        line_free = begin + len(f.wire) * byte_ns  # lost bytes took the line too
        if wire:
            data += wire
            pieces.append((len(data), begin + len(wire) * byte_ns))
        if f.intact and len(wire) == len(f.wire):
            truth.append(START_NS + round(sampled))
            missing.append(lost.get(f.packet_type, 0))
            kinds.append(f.packet_type)
            lost[f.packet_type] = 0
        else:
            lost[f.packet_type] = lost.get(f.packet_type, 0) + 1
    handed = handed_on(pieces, link, byte_ns, rng)
    return Delivered(bytes(data), read(handed, link, rng), truth, missing, kinds)


def handed_on(pieces: list[tuple[int, float]], link: Link, byte_ns: float, rng: random.Random) -> list[tuple[int, float]]:
    """When the host's side hands on the bytes up to each end: (end, time in
    ns after the start), both non-decreasing."""
    kind = link.delivery
    if kind == "polled":
        return pieces
    if kind == "usb1ms":
        phase = rng.uniform(0, USB_FRAME_NS)
        return [(end, math.ceil((t - phase) / USB_FRAME_NS) * USB_FRAME_NS + phase) for end, t in pieces]
    ends = [end for end, _ in pieces]

    def arrival(n: int) -> float:  # when the line brought byte n (from 1)
        p = bisect.bisect_left(ends, n)
        return pieces[p][1] - (ends[p] - n) * byte_ns

    def arrived_by(t: float) -> int:  # the bytes the line brought by `t`
        p = bisect.bisect_left(pieces, t, key=lambda x: x[1])
        whole = ends[p - 1] if p else 0
        if p == len(pieces):
            return whole
        return max(whole, ends[p] - math.ceil((pieces[p][1] - t) / byte_ns))

    total = ends[-1] if ends else 0
    out: list[tuple[int, float]] = []
    flushed = 0
    if kind == "fifo16":
        timeout = FIFO_TIMEOUT_CHARS * byte_ns
        p = 0
        while flushed < total:
            full = arrival(flushed + FIFO_TRIGGER) if flushed + FIFO_TRIGGER <= total else math.inf
            # The line falls silent after the end of a piece that the next does not follow at once.
            while p < len(pieces) - 1 and (ends[p] <= flushed or arrival(ends[p] + 1) - pieces[p][1] < timeout + byte_ns):
                p += 1
            idle = pieces[p][1] + timeout
            if full <= idle:
                flushed += FIFO_TRIGGER
                out.append((flushed, full))
            else:
                flushed = ends[p]
                out.append((flushed, idle))
        return out
    timer = 1_000_000 if kind == "chunk62-1ms" else 16_000_000
    tick = rng.uniform(0, timer)
    while flushed < total:
        full = arrival(flushed + CHUNK) if flushed + CHUNK <= total else math.inf
        first = arrival(flushed + 1)
        due = tick + max(math.ceil((first - tick) / timer), 1) * timer
        if full <= due:
            flushed += CHUNK
            out.append((flushed, full))
            tick = full  # a transfer starts the timer again
        else:
            flushed = max(arrived_by(due), flushed + 1)
            out.append((flushed, due))
            tick = due
    return out


def read(handed: list[tuple[int, float]], link: Link, rng: random.Random) -> list[tuple[int, int]]:
    """The reads of a reader that takes whatever has been handed on whenever
    it is free: mostly within a millisecond (a polled UART) or at once (a
    reader woken by the link), now and then after a stall of up to 15 ms."""
    busy_ns = 1_000_000 if link.delivery == "polled" else 200_000
    reads: list[tuple[int, int]] = []
    free, i = 0.0, 0
    while i < len(handed):
        now = max(free, handed[i][1]) + 20_000 + rng.expovariate(1 / 15_000)
        while i < len(handed) and handed[i][1] <= now:
            i += 1
        reads.append((handed[i - 1][0], START_NS + round(now)))
        busy = rng.expovariate(1 / busy_ns) if rng.random() > 0.01 else rng.uniform(5e6, 15e6)
        free = now + busy
    return reads
