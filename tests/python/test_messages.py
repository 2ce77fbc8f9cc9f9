"""What the commands say, and where: warnings in one line, closing lines on
stderr with only data on stdout, an input without packets said, the same
figures from `record` and `stats`; and the picture `plot` draws."""

from __future__ import annotations

import os
import re
import signal
import time
from pathlib import Path

import pytest

from brimlet_tools.sim.simulator import StreamConfig, simulate, stream_bytes
from conftest import needs_matplotlib, needs_numpy, run_cli, start_record, wait_for_size, write_times

np = pytest.importorskip("numpy")

SHORT = StreamConfig(seconds=0.5, raw_rate=200, estimated_rate=50, seed=9)
WARNING = re.compile(r"^(brimlet|python -m brimlet_tools): warning: \S.*$")


@pytest.fixture
def flight(tmp_path: Path) -> Path:
    path = tmp_path / "flight.bin"
    data = stream_bytes(SHORT)
    path.write_bytes(data)
    write_times(path, [(end, 1_765_000_000_000_000_000 + end * 10_000) for end in range(500, len(data), 500)]
                + [(len(data), 1_765_000_000_000_000_000 + len(data) * 10_000)])  # fmt: skip
    return path


def only_warnings(stderr: str) -> list[str]:
    lines = stderr.splitlines()
    assert all(WARNING.match(line) for line in lines), stderr
    return lines


@needs_numpy
def test_times_of_another_recording_are_one_line_of_warning(flight: Path, tmp_path: Path) -> None:
    other = tmp_path / "other.bin"
    other.write_bytes(b"\x00" * 7 + flight.read_bytes())  # the times file belongs to flight.bin
    os.replace(str(flight) + ".times", str(other) + ".times")
    result = run_cli("stats", str(other))
    assert result.returncode == 0
    assert len(only_warnings(result.stderr)) == 1 and "Warning" not in result.stderr and ".py" not in result.stderr


@needs_numpy
@pytest.mark.parametrize("command", [
    ["export", "{rec}", "{out}.csv"], ["export", "{rec}", "{out}.h5"], ["plot", "{rec}", "-o", "{out}.png"],
    ["dump", "{rec}", "-o", "{out}.csv"], ["dump", "{rec}", "-o", "{out}.txt"],
])  # fmt: skip
def test_closing_lines_go_to_stderr_and_an_empty_input_is_said(command: list[str], flight: Path,
                                                              tmp_path: Path) -> None:  # fmt: skip
    if command[0] == "plot":
        pytest.importorskip("matplotlib")
    if command[-1].endswith(".h5"):
        pytest.importorskip("h5py")
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    for source in (flight, empty):
        result = run_cli(*(part.format(rec=source, out=tmp_path / source.stem) for part in command))
        assert result.returncode == 0 and result.stdout == ""
        closing = result.stderr.splitlines()
        assert closing[-1].startswith("wrote ")
        if source == empty:
            assert only_warnings("\n".join(closing[:-1])) == [closing[0]] and "empty" in closing[0]
        else:
            assert len(closing) == 1


@needs_matplotlib
def test_a_picture_named_without_an_ending_is_a_png(flight: Path, tmp_path: Path) -> None:
    result = run_cli("plot", str(flight), "-o", str(tmp_path / "picture"))
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "picture").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["flight.bin", "flight.bin.times", "picture"]


@needs_numpy
def test_text_stats_tell_what_json_stats_tell_of_the_line(flight: Path) -> None:
    data = flight.read_bytes()
    flight.write_bytes(data + data[:20])  # a frame cut off at the end
    result = run_cli("stats", str(flight), "--json")
    import json

    report = json.loads(result.stdout)
    assert report["unfinished_bytes"] == 20
    text = run_cli("stats", str(flight)).stdout
    assert "the last frame is cut off (20 bytes at the end)" in text


@needs_numpy
def test_hdf5_progress_moves_while_it_is_written(flight: Path, tmp_path: Path) -> None:
    pytest.importorskip("h5py")
    from brimlet_tools import export, load

    told: list[int] = []
    recording = load(flight)
    export(recording, tmp_path / "f.h5", advance=told.append)
    assert len(told) > 10 and sum(told) == len(recording)


