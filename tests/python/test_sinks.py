"""The live loop's ends, the same for every sink: a reading's end, a port
that hung up (after every row read before it), rows read on past the end,
a sink that has had enough, and an output that stalled."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

import pytest

from brimlet_tools.errors import PortHungUp, ToolError
from brimlet_tools.files.outputs import OutputStalled
from brimlet_tools.live import sinks

np = pytest.importorskip("numpy")


class Reading:
    """Batches of rows received at the times given; hangs up at their end if told."""

    port = "/dev/ttyX"

    def __init__(self, times: list[list[int]], hangs_up: bool, ended_at: int | None) -> None:
        self.times, self.hangs_up, self.ended_at = times, hangs_up, ended_at
        self.hung_up = self.closed = False

    def __iter__(self) -> Iterator[dict[str, Any]]:
        for t in self.times:
            yield {"kind": np.zeros(len(t), np.uint8), "time": np.array(t, "datetime64[ns]")}
        self.hung_up = self.hangs_up

    def close(self) -> None:
        self.closed = True


class Kept:
    def __init__(self, enough: int | None, fails: bool) -> None:
        self.enough, self.fails = enough, fails
        self.rows: list[int] = []
        self.finished = self.dropped = False

    def take(self, batch: dict[str, Any]) -> bool:
        if self.fails:
            raise OutputStalled
        self.rows += batch["time"].view("int64").tolist()
        return self.enough is not None and len(self.rows) >= self.enough

    def finish(self) -> None:
        self.finished = True

    def drop(self) -> None:
        self.dropped = True


@pytest.mark.parametrize(
    "hangs_up, ended_at, enough, fails, rows, error",
    [
        pytest.param(False, None, None, False, [1, 2, 3], None, id="end"),
        pytest.param(True, None, None, False, [1, 2, 3], "the port /dev/ttyX hung up", id="hang-up after every row"),
        pytest.param(False, 2, None, False, [1, 2], None, id="read on past the end"),
        pytest.param(True, None, 2, False, [1, 2], None, id="enough before the hang-up"),
        pytest.param(False, None, None, True, [], sinks.STALLED_END, id="stalled output"),
    ],
)  # fmt: skip
def test_the_loop_delivers_then_says_how_the_reading_ended(hangs_up, ended_at, enough, fails, rows, error) -> None:
    reading, sink = Reading([[1, 2], [], [3]], hangs_up, ended_at), Kept(enough, fails)
    if error is None:
        sinks.run(reading, None, [sink], stop=None)
    else:
        with pytest.raises(PortHungUp if hangs_up else ToolError, match=f"^{error}$"):
            sinks.run(reading, None, [sink], stop=None)
    assert (sink.rows, reading.closed, sink.finished, sink.dropped) == (rows, True, not fails, fails)


def test_letting_a_stalled_output_go_keeps_no_descriptor(tmp_path) -> None:
    # The output stays open and now writes nowhere; each end let go opens nothing that lives on.
    with open(tmp_path / "out", "w") as out:
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(3):
            sinks.let_go(out)
        out.write("lost")
        out.flush()
        assert len(os.listdir("/proc/self/fd")) == before
    assert (tmp_path / "out").read_text() == ""
