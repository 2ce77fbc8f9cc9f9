"""Exports of recordings, each read back with its format's own library:
Parquet (pyarrow), HDF5 (h5py), ROS 2 bags (rosbags), CSV and JSON lines;
and the shortest single-precision text that CSV and JSON lines use."""

from __future__ import annotations

import json
import math
import os
import shutil
import random
import io
import re
import stat
import struct
import sys
import warnings
from pathlib import Path

import pytest

import brimlet
from brimlet_tools import cli
from brimlet_tools.files.receive_times import companion_path
from brimlet_tools.live.acquire import replay
from brimlet_tools.recordings import formats
from brimlet_tools.sim.simulator import Faults, StreamConfig, stream_bytes
from brimlet_tools.wire import frames
from brimlet_tools.wire.fields import DATA_COLUMNS, DATA_FIELDS, FIELD_BY_NAME, OUTPUT_NAME, PACKET_TYPES, as_dict
from conftest import write_times

np = pytest.importorskip("numpy")

FAULTY = StreamConfig(seconds=1.0, raw_rate=200, estimated_rate=50, seed=7,
                      faults=Faults(garbage=0.05, drop=0.03, damage=0.03, invalid=0.3))  # fmt: skip
START_NS = 1_765_432_100_123_456_789


class Flight:
    """A generated recording with receive times, what MockParser makes of
    it, and its loaded receive times."""

    def __init__(self, directory: Path) -> None:
        from brimlet_tools import load

        self.path = directory / "flight.bin"
        data = stream_bytes(FAULTY)
        self.path.write_bytes(data)
        rng = random.Random(3)
        reads, end, now = [], 0, START_NS
        while end < len(data):
            end = min(end + rng.randint(1, 700), len(data))
            now += rng.randint(100_000, 3_000_000)
            reads.append((end, now))
        write_times(self.path, reads)
        self.packets = [as_dict(p) for p in replay(self.path)]
        recording = load(self.path)
        assert not recording.times_estimated
        self.times = recording.columns["time"].view(np.int64).tolist()
        self.sampled = recording.columns["sample_time"].view(np.int64).tolist()
        self.missing = recording.columns["missing_before"].tolist()
        assert len(self.times) == len(self.packets) and self.times == sorted(self.times)
        assert len(set(self.times)) > len(self.times) // 10

    def expected(self) -> list[dict[str, object]]:
        """Every packet's properties, the receive time as its timestamp."""
        return [{**p, "timestamp": t} for p, t in zip(self.packets, self.times)]

    def column(self, name: str) -> list[float | None]:
        """The values of the CSV column `name`, None where absent."""
        field, index = split(name)
        values = [p[field] for p in self.packets]
        return [None if v is None else v if index is None else v[index] for v in values]  # type: ignore[index]

    def flagged(self, name: str) -> list[bool]:
        return [name in (p["invalid_fields"] or "").split(",") for p in self.packets]  # type: ignore[union-attr]


def split(column: str) -> tuple[str, int | None]:
    """The field of a CSV column and the index in it (None for one value)."""
    for f in DATA_FIELDS:
        if column in f.columns:
            return f.name, None if f.width == 1 else f.columns.index(column)
    raise KeyError(column)


@pytest.fixture(scope="module")
def flight(tmp_path_factory: pytest.TempPathFactory) -> Flight:
    flight = Flight(tmp_path_factory.mktemp("flight"))
    assert any(p["invalid_fields"] for p in flight.packets)
    return flight


def export(flight: Flight, output: Path, *options: str) -> Path:
    assert cli.main(["export", str(flight.path), str(output), "--quiet", *options]) == 0
    return output


# --- the shortest single-precision text ----------------------------------------------

