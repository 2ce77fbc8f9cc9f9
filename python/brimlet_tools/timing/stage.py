"""The sample clock as one stage of a live pipeline: batches of columns in,
the same rows out with "sample_time" (datetime64[ns]) and "missing_before"
(uint16) added, in order, each once the clock's delay (half a second) of the
line has come after it.

    stage = ClockStage()
    for batch in stage(batches):
        ...

An event loop drives it step by step instead: `push` each batch as it
comes, wait for more at most `due()` seconds (then `push` a batch of no
rows), and take `finish()` at the end; `live()`'s asynchronous iterator does
so, and nothing is awaited between taking a batch and giving it out.

A batch holds the columns a live source gives ("kind", "time" as receive
times, and "skipped", the bytes passed over before each packet, which says
where a gap can be; "end", the stream offset after each frame, where a
source knows it, also bounds how many frames they held; "boot", the boot
clock read with each receive time, where the source keeps it, tells a step
of the wall clock from a pause of the line and is not given back). A batch
of no rows says that nothing came for a moment:
the rows held that long are given out. At the end of the batches, or when
they fail, everything still held is given out first. Every reader of a live
line that needs sample times goes through this stage; behind it is the
recording's own fit, run over a trailing window by the native live clock
(`online.SampleClock`), so live and `load` count and place gaps alike.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from .online import KindStats, SampleClock, Settled

Batch = dict[str, Any]


class ClockStage:
    """Batches in, the same rows with their sample times out; see the module.
    `arrived`, if given, sees each batch of rows as it comes, before the
    clock holds it (a count that must not wait half a second)."""

    def __init__(self, delay: float = 0.5, *, nominal: dict[str, float] | None = None,
                 arrived: Callable[[Batch], object] | None = None) -> None:  # fmt: skip
        self.clock = SampleClock(delay=delay, nominal=nominal)
        self.arrived = arrived

    @property
    def delay(self) -> float:
        """Seconds a row is held at most after it came."""
        return self.clock.delay_ns / 1e9

    def stats(self, kind: str) -> KindStats:
        """What the clock has found for `kind` so far."""
        return self.clock.stats(kind)

    def push(self, batch: Batch) -> Batch | None:
        """Takes `batch`; gives the rows now settled (None while all are held)."""
        if not len(batch["kind"]):
            return self.clock.columns_until(time.time_ns())
        if self.arrived is not None:
            self.arrived(batch)
        return self.clock.feed_columns(batch)

    def finish(self) -> Batch | None:
        """Every row still held."""
        return self.clock.finish_columns()

    def due(self) -> float | None:
        """Seconds until the first row held is to be given out (never below
        0), None while nothing is held: how long a reader may wait for more."""
        first = self.clock.first_held()
        if first is None:
            return None
        # A millisecond over, so that the wait ends with the row due.
        return max(0.0, (first + self.clock.delay_ns - time.time_ns()) / 1e9 + 0.001)

    def count(self, kind: str, n: int, t: int, lossy: bool | None = None) -> None:
        """Takes `n` packets of `kind` received at `t` (ns) for the figures
        alone, as a capture that keeps bytes, not rows, knows them."""
        self.clock.count(kind, n, t, lossy)

    def settle(self) -> None:
        """Settles everything held, for the figures (`stats`) at the end of counts."""
        self.clock.finish()

    def packets(self, packets: Iterable[Any]) -> Iterator[Settled]:
        """Packets one by one (`packet_type`, `timestamp`), where no columns
        can be had (without numpy): each with its sample time (ns) and the
        packets of its kind missing before it. Nothing tells where the line
        lost bytes, so a gap needs the floor's step alone."""
        for packet in packets:
            yield from self.clock.feed((packet,))
        yield from self.clock.finish()

    def __call__(self, batches: Iterable[Batch]) -> Iterator[Batch]:
        """The plain form: the rows of `batches`, stamped."""
        try:
            for batch in batches:
                if (out := self.push(batch)) is not None:
                    yield out
        except Exception:
            if (rest := self.finish()) is not None:
                yield rest
            raise
        if (rest := self.finish()) is not None:
            yield rest
