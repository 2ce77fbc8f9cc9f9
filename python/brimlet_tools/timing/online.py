"""Sample times of live packets as they come, with a bounded delay: like
`envelope` for a whole recording, a line along the floor of the receive
times, here kept up to date one packet at a time.

    clock = SampleClock()
    for packet, sample_ns, missing_before in clock.feed(parser.get_data_packets()):
        ...
    for packet, sample_ns, missing_before in clock.finish():
        ...

`feed` takes packets as `get_data_packets()` returns them (anything with
`packet_type` and `timestamp`, the receive time in ns) and gives back those
whose sample times are settled, in the order fed. A packet is held until
`delay` seconds of receive time have come after it, so that the floor of the
receive times after it is known, and never longer: later packets release it.
`feed_columns` does the same for batches of a live source's columns (it adds
"sample_time" and "missing_before"), and `count` takes only how many packets
of a kind a read brought, for a view that needs the figures and not the
packets.

Per kind, the points (packet index, receive time) of the packets given out
gather in chunks `refit` seconds long. A chunk closes into one point of the
floor: at its mean index, a low quantile of its receive times less the line,
which one packet that came early moves little. The line is the least-squares
fit of the floor's points of the last `window` seconds, refitted as each
chunk closes; while they span a short stretch, its slope is drawn towards
the nominal period, which a crystal keeps to within a few parts in 10^5. A
packet's sample time is that line at its index, strictly after the one
before it and never after the packet's own receive time.

The index counts the packets that never arrived. Where one is missing, the
floor of the receive times less the line steps up by a whole period and
stays there: before a packet is given out, the floor of the held packets
from it on is compared with the floor of the packets given out in the last
`delay` seconds, and each whole period of difference is a packet missing
just before it. Where the caller knows whether the line lost bytes before
a packet (`lossy`, or a batch's "skipped" column), a gap is counted only
where it did, so a clean line has none; without that, a gap needs the
whole held stretch after it to stay half a period up. The packets of the
port's first read of a kind, which queued before it and came at once,
measure nothing: the floor starts after them. A receive time that goes back or jumps by over a second is
a clock step: everything held is given out, the fit of each kind starts
anew, and sample times go on from where they were after a step back.
"""

from __future__ import annotations

import math
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ..wire.fields import NOMINAL_RATES, PACKET_TYPES

NS = 1_000_000_000
CLOCK_JUMP_NS = NS
# The held packets after one must span this long, and count this many, for
# their floor to tell whether a packet is missing before it.
TRUSTED_SPAN_NS = 50_000_000
TRUSTED_PACKETS = 8
# A rate within this share of the nominal one is the nominal rate drifted,
# and drift is reported against it; farther off, against the nearest whole
# rate in Hz.
NOMINAL_SHARE = 0.05
MAX_MISSING = 0xFFFF
# How far below the floor before it, in periods, the floor after a gap may
# lie (the floor's own wander, well under a period): no packet is moved by a
# gap to farther below.
FLOOR_SLACK = 0.25
# Packets from a gap on that may lie on either side of it (those that came
# late, together after a stall): they are left out of the fit.
UNSURE_PACKETS = 16
# Packets of a kind received closer together than this share of a period
# came in one read: all but the last were held up on the way.
TOGETHER = 0.25
# How far the last packet of the port's first read may lie below the floor
# of the packets after it before a gap is counted between them: the floor's
# own wander, in ns and at most FLOOR_SLACK periods.
FIRST_READ_SLACK_NS = 250_000
# A chunk's point of the floor is this quantile of its receive times: one
# packet that came early moves it little, and few packets lie below it.
FLOOR_QUANTILE = 0.03
# A chunk holds at least this many points.
CHUNK_POINTS = 16
# How far the floor's points lie from the line, and how far a crystal's rate
# may be from the nominal one: they weigh the slope the floor's points give
# against the nominal period.
FLOOR_NOISE_NS = 20_000
CRYSTAL_SHARE = 50e-6
# How far a sample time may stray from the pace of the line, in periods per
# packet, while it moves to a line refitted.
SLEW = 0.02


