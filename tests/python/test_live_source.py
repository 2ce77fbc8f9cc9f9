"""brimlet_columns.LiveSource: the engine's packets as columns, waited for
without the interpreter lock, on a descriptor an event loop can watch."""

from __future__ import annotations

import asyncio
import os
import selectors
import threading
import time

import pytest
from conftest import new_task, run_python, task_ended, tasks

import brimlet
import brimlet_columns
from brimlet_tools import load
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
    del whole["end"]  # where a frame lay in a stream: a recording's, not a live line's
    assert list(got) == list(whole) and len(got["kind"]) > 100
    for name, column in whole.items():
        if name != "time":  # receive times now, not those of a recording
            assert got[name].tobytes() == memoryview(column).tobytes(), name
    assert (got["time"] > 0).all() and source.closed
    with pytest.raises(ValueError, match="closed"):
        source.read()


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
    # Sample times are fitted over a whole recording; a live batch has receive
    # times, and the bytes passed over before each packet.
    assert set(batches[0]) == set(loaded) - {"sample_time", "missing_before"} | {"skipped"}
    for name, column in loaded.items():
        if name not in batches[0]:
            continue
        joined = np.concatenate([b[name] for b in batches])
        assert joined.dtype == column.dtype, name
        if name != "time":
            assert joined.tobytes() == column.tobytes(), name
