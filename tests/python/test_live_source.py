"""brimlet_columns.LiveSource: the engine's packets as columns, waited for
without the interpreter lock, on a descriptor an event loop can watch."""

from __future__ import annotations

import asyncio
import contextlib
import errno
import os
import selectors
import threading
import time
import tty
from collections.abc import Callable

import pytest
from conftest import new_task, python_child, run_python, task_ended, tasks

import brimlet
import brimlet_columns
from brimlet_tools import load
from brimlet_tools.errors import PortHungUp, ToolError
from brimlet_tools.live import stream
from brimlet_tools.live.stream import live
from brimlet_tools.wire import frames
from brimlet_tools.sim.simulator import Faults, StreamConfig, stream_bytes

np = pytest.importorskip("numpy")

NOISY = StreamConfig(seconds=0.5, raw_rate=200, estimated_rate=50, seed=3,
                     faults=Faults(garbage=0.05, drop=0.03, damage=0.03, invalid=0.3))  # fmt: skip


def read_all(source: brimlet_columns.LiveSource, limit: float = 10.0) -> dict[str, np.ndarray]:
    """Every batch until the end, joined, waiting on the descriptor only."""
    batches = []
    with selectors.DefaultSelector() as selector:
        selector.register(source, selectors.EVENT_READ)
        deadline = time.monotonic() + limit
        while (batch := source.read(0)) is not None:
            batches.append({name: np.asarray(memoryview(column)) for name, column in batch.items()})
            assert selector.select(max(0.0, deadline - time.monotonic())), "no readiness before the end"
    return {name: np.concatenate([b[name] for b in batches]) for name in batches[0]}


def test_a_recording_gives_the_columns_decode_gives_and_then_ends(recording) -> None:
    data = stream_bytes(NOISY) + frames.raw_frame(scaled_gyro=[float("nan")] * 3)
    with brimlet_columns.LiveSource.recording(recording(data)) as source:
        got = read_all(source)
        assert source.read() is None and source.read(0) is None  # the end stays, and never waits
        passed_over = source.scan_totals()
    whole, totals = brimlet_columns.decode(data)
    assert passed_over == {name: totals[name] for name in passed_over} and totals["outside"] > 0
    assert passed_over["bytes"] == len(data)
    del whole["end"]  # where a frame lay in a stream: a recording's, not a live line's
    # and the boot clock read with each receive time, which never goes back
    assert list(got) == [*whole, "boot"] and len(got["kind"]) > 100
    assert (got["boot"] > 0).all() and (np.diff(got["boot"]) >= 0).all()
    for name, column in whole.items():
        if name != "time":  # receive times now, not those of a recording
            assert got[name].tobytes() == memoryview(column).tobytes(), name
    assert (got["time"] > 0).all() and source.closed
    with pytest.raises(ValueError, match="closed"):
        source.read()


def failing_calls(directory: int) -> list[tuple[Callable[[], object], type[Exception], str, int | None]]:
    """(call, exception type, its text, its errno) for each kind of failure
    the module raises; `directory` is a descriptor open on a directory."""
    closed = brimlet_columns.LiveSource.recording(__file__)
    closed.close()
    columns, _ = brimlet_columns.decode(stream_bytes(NOISY))
    leading = [np.asarray(memoryview(columns[name])) for name in ("time", "kind", "invalid", "present")]
    leading[1] = np.full_like(leading[1], 200)
    unknown_kind = [*leading, *(columns[name] for name in brimlet_columns.DATA_COLUMNS)]
    return [
        (closed.read, ValueError, "I/O operation on a closed live source", None),
        (closed.fileno, ValueError, "I/O operation on a closed live source", None),
        (closed.scan_totals, ValueError, "I/O operation on a closed live source", None),
        (lambda: brimlet_columns.text_lines("csv", unknown_kind), ValueError,
         "the kind column holds a code with no packet type", None),
        (lambda: brimlet_columns.decode_file(directory, 10), IsADirectoryError,
         "[Errno 21] Is a directory", errno.EISDIR),
        # A reader's failure keeps its own words, with its number beside them.
        (lambda: brimlet_columns.LiveSource.recording(f"/proc/self/fd/{directory}").read(5), OSError,
         "Is a directory (os error 21)", errno.EISDIR),
    ]  # fmt: skip


def test_failures_are_raised_with_their_exception_and_text(tmp_path) -> None:
    directory = os.open(tmp_path, os.O_RDONLY)
    try:
        for call, kind, text, number in failing_calls(directory):
            with pytest.raises(kind) as failure:
                call()
            assert type(failure.value) is kind and str(failure.value) == text
            assert getattr(failure.value, "errno", None) == number, text
    finally:
        os.close(directory)


def test_open_failures_read_as_the_parsers_do(tmp_path) -> None:
    absent = str(tmp_path / "absent")
    for live, parser in [(brimlet_columns.LiveSource, brimlet.SerialParser),
                         (brimlet_columns.LiveSource.recording, brimlet.MockParser)]:  # fmt: skip
        texts = []
        for open_source in (live, parser):
            with pytest.raises(OSError) as failure:
                open_source(absent)
            texts.append(str(failure.value))
        assert texts[0] == texts[1] != ""


