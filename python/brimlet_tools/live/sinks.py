"""The consumers of a live reading behind one interface, and the loop that
feeds them: a command is wiring, source -> clock stage -> sinks.

A sink takes each batch of columns as it comes (`take`) and is told of the
end (`finish`); the loop owns how a reading ends, the same for every sink:

    run(reading, ClockStage(), [writer])      # a port read in a thread
    await feed(aiter(stream), [hub])          # an event loop's batches

`run` ends when the reading does (its time, a stop, the line's silence),
when every sink has had enough, or when an output takes nothing for
STALLED seconds while Ctrl-C asks for the end (the ToolError that says so,
after each sink has let go of what it holds). A port that hung up is
reported as PortHungUp once every row read before is delivered.
"""

from __future__ import annotations

import os
from collections.abc import AsyncIterator, Callable, Sequence
from typing import IO, TYPE_CHECKING, Any, Protocol

from ..errors import PortHungUp, ToolError
from ..files.outputs import STALLED, OutputStalled, StalledWrites

if TYPE_CHECKING:
    from ..timing.stage import ClockStage
    from .acquire import PortReading

Batch = dict[str, Any]


class Sink(Protocol):
    """A consumer of batches."""

    def take(self, batch: Batch) -> bool:
        """Takes the rows of `batch`; True once the sink wants no more."""
        ...

    def finish(self) -> None:
        """After the last batch: the sink completes what it holds."""
        ...

    def drop(self) -> None:
        """What the sink has not delivered goes nowhere (its output stalled)."""
        ...


class Writer:
    """Writes the rows of the kinds `codes` with `write(batch, rows)` to
    `out`, flushed after each batch, `count` rows at most; `advance` is told
    how many each batch brought."""

    def __init__(self, out: IO[Any], write: Callable[[Batch, Any], None], codes: Sequence[int],
                 count: int | None = None, advance: Callable[[int], object] = lambda n: None) -> None:  # fmt: skip
        self.out, self.write, self.codes, self.count, self.advance = out, write, list(codes), count, advance
        self.written = 0

    def take(self, batch: Batch) -> bool:
        rows = rows_of(batch["kind"], self.codes)
        if self.count is not None:
            rows = rows[: self.count - self.written]
        if len(rows):
            self.write(batch, rows)
            self.out.flush()
            self.written += len(rows)
            self.advance(len(rows))
        return self.count is not None and self.written >= self.count

    def finish(self) -> None:
        self.out.flush()

    def drop(self) -> None:
        let_go(self.out)


def rows_of(kind: Any, codes: Sequence[int]) -> Any:
    """The rows whose `kind` is one of `codes`: an array of their indices,
    or where the batch is of memoryviews (no numpy) a range or a list."""
    if isinstance(kind, memoryview):
        chosen = set(codes)
        kinds = kind.tolist()
        if chosen.issuperset(kinds):
            return range(len(kinds))
        return [i for i, k in enumerate(kinds) if k in chosen]
    import numpy as np

    return np.flatnonzero(np.isin(kind, codes))


# What a reading ended by an output that stalled reports.
STALLED_END = f"stopped while the output had taken nothing for {STALLED:g} s or more; what it did not take is lost"


def let_go(out: IO[Any]) -> None:
    """What `out` has not taken goes nowhere, so that the end does not wait on it again."""
    nowhere = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(nowhere, out.fileno())
    finally:
        os.close(nowhere)


def run(reading: PortReading[Batch], stage: ClockStage | None, sinks: Sequence[Sink], stop: Any) -> None:
    """Feeds `sinks` the batches of `reading`, through `stage` where given,
    until one of the ends the module names; `stop` is the reading's stop
    flag, set by Ctrl-C or SIGTERM meanwhile. What the reading brings after
    its end (`ended_at`, read on for the clock) goes to no sink."""
    stalled = StalledWrites(stop)
    try:
        with stalled.on_signals():
            for batch in reading if stage is None else stage(reading):
                if reading.ended_at is not None:
                    kept = batch["time"].view("int64") <= reading.ended_at
                    batch = {name: column[kept] for name, column in batch.items()}
                if not len(batch["kind"]):
                    continue
                with stalled:
                    enough = [sink.take(batch) for sink in sinks]
                if all(enough):
                    break
            with stalled:
                for sink in sinks:
                    sink.finish()
    except OutputStalled:
        for sink in sinks:
            sink.drop()
        raise ToolError(STALLED_END) from None
    finally:
        reading.close()
    if reading.hung_up:
        raise PortHungUp(reading.port)


async def feed(batches: AsyncIterator[Batch], sinks: Sequence[Sink]) -> None:
    """Feeds `sinks` every batch of `batches` as it comes, until their end
    or until every sink has had enough; a failure of the batches is raised
    after each sink has finished."""
    try:
        async for batch in batches:
            if all([sink.take(batch) for sink in sinks]):
                break
    finally:
        for sink in sinks:
            sink.finish()
