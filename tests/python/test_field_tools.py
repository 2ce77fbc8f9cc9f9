"""The tools for a bad day in the field: which ports there are, which
version is installed, how signals end a command, a line that delivers bytes
but no frame, and the live monitor."""

from __future__ import annotations

import dataclasses
import itertools
import os
import re
import signal
import subprocess
import sys
import threading
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pytest

import brimlet
from brimlet_tools import cli
from brimlet_tools.live import linewatch
from brimlet_tools.sim.simulator import Faults, StreamConfig, expected_packets, simulate, stream_bytes
from brimlet_tools.wire.fields import OUTPUT_NAME
from framecount import FrameCounter
from conftest import CHILD_ENV, needs_numpy, read_line, run_cli, tool, wait_until, wait_until_read, write_times

# What the installed console script `brimlet` runs.
CONSOLE_SCRIPT = "import sys; from brimlet_tools.cli import main; sys.exit(main())"


def test_version_names_the_module_that_would_be_loaded() -> None:
    result = run_cli("--version")
    assert result.returncode == 0
    assert result.stdout.startswith(f"brimlet {brimlet.VERSION} (module {brimlet.VERSION} from {brimlet.__file__};")


@pytest.mark.parametrize("launch", [["-m", "brimlet_tools"], ["-c", CONSOLE_SCRIPT]], ids=["module", "script"])
@pytest.mark.parametrize(
    "sig, status, word", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")], ids=["INT", "TERM"]
)
def test_a_signal_cuts_work_short_alike_from_module_and_script(
    launch: list[str], sig: int, status: int, word: str, tmp_path: Path
) -> None:
    output = tmp_path / "long.bin"
    command = [sys.executable, *launch, "generate", "--duration", "1e6", "--output", str(output)]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, env=CHILD_ENV)
    try:
        wait_until(lambda: any(p.stat().st_size for p in tmp_path.iterdir()))  # the work has begun, out of sight
        process.send_signal(sig)
        _, err = process.communicate(timeout=10)
    finally:  # a generator left running would write for ever
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == status and not output.exists() and not list(tmp_path.iterdir())
    assert err.strip().endswith(f": {word}") and "Traceback" not in err


def test_ports_lists_what_identifies_each_port(pty_pair: tuple[int, str], monkeypatch, capsys) -> None:
    list_ports = pytest.importorskip("serial.tools.list_ports")
    from serial.tools.list_ports_common import ListPortInfo
    from serial.tools.list_ports_linux import SysFS

    result = run_cli("ports")  # this machine's own, whatever they are
    assert result.returncode == 0 and result.stdout and not result.stderr
    usb = ListPortInfo("/dev/ttyACM0", skip_link_detection=True)
    usb.vid, usb.pid, usb.serial_number, usb.manufacturer, usb.location = 0x1A2B, 0x0C, "6251.1234", "Maker", "1-1.2:1.0"
    listings = {"none": [], "some": [SysFS(pty_pair[1]), usb]}
    monkeypatch.setattr(list_ports, "comports", lambda include_links=False: listings[kind])
    usb_line = "/dev/ttyACM0  usb 1a2b:000c  serial 6251.1234  maker Maker  at 1-1.2:1.0"
    for kind in listings:
        assert cli.main(["ports"]) == 0
        said = capsys.readouterr()
        if kind == "none":  # said, and not taken for data
            assert said.out == "" and said.err == "no serial ports found\n"
        else:
            assert said.out.splitlines() == [f"{pty_pair[1]}", usb_line]
    # A pattern, as pyserial's list_ports takes one: a regular expression, in any case.
    for pattern, shown in [("maker", [usb_line]), ("1A2B:000C", [usb_line]), ("pts|ACM", [pty_pair[1], usb_line]),
                           ("nothing", [])]:  # fmt: skip
        assert cli.main(["ports", pattern]) == 0
        said = capsys.readouterr()
        assert said.out.splitlines() == shown and (shown or "no serial port matches 'nothing'" in said.err)


# --- a line with bytes but no frame ----------------------------------------------------


@contextmanager
def noise_on(master: int) -> Iterator[None]:
    """Bytes that never start a frame, written to the line until the block ends."""
    done = threading.Event()

    def write() -> None:
        while not done.wait(0.01):
            try:
                os.write(master, NOISE)
            except BlockingIOError:  # a full line: nobody is reading
                pass

    os.set_blocking(master, False)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        yield
    finally:
        done.set()
        writer.join()


NOISE = bytes(range(0x76, 0x100)) * 4  # no 0x75, so no sync pair