def test_a_silent_port_ends_with_the_parsers_text_after_its_packets(pty_pair) -> None:
    master, port = pty_pair
    frame = frames.raw_frame(scaled_ambient_pressure=1000.0)
    with brimlet_columns.LiveSource(port, timeout=0.3) as source:
        os.write(master, frame * 3)
        got = []
        with pytest.raises(OSError, match="^Operation timed out$"):
            while (batch := source.read()) is not None:
                got += memoryview(batch["scaled_ambient_pressure"]).tolist()
        assert got == [1000.0] * 3
        assert source.read() is None


def test_waits_leave_other_threads_running_and_close_joins_the_reader(pty_pair) -> None:
    master, port = pty_pair
    ticks = 0
    done = threading.Event()

    def ticker() -> None:
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)

    before = tasks()
    source = brimlet_columns.LiveSource(port, timeout=5.0)  # the line's silence ends no wait below
    reader = new_task(before)
    thread = threading.Thread(target=ticker)
    thread.start()
    ticked = ticks
    batch = source.read(0.3)
    # A wait that held the interpreter would leave the ticker no tick at all.
    assert batch is not None and len(batch["kind"]) == 0 and ticks - ticked >= 5
    # A call that overlaps a wait in another thread is refused; a frame ends the wait.
    waiting = threading.Event()
    waiter = threading.Thread(target=lambda: (waiting.set(), source.read(10.0)))
    waiter.start()
    waiting.wait()
    time.sleep(0.5)  # ten times what the thread needs to be inside its wait
    with pytest.raises(RuntimeError, match="Already borrowed"):
        source.close()
    os.write(master, frames.raw_frame())
    waiter.join()
    done.set()
    thread.join()
    os.write(master, frames.raw_frame())  # ends the reader's wait, for the close to come soon
    source.close()
    assert task_ended(reader)


def test_the_sources_left_open_are_closed_at_interpreter_exit(pty_pair) -> None:
    _, port = pty_pair
    out = run_python("""
        import atexit, sys
        # Registered first, so it runs after the module's own handler.
        atexit.register(lambda: print(sources[0].closed))
        import brimlet_columns
        sources = [brimlet_columns.LiveSource(sys.argv[1], timeout=0.5)]
        sources.append(sources)  # a cycle, which nothing frees before the end
    """, port)
    assert out.strip() == "True"


async def collect_async(stream) -> list:
    async with stream:
        return [batch async for batch in stream]


@pytest.mark.parametrize("iterate", [list, lambda stream: asyncio.run(collect_async(stream))], ids=["sync", "async"])
def test_live_batches_are_typed_and_named_as_load_makes_them(iterate, recording) -> None:
    data = stream_bytes(NOISY)
    path = recording(data)
    batches = iterate(live(recording=path))
    loaded = load(path).columns
    assert all(len(b["kind"]) for b in batches)
    # A live batch has the sample clock's columns too (fitted on the receive
    # times of now), and the bytes passed over before each packet.
    assert set(batches[0]) == set(loaded) | {"skipped"}
    for name, column in loaded.items():
        joined = np.concatenate([b[name] for b in batches])
        assert joined.dtype == column.dtype, name
        if name not in ("time", "sample_time", "missing_before"):
            assert joined.tobytes() == column.tobytes(), name
    sample, received = (np.concatenate([b[name] for b in batches]).view(np.int64) for name in ("sample_time", "time"))
    assert (sample <= received).all()


@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
def test_a_port_that_hangs_up_ends_the_batches_with_the_tools_message_after_its_packets(asynchronous) -> None:
    master, slave = os.openpty()
    tty.setraw(slave)
    port = os.ttyname(slave)
    got: list = []

    async def drain(stream) -> None:
        async with stream:
            async for batch in stream:
                got.append(batch)

    try:
        stream = live(port, timeout=30)
        os.write(master, frames.raw_frame(scaled_ambient_pressure=1.0) * 3)
        with selectors.DefaultSelector() as queued:
            queued.register(stream.source, selectors.EVENT_READ)
            assert queued.select(30), "the reader took nothing"
        os.close(master)
        master = -1
        with pytest.raises(PortHungUp, match=f"^the port {port} hung up$"):
            if asynchronous:
                asyncio.run(drain(stream))
            else:
                with stream:
                    for batch in stream:
                        got.append(batch)
    finally:
        for fd in (master, slave):
            if fd >= 0:
                os.close(fd)
    assert [v for b in got for v in b["scaled_ambient_pressure"].tolist()] == [1.0] * 3
    assert all(len(b["sample_time"]) == len(b["missing_before"]) == len(b["kind"]) for b in got)


@pytest.mark.parametrize("timeout", [float("nan"), -1.0, -1e-9])
def test_a_timeout_that_is_no_wait_is_refused(pty_pair, timeout: float) -> None:
    _, port = pty_pair
    with pytest.raises(ValueError, match="timeout must be a non-negative number"):
        brimlet_columns.LiveSource(port, timeout=timeout)


