"""MockParser driven over recordings and FIFOs: the run life cycle, blocking
waits, end of data, read failures and internal errors."""

from __future__ import annotations

import math
import os
import pathlib
import resource
import time

import pytest

import brimlet
from brimlet_tools.wire.frames import estimated_frame, raw_frame
from conftest import is_panic, new_task, task_ended, tasks, wait_until


# What returns at once takes microseconds; a busy machine may hold it back
# for many milliseconds, but not for a second.
AT_ONCE = 1.0


def numbered_frames(count: int) -> bytes:
    """Alternating raw and estimated frames that carry their index."""
    return b"".join(
        raw_frame(scaled_ambient_pressure=float(i)) if i % 2 == 0 else estimated_frame(est_pressure_alt=float(i))
        for i in range(count)
    )


def frame_numbers(packets) -> list[int]:
    return [
        int(p.scaled_ambient_pressure if p.packet_type == "raw" else p.est_pressure_alt) for p in packets
    ]


def played_out(parser: brimlet.MockParser) -> None:
    wait_until(lambda: not parser.is_running())


def close_writer(handle) -> None:
    os.close(handle["fd"])
    handle["fd"] = None


# --- waiting --------------------------------------------------------------------


def test_never_started_parser_has_nothing_and_a_blocking_wait_times_out(recording):
    parser = brimlet.MockParser(recording(numbered_frames(5)), timeout=0.2)
    assert parser.get_data_packets() == []
    began = time.monotonic()
    with pytest.raises(OSError) as info:
        parser.get_data_packets(block=True)
    assert 0.18 <= time.monotonic() - began < 3
    assert info.value.args == ("timed out waiting on channel",)


@pytest.mark.parametrize("timeout", [None, 0, 0.0, -0.0, 1e-10])
def test_zero_timeout_looks_once(recording, timeout):
    parser = brimlet.MockParser(recording(b""), timeout=timeout)
    began = time.monotonic()
    with pytest.raises(OSError, match="^timed out waiting on channel$"):
        parser.get_data_packets(True)
    assert time.monotonic() - began < AT_ONCE