@pytest.mark.parametrize("command", [pytest.param(["stats"], marks=needs_numpy), ["dump", "--follow"]], ids=["stats", "dump-follow"])
def test_a_line_of_bytes_without_frames_is_named(command: list[str], pty_pair: tuple[int, str]) -> None:
    master, port = pty_pair
    with noise_on(master):
        process = subprocess.Popen([*tool(*command, "--port", port)], stderr=subprocess.PIPE, text=True, env=CHILD_ENV)
        assert process.stderr is not None
        if "--follow" in command:  # the hint is a warning, and the reading goes on until Ctrl-C
            line = read_line(process.stderr)
            process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    if "--follow" in command:
        assert process.returncode == 0 and line.startswith("warning: "), line + err
        err = line
    else:
        assert process.returncode == 1
    assert f"no valid frame from {port} in 3 s, yet bytes arrive (" in err
    assert "none in a valid frame" in err and "check the baud rate: this reads at 921600" in err


# --- the monitor ------------------------------------------------------------------------


FAULTY = StreamConfig(seconds=1.0, raw_rate=200, estimated_rate=50, seed=7,
                      faults=Faults(garbage=0.05, damage=0.05, invalid=0.2))  # fmt: skip


def screen_counts(out: str) -> dict[str, str]:
    """The numbers of the monitor's screen, by what they count."""
    found = {kind: re.search(rf"^\W*{kind}\W+(\d+)\W", out, re.M) for kind in ("raw", "estimated")}
    line = re.search(r"^line: (\d+) bytes, (\d+) outside frames, (\d+) failed checksums$", out, re.M)
    assert line and all(found.values()), out
    counts = {kind: m.group(1) for kind, m in found.items() if m}
    counts.update(bytes=line.group(1), outside=line.group(2), checksums=line.group(3))
    return counts


@pytest.mark.parametrize("source", ["file", "port"])
def test_the_monitor_shows_what_the_line_brought(source: str, pty_pair: tuple[int, str], tmp_path: Path) -> None:
    pytest.importorskip("rich")
    pytest.importorskip("numpy")
    stream = stream_bytes(FAULTY)
    recording = tmp_path / "faulty.bin"
    recording.write_bytes(stream)
    frames = list(simulate(FAULTY))
    # Played at its pace, one read per frame as it was sampled: the sample clock has a second to fit.
    ends = itertools.accumulate(len(f.wire) for f in frames)
    write_times(recording, [(end, 10**18 + round(f.time * 1e9)) for end, f in zip(ends, frames)])
    master, port = pty_pair
    slave = os.open(port, os.O_RDONLY | os.O_NOCTTY)  # not read: it tells what the monitor has read
    where = ["--file", str(recording)] if source == "file" else ["--port", port]
    process = subprocess.Popen(tool("monitor", *where), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env=CHILD_ENV)  # fmt: skip
    assert read_line(process.stderr).startswith("monitoring ")
    if source == "port":  # ends with Ctrl-C once all is read; a played recording ends with the line's hang-up
        os.write(master, stream)
        wait_until_read(slave)
        process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    os.close(slave)
    assert process.returncode == 0
    assert err.strip().endswith("stopped" if source == "port" else "the recording ended")
    expected = expected_packets(FAULTY)
    counts = screen_counts(out)
    reference = FrameCounter()
    reference.feed(stream)
    assert counts == {
        "raw": str(sum(p.packet_type == "raw" for p in expected)),
        "estimated": str(sum(p.packet_type == "estimated" for p in expected)),
        "bytes": str(len(stream)),
        "outside": str(reference.skipped_bytes),
        "checksums": str(reference.bad_checksums),
    }
    assert int(counts["checksums"]) > 0 and int(counts["outside"]) > 0
    flagged = Counter(OUTPUT_NAME[name] for p in expected if p.invalid_fields for name in p.invalid_fields.split(","))
    assert f"fields flagged not valid: {', '.join(f'{n} {c}' for n, c in sorted(flagged.items()))}" in out
    last_raw = next(p for p in reversed(expected) if p.packet_type == "raw")
    assert re.search(r"scaled_accel\W+" + r"\s+".join(f"{v:.4g}" for v in last_raw.scaled_accel or []), out)
    if source == "file":  # the rate fitted to the pace the reads came at (how near, the test below), its drift, gaps
        assert re.search(r"^\W*raw\W+\d+\W+[\d.]+\W+[-+][\d.]+\W+(\d+ gaps?, \d+ missing|no gap)", out, re.M), out