# Bit patterns where the text is easy to get wrong, and their text in CSV (and
# in JSON lines where it differs), as the writers have always written them.
EDGES = [
    (0x80000000, "-0.0"), (0x7F800000, "inf", "Infinity"), (0xFF800000, "-inf", "-Infinity"),
    (0x7FC00000, "NaN"), (0xFFC00000, "NaN"), (0x7F800001, "NaN"), (0xFFBFFFFF, "NaN"),  # quiet and signalling
    (0x00000001, "1e-45"), (0x807FFFFF, "-1.1754942e-38"), (0x00800000, "1.1754944e-38"),  # subnormal and not
    (0x7F7FFFFF, "3.4028235e38"), (0xFF7FFFFF, "-3.4028235e38"),
    (0x38D1B717, "0.0001"), (0x38D1B716, "9.999999e-5"), (0x5A0E1BCA, "1e16"), (0x5A0E1BC9, "9999999000000000.0"),
    (0x58635FA9, "1000000000000000.0"), (0x4CEB79A3, "123456790.0"), (0x3DCCCCCD, "0.1"),
]  # fmt: skip
PRESSURE = "scaled_ambient_pressure"


def single_bits(rng: random.Random) -> list[int]:
    """The edges, every power of two and its neighbours (the values around
    it lie unevenly apart), and random patterns of every exponent."""
    powers = [e << 23 | m for e in range(1, 255) for m in (0, 1, 0x7FFFFF)]
    return [e[0] for e in EDGES] + powers + [rng.getrandbits(32) for _ in range(3000)]


def pressure_texts(fmt: str, text: str) -> list[str]:
    if fmt == "csv":
        column = text[: text.index("\n")].split(",").index(PRESSURE)
        return [row.split(",")[column] for row in text.splitlines()[1:]]
    return re.findall(rf'"{PRESSURE}":([^,]*),', text)


@pytest.mark.parametrize("path", ["export", "packet by packet"])
@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_values_are_written_as_the_packet_text_form_writes_them(fmt: str, path: str, recording, tmp_path) -> None:
    bits = single_bits(random.Random(11))
    descriptor = FIELD_BY_NAME[PRESSURE].descriptor
    source = recording(b"".join(frames.frame(frames.RAW_SET, frames.field(descriptor, struct.pack(">I", b))) for b in bits))
    packets = replay_all(brimlet.MockParser(source))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a signalling NaN is no cause for a warning
        if path == "export":
            text = export_text(source, tmp_path / f"out.{fmt}")
        else:
            out = io.StringIO()
            writer = formats.PacketWriter(out, fmt)
            for p in packets:
                writer.write(p)
            text = out.getvalue()
    texts = pressure_texts(fmt, text)
    words = {"inf": "Infinity", "-inf": "-Infinity"} if fmt == "jsonl" else {}
    packet_texts = [re.search(rf"{PRESSURE}=Some\(([^)]*)\)", str(p))[1] for p in packets]  # type: ignore[index]
    assert texts == [words.get(t, t) for t in packet_texts]
    assert texts[: len(EDGES)] == [e[-1] if fmt == "jsonl" else e[1] for e in EDGES]
    back = [struct.unpack("<I", struct.pack("<f", formats.to_single(float(t))))[0] for t in texts]
    assert all(b == want or math.isnan(float(t)) for b, want, t in zip(back, bits, texts, strict=True))


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_columns_are_written_as_packets_are_with_extra_columns(fmt: str, flight: Flight) -> None:
    from brimlet_tools import load
    from brimlet_tools.commands.source import Restamped

    columns = load(flight.path).columns
    rows = np.flatnonzero(columns["kind"] == 0)  # one kind, as `dump --kind` takes it
    extra = ("sample_time", "missing_before")
    by_columns = io.BytesIO()
    formats.ColumnWriter(by_columns, fmt, extra).write(columns, rows)
    by_packets = io.StringIO()
    writer = formats.PacketWriter(by_packets, fmt, extra)
    packets = list(replay(flight.path))
    for i in rows.tolist():
        writer.write(Restamped(packets[i], flight.times[i]), (flight.sampled[i], flight.missing[i]))  # type: ignore[arg-type]
    assert any(flight.missing[i] for i in rows) and by_columns.getvalue().decode() == by_packets.getvalue()


def export_text(source: Path, output: Path) -> str:
    assert cli.main(["export", str(source), str(output), "--quiet"]) == 0
    return output.read_text()


def replay_all(parser) -> list:
    from conftest import read_to_end

    parser.start()
    return read_to_end(parser)