@dataclass
class KindStats:
    """What the clock has found for one kind of packet so far."""

    packets: int = 0
    rate: float | None = None  # fitted packets per second, on the host's clock
    nominal: float | None = None  # the rate the drift is measured against
    gaps: int = 0  # places where packets are missing
    missing: int = 0  # packets missing in all
    largest_gap: int = 0
    clock_steps: int = 0

    @property
    def drift_ppm(self) -> float | None:
        """How far the fitted rate is from the nominal one, in parts per million."""
        if self.rate is None or not self.nominal:
            return None
        return (self.rate / self.nominal - 1.0) * 1e6


def nominal_rate(rate: float, nominal: float | None) -> float:
    """The rate `rate` is a drifted copy of: `nominal` if near, else the
    nearest whole rate in Hz."""
    if nominal and abs(rate / nominal - 1.0) <= NOMINAL_SHARE:
        return nominal
    return float(max(round(rate), 1))


class Chunk:
    """The points (index, receive time) of one kind given out in one stretch
    of receive time, until it closes into one point of the floor."""

    __slots__ = ("indexes", "start", "times")

    def __init__(self, start: int) -> None:
        self.start = start
        self.indexes: list[int] = []
        self.times: list[int] = []

    def floor_point(self, slope: float) -> tuple[float, float]:
        """The chunk's point of the floor: at its mean index, the low quantile
        of its receive times less the line of slope `slope`."""
        indexes, times = self.indexes, self.times
        residuals = sorted(t - slope * i for i, t in zip(indexes, times))
        x = sum(indexes) / len(indexes)
        return x, residuals[int(FLOOR_QUANTILE * len(residuals))] + slope * x


def fit_line(points: Iterable[tuple[float, float]], period: float, nominal: bool) -> tuple[float, float]:
    """The line (slope, value at 0) through the floor's points by least
    squares. Its slope is drawn towards `period` as far as the points leave
    it in doubt when that is the `nominal` one (a crystal keeps to it within
    CRYSTAL_SHARE; the points lie some FLOOR_NOISE_NS off the line), so that
    a short stretch does not tilt it; with one point, it is `period`."""
    xs, ys = zip(*points)
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    doubt = (FLOOR_NOISE_NS / (CRYSTAL_SHARE * period)) ** 2 if nominal else 0.0
    slope = (sxy + doubt * period) / (sxx + doubt) if sxx + doubt > 0 else period
    return slope, my - slope * mx