def test_the_monitor_takes_its_figures_from_the_batches_it_reads() -> None:
    # The batches the live reader gives, one packet each, stamped at the
    # frame's sample time, taken as the monitor takes them: the rate, drift
    # and gaps are the clock's, not a busy machine's.
    np = pytest.importorskip("numpy")
    import brimlet_columns

    from brimlet_tools.timing.stage import ClockStage

    config = dataclasses.replace(FAULTY, faults=Faults(garbage=0.01, damage=0.01, invalid=0.2))
    frames = list(simulate(config))
    stream = b"".join(f.wire for f in frames)
    columns, totals = brimlet_columns.decode(stream)
    rows = {name: np.asarray(memoryview(column)) for name, column in columns.items() if name not in ("time", "end")}
    times = [10**18 + round(f.time * 1e9) for f in frames if f.intact]
    watch, clock = linewatch.LineWatch(), ClockStage(nominal={"raw": config.raw_rate})
    for row, t in enumerate(times):
        batch = {name: column[row : row + 1] for name, column in rows.items()}
        batch["time"] = np.array([t], dtype="datetime64[ns]")
        watch.take(batch, totals)
        clock.push(batch)
    clock.finish()
    raw = clock.stats("raw")
    assert raw.rate == pytest.approx(config.raw_rate, rel=1e-6) and abs(raw.drift_ppm or 0) < 1
    assert 0 < raw.missing == sum(f.packet_type == "raw" and not f.intact for f in frames)
    intact = Counter(f.packet_type for f in frames if f.intact)
    assert watch.packets == {"raw": intact["raw"], "estimated": intact["estimated"]}
    assert totals["outside"] > 0


@pytest.mark.parametrize("received", [True, False], ids=["receive-times", "no-receive-times"])
def test_the_monitor_of_a_recording_shows_the_rates_that_stats_fits(received: bool, tmp_path: Path) -> None:
    # Without receive times there is no rate to fit: the monitor says so, as
    # stats does, rather than show the pace the recording is replayed at.
    pytest.importorskip("rich")
    pytest.importorskip("numpy")
    import json
    import random

    config = StreamConfig(seconds=1.5, raw_rate=400, estimated_rate=40, seed=2, clock_ppm=-140)
    frames = list(simulate(config))
    recording = tmp_path / "flight.bin"
    recording.write_bytes(b"".join(f.wire for f in frames))
    # Reads that bring a few frames each, late by up to 3 ms: what a real line gives.
    rng, reads, end = random.Random(4), [], 0
    for i, f in enumerate(frames):
        end += len(f.wire)
        if rng.random() < 0.3 or i == len(frames) - 1:
            reads.append((end, 10**18 + round(f.time * (1 - 140e-6) * 1e9) + rng.randint(50_000, 3_000_000)))
    if received:
        write_times(recording, sorted(reads))
    kinds = json.loads(run_cli("stats", str(recording), "--json").stdout)["kinds"]
    shown = run_cli("monitor", str(recording), "--expect-raw-rate", "400", "--expect-estimated-rate", "40",
                    timeout=60).stdout  # fmt: skip
    for kind in ("raw", "estimated"):
        row = re.search(rf"^\W*{kind}\s*│\s*\d+\s*│\s*(\S+)\s*│\s*(\S+)\s*│", shown, re.M)
        assert row, shown
        rate, drift = (None if x == "-" else float(x) for x in row.groups())
        fitted = kinds[kind]["rate_hz"]
        assert rate == (None if fitted is None else pytest.approx(fitted, rel=1e-3))
        assert drift == (None if fitted is None else pytest.approx(kinds[kind]["drift_ppm"], abs=0.1))
        assert (fitted is None) != received


def test_the_hint_names_a_common_rate_that_brings_frames(monkeypatch) -> None:
    # A line that only a port at 460800 baud reads as frames (a pseudo-terminal
    # has no line speed, so the rates are told apart here).
    def probe(port: str, baudrate: int) -> FrameCounter:
        counter = FrameCounter()
        counter.feed(stream_bytes(FAULTY) if baudrate == 460800 else NOISE)
        return counter

    monkeypatch.setattr(linewatch, "probe", probe)
    hint = linewatch.no_frame_hint("/dev/ttyUSB0", 115200, 3.2)
    assert hint == (f"no valid frame from /dev/ttyUSB0 in 3 s, yet bytes arrive ({len(NOISE)} in 0.5 s, none in a "
                    "valid frame): at 460800 baud the line brings valid frames; give --baudrate 460800")  # fmt: skip
