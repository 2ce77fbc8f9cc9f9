"""Sample times of live packets as they come, with a bounded delay: the
recording's fit (`load`'s), run by the native live clock over a trailing
window of what came.

    clock = SampleClock()
    for packet, sample_ns, missing_before in clock.feed(parser.get_data_packets()):
        ...
    for packet, sample_ns, missing_before in clock.finish():
        ...

`feed` takes packets as `get_data_packets()` returns them (anything with
`packet_type` and `timestamp`, the receive time in ns) and gives back those
whose sample times are settled, in the order fed. A packet is held until
`delay` seconds of receive time have come after it, and never longer: later
packets release it. `feed_columns` does the same for batches of a live
source's columns (it adds "sample_time" and "missing_before"), and `count`
takes only how many packets of a kind a read brought, for a view that needs
the figures and not the packets. One clock is fed one way: packets (and
counts), or columns.

The window is refitted every quarter second of receive time, each time with
the rules of a whole recording's fit: where the line lost bytes, fell silent
or the floor of the receive times stepped by whole periods, packets are
missing; a receive time that goes back, or jumps by over a second with no
byte lost, is a clock step. A packet given out takes its time from the
newest fit, joined to those given out before it without a jump, strictly
after the one before of its kind and never after its own receive time.
"""

from __future__ import annotations

import array
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ..wire.fields import DATA_FIELDS, NOMINAL_RATES, PACKET_TYPES
from ..wire.frames import estimated_field, frame, raw_field

NS = 1_000_000_000
# A rate within this share of the nominal one is the nominal rate drifted,
# and drift is reported against it; farther off, against the nearest whole
# rate in Hz.
NOMINAL_SHARE = 0.05
# The code of a packet of no kind the clock knows: it keeps its receive time.
OTHER = 255


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
    # The link delivers on USB frames and the sample phase has not wrapped
    # often enough to be found: the times may be off by up to a frame.
    phase_hidden: bool = False

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


Settled = tuple[Any, int, int]
# The bytes of a frame without fields, and those each data field adds (by
# its bit in the "present" column): a batch's frames' lengths, so that the
# bytes passed over also bound how many frames they held.
FRAME_BYTES = len(frame(0, b""))
FIELD_BYTES = tuple(len((raw_field if f.validity_name is None else estimated_field)(f.descriptor, [0.0] * f.width))
                    for f in DATA_FIELDS)  # fmt: skip
FRAME_LENGTHS: Any = None  # the length of a frame by its "present" bits, made when first needed
CODES = {kind: code for code, kind in enumerate(PACKET_TYPES)}