# --- each format, read back with its own library ---------------------------------------


def test_parquet(flight: Flight, tmp_path: Path) -> None:
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    table = pq.read_table(export(flight, tmp_path / "flight.parquet"))
    assert table.schema.field("time").type == pa.timestamp("ns", tz="UTC")
    assert pa.types.is_dictionary(table.schema.field("kind").type)
    assert table.column("time").cast(pa.int64()).to_pylist() == flight.times
    assert table.column("sample_time").cast(pa.int64()).to_pylist() == flight.sampled
    assert table.column("missing_before").to_pylist() == flight.missing
    assert table.column("kind").to_pylist() == [p["packet_type"] for p in flight.packets]
    names = json.loads(table.schema.field("invalid").metadata[b"bits"])
    bits = table.column("invalid").to_pylist()
    assert [",".join(n for i, n in enumerate(names) if b >> i & 1) or None for b in bits] == [
        sorted_names(p["invalid_fields"], OUTPUT_NAME) for p in flight.packets
    ]
    for name in DATA_COLUMNS:
        assert table.column(name).to_pylist() == flight.column(name), name
    assert table.schema.field("scaled_ambient_pressure").metadata[b"unit"] == b"hPa"
    assert table.schema.metadata[b"brimlet.source"] == str(flight.path).encode()


def sorted_names(text: object, called: dict[str, str] | None = None) -> str | None:
    """Flagged names in the order of the validity bits (as `called` calls
    them, when given)."""
    from brimlet_tools.wire.fields import VALIDITY_NAMES

    names = set(str(text).split(",")) if text else set()
    return ",".join((called or {}).get(n, n) for n in VALIDITY_NAMES if n in names) or None


def test_hdf5(flight: Flight, tmp_path: Path) -> None:
    h5py = pytest.importorskip("h5py")

    with h5py.File(export(flight, tmp_path / "flight.h5"), "r") as f:
        assert f["time"][:].tolist() == flight.times
        assert f["sample_time"][:].tolist() == flight.sampled and f["missing_before"][:].tolist() == flight.missing
        kinds = [n.decode() if isinstance(n, bytes) else n for n in f["kind"].attrs["names"]]
        assert [kinds[k] for k in f["kind"][:]] == [p["packet_type"] for p in flight.packets]
        for name in DATA_COLUMNS:
            dataset = f[name]
            assert dataset.dtype == np.float32 and dataset.compression == "gzip"
            assert [None if math.isnan(v) else v for v in dataset[:].tolist()] == flight.column(name), name
        assert f["scaled_gyro_z"].attrs["unit"] == "rad/s"
        assert f.attrs["source"] == str(flight.path)


@pytest.mark.parametrize("suffix", [".csv", ".jsonl"])
def test_csv_and_json_lines(flight: Flight, tmp_path: Path, suffix: str) -> None:
    path = export(flight, tmp_path / f"flight{suffix}")
    with path.open() as f:
        got = list(formats.read_csv(f) if suffix == ".csv" else formats.read_jsonl(f))
    expected = [{**p, "invalid_fields": sorted_names(p["invalid_fields"])} for p in flight.expected()]
    assert got == expected


