"""The command-line tool and the helpers behind it: frame encoding and
counting, the output formats, capture of a port, summaries and plots."""

from __future__ import annotations

import csv
import io
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
import tty
from array import array
from pathlib import Path

import pytest

from brimlet_tools import cli
from brimlet_tools.recordings import formats
from brimlet_tools.sim.simulator import Faults, SimPacket, StreamConfig, expected_packets, f32, simulate, stream_bytes
from brimlet_tools.wire import frames
from brimlet_tools.wire.fields import OUTPUT_NAME, VALIDITY_NAMES, as_dict
from framecount import FrameCounter
from conftest import (CHILD_ENV, needs_matplotlib, needs_numpy, read_line, run_cli, start_record, tool,
                      wait_for_size, wait_until_read)

SMALL = StreamConfig(seconds=0.5, raw_rate=100, estimated_rate=50, seed=4, faults=Faults(invalid=0.2, garbage=0.1))


def without_stamp(record: dict[str, object]) -> dict[str, object]:
    return {k: v for k, v in record.items() if k != "timestamp"}


def same(a: object, b: object) -> bool:
    """Equality that takes NaN as equal to NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.fixture
def recording(tmp_path: Path) -> Path:
    path = tmp_path / "small.bin"
    path.write_bytes(stream_bytes(SMALL))
    return path


# --- frames and frame counting ------------------------------------------------


@pytest.mark.parametrize(
    "frame, expected",
    [
        (frames.frame(0x80, b""), "75658000" "5a03"),
        (frames.frame(0x82, b""), "75658200" "5c07"),
        (frames.frame(0x01, b""), "75650100" "db05"),
        (frames.raw_frame(scaled_accel=[1.0, 2.0, 3.0]), "7565800e0e043f8000004000000040400000" "f9ed"),
        (frames.estimated_frame(est_pressure_alt=1.0), "75658208" "08213f8000000001" "4d51"),
    ],
)
def test_frames_are_encoded_with_their_checksums(frame: bytes, expected: str) -> None:
    assert frame.hex() == expected


@pytest.mark.parametrize("piece", [1, 7, 261, 1 << 20])
def test_frame_counting_does_not_depend_on_how_the_stream_is_cut(piece: int) -> None:
    config = StreamConfig(seconds=0.3, raw_rate=300, estimated_rate=100, faults=Faults(0.2, 0.1, 0.1))
    stream = stream_bytes(config)
    counter = FrameCounter()
    for i in range(0, len(stream), piece):
        counter.feed(stream[i : i + piece])
    intact = [f for f in simulate(config) if f.intact]
    assert counter.by_type() == {k: sum(f.packet_type == k for f in intact) for k in ("raw", "estimated")}
    assert counter.total_bytes == len(stream)
    assert counter.skipped_bytes == len(stream) - sum(len(f.frame) for f in intact)


def test_frame_counting_waits_for_a_candidate_frame_to_complete() -> None:
    counter = FrameCounter()
    good = frames.frame(0x80, b"")
    # A false sync pair with length 200 holds back the valid frame after it
    # until 206 bytes have arrived; then its checksum fails and the walk goes on.
    assert counter.feed(b"\x75\x65\x80\xc8" + good) == 0
    assert counter.feed(bytes(205 - 4 - len(good))) == 0
    assert counter.feed(b"\x00") == 1
    assert counter.feed(frames.frame(0x01, b"")) == 0 and counter.frames[0x01] == 1


# --- formats ------------------------------------------------------------------------


ODD = SimPacket("raw", 2**63 - 1, scaled_accel=[-0.0, math.inf, math.nan], scaled_ambient_pressure=f32(1e-45))


def previous_layout(text: str, fmt: str, header: tuple[str, ...]) -> str:
    """`text` as older versions wrote it: kind, time and the flagged
    fields by name first (under `header` in CSV), no sample times."""
    def names(mask: int) -> str | None:
        return ",".join(n for bit, n in enumerate(VALIDITY_NAMES) if mask >> bit & 1) or None

    if fmt == "jsonl":
        rows = [json.loads(line) for line in text.splitlines()]
        return "".join(json.dumps({"kind": r.pop("kind"), "time": r.pop("time"), "invalid": names(r.pop("invalid"))}
                                  | r) + "\n" for r in rows)  # fmt: skip
    rows = list(csv.reader(io.StringIO(text)))[1:]
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows([header] + [[r[1], r[0], names(int(r[2])) or "", *r[3:]] for r in rows])
    return out.getvalue()


@pytest.mark.parametrize("fmt, older", [("csv", None), ("jsonl", None), ("csv", formats.PREVIOUS_COLUMNS),
                                        ("csv", formats.OLD_COLUMNS), ("jsonl", ())],
                         ids=["csv", "jsonl", "previous-csv", "old-csv", "previous-jsonl"])  # fmt: skip
def test_csv_and_json_lines_read_back_to_the_same_values(fmt: str, older: tuple[str, ...] | None) -> None:
    packets = expected_packets(SMALL) + [ODD]
    out = io.StringIO()
    writer = formats.PacketWriter(out, fmt)
    for p in packets:
        writer.write(p)
    text = out.getvalue()
    if older is not None:  # the layout that dump wrote before every output had one
        text = previous_layout(text, fmt, older)
    back = list((formats.read_csv if fmt == "csv" else formats.read_jsonl)(io.StringIO(text)))
    assert any(r["invalid_fields"] for r in back)
    assert all(same(r, as_dict(p)) for r, p in zip(back, packets, strict=True))
    assert math.copysign(1.0, back[-1]["scaled_accel"][0]) == -1.0  # type: ignore[index]


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_dump_writes_what_the_parser_decodes(fmt: str, recording: Path, tmp_path: Path) -> None:
    out = tmp_path / f"dump.{fmt}"
    assert cli.main(["dump", "--file", str(recording), "--format", fmt, "--output", str(out)]) == 0
    read = formats.read_csv if fmt == "csv" else formats.read_jsonl
    with out.open() as f:
        got = [without_stamp(r) for r in read(f)]
    assert got == [without_stamp(as_dict(p)) for p in expected_packets(SMALL)]


def test_dump_text_is_the_packet_text_form(recording: Path) -> None:
    result = run_cli("dump", "--file", str(recording), "--count", "3", "--format", "text")
    lines = result.stdout.splitlines()
    assert result.returncode == 0 and len(lines) == 3
    assert all(re.fullmatch(r'IMUPacket\(packet_type="(raw|estimated)", timestamp=\d+, .* \)', line) for line in lines)
    assert "scaled_accel=Some([" in lines[0]


@pytest.mark.parametrize("chosen", [lambda kinds: range(len(kinds)), lambda kinds: [i for i, k in enumerate(kinds) if k]],
                         ids=["every row", "estimated rows"])  # fmt: skip
def test_the_text_form_written_from_columns_is_the_packets_own(chosen, recording: Path) -> None:
    # Both kinds, flagged and absent fields, values that are not finite; the
    # columns as a live source's batch where numpy is missing.
    import brimlet_columns
    from brimlet_tools.live.acquire import replay

    recording.write_bytes(recording.read_bytes() + frames.raw_frame(scaled_accel=[-0.0, math.inf, math.nan]))
    packets = list(replay(recording))
    decoded, _ = brimlet_columns.decode(recording.read_bytes())
    columns = {name: memoryview(c) for name, c in decoded.items()}
    columns["time"] = memoryview(array("q", [p.timestamp for p in packets]))
    rows = chosen(columns["kind"].tolist())
    out = io.BytesIO()
    formats.ColumnWriter(out, "text").write(columns, rows)
    assert any(packets[i].invalid_fields for i in rows)
    assert out.getvalue().decode() == "".join(f"{packets[i]}\n" for i in rows)


# --- command-line input -------------------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["explode"], "invalid choice: 'explode'"),
        (["generate"], "the following arguments are required: -o/--output"),
        (["generate", "-o", "x", "--raw-rate", "1001"], "--raw-rate: 1001 is out of range"),
        (["generate", "-o", "x", "--duration", "-2"], "--duration: -2 is out of range"),
        (["generate", "-o", "x", "--drop-rate", "0.7", "--damage-rate", "0.7"], "must not exceed 1"),
        (["generate", "-o", "x", "--profile", "spin"], "invalid choice: 'spin'"),
        (["dump"], "give a recording or --port"),
        (["dump", "a", "--port", "b"], "give a recording or --port, not both"),
        (["dump", "a", "--file", "b"], "the recording is given twice"),
        (["export", "a"], "the output to write is required"),
        (["dump", "a", "--format", "csv", "--fields", "est_pressure_alt"], "--fields chooses the table's columns"),
        (["dump", "a", "--fields", "altitude"], "unknown field altitude"),
        (["stats", "a", "--raw-rate", "100"], "--raw-rate is now --assume-rate"),
        (["monitor", "--port", "p", "--estimated-rate", "10"], "--estimated-rate is now --expect-estimated-rate"),
        (["generate", "-o", "x", "--seconds", "5"], "--seconds is now --duration"),
        (["dump", "--file", "a", "--follow"], "apply to --port only"),
        (["dump", "--file", "a", "--format", "xml"], "invalid choice: 'xml'"),
        (["record", "--port", "p", "-o", "x", "--baudrate", "0"], "0 is out of range"),
        (["virtual-device", "--baudrate", "fast"], "not a whole number: 'fast'"),
    ],
)
def test_bad_input_is_refused_with_status_2(args: list[str], message: str, capsys) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(args)
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


# What each command reads and writes: a recording (as an argument, or with
# --file), a port (-p/--port with -b/--baudrate), an output (-o/--output).
GRAMMAR = {
    "generate": {"output"}, "virtual-device": {"recording"}, "dump": {"recording", "port", "output"},
    "export": {"recording", "output"}, "record": {"port", "output"}, "stats": {"recording", "port"},
    "plot": {"recording", "port", "output"}, "monitor": {"recording", "port"}, "ports": set(), "demo": {"recording"},
    "serve": {"recording", "port"},
}  # fmt: skip


def test_every_command_speaks_one_grammar() -> None:
    import argparse

    commands = next(a for a in cli.build_parser()._actions if isinstance(a, argparse._SubParsersAction)).choices
    assert set(commands) == set(GRAMMAR)
    meaning: dict[str, tuple[str, tuple[object, ...]]] = {}
    for name, parser in commands.items():
        parser.format_help()
        flags = {s: a for a in parser._actions for s in a.option_strings if a.dest != "old"}
        positional = {a.dest for a in parser._actions if not a.option_strings}
        spoken = {"recording": "file" in positional and "--file" in flags,
                  "port": {"-p", "--port", "-b", "--baudrate"} <= set(flags),
                  "output": {"-o", "--output"} <= set(flags)}  # fmt: skip
        assert {role for role, there in spoken.items() if there} == GRAMMAR[name], name
        for flag, action in flags.items():
            # The same option is the same everywhere: where it goes, how it is read, its default.
            signature = (action.dest, type(action), action.type, action.default, action.metavar, action.nargs)
            first, same = meaning.setdefault(flag, (name, signature))
            assert signature == same, f"{flag} of {name} differs from {flag} of {first}"


@pytest.mark.parametrize(
    "args, message",
    [
        (["dump", "--file", "/nonexistent/x.bin"], "cannot read recording /nonexistent/x.bin: No such file"),
        pytest.param(["stats", "--port", "/nonexistent/tty"], "cannot open port /nonexistent/tty: No such file or directory",
                     marks=needs_numpy),
        *((command, "cannot read recording /dev/zero: it is a character device, not a file") for command in (
            ["dump", "--file", "/dev/zero", "--format", "csv"], ["stats", "--file", "/dev/zero"],
            ["virtual-device", "--file", "/dev/zero"])),
        # plot names a missing matplotlib before it looks at its input
        pytest.param(["plot", "--file", "/dev/zero", "-o", "never.png"],
                     "cannot read recording /dev/zero: it is a character device, not a file", marks=needs_matplotlib),
        (["record", "--port", "/nonexistent/tty", "-o", "x"], "cannot open port /nonexistent/tty"),
    ],
)
def test_failures_are_one_line_with_status_1(args: list[str], message: str, capsys) -> None:
    assert cli.main(args) == 1
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


# --- record ---------------------------------------------------------------------------


def test_record_keeps_every_byte_exactly(pty_pair: tuple[int, str], tmp_path: Path) -> None:
    master, port = pty_pair
    output = tmp_path / "capture.bin"
    process = start_record(port, output, "--seconds", "2", "--baudrate", "12345")  # any rate, as for dump
    # Every byte value, among them the ones a terminal would translate or act
    # on (CR, LF, XON, XOFF, Ctrl-C, DEL), then a valid stream.
    sent = bytes(range(256)) * 4 + stream_bytes(SMALL)
    os.write(master, sent)
    _, err = process.communicate(timeout=10)
    assert process.returncode == 0
    assert output.read_bytes() == sent
    assert f"{len(sent)} bytes, {len(expected_packets(SMALL))} packets" in err


def test_ctrl_c_ends_record_with_the_file_complete(pty_pair: tuple[int, str], tmp_path: Path) -> None:
    master, port = pty_pair
    output = tmp_path / "capture.bin"
    process = start_record(port, output)
    first = stream_bytes(SMALL)
    os.write(master, first)
    wait_for_size(output, len(first))
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=10)
    assert process.returncode == 0, err
    assert output.read_bytes() == first
    assert "(stopped)" in err


def test_a_recording_of_the_virtual_device_loses_nothing(tmp_path: Path) -> None:
    link, output = tmp_path / "port", tmp_path / "capture.bin"
    device = subprocess.Popen(
        tool("virtual-device", "--seconds", "60", "--counter", "--keep-unread", "--raw-rate", "200",
             "--estimated-rate", "50", "--baudrate", "921600", "--link", str(link)),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
    )  # fmt: skip
    assert device.stdout is not None and device.stdout.readline().strip() == str(link)
    result = run_cli("record", "--port", str(link), "--output", str(output), "--seconds", "1")
    device.send_signal(signal.SIGINT)  # a device that hung up within the second would fail the record
    device.communicate(timeout=10)
    assert result.returncode == device.returncode == 0
    result = run_cli("dump", "--file", str(output), "--format", "jsonl")
    records = list(formats.read_jsonl(result.stdout.splitlines()))
    counters = [r["scaled_ambient_pressure"] if r["packet_type"] == "raw" else r["est_pressure_alt"] for r in records]
    assert len(counters) > 150
    assert counters == [counters[0] + i for i in range(len(counters))]


def test_dump_follows_a_port_through_silences_until_ctrl_c(pty_pair: tuple[int, str]) -> None:
    master, port = pty_pair
    dump = subprocess.Popen(
        tool("dump", "--port", port, "--follow", "--timeout", "0.2", "--format", "jsonl"),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
    )  # fmt: skip
    time.sleep(1.0)  # a silence of several timeouts, which the reader waits out
    os.write(master, stream_bytes(SMALL))
    assert dump.stdout is not None
    expected = [without_stamp(as_dict(p)) for p in expected_packets(SMALL)]
    # Ctrl-C ends the run at once, whatever the port still holds: it comes
    # once every packet sent has been printed, however slow the machine.
    records = [next(formats.read_jsonl([dump.stdout.readline()])) for _ in expected]
    dump.send_signal(signal.SIGINT)
    out = dump.stdout.read()  # not communicate(): it would skip what readline() buffered
    assert dump.wait(timeout=10) == 0
    dump.stdout.close()
    dump.stderr.close()  # type: ignore[union-attr]
    records += formats.read_jsonl(out.splitlines())
    assert [without_stamp(r) for r in records] == expected


def feed(fd: int, data: bytes, limit: float) -> int:
    """Writes `data` to the non-blocking `fd` for at most `limit` seconds;
    the count of bytes that could not be written."""
    view, deadline = memoryview(data), time.monotonic() + limit
    while view and time.monotonic() < deadline:
        try:
            view = view[os.write(fd, view[:4096]) :]
        except BlockingIOError:
            time.sleep(0.002)
    return len(view)


def monitor_raw_count(out: str) -> int:
    found = re.search(r"^\W*raw\W+(\d+)\W", out, re.M)
    assert found, out
    return int(found.group(1))


# Whatever reads a port, nothing pauses the reading: 3,000 frames, a pause
# longer than the timeout while the consumer is behind (its output unread),
# 1,000 more, all while the line is read; then a hang-up ends the command
# with every packet out, one line and status 1.
@pytest.mark.parametrize("command, ready, count", [
    (["dump", "--follow", "--timeout", "0.2", "--format", "csv"], False, lambda out: len(out.splitlines()) - 1),
    (["stats", "--follow", "--timeout", "0.2", "--quiet"], False,
     lambda out: int(re.search(r"^packets: (\d+) ", out, re.M).group(1))),  # type: ignore[union-attr]
    (["monitor"], True, monitor_raw_count),
], ids=["dump", "stats", "monitor"])  # fmt: skip
def test_a_port_is_read_through_pauses_until_it_hangs_up(command, ready, count) -> None:
    if command[0] != "dump":  # a port's stats and the monitor are made from column batches
        pytest.importorskip("numpy")
    if command[0] == "monitor":
        pytest.importorskip("rich")
    master, slave = os.openpty()
    tty.setraw(slave)
    port = os.ttyname(slave)
    os.set_blocking(master, False)
    process = subprocess.Popen(tool(command[0], "--port", port, *command[1:]), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=CHILD_ENV)  # fmt: skip
    try:
        if ready:  # it empties the port's queue as it opens it
            assert read_line(process.stderr).startswith("monitoring ")
        # Frames of every raw field: 1,000 of them are more than the terminal holds unread.
        vector = [0.5, -1.5, 9.75]
        numbered = [frames.raw_frame(scaled_accel=vector, scaled_gyro=vector, delta_theta=vector,
                                     delta_vel=vector, scaled_ambient_pressure=float(n)) for n in range(4000)]  # fmt: skip
        assert feed(master, b"".join(numbered[:3000]), 20.0) == 0
        time.sleep(1.0)
        assert feed(master, b"".join(numbered[3000:]), 10.0) == 0
        wait_until_read(slave)  # then the hang-up
    finally:
        os.close(master)
        os.close(slave)
        out, err = process.communicate(timeout=60)
    assert process.returncode == 1, err
    assert err.splitlines()[-1].endswith(f": error: the port {port} hung up")
    assert count(out) == 4000


def test_dump_of_a_silent_port_fails(pty_pair: tuple[int, str]) -> None:
    result = run_cli("dump", "--port", pty_pair[1], "--timeout", "0.2")
    assert result.returncode == 1
    assert f"no data from {pty_pair[1]} within 0.2 s" in result.stderr


# --- progress ---------------------------------------------------------------------------


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


# A bar, then a status line, then the closing line: what stderr shows.
@pytest.mark.parametrize("terminal, with_tqdm, quiet, shown, hidden", [
    (True, False, False, ["export: 3/7 packets", "export: 7/7 packets", "\r\x1b[Krecording 1 s", "\r\x1b[Krecorded\n"], []),
    (True, True, False, ["export", "/7", "packets", "recording 1 s"], []),
    (False, True, False, ["recording 1 s\nrecorded\n"], ["export", "\r"]),  # piped: no bar, status lines at intervals
    (True, True, True, [], ["export", "recording"]),  # quiet: the closing line alone
])  # fmt: skip
def test_progress_is_drawn_one_way_with_tqdm_or_without(terminal: bool, with_tqdm: bool, quiet: bool, shown: list[str],
                                                        hidden: list[str], monkeypatch) -> None:  # fmt: skip
    from brimlet_tools.commands import progress

    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    stream = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    monkeypatch.setattr(progress, "REDRAW", 0.0)  # every update drawn
    with progress.progress_bar("export", 7, quiet=quiet) as advance:
        advance(3)
        advance(4)
    status = progress.Progress(piped_interval=0.0, quiet=quiet)
    status.update(lambda: "recording 1 s")
    status.finish("recorded")
    text = stream.getvalue()
    assert text.endswith("recorded\n") and all(s in text for s in shown) and not any(h in text for h in hidden)


# --- stats, demo, plot ------------------------------------------------------------------


@needs_numpy
def test_stats_counts_packets_and_flagged_fields(recording: Path) -> None:
    expected = expected_packets(SMALL)
    flagged = [n for p in expected if p.invalid_fields for n in p.invalid_fields.split(",")]
    result = run_cli("stats", str(recording), "--assume-rate", "100")
    out = result.stdout + result.stderr
    raw = sum(p.packet_type == "raw" for p in expected)
    assert f"packets: {len(expected)} (raw {raw}, estimated {len(expected) - raw})" in out
    # No receive times beside it: the raw packets are the clock, and it says so.
    assert f"span: {(raw - 1) / 100:.3f} s estimated (raw 100.0 Hz," in out
    assert out.count("time axis estimated: ") == 1
    assert f"fields flagged not valid: {len(flagged)} in" in out
    for name in set(flagged):  # named as the columns name the field
        assert f"  {OUTPUT_NAME[name]}: {flagged.count(name)}\n" in out


@needs_numpy
def test_demo_summarises_the_sample_recording() -> None:
    result = run_cli("demo")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert re.search(r"^packets: \d+ \(raw 99\d\d, estimated 99\d\)$", out, re.M)
    assert re.search(r"^span: 9\.9\d\d s estimated \(raw 1000\.0 Hz, estimated 100\.\d Hz\)$", out, re.M)
    assert "fields flagged not valid: " in out and "none" not in out
    assert re.search(r'^first raw packet:\n  IMUPacket\(packet_type="raw"', out, re.M)
    assert re.search(r'^first estimated packet:\n  IMUPacket\(packet_type="estimated"', out, re.M)


def test_plot_draws_a_png(recording: Path, tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    png = tmp_path / "motion.png"
    assert cli.main(["plot", str(recording), "--assume-rate", "100", "-o", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# A port read until it hangs up: the report holds every packet and flagged
# field the line brought, then the hang-up is the error.
@needs_numpy
@pytest.mark.parametrize("command", [["stats", "--json"], ["plot", "-o", "{out}"]], ids=["stats", "plot"])
def test_a_port_is_reported_whole_until_it_hangs_up(command: list[str], tmp_path: Path) -> None:
    if command[0] == "plot":
        pytest.importorskip("matplotlib")
    master, slave = os.openpty()
    tty.setraw(slave)
    port = os.ttyname(slave)
    os.set_blocking(master, False)
    picture = tmp_path / "port.png"
    process = subprocess.Popen(tool(command[0], "--port", port, *(a.format(out=picture) for a in command[1:])),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV)  # fmt: skip
    try:
        assert feed(master, stream_bytes(SMALL), 20.0) == 0
        wait_until_read(slave)  # then the hang-up
    finally:
        os.close(master)
        os.close(slave)
        out, err = process.communicate(timeout=60)
    assert process.returncode == 1 and err.splitlines()[-1].endswith(f": error: the port {port} hung up"), err
    if command[0] == "plot":
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and "the picture is empty" not in err
        return
    expected = expected_packets(SMALL)
    flagged = [OUTPUT_NAME[n] for p in expected if p.invalid_fields for n in p.invalid_fields.split(",")]
    report = json.loads(out)
    assert {kind: r["packets"] for kind, r in report["kinds"].items()} == {
        kind: sum(p.packet_type == kind for p in expected) for kind in ("raw", "estimated")}
    assert report["flagged"]["fields"] == {name: flagged.count(name) for name in sorted(set(flagged))}


@pytest.mark.parametrize(
    "module, args, message",
    [
        ("matplotlib", ["plot", "--output", "x.png", "--file"], "plotting needs matplotlib, which is not installed"),
        ("serial.tools.list_ports", ["ports"], "listing ports needs pyserial, which is not installed (Debian: python3-serial; "),
        ("numpy", ["stats", "--port", "/dev/null"], "stats of a port needs numpy, which is not installed"),
    ],
)
def test_a_missing_extra_is_named_in_one_line(
    module: str, args: list[str], message: str, recording: Path, tmp_path: Path, monkeypatch, capsys
) -> None:
    monkeypatch.setitem(sys.modules, module, None)
    monkeypatch.chdir(tmp_path)
    assert cli.main(args + [str(recording)] if args[-1] == "--file" else args) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert not (tmp_path / "x.png").exists()