class SampleClock:
    """Sample times of live packets with a bounded delay; see the module.
    `window` and `refit` are taken for older callers: the window and the
    refit's pace are the clock's own."""

    def __init__(self, delay: float = 0.5, window: float = 60.0, refit: float = 0.25,
                 nominal: dict[str, float] | None = None) -> None:  # fmt: skip
        from brimlet_columns import LiveClock

        del window, refit
        self.native = LiveClock(len(PACKET_TYPES), delay)
        self.delay_ns = round(delay * NS)
        self.nominal = dict(NOMINAL_RATES if nominal is None else nominal)
        self.held: deque[Any] = deque()  # what to give back for each packet held
        self.held_batches: deque[dict[str, Any]] = deque()  # the columns of the rows held
        self.stream_end = 0  # bytes of the stream up to the last frame fed in columns

    def stats(self, kind: str) -> KindStats:
        nominal = self.nominal.get(kind)
        code = CODES.get(kind)
        if code is None:
            return KindStats(nominal=nominal)
        packets, rate, gaps, missing, largest, steps, hidden = self.native.stats(code)
        return KindStats(packets, rate, nominal if rate is None else nominal_rate(rate, nominal), gaps, missing,
                         largest, steps, hidden)  # fmt: skip

    def feed(self, packets: Iterable[Any], lossy: bool | None = None) -> list[Settled]:
        """The packets now settled, each with its sample time (ns since the
        epoch) and the packets of its kind missing just before it."""
        packets = list(packets)
        kinds = array.array("B", (CODES.get(p.packet_type, OTHER) for p in packets))
        times = array.array("q", (int(p.timestamp) for p in packets))
        self.held.extend(packets)
        return self.settled(self.push(kinds, times, len(packets), lossy))

    def count(self, kind: str, n: int, t: int, lossy: bool | None = None) -> None:
        """Takes `n` packets of `kind` received at `t` (ns), for the
        figures only: nothing is given back."""
        self.held.extend([None] * n)
        self.settled(self.push(array.array("B", [CODES.get(kind, OTHER)]) * n, array.array("q", [t]) * n, n, lossy))

    def push(self, kinds: array.array[int], times: array.array[int], n: int, lossy: bool | None) -> int:
        if self.held_batches:
            raise ValueError("a clock fed columns takes no packets")
        skipped = array.array("I", bytes(4 * n))
        if lossy and n:
            skipped[0] = 1
        return self.native.push(kinds, times, skipped)

    def settled(self, n: int) -> list[Settled]:
        if not n:
            return []
        taken_sample, taken_missing = self.native.take()
        sample, missing = memoryview(taken_sample).cast("q"), memoryview(taken_missing).cast("H")
        held = self.held
        return [(held.popleft(), s, m) for s, m in zip(sample.tolist(), missing.tolist())]

    def finish(self) -> list[Settled]:
        """Every packet still held, settled as well as can be."""
        return self.settled(self.native.settle())

    def feed_columns(self, batch: dict[str, Any], lossy: bool | None = None) -> dict[str, Any] | None:
        """The rows of the batches fed so far that are now settled, as one
        batch with "sample_time" (datetime64[ns]) and "missing_before"
        (uint16) added; None while every row is held. A batch with the
        column "skipped" (bytes passed over before each packet, as a live
        source gives) tells where the line lost bytes; one with "end" (the
        stream offset after each frame) also how many frames they held. One
        with "boot" (the boot clock, int64 ns, read with each receive time)
        tells a step of the wall clock, where the two move apart, from a
        pause of the line, however long; it is the clock's alone and is not
        given back with the rows."""
        import numpy as np

        if self.held:
            raise ValueError("a clock fed packets takes no columns")
        kinds = np.ascontiguousarray(batch["kind"], np.uint8)
        n = len(kinds)
        if "skipped" in batch and lossy is None:
            skipped = np.ascontiguousarray(batch["skipped"], np.uint32)
        else:
            skipped = np.zeros(n, np.uint32)
            if lossy and n:
                skipped[0] = 1
        end = batch.get("end")
        if end is None and "present" in batch and not lossy:
            end = self.frame_ends(np.asarray(batch["present"]), skipped)
        times = np.ascontiguousarray(np.asarray(batch["time"]).view(np.int64))
        if end is not None:
            end = np.ascontiguousarray(end, np.uint64)
        boot = batch.get("boot")
        if boot is not None:
            boot = np.ascontiguousarray(boot, np.int64)
            batch = {name: column for name, column in batch.items() if name != "boot"}
        self.held_batches.append(batch)
        return self.columns_out(self.native.push(kinds, times, skipped, end, boot))

    def frame_ends(self, present: Any, skipped: Any) -> Any:
        """The stream offset after each frame of a batch, counted from the
        first batch fed, from the fields each frame carries."""
        import numpy as np

        global FRAME_LENGTHS
        if FRAME_LENGTHS is None:
            every = np.arange(1 << len(FIELD_BYTES), dtype=np.uint64)
            FRAME_LENGTHS = sum(((every >> bit & 1) * size for bit, size in enumerate(FIELD_BYTES)),
                                np.full(len(every), FRAME_BYTES, np.uint64))  # fmt: skip
        ends = np.cumsum(FRAME_LENGTHS[present] + skipped, dtype=np.uint64)
        ends += np.uint64(self.stream_end)
        if len(ends):
            self.stream_end = int(ends[-1])
        return ends

    def columns_until(self, now: int) -> dict[str, Any] | None:
        """The rows held that came `delay` or longer before `now` (ns, on
        the receive times' clock), for a line that has gone quiet."""
        return self.columns_out(self.native.settle(now))

    def finish_columns(self) -> dict[str, Any] | None:
        """Every row still held."""
        return self.columns_out(self.native.settle())

    def first_held(self) -> int | None:
        """The receive time (ns) of the first packet held, None while none is."""
        return self.native.first_held()

    def columns_out(self, need: int) -> dict[str, Any] | None:
        """The first `need` rows held in batches, with their sample times."""
        if not need:
            return None
        import numpy as np

        sample, missing = self.native.take()
        parts: list[dict[str, Any]] = []
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
        merged["sample_time"] = np.frombuffer(sample, np.int64).view("datetime64[ns]")
        merged["missing_before"] = np.frombuffer(missing, np.uint16)
        return merged