@pytest.mark.parametrize("name, options", [("flight.mcap", ()), ("flight.db3", ()), ("bag", ("--format", "rosbag2", "--storage", "sqlite3", "--frame-id", "base_imu"))])
def test_rosbag(flight: Flight, tmp_path: Path, name: str, options: tuple[str, ...]) -> None:
    pytest.importorskip("rosbags")
    from rosbags.rosbag2 import Reader
    from rosbags.typesys import Stores, get_typestore

    export(flight, tmp_path / name, *options)
    typestore = get_typestore(Stores.LATEST)
    messages: dict[str, list[tuple[int, object]]] = {}
    with Reader(tmp_path / Path(name).stem) as bag:
        assert bag.connections[0].ext.serialization_format == "cdr"
        for connection, stamp, data in bag.messages():
            message = typestore.deserialize_cdr(data, connection.msgtype)
            messages.setdefault(connection.topic, []).append((stamp, message))
    frame = options[-1] if options else "imu_link"
    rows = {kind: [i for i, p in enumerate(flight.packets) if p["packet_type"] == kind] for kind in PACKET_TYPES}
    p, t = flight.packets, flight.times
    for topic, kind in (("/imu/data_raw", "raw"), ("/imu/data", "estimated"), ("/imu/pressure", "raw")):
        assert len(messages[topic]) == len(rows[kind])
        for (stamp, m), i in zip(messages[topic], rows[kind]):
            # Logged when received, stamped when measured.
            assert stamp == t[i]
            assert flight.sampled[i] == m.header.stamp.sec * 10**9 + m.header.stamp.nanosec  # type: ignore[attr-defined]
            assert m.header.frame_id == frame  # type: ignore[attr-defined]
    for (_, m), i in zip(messages["/imu/data_raw"], rows["raw"]):
        assert vector(m.angular_velocity) == p[i]["scaled_gyro"]  # type: ignore[attr-defined]
        assert vector(m.linear_acceleration) == p[i]["scaled_accel"]  # type: ignore[attr-defined]
        assert m.orientation_covariance[0] == -1 and m.angular_velocity_covariance[0] == 0  # type: ignore[attr-defined]
    orientation_flagged = flight.flagged("estOrientQuaternion")
    for (_, m), i in zip(messages["/imu/data"], rows["estimated"]):
        w, x, y, z = p[i]["est_orient_quaternion"]  # type: ignore[misc]
        q = m.orientation  # type: ignore[attr-defined]
        assert [q.x, q.y, q.z, q.w] == [x, y, z, w]
        assert vector(m.angular_velocity) == p[i]["est_angular_rate"]  # type: ignore[attr-defined]
        assert vector(m.linear_acceleration) == p[i]["est_compensated_accel"]  # type: ignore[attr-defined]
        assert (m.orientation_covariance[0] == -1) == orientation_flagged[i]  # type: ignore[attr-defined]
    assert any(orientation_flagged)
    for (_, m), i in zip(messages["/imu/pressure"], rows["raw"]):
        assert m.fluid_pressure == p[i]["scaled_ambient_pressure"] * 100  # type: ignore[attr-defined, operator]


def vector(v: object) -> list[float]:
    return [v.x, v.y, v.z]  # type: ignore[attr-defined]


# --- choosing the format, and failures -------------------------------------------------


@pytest.mark.parametrize(
    "output, options, message",
    [
        ("out.xyz", (), "cannot tell the format of"),
        ("out", (), "name it with --format"),
        ("missing-dir/out.csv", (), "cannot write"),
        ("out.parquet", ("--format", "hdf5"), None),
    ],
)
def test_the_format_is_chosen_by_name_or_named(flight: Flight, tmp_path: Path, capsys, output: str,
                                                options: tuple[str, ...], message: str | None) -> None:  # fmt: skip
    pytest.importorskip("h5py")
    pytest.importorskip("pyarrow")
    status = cli.main(["export", str(flight.path), str(tmp_path / output), "--quiet", *options])
    err = capsys.readouterr().err
    if message is None:
        assert status == 0 and (tmp_path / output).read_bytes()[:8] == b"\x89HDF\r\n\x1a\n"
    else:
        assert status == 1 and message in err and len(err.strip().splitlines()) == 1
    assert [p.name for p in tmp_path.iterdir() if "partial" in p.name] == []


def test_what_is_not_a_file_is_never_replaced(flight: Flight, tmp_path: Path, capsys) -> None:
    pipe = tmp_path / "pipe.csv"
    os.mkfifo(pipe)
    assert cli.main(["export", str(flight.path), str(pipe), "--quiet"]) == 1
    assert "it is a pipe, not a file" in capsys.readouterr().err
    assert stat.S_ISFIFO(pipe.stat().st_mode)


def test_a_bag_is_not_written_over(flight: Flight, tmp_path: Path, capsys) -> None:
    pytest.importorskip("rosbags")
    (tmp_path / "flight").mkdir()
    assert cli.main(["export", str(flight.path), str(tmp_path / "flight.mcap")]) == 1
    assert "exists already" in capsys.readouterr().err
    assert list((tmp_path / "flight").iterdir()) == []


