"""Fixtures shared by the Python tests: recordings on disk and their replay."""

from __future__ import annotations

import itertools
import time
from collections.abc import Callable
from pathlib import Path

import pytest

import brimlet


@pytest.fixture
def recording(tmp_path: Path) -> Callable[[bytes], Path]:
    """A function that writes bytes to a new file under tmp_path and returns its path."""
    numbers = itertools.count()

    def write(data: bytes) -> Path:
        path = tmp_path / f"recording-{next(numbers)}.bin"
        path.write_bytes(data)
        return path

    return write


def read_to_end(parser, limit: float = 10.0) -> list:
    """Runs a started parser until its source is exhausted, stops it and
    returns every packet decoded."""
    deadline = time.monotonic() + limit
    while parser.is_running():
        if time.monotonic() > deadline:
            raise AssertionError("the recording was not read to its end in time")
        time.sleep(0.001)
    parser.stop()
    return parser.get_data_packets()


@pytest.fixture
def replay(recording) -> Callable[[bytes], list]:
    """A function that replays a byte stream through a MockParser and returns
    the list of packets it gives."""

    def run(data: bytes) -> list:
        parser = brimlet.MockParser(recording(data))
        parser.start()
        return read_to_end(parser)

    return run