@pytest.mark.parametrize(
    "timeout, message",
    [
        (-1, "cannot convert float seconds to Duration: value is negative"),
        (-1e-300, "cannot convert float seconds to Duration: value is negative"),
        (-math.inf, "cannot convert float seconds to Duration: value is negative"),
        (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
    ],
)
def test_timeout_unusable_as_a_wait_is_an_internal_error(recording, timeout, message):
    parser = brimlet.MockParser(recording(numbered_frames(3)), timeout=timeout)
    with pytest.raises(BaseException) as info:
        parser.get_data_packets(block=True)
    assert is_panic(info.value)
    assert info.value.args == (message,)
    # The object is left usable.
    parser.start()
    played_out(parser)
    assert frame_numbers(parser.get_data_packets()) == [0, 1, 2]
    parser.stop()


@pytest.mark.parametrize("timeout", [1e12, 2.0**64 - 2.0**11])
def test_huge_timeout_returns_what_is_queued(recording, timeout):
    parser = brimlet.MockParser(recording(numbered_frames(3)), timeout=timeout)
    parser.start()
    played_out(parser)
    assert frame_numbers(parser.get_data_packets(True)) == [0, 1, 2]


def test_blocking_wait_returns_once_a_packet_arrives(fifo):
    parser = brimlet.MockParser(fifo["path"], timeout=10)
    parser.start()
    os.write(fifo["fd"], numbered_frames(3))
    packets = parser.get_data_packets(True)
    while len(packets) < 3:
        packets += parser.get_data_packets(True)
    assert frame_numbers(packets) == [0, 1, 2]
    close_writer(fifo)
    parser.stop()


# --- runs -----------------------------------------------------------------------


def test_recording_played_to_the_end(recording):
    count = 3000
    parser = brimlet.MockParser(recording(numbered_frames(count)))
    parser.start()
    played_out(parser)
    packets = parser.get_data_packets()
    assert frame_numbers(packets) == list(range(count))
    assert [p.packet_type for p in packets[:2]] == ["raw", "estimated"]
    assert parser.get_data_packets() == []
    parser.stop()


def test_ended_run_is_not_restarted_by_start_alone_and_the_file_is_not_rewound(recording):
    parser = brimlet.MockParser(recording(numbered_frames(4)))
    parser.start()
    played_out(parser)
    parser.start()  # the ended run is still held: nothing happens
    assert not parser.is_running()
    assert len(parser.get_data_packets()) == 4
    parser.stop()
    parser.start()
    played_out(parser)
    assert parser.get_data_packets() == []
    parser.stop()


def test_start_twice_keeps_one_reader(fifo):
    parser = brimlet.MockParser(fifo["path"])
    before = tasks()
    parser.start()
    parser.start()
    assert parser.is_running()
    reader = new_task(before)
    close_writer(fifo)
    assert parser.stop() is None
    assert task_ended(reader)
    assert not parser.is_running()


def test_stop_without_a_run_returns_at_once(recording):
    parser = brimlet.MockParser(recording(b""))
    began = time.monotonic()
    assert parser.stop() is None
    assert parser.stop() is None
    assert time.monotonic() - began < AT_ONCE


def test_stop_keeps_what_was_queued(fifo):
    parser = brimlet.MockParser(fifo["path"], timeout=10)
    parser.start()
    os.write(fifo["fd"], numbered_frames(2))
    first = parser.get_data_packets(True)
    close_writer(fifo)
    parser.stop()
    assert frame_numbers(first + parser.get_data_packets()) == [0, 1]


def test_with_statement(fifo):
    parser = brimlet.MockParser(fifo["path"])
    with parser as bound:
        assert bound is parser
        assert parser.is_running()
        close_writer(fifo)
    assert not parser.is_running()


def test_with_statement_lets_exceptions_through(recording):
    parser = brimlet.MockParser(recording(numbered_frames(2)))
    with pytest.raises(KeyError):
        with parser:
            raise KeyError("inside")
    assert not parser.is_running()
    assert parser.__exit__(None, None, None) is None
    assert parser.__exit__(KeyError, KeyError("x"), None) is None


# --- sources ---------------------------------------------------------------------


def test_missing_recording():
    with pytest.raises(OSError) as info:
        brimlet.MockParser("/nonexistent/brimlet.bin")
    assert type(info.value) is OSError
    assert info.value.args == ("No such file or directory (os error 2)",)


def test_recording_name_with_a_nul_byte(recording):
    with pytest.raises(OSError) as info:
        brimlet.MockParser(str(recording(b"")) + "\0tail")
    assert info.value.args == ("file name contained an unexpected NUL byte",)


def test_path_objects_are_accepted(recording):
    parser = brimlet.MockParser(pathlib.Path(recording(numbered_frames(2))))
    parser.start()
    played_out(parser)
    assert frame_numbers(parser.get_data_packets()) == [0, 1]


def test_empty_recording_ends_quietly(recording):
    parser = brimlet.MockParser(recording(b""))
    parser.start()
    played_out(parser)
    assert parser.get_data_packets() == []


def test_directory_fails_at_the_first_read_and_errors_queue_oldest_first(tmp_path):
    parser = brimlet.MockParser(tmp_path)
    for _ in range(2):
        parser.start()
        played_out(parser)
        parser.stop()
    for _ in range(2):
        with pytest.raises(OSError) as info:
            parser.get_data_packets()
        assert info.value.args == ("Is a directory (os error 21)",)
    assert parser.get_data_packets() == []


def test_incomplete_frame_at_the_end_is_dropped(recording):
    data = numbered_frames(3)
    parser = brimlet.MockParser(recording(data + data[:7]))
    parser.start()
    played_out(parser)
    assert frame_numbers(parser.get_data_packets()) == [0, 1, 2]


# --- threads that cannot be created ------------------------------------------------


@pytest.mark.skipif(os.getuid() == 0, reason="root is not held to RLIMIT_NPROC")
@pytest.mark.parametrize("begin", [brimlet.MockParser.start, brimlet.MockParser.__enter__])
def test_reader_thread_that_cannot_be_created(recording, begin):
    parser = brimlet.MockParser(recording(numbered_frames(5)))
    soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)
    resource.setrlimit(resource.RLIMIT_NPROC, (0, hard))
    try:
        with pytest.raises(BaseException) as info:
            begin(parser)
    finally:
        resource.setrlimit(resource.RLIMIT_NPROC, (soft, hard))
    assert is_panic(info.value)
    assert str(info.value).startswith("failed to spawn thread")
    assert not parser.is_running()
    # The source was kept: a later start runs from the beginning.
    parser.start()
    played_out(parser)
    assert frame_numbers(parser.get_data_packets()) == [0, 1, 2, 3, 4]
    parser.stop()