@pytest.mark.parametrize("library, output", [("pyarrow", "x.parquet"), ("h5py", "x.h5"), ("rosbags", "x.mcap")])
def test_a_missing_library_is_named_in_one_line(flight: Flight, tmp_path: Path, monkeypatch, capsys, library: str,
                                                output: str) -> None:  # fmt: skip
    monkeypatch.setitem(sys.modules, library, None)
    assert cli.main(["export", str(flight.path), str(tmp_path / output)]) == 1
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and f"needs {library}, which is not installed" in err
    assert list(tmp_path.iterdir()) == []


# --- progress, and outputs checked before the work --------------------------------------


@pytest.mark.parametrize("command", [["export", "{rec}", "{out}.csv"], ["dump", "--file", "{rec}", "-o", "{out}.csv"],
                                     ["stats", "--file", "{rec}"]])  # fmt: skip
def test_a_progress_bar_with_its_total_only_on_a_terminal(flight: Flight, tmp_path: Path, command: list[str]) -> None:
    pytest.importorskip("tqdm")
    import fcntl
    import os
    import select
    import subprocess
    import termios
    import tty

    from conftest import CHILD_ENV, tool

    args = [a.format(rec=flight.path, out=tmp_path / "out") for a in command]
    piped = subprocess.run(tool(*args), capture_output=True, text=True, env=CHILD_ENV, timeout=60)
    # Piped, stderr holds the closing line alone, no bar.
    assert piped.returncode == 0 and all(line.startswith("wrote ") for line in piped.stderr.splitlines())
    master, slave = os.openpty()
    tty.setraw(slave)
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal 100 columns wide
    try:
        shown = subprocess.Popen(tool(*args), stdout=subprocess.DEVNULL, stderr=slave, env=CHILD_ENV)
        os.close(slave)
        drawn = b""
        while shown.poll() is None or select.select([master], [], [], 0.1)[0]:
            if select.select([master], [], [], 0.1)[0]:
                try:
                    drawn += os.read(master, 65536)
                except OSError:  # the child has gone and its side is closed
                    break
    finally:
        os.close(master)
    assert shown.wait(timeout=60) == 0
    assert f"/{len(flight.packets)}".encode() in drawn and b"packets" in drawn


@pytest.mark.parametrize("output, first", [("out.csv", "time,kind,invalid,"), ("out.jsonl", '{"time":'),
                                           ("out.txt", "IMUPacket("), ("out.parquet", None)])  # fmt: skip
def test_dump_writes_the_format_its_output_is_named_for(flight: Flight, tmp_path: Path, output: str,
                                                         first: str | None, capsys) -> None:  # fmt: skip
    args = ["dump", "--file", str(flight.path), "-o", str(tmp_path / output), "--count", "2"]
    if first is None:
        with pytest.raises(SystemExit) as exit_info:
            cli.main(args)
        assert exit_info.value.code == 2 and "use `export`" in capsys.readouterr().err
    else:
        assert cli.main(args) == 0
        assert (tmp_path / output).read_text().startswith(first)


def test_plot_refuses_an_unknown_picture_format_before_reading(tmp_path: Path, capsys) -> None:
    pytest.importorskip("matplotlib")
    assert cli.main(["plot", "--file", str(tmp_path / "absent.bin"), "-o", str(tmp_path / "flight.txt")]) == 1
    err = capsys.readouterr().err
    assert "matplotlib writes no 'txt' pictures" in err and "absent" not in err


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_dump_of_a_recording_writes_the_text_of_the_packet_by_packet_path(flight: Flight, tmp_path: Path,
                                                                          monkeypatch, fmt: str) -> None:  # fmt: skip
    from brimlet_tools.commands import dump

    fast = dump_lines(flight.path, tmp_path / f"columns.{fmt}")
    monkeypatch.setattr(dump, "columns_at_hand", lambda: False)
    assert fast == dump_lines(flight.path, tmp_path / f"packets.{fmt}")
    assert len(fast) == len(flight.packets) + (fmt == "csv")