class KindClock:
    """The fit of one kind of packet. Times are ns after `base`; `seq`
    counts the packets fed, the index adds the packets found missing."""

    def __init__(self, nominal: float | None, clock: SampleClock) -> None:
        self.stats = KindStats(nominal=nominal)
        self.clock = clock
        self.seq = 0
        self.missing_total = 0
        self.held: deque[tuple[int, int]] = deque()  # (seq, time) of the packets held
        self.held_floor: deque[tuple[int, float]] = deque()  # their running minimum of time - period * seq
        # The running minimum of time - period * index over the packets given
        # out in the last `delay`, and how many were given out since the start.
        self.given: deque[tuple[int, float]] = deque()
        self.given_count = 0
        self.unsure_until = 0  # the seq of the first packet sure to be after the last gap
        self.first_read = 0  # the packets that came in the port's first read, all at once
        self.chunk: Chunk | None = None  # the points given out since the last floor point
        self.floors: deque[tuple[int, float, float]] = deque()  # (start, index, time) of the floor's points
        self.period: float | None = None  # the period gaps are measured in
        self.prior: float | None = None  # the nominal period, that the slope is drawn towards
        self.line: tuple[float, float] | None = None  # (period, time at index 0)
        self.first_floor: float | None = None
        self.last_sample: int | None = None
        self.paced: tuple[int, float] | None = None  # the index and time on the line's pace of the last
        self.shift = 0  # added to the sample times after a step back of the clock

    def add(self, t: int) -> int:
        """Takes a packet received at `t`; returns its seq."""
        seq = self.seq
        self.seq += 1
        self.held.append((seq, t))
        period = self.period
        if period is not None:
            v = t - period * seq
            floor = self.held_floor
            while floor and floor[-1][1] >= v:
                floor.pop()
            floor.append((seq, v))
        return seq

    def start(self) -> None:
        """At the first packet given out: the period to measure gaps in (the
        nominal one if the packets held come near it), and a first line
        through the floor of what is held."""
        times = [t for _, t in self.held]
        # The median step over a few packets at a time: a gap or a stall
        # among them moves only a few of the steps.
        lag = max(len(times) // 8, 1)
        steps = sorted((b - a) / lag for a, b in zip(times, times[lag:]))
        rough = steps[len(steps) // 2] if steps else 0.0
        nominal = self.stats.nominal
        if nominal and (rough <= 0 or abs(NS / rough / nominal - 1) <= NOMINAL_SHARE):
            self.period = self.prior = NS / nominal
        else:
            self.period = rough if rough > 0 else 1.0
        self.rebuild_floor()
        self.first_floor = self.held_floor[0][1] if self.held_floor else 0.0
        self.after_first_read(times)
        self.line = (self.period, self.first_floor)

    def after_first_read(self, times: list[int]) -> None:
        """The first read brings what queued before the port was read, all at
        once, a period or more late: those packets do not measure the floor,
        and a gap among them leaves no mark. The first floor is that of the
        packets after them; where the last of them lies below it by more than
        the floor's wander, packets are missing between, as many as it takes
        to put none before its time."""
        period = self.period or 1.0
        n = 1
        while n < len(times) and times[n] - times[n - 1] < TOGETHER * period:
            n += 1
        if n < 2 or n == len(times):
            return
        self.first_read = self.unsure_until = n
        after = min(t - period * seq for seq, t in list(self.held)[n:])
        last = times[n - 1] - period * (n - 1)
        slack = min(FLOOR_SLACK * period, FIRST_READ_SLACK_NS)
        missing = max(math.ceil((after - last - slack) / period), 0)
        # The gap is found at the first packet after the read, by the floors.
        self.first_floor = after - period * missing

    def rebuild_floor(self) -> None:
        period = self.period or 0.0
        self.held_floor.clear()
        for seq, t in self.held:
            v = t - period * seq
            while self.held_floor and self.held_floor[-1][1] >= v:
                self.held_floor.pop()
            self.held_floor.append((seq, v))

    def give(self, lossy: bool | None) -> tuple[int, int, int]:
        """Gives out the first packet held: its seq, sample time (ns after
        the base) and the packets missing just before it."""
        if self.period is None:
            self.start()
        seq, t = self.held.popleft()
        period = self.period or 1.0
        floor = self.held_floor
        while floor and floor[0][0] < seq:
            floor.popleft()
        missing = 0
        trusted = self.trusted(t)
        if lossy is not False and floor and trusted and seq >= self.first_read:
            # A gap before this packet lifts the floor of every packet from
            # it on. Packets that came late (together, after a stall) may
            # have come before the gap or after it: the gap is counted
            # before the first packet from which on the floor is lifted
            # whole, so that no packet is put before its time.
            missing = self.step(floor[0][1] - period * self.missing_total, period)
        if missing:
            self.missing_total += missing
            s = self.stats
            s.gaps += 1
            s.missing += missing
            s.largest_gap = max(s.largest_gap, missing)
            # The packets just after, up to the one on the lifted floor, may
            # lie on either side of the gap: they do not measure the floor.
            self.unsure_until = max(floor[0][0] + 1, seq + UNSURE_PACKETS)
        index = seq + self.missing_total
        # A packet that came in one read with the next of its kind came a
        # period late at least: it does not measure the floor, and it is the
        # kind of packet that may lie on either side of a gap.
        if seq >= self.unsure_until and trusted and self.held[0][1] - t >= TOGETHER * period:
            given = self.given
            w = t - period * index
            while given and given[-1][1] >= w:
                given.pop()
            given.append((t, w))
            while given[0][0] < t - self.clock.delay_ns:
                given.popleft()
            self.given_count += 1
            self.settle(index, t)
        line = self.line
        if line is None:
            value = t
        else:
            paced = line[1] + line[0] * index
            if self.paced is not None:
                # A refit that moves the line moves the sample times onto it
                # a little at a time, so the steps between them stay even.
                steps = index - self.paced[0]
                on_pace = self.paced[1] + line[0] * steps
                slew = SLEW * line[0] * steps
                paced = min(max(paced, on_pace - slew), on_pace + slew)
            self.paced = (index, paced)
            value = min(t, int(paced))
        last = self.last_sample
        if last is not None and value <= last:
            value = last + 1
        self.last_sample = value
        self.stats.packets += 1
        return seq, value, missing

    def trusted(self, t: int) -> bool:
        """Whether the packets held from the one received at `t` on reach
        the floor of the receive times."""
        held = self.held
        return len(held) + 1 >= TRUSTED_PACKETS and held[-1][1] - t >= TRUSTED_SPAN_NS

    def floor(self) -> float:
        """The floor of time - period * index of the packets given out
        lately; until enough have been, the floor of the first held stands in."""
        before = self.given[0][1] if self.given else None
        first = self.first_floor or 0.0
        return first if before is None else min(before, first) if self.given_count < TRUSTED_PACKETS else before

    def step(self, after: float, period: float) -> int:
        """Whole periods from the floor of the packets given out lately up
        to `after`, the floor from the packet being given out on."""
        steps = int((after - self.floor()) / period + FLOOR_SLACK)
        return min(steps, MAX_MISSING) if steps > 0 else 0

    def settle(self, index: int, t: int) -> None:
        """Adds the point of a packet given out to its chunk; a chunk `refit`
        long closes into a point of the floor, and the line is refitted."""
        clock = self.clock
        chunk = self.chunk
        if chunk is None:
            chunk = self.chunk = Chunk(t)
        elif t - chunk.start >= clock.refit_ns and len(chunk.indexes) >= CHUNK_POINTS:
            slope = self.line[0] if self.line is not None else self.period or 1.0
            floors = self.floors
            floors.append((chunk.start, *chunk.floor_point(slope)))
            while len(floors) > 1 and floors[0][0] < t - clock.window_ns:
                floors.popleft()  # the newest stays, were a chunk longer than the window
            chunk = self.chunk = Chunk(t)
            self.refit()
        chunk.indexes.append(index)
        chunk.times.append(t)

    def refit(self) -> None:
        floors = self.floors
        if self.period is None:
            return
        prior = self.prior
        line = fit_line(((x, y) for _, x, y in floors), prior or self.period, prior is not None)
        if abs(line[0] / self.period - 1.0) > NOMINAL_SHARE:
            return  # one bent by a stretch that came together
        self.line = line
        self.stats.rate = NS / line[0]
        self.stats.nominal = nominal_rate(self.stats.rate, self.stats.nominal)
        if floors[-1][0] - floors[0][0] >= self.clock.window_ns // 4:
            changed = abs(line[0] / self.period - 1.0)
            self.period = line[0]
            if changed > 1e-4:
                self.rebuild_floor()


Settled = tuple[Any, int, int]


class SampleClock:
    """Sample times of live packets with a bounded delay; see the module."""

    def __init__(self, delay: float = 0.5, window: float = 60.0, refit: float = 0.25,
                 nominal: dict[str, float] | None = None) -> None:  # fmt: skip
        self.delay_ns = round(delay * NS)
        self.window_ns = round(window * NS)
        self.refit_ns = round(refit * NS)
        self.nominal = dict(NOMINAL_RATES if nominal is None else nominal)
        self.kinds: dict[str, KindClock] = {}
        # Packets held, in the order fed: (what to give back, kind, time, lossy).
        self.pending: deque[tuple[Any, KindClock, int, bool | None]] = deque()
        self.held_batches: deque[dict[str, Any]] = deque()  # the columns of the rows held
        # Bytes passed over in the batches fed, and how many had been by the
        # last packet of each kind (by code).
        self.passed_over = 0
        self.passed_at = [0] * len(PACKET_TYPES)
        self.base: int | None = None
        self.newest = 0
        self.clock_steps = 0

    def stats(self, kind: str) -> KindStats:
        clock = self.kinds.get(kind)
        return clock.stats if clock is not None else KindStats(nominal=self.nominal.get(kind))

    def kind(self, name: str) -> KindClock:
        clock = self.kinds.get(name)
        if clock is None:
            clock = self.kinds[name] = KindClock(self.nominal.get(name), self)
        return clock

    def feed(self, packets: Iterable[Any], lossy: bool | None = None) -> list[Settled]:
        """The packets now settled, each with its sample time (ns since the
        epoch) and the packets of its kind missing just before it."""
        out: list[Settled] = []
        for packet in packets:
            self.take(packet, packet.packet_type, int(packet.timestamp), lossy, out)
        self.release(self.newest - self.delay_ns, out)
        return out

    def count(self, kind: str, n: int, t: int, lossy: bool | None = None) -> None:
        """Takes `n` packets of `kind` received at `t` (ns), for the
        figures only: nothing is given back."""
        out: list[Settled] = []
        for _ in range(n):
            self.take(None, kind, t, lossy, out)
        self.release(self.newest - self.delay_ns, out)

    def feed_columns(self, batch: dict[str, Any], lossy: bool | None = None) -> dict[str, Any] | None:
        """The rows of the batches fed so far that are now settled, as one
        batch with "sample_time" (datetime64[ns]) and "missing_before"
        (uint16) added; None while every row is held. A batch with the
        column "skipped" (bytes passed over before each packet, as a live
        source gives) tells, row by row, whether the line lost bytes since the
        last packet of the row's kind."""
        kinds = batch["kind"].tolist()
        times = batch["time"].view("int64").tolist()
        out: list[Settled] = []
        self.held_batches.append(batch)
        if lossy is None and "skipped" in batch:
            passed_at = self.passed_at
            for code, t, skipped in zip(kinds, times, batch["skipped"].tolist()):
                self.passed_over += skipped
                self.take(None, PACKET_TYPES[code], t, self.passed_over > passed_at[code], out)
                passed_at[code] = self.passed_over
        else:
            for code, t in zip(kinds, times):
                self.take(None, PACKET_TYPES[code], t, lossy, out)
        self.release(self.newest - self.delay_ns, out)
        return self.columns_out(out)

    def finish(self) -> list[Settled]:
        """Every packet still held, settled as well as can be."""
        out: list[Settled] = []
        self.release(None, out)
        return out

    def columns_until(self, now: int) -> dict[str, Any] | None:
        """The rows held that came `delay` or longer before `now` (ns, on
        the receive times' clock), for a line that has gone quiet."""
        out: list[Settled] = []
        self.release(now - self.delay_ns, out)
        return self.columns_out(out)

    def finish_columns(self) -> dict[str, Any] | None:
        """Every row still held."""
        out: list[Settled] = []
        self.release(None, out)
        return self.columns_out(out)

    def take(self, payload: Any, name: str, t: int, lossy: bool | None, out: list[Settled]) -> None:
        if self.base is None:
            self.base = t
        elif t < self.newest or t > self.newest + CLOCK_JUMP_NS:
            self.stepped(t, out)
        if t > self.newest:
            self.newest = t
        kind = self.kind(name)
        kind.add(t - self.base)
        self.pending.append((payload, kind, t, lossy))

    def stepped(self, t: int, out: list[Settled]) -> None:
        """The clock went back, or jumped ahead: what is held is given out
        on the old reading, and the fits start anew on the new one."""
        self.release(None, out)
        back = t < self.newest
        self.clock_steps += 1
        for name, kind in list(self.kinds.items()):
            fresh = self.kinds[name] = KindClock(kind.stats.nominal, self)
            fresh.stats = kind.stats
            fresh.stats.clock_steps += 1
            if back and kind.last_sample is not None and kind.line is not None:
                # Going on from the last sample time, one period later.
                fresh.shift = kind.shift + kind.last_sample + round(kind.line[0]) - (t - (self.base or 0))
            else:
                fresh.shift = kind.shift if back else 0
        self.newest = t

    def release(self, before: int | None, out: list[Settled]) -> None:
        pending = self.pending
        base = self.base or 0
        while pending and (before is None or pending[0][2] <= before):
            payload, kind, _, lossy = pending.popleft()
            _, sample, missing = kind.give(lossy)
            out.append((payload, base + kind.shift + sample, missing))

    def columns_out(self, out: list[Settled]) -> dict[str, Any] | None:
        """The first len(out) rows held in batches, with their sample times."""
        if not out:
            return None
        import numpy as np

        parts: list[dict[str, Any]] = []
        need = len(out)
        batches = self.held_batches
        while need:
            batch = batches[0]
            n = len(batch["kind"])
            if n <= need:
                parts.append(batches.popleft())
                need -= n
            else:
                parts.append({k: v[:need] for k, v in batch.items()})
                batches[0] = {k: v[need:] for k, v in batch.items()}
                need = 0
        merged = parts[0] if len(parts) == 1 else {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
        merged["sample_time"] = np.array([s for _, s, _ in out], np.int64).view("datetime64[ns]")
        merged["missing_before"] = np.array([m for _, _, m in out], np.uint16)
        return merged
