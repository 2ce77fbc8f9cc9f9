"""A live port or a recording as batches of columns, for loops that must not
freeze: `for batch in live(port)` and `async for batch in live(port)`.

Each batch is a dict of numpy arrays with the names and types of
`load(...).columns` ("time" as datetime64[ns] receive times, "sample_time" and
"missing_before" from the sample clock, "kind", "invalid", "present", the
float32 data columns) and "skipped" (the bytes the line lost before each
packet), holding the packets in order; each comes out once the clock's delay
(half a second) of the line has come after it (`timing.stage`). The native source (brimlet_columns.LiveSource) decodes
on its own thread and waits without the interpreter lock; the asynchronous
iterator waits on its readiness descriptor in the event loop, so the loop's
other tasks run meanwhile.

A port that stays silent for `timeout` seconds ends the iteration with
OSError("Operation timed out"), as the parser classes do, unless `follow`
is given: then the reader reads on through the silence, so the port is
never left unread. A read failure ends it with the reader's text after
every packet before it; a port that hangs up, with the error every command
gives for one (`errors.PortHungUp`). Nothing is dropped on the way: a consumer that
falls behind finds every packet queued (the queue has no bound), and an
`await anext(...)` that is cancelled leaves the stream as it was.

`ColumnListener` reads a port as the tools read one (`acquire.PortReading`:
for a time, until a stop request or a hang-up), in the same batches, which
are memoryviews of the columns where numpy is missing.
"""

from __future__ import annotations

import asyncio
import functools
import math
import os
import time
from collections.abc import AsyncIterator, Callable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from ..errors import PortHungUp, ToolError, require
from ..timing.stage import ClockStage
from .acquire import PortReading, hung_up

if TYPE_CHECKING:
    import brimlet_columns
    import numpy as np
    import numpy.typing as npt

    Batch = dict[str, npt.NDArray[Any]]

# While the clock holds rows, the source is read at most this often (its
# reader thread reads on, and what came meanwhile is one batch): a row comes
# out at most this long after its half second.
PACE = 0.01
# The longest a reading of columns waits for the live source before it looks
# at the clock and the stop request again.
COLUMN_WAIT = 0.05


def native() -> Any:
    try:
        import brimlet_columns
    except ImportError as e:
        raise ToolError(f"live sources need the brimlet_columns extension module ({e}); build it "
                        "with `make` and put its build directory on PYTHONPATH") from e  # fmt: skip
    return brimlet_columns


def as_arrays(batch: dict[str, brimlet_columns.Column]) -> Batch:
    """The native columns as numpy arrays (no copy), typed as `load` types them."""
    np = require("numpy", "live sources", "numpy", "python3-numpy")
    arrays = {name: np.asarray(memoryview(column)) for name, column in batch.items()}
    arrays["time"] = arrays["time"].view("datetime64[ns]")
    return arrays


@functools.cache
def numpy_at_hand() -> bool:
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


def as_columns(batch: dict[str, brimlet_columns.Column]) -> Batch:
    """The native columns as numpy arrays (`as_arrays`), or where numpy is
    missing as memoryviews of them ("time" as integer nanoseconds), which
    the writers take as well."""
    if numpy_at_hand():
        return as_arrays(batch)
    return {name: memoryview(column) for name, column in batch.items()}  # type: ignore[misc]