def dump_lines(recording: Path, output: Path) -> list[str]:
    """The lines `dump` writes of `recording` to `output`, timestamps and all."""
    assert cli.main(["dump", "--file", str(recording), "-o", str(output)]) == 0
    return output.read_text().splitlines()


def test_a_nan_the_device_sent_stays_a_value_and_an_absent_field_absent(recording, tmp_path: Path,
                                                                        monkeypatch) -> None:  # fmt: skip
    pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    from brimlet_tools.commands import dump

    nan = math.nan
    path = recording(frames.raw_frame(scaled_gyro=[nan] * 3, scaled_ambient_pressure=nan)
                     + frames.estimated_frame(est_pressure_alt=nan))  # fmt: skip
    assert cli.main(["export", str(path), str(tmp_path / "out.parquet"), "--quiet"]) == 0
    table = pq.read_table(tmp_path / "out.parquet")
    shown = {name: ["nan" if v is not None and math.isnan(v) else v for v in table.column(name).to_pylist()]
             for name in ("scaled_gyro_x", "scaled_accel_x", "scaled_ambient_pressure", "est_pressure_alt")}  # fmt: skip
    assert shown == {"scaled_gyro_x": ["nan", None], "scaled_accel_x": [None, None],
                     "scaled_ambient_pressure": ["nan", None], "est_pressure_alt": [None, "nan"]}  # fmt: skip
    for fmt in ("csv", "jsonl"):
        fast = dump_lines(path, tmp_path / f"columns.{fmt}")
        with monkeypatch.context() as m:
            m.setattr(dump, "columns_at_hand", lambda: False)
            assert fast == dump_lines(path, tmp_path / f"packets.{fmt}")


def test_an_empty_recording_exports_to_every_format(tmp_path: Path) -> None:
    for library in ("pyarrow", "h5py", "rosbags"):
        pytest.importorskip(library)
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    for name in ("e.parquet", "e.h5", "e.mcap", "e.db3", "e.csv", "e.jsonl"):
        assert cli.main(["export", str(empty), str(tmp_path / "out" / name), "--quiet"]) == 1  # no directory
        (tmp_path / "out").mkdir(exist_ok=True)
        assert cli.main(["export", str(empty), str(tmp_path / "out" / name), "--quiet"]) == 0, name
        shutil.rmtree(tmp_path / "out")


DAMAGES = {
    "not one": (lambda p: p.write_bytes(b"not a time file"), "not a receive-time file"),
    "a directory": (lambda p: p.mkdir(), "it is a directory, not a file"),
    "unreadable": (lambda p: (p.write_bytes(b"brimtime"), p.chmod(0)), "Permission denied"),
}


COMMANDS = [["export", "{rec}", "{out}.h5"], ["dump", "--file", "{rec}", "-o", "{out}.csv"],
            ["plot", "--file", "{rec}", "-o", "{out}.png"], ["stats", "--file", "{rec}"],
            ["virtual-device", "--file", "{rec}"]]  # fmt: skip


# (stats measures no span on times that are not a receive-time file, and says so)
@pytest.mark.parametrize("command, damage", [(c, d) for c in COMMANDS for d in DAMAGES
                                             if (c[0], d) != ("stats", "not one")])  # fmt: skip
def test_a_damaged_receive_time_file_is_one_line_of_error(tmp_path: Path, capsys, command: list[str],
                                                          damage: str) -> None:  # fmt: skip
    needs = {"plot": "matplotlib", "export": "h5py"}
    if command[0] in needs:
        pytest.importorskip(needs[command[0]])
    rec = tmp_path / "flight.bin"
    rec.write_bytes(stream_bytes(FAULTY))
    make, reason = DAMAGES[damage]
    make(Path(companion_path(rec)))
    if damage == "unreadable" and os.access(companion_path(rec), os.R_OK):
        pytest.skip("run as root: every file is readable")
    assert cli.main([a.format(rec=rec, out=tmp_path / "out") for a in command]) == 1
    err = capsys.readouterr().err.strip()
    assert err.endswith(f"cannot read the receive times {rec}.times: {reason}") and "\n" not in err, err