@pytest.mark.parametrize("wait", [float("inf"), 1e300, 1e9])
def test_a_read_without_end_waits_for_what_comes(pty_pair, wait: float) -> None:
    master, port = pty_pair
    frame = frames.raw_frame(scaled_ambient_pressure=1000.0)
    with brimlet_columns.LiveSource(port, timeout=5) as source:
        later = threading.Timer(0.5, os.write, (master, frame))
        later.start()
        batch = source.read(wait)
        later.join()
        assert memoryview(batch["scaled_ambient_pressure"]).tolist() == [1000.0]


def test_following_a_port_reads_through_silences_and_a_slow_consumer_loses_nothing(pty_pair) -> None:
    """The device drops what the port cannot take, as a device does."""
    master, port = pty_pair
    os.set_blocking(master, False)
    numbered = [frames.raw_frame(scaled_gyro=[0.0] * 3, scaled_accel=[0.0] * 3, scaled_ambient_pressure=float(n))
                for n in range(6000)]  # fmt: skip
    dropped = 0

    def device() -> None:
        nonlocal dropped
        for n, frame in enumerate(numbered):
            if n == 100:
                time.sleep(0.8)  # silent for longer than the timeout
            try:
                dropped += os.write(master, frame) < len(frame)
            except BlockingIOError:
                dropped += 1
            if n % 50 == 0:
                time.sleep(0.01)

    async def consume() -> list[float]:
        got: list[float] = []
        async with live(port, timeout=0.2, follow=True) as stream:
            batches = aiter(stream)
            writer = threading.Thread(target=device)
            writer.start()
            time.sleep(3.0)  # a consumer busy elsewhere, the loop held
            writer.join()
            with contextlib.suppress(TimeoutError):
                while len(got) < len(numbered):
                    got += (await asyncio.wait_for(anext(batches), 5))["scaled_ambient_pressure"].tolist()
        return got

    got = asyncio.run(consume())
    assert dropped == 0 and got == list(range(len(numbered)))


def test_a_cancelled_wait_leaves_the_stream_going(pty_pair) -> None:
    master, port = pty_pair

    async def main() -> list[float]:
        async with live(port, follow=True) as stream:
            batches = aiter(stream)
            waiting = asyncio.ensure_future(anext(batches))
            await asyncio.sleep(0.2)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            os.write(master, frames.raw_frame(scaled_ambient_pressure=7.0))
            return (await asyncio.wait_for(anext(batches), 10))["scaled_ambient_pressure"].tolist()

    assert asyncio.run(main()) == [7.0]


@pytest.mark.skipif(os.environ.get("BRIMLET_EMULATED") == "1",
                    reason="the emulator does not pass on the ioctl that tells an exclusive terminal")
def test_a_virtual_device_whose_reader_was_killed_can_be_opened_again() -> None:
    from brimlet_tools.sim.virtual_device import VirtualDevice

    with VirtualDevice(stale_after=None) as device:
        holder = python_child("import brimlet_columns, sys, time\n"
                              "s = brimlet_columns.LiveSource(sys.argv[1], timeout=30)\nprint(flush=True)\ntime.sleep(60)",
                              device.path)  # fmt: skip
        assert holder.stdout.readline() == "\n"  # it holds the port
        holder.kill()
        holder.wait()
        deadline = time.monotonic() + 10
        while True:
            device.write(frames.raw_frame(scaled_ambient_pressure=1.0))  # the device goes on sending
            try:
                brimlet_columns.LiveSource(device.path, timeout=1).close()
                break
            except OSError as e:
                assert time.monotonic() < deadline, e
                time.sleep(0.05)


class FailingSource:
    """A live source whose first read fails with `error`."""

    def __init__(self, error: OSError) -> None:
        self.error = error

    def read(self, timeout: float | None = None) -> None:
        raise self.error

    def close(self) -> None:
        pass


# A hang-up is known by its error number, as the reader raises it; the text
# alone, or another failure, is the reader's failure.
@pytest.mark.parametrize("reading", ["ColumnListener", "live"])
@pytest.mark.parametrize("text, number, hangs_up", [
    ("Broken pipe", errno.EPIPE, True),
    ("I/O error", errno.EIO, False),
    ("Broken pipe", None, False),
])  # fmt: skip
def test_only_a_hang_up_ends_a_reading_as_the_port_hung_up(monkeypatch, reading, text, number, hangs_up) -> None:
    error = OSError(text)
    error.errno = number
    monkeypatch.setattr(stream, "open_source", lambda *args: FailingSource(error))
    port = "/dev/ttyGONE"
    if reading == "ColumnListener":
        listener = stream.ColumnListener(port, timeout=1.0)
        if hangs_up:
            assert list(listener) == [] and listener.hung_up
        else:
            with pytest.raises(ToolError, match=f"^reading {port} failed: {text}$"):
                list(listener)
        return
    with pytest.raises(PortHungUp if hangs_up else OSError) as info:
        list(live(port, timeout=1.0))
    assert hangs_up or info.value is error