class LiveStream:
    """Batches from a port (or, with `recording`, from a recording read as fast
    as it goes) with their sample times; see the module's description. A
    context manager, sync or async, that closes the source."""

    def __init__(self, port: str | os.PathLike[str] | None = None, baudrate: int | None = None,
                 timeout: float = 1.0, follow: bool = False, *,
                 recording: str | os.PathLike[str] | None = None,
                 arrived: Callable[[Batch], object] | None = None) -> None:  # fmt: skip
        if (port is None) == (recording is None):
            raise TypeError("live() takes a port or a recording, not both")
        # Following, no wait of the reader ever runs out (as `acquire.listen`
        # reads a port): a reader closed at a silence and opened again would
        # leave the port unread meanwhile, and a device drops what it cannot send.
        wait = math.inf if follow and recording is None else timeout
        self.port = None if port is None else os.fspath(port)
        self.source = open_source(port, baudrate, wait, recording)
        self.stage = ClockStage(arrived=arrived)
        self.ended = False
        self.failure: BaseException | None = None

    def _take(self, timeout: float | None) -> Batch | None:
        """The next batch (no rows when the wait ran out), None at the end."""
        batch = self.source.read(timeout)
        return None if batch is None else as_arrays(batch)

    def _failed(self, e: OSError) -> BaseException:
        """What ends the iteration for the reader's failure `e`: a hang-up
        reads as every command reports one; other failures as the reader's."""
        if self.port is not None and hung_up(e):
            return PortHungUp(self.port)
        return e

    def _pause(self) -> float | None:
        """How long the source may gather before the next read: until the
        first row the clock holds is due, and PACE at least; None while it
        holds none (the next read waits for what comes)."""
        due = self.stage.due()
        return None if due is None else max(due, PACE)

    def _next(self) -> Batch | None:
        pause = self._pause()
        if pause is not None:
            time.sleep(pause)
        return self._take(None if pause is None else 0)

    def __iter__(self) -> Iterator[Batch]:
        try:
            yield from self.stage(iter(self._next, None))
        except OSError as e:
            raise self._failed(e) from e

    def __aiter__(self) -> AsyncIterator[Batch]:
        return self

    async def __anext__(self) -> Batch:
        # A coroutine, not an asynchronous generator: one whose wait is
        # cancelled would be finished for good. Nothing is awaited between
        # taking a batch and giving it out, so a cancelled wait loses nothing.
        while not self.ended:
            try:
                batch = self._take(0)
            except OSError as e:
                batch, self.failure = None, self._failed(e)
            out = self.stage.finish() if batch is None else self.stage.push(batch)
            self.ended = batch is None
            if out is not None:
                return out
            if self.ended:
                break
            if (pause := self._pause()) is None:
                await self._readable()
            else:
                await asyncio.sleep(pause)
        if self.failure is not None:
            failure, self.failure = self.failure, None
            raise failure
        raise StopAsyncIteration

    async def _readable(self) -> None:
        loop = asyncio.get_running_loop()
        ready = loop.create_future()
        fd = self.source.fileno()

        def wake() -> None:
            if not ready.done():
                ready.set_result(None)

        loop.add_reader(fd, wake)
        try:
            await ready
        finally:
            loop.remove_reader(fd)

    def scan_totals(self) -> dict[str, int]:
        """What the scanner has passed over since the start (see LiveSource.scan_totals)."""
        return self.source.scan_totals()

    def close(self) -> None:
        self.source.close()

    def __enter__(self) -> LiveStream:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:  # fmt: skip
        self.close()

    async def __aenter__(self) -> LiveStream:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:  # fmt: skip
        self.close()


def open_source(port: str | os.PathLike[str] | None, baudrate: int | None, wait: float,
                recording: str | os.PathLike[str] | None) -> brimlet_columns.LiveSource:  # fmt: skip
    """The native source of a port (reads that wait `wait` seconds at most) or of a recording."""
    if recording is not None:
        return native().LiveSource.recording(recording)  # type: ignore[no-any-return]
    return native().LiveSource(port, baudrate, wait)  # type: ignore[no-any-return]


def live(port: str | os.PathLike[str] | None = None, baudrate: int | None = None, timeout: float = 1.0,
         follow: bool = False, *, recording: str | os.PathLike[str] | None = None,
         arrived: Callable[[Batch], object] | None = None) -> LiveStream:  # fmt: skip
    """Batches of columns from `port` as they arrive (or from `recording`),
    with their sample times; iterate with `for` or `async for`. `arrived`
    sees each batch as it comes, half a second before it is given out. See
    the module's description."""
    return LiveStream(port, baudrate, timeout, follow, recording=recording, arrived=arrived)


class ColumnListener(PortReading["Batch"]):
    """The reading of a port that `acquire.PortReading` describes, through
    the live source, in batches of columns (`as_columns` types them): each
    holds what came since the last, with the bytes passed over before each packet
    ("skipped"); a batch of no rows says that nothing came for a moment, and
    a failure comes after every packet before it. Given `linger`, the reading
    goes on for as many seconds after its time has passed or a stop came,
    with `ended_at` set: what comes then is read to tell about what came
    before (a sample clock's delay)."""

    source: Any = None

    def open_line(self) -> None:
        try:
            self.source = open_source(self.port, self.baudrate, self.wait, None)
        except OSError as e:
            raise ToolError(f"cannot open port {self.port}: {e}") from e

    def let_go(self) -> None:
        if self.source is not None:
            self.source.close()
            self.source = None

    def poll(self) -> list[Batch] | None:
        batch = self.source.read(COLUMN_WAIT)
        if batch is None:
            return None
        arrays = as_columns(batch)
        if rows := len(arrays["kind"]):
            self.received += rows
            # The reader thread gathers meanwhile: a read per packet or two
            # would cost more than the packets themselves.
            time.sleep(PACE)
        return [arrays]
