"""Thread affinity of parser objects, drops on foreign and owner threads, and
overlapping uses of one object on its own thread."""

from __future__ import annotations

import gc
import os
import pathlib
import select
import threading

import pytest

import brimlet
from brimlet_tools.wire.frames import raw_frame
from conftest import descriptors_on, is_panic, new_task, read_to_end, started, task_ended, tasks


def run_in_thread(function):
    """Runs `function` on a new thread; returns what it returned or raised."""
    outcome = {}

    def body():
        try:
            outcome["value"] = function()
        except BaseException as exc:  # PanicException is not an Exception
            outcome["raised"] = exc

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return outcome


@pytest.fixture
def ten_frames(recording) -> pathlib.Path:
    return recording(b"".join(raw_frame(scaled_ambient_pressure=float(i)) for i in range(10)))


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    return seen


# --- calls from another thread --------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.start(),
        lambda p: p.stop(),
        lambda p: p.is_running(),
        lambda p: p.get_data_packets(),
        lambda p: p.get_data_packets(block=True),
        lambda p: p.__enter__(),
        lambda p: p.__exit__(None, None, None),
    ],
)
def test_call_from_another_thread_panics(ten_frames, call):
    parser = brimlet.MockParser(ten_frames)

    def attempt():
        try:
            call(parser)
        except Exception:  # must not catch it
            return "caught as Exception"
        return "returned"

    outcome = run_in_thread(attempt)
    assert "value" not in outcome
    exc = outcome["raised"]
    assert is_panic(exc)
    message = str(exc)
    assert "brimlet::MockParser is unsendable, but sent to another thread" in message
    # The text of a failed equality check: both thread identities.
    assert message.startswith("assertion `left == right` failed: ")
    left, right = message.splitlines()[1:]
    assert left.startswith("  left: ") and right.startswith(" right: ")
    assert left.split(": ")[1] != right.split(": ")[1]
    # Nothing happened to the object; it works on its own thread.
    assert not parser.is_running()
    assert len(read_to_end(started(parser))) == 10


def test_thread_identities_are_not_recycled(ten_frames, unraisable):
    # Threads that end one after the other may get the same kernel thread id;
    # the owner check must still tell them apart.
    parsers = [run_in_thread(lambda: brimlet.MockParser(ten_frames))["value"] for _ in range(3)]
    for parser in parsers:
        outcome = run_in_thread(parser.is_running)
        assert is_panic(outcome["raised"])
    del parser, outcome
    parsers.clear()  # dropped here, on the wrong thread: reported, not torn down
    gc.collect()  # the exceptions' tracebacks held them in cycles
    assert len(unraisable) == 3


# --- drops ------------------------------------------------------------------------------


def test_drop_on_another_thread_is_reported_and_leaves_the_reader_running(fifo, unraisable):
    box = [brimlet.MockParser(fifo["path"])]
    box[0].start()
    run_in_thread(lambda: box.pop() and None)
    assert len(unraisable) == 1
    report = unraisable[0]
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == "brimlet::MockParser is unsendable, but is being dropped on another thread"
    assert report.object is None
    # The leaked reader still drains the FIFO: far more than a pipe holds goes through.
    chunk = b"".join(raw_frame(scaled_accel=[1.0, 2.0, 3.0]) for _ in range(1000))
    for _ in range(64):
        _, writable, _ = select.select([], [fifo["fd"]], [], 10)
        assert writable, "nobody reads the FIFO any more"
        os.write(fifo["fd"], chunk)
    os.close(fifo["fd"])  # end of data: the leaked reader ends
    fifo["fd"] = None


def test_drop_on_another_thread_keeps_a_pending_exception(ten_frames, unraisable):
    box = [brimlet.MockParser(ten_frames)]

    def drop_while_raising():
        try:
            raise LookupError("pending")
        except LookupError:
            box.pop()
            raise

    outcome = run_in_thread(drop_while_raising)
    assert isinstance(outcome["raised"], LookupError)
    assert len(unraisable) == 1


def test_drop_on_the_owner_thread_joins_the_reader(fifo, unraisable):
    parser = brimlet.MockParser(fifo["path"])
    before = tasks()
    parser.start()
    reader = new_task(before)
    # The writer stays open, so only the stop ends the reader's wait; the
    # source, which the run gives back at its end, is closed after the join.
    del parser
    assert descriptors_on(fifo["path"]) == 1  # the writer's
    assert task_ended(reader)
    assert unraisable == []


# --- overlapping uses on the owner thread ----------------------------------------------


class NumpyLikeBool:
    """Passed as `block`, its truth test runs while get_data_packets holds the
    object: a way to enter the object again from inside a call."""

    def __init__(self, during):
        self.during = during
        self.seen = None

    def __bool__(self):
        try:
            self.seen = ("returned", self.during())
        except BaseException as exc:
            self.seen = ("raised", exc)
        return False


NumpyLikeBool.__module__ = "numpy"
NumpyLikeBool.__name__ = "bool_"


@pytest.mark.parametrize(
    "inner, kind, message",
    [
        (lambda p: p.start(), RuntimeError, "Already borrowed"),
        (lambda p: p.stop(), RuntimeError, "Already borrowed"),
        (lambda p: p.get_data_packets(), RuntimeError, "Already borrowed"),
        (lambda p: p.is_running(), RuntimeError, "Already mutably borrowed"),
        (lambda p: p.__enter__(), "panic", "Already borrowed"),
        (lambda p: p.__exit__(None, None, None), "panic", "Already borrowed"),
    ],
)
def test_overlapping_use_is_refused(ten_frames, inner, kind, message):
    parser = brimlet.MockParser(ten_frames)
    block = NumpyLikeBool(lambda: inner(parser))
    assert parser.get_data_packets(block) == []
    outcome, exc = block.seen
    assert outcome == "raised"
    if kind == "panic":
        assert is_panic(exc)
        assert str(exc).startswith(message)
    else:
        assert type(exc) is kind
        assert str(exc) == message
    # The outer call was undisturbed and the use was given back.
    assert not parser.is_running()
    assert len(read_to_end(started(parser))) == 10


def test_use_is_given_back_after_a_failure_inside_the_call(ten_frames):
    parser = brimlet.MockParser(ten_frames)

    class Failing:
        def __bool__(self):
            raise ZeroDivisionError("from the truth test")

    Failing.__module__, Failing.__name__ = "numpy", "bool"
    with pytest.raises(ZeroDivisionError):
        parser.get_data_packets(Failing())
    assert parser.get_data_packets() == []