@needs_numpy
def test_record_and_stats_give_the_same_drift(pty_pair, tmp_path: Path) -> None:
    master, port = pty_pair
    output = tmp_path / "capture.bin"
    process = start_record(port, output)
    size, start = 0, time.monotonic()
    for frame in simulate(StreamConfig(seconds=2.0, raw_rate=200, estimated_rate=20, seed=3, clock_ppm=300)):
        time.sleep(max(0.0, start + frame.time - time.monotonic()))
        os.write(master, frame.wire)
        size += len(frame.wire)
    wait_for_size(output, size)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=20)
    assert process.returncode == 0, stderr
    said = dict(re.findall(r"(raw|estimated) [\d.]+ Hz \(([-+][\d.]+) ppm\)", stderr))
    import json

    kinds = json.loads(run_cli("stats", str(output), "--json").stdout)["kinds"]
    assert said and all(value == f"{kinds[kind]['drift_ppm']:+.1f}" for kind, value in said.items()), stderr


@needs_matplotlib
def test_the_picture_has_a_panel_per_quantity_with_its_own_scale(flight: Path) -> None:
    from brimlet_tools import load
    from brimlet_tools.plot import from_recording, panels, time_label

    recording = load(flight)
    picture = from_recording(recording)
    labels = [p.label for p in panels(picture)]
    assert labels == ["acceleration x, y (m/s^2)", "acceleration z (m/s^2)", "angular rate (rad/s)",
                      "orientation (degrees)", "est_pressure_alt (m)"]  # fmt: skip
    orientation = panels(picture)[3]
    assert [line[2] for line in orientation.lines] == ["roll", "pitch", "yaw"]
    assert all(abs(v) <= 180 for line in orientation.lines for v in line[1])
    assert time_label(picture.start_ns, "receive time").endswith(" UTC")
    assert "2025-12-06 05:46:40" in time_label(picture.start_ns, "receive time")


@needs_matplotlib
def test_plot_takes_fields_and_a_time_window(flight: Path, tmp_path: Path) -> None:
    out = tmp_path / "x.svg"
    result = run_cli("plot", str(flight), "-o", str(out), "--fields", "scaled_gyro,est_pressure_alt",
                     "--start", "0.02", "--end", "0.06", "--quiet")  # fmt: skip
    assert result.returncode == 0 and result.stderr == "", result.stderr
    svg = out.read_text()
    assert "angular rate" in svg and "acceleration" not in svg
    bad = run_cli("plot", str(flight), "-o", str(out), "--start", "0.3", "--end", "0.1")
    assert bad.returncode == 2 and "--end must come after --start" in bad.stderr


@pytest.mark.parametrize("command", [["dump"], ["export", "-o", "x.csv"], ["stats"], ["plot", "-o", "x.png"],
                                     ["monitor"], ["demo"], ["virtual-device"]])  # fmt: skip
def test_a_missing_recording_is_one_text_for_every_command(command: list[str], tmp_path: Path) -> None:
    missing = tmp_path / "missing.bin"
    result = run_cli(command[0], str(missing), *command[1:])
    if "which is not installed" in result.stderr:  # an optional extra this tree lacks
        pytest.skip(result.stderr.strip())
    assert result.returncode == 1
    assert result.stderr.endswith(f": error: cannot read recording {missing}: No such file or directory\n")


@needs_numpy
def test_dump_writes_the_stretch_that_start_and_end_name_in_every_format(flight: Path, tmp_path: Path) -> None:
    from brimlet_tools import load
    from brimlet_tools.recordings.window import parse_point, window

    want = window(load(flight), parse_point("0.02"), parse_point("0.06"))
    assert 0 < len(want) < len(load(flight))
    for fmt, rows in (("csv", lambda text: len(text.splitlines()) - 1), ("jsonl", lambda text: len(text.splitlines())),
                      ("text", lambda text: text.count("IMUPacket")), ("table", lambda text: sum(line.split()[0][0].isdigit() for line in text.splitlines()))):
        result = run_cli("dump", str(flight), "--format", fmt, "--start", "0.02", "--end", "0.06")
        assert result.returncode == 0 and rows(result.stdout) == len(want), (fmt, result.stderr)
    first = run_cli("dump", str(flight), "--format", "csv", "--start", "0.02", "--end", "0.06").stdout.splitlines()[1]
    assert first.startswith(str(int(want["time"].view("int64")[0])))
    for command in (["dump", "-p", "/dev/null"], ["serve", "-p", "/dev/null"], ["virtual-device"]):
        refused = run_cli(*command, "--start", "1")
        assert refused.returncode == 2 and "--start and --end apply to a recording only" in refused.stderr, command
