"""Every output holds one layout: CSV, JSON lines, Parquet, HDF5 and pandas
name their columns as `load` does, in its order, with its values, and the
same types where the format has types."""

from __future__ import annotations

import json
import math
import random
from pathlib import Path
from typing import Any

import pytest

from brimlet_tools import cli, load, to_dataframe
from brimlet_tools.sim.simulator import Faults, StreamConfig, stream_bytes
from brimlet_tools.wire.fields import COLUMN_UNITS, DATA_COLUMNS, DATA_FIELDS, INVALID_BITS, PACKET_TYPES
from conftest import write_times

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

FLIGHT = StreamConfig(seconds=0.5, raw_rate=200, estimated_rate=50, seed=5,
                      faults=Faults(garbage=0.03, drop=0.03, invalid=0.3))  # fmt: skip


@pytest.fixture(scope="module")
def flight(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("layout") / "flight.bin"
    data = stream_bytes(FLIGHT)
    path.write_bytes(data)
    rng, reads, end, now = random.Random(2), [], 0, 1_765_432_100_000_000_000
    while end < len(data):
        end = min(end + rng.randint(1, 500), len(data))
        now += rng.randint(200_000, 2_000_000)
        reads.append((end, now))
    write_times(path, reads)
    return path


def flat_json(path: Path) -> tuple[list[str], dict[str, list[Any]]]:
    """The keys of the first line, with each field's list spread over its
    columns, and the values of every line by column."""
    rows = [json.loads(line) for line in path.read_text().splitlines()]
    names = [c for key in rows[0] for c in next((f.columns for f in DATA_FIELDS if f.name == key), (key,))]
    values: dict[str, list[Any]] = {name: [] for name in names}
    for row in rows:
        for key, value in row.items():
            field = next((f for f in DATA_FIELDS if f.name == key), None)
            if field is None:
                values[key].append(value)
            else:
                for column, v in zip(field.columns, [value] * field.width if value is None or field.width == 1 else value):
                    values[column].append(v)
    return names, values


def read(fmt: str, path: Path) -> tuple[list[str], dict[str, Any]]:
    """The column names of an export, in its order, and its columns, each
    read by the format's own reader."""
    if fmt == "csv":
        frame = pd.read_csv(path)
        return list(frame.columns), {c: frame[c].to_numpy() for c in frame.columns}
    if fmt == "jsonl":
        names, values = flat_json(path)
        return names, {c: np.array([math.nan if v is None else v for v in values[c]]) if c in DATA_COLUMNS
                       else np.array(values[c]) for c in names}  # fmt: skip
    if fmt == "parquet":
        frame = pd.read_parquet(path)
        return list(frame.columns), {c: frame[c].to_numpy() for c in frame.columns}
    import h5py

    with h5py.File(path, "r") as f:
        return list(f.attrs["columns"]), {c: f[c][:] for c in f.attrs["columns"]}


FORMATS = {"csv": "flight.csv", "jsonl": "flight.jsonl", "parquet": "flight.parquet", "hdf5": "flight.h5"}
LIBRARY = {"parquet": "pyarrow", "hdf5": "h5py"}


@pytest.mark.parametrize("fmt", [*FORMATS, "pandas"])
def test_every_output_has_the_columns_of_load_in_its_order_with_its_values(fmt: str, flight: Path,
                                                                          tmp_path: Path) -> None:  # fmt: skip
    if fmt in LIBRARY:
        pytest.importorskip(LIBRARY[fmt])
    recording = load(flight)
    rows = np.arange(len(recording))
    if fmt == "pandas":  # by sample time, which is the index
        rows = np.argsort(recording["sample_time"], kind="stable")
        frame = to_dataframe(recording)
        names = [frame.columns[0], frame.index.name, *frame.columns[1:]]
        columns = {c: frame.reset_index()[c].to_numpy() for c in names}
    else:
        assert cli.main(["export", str(flight), str(tmp_path / FORMATS[fmt]), "--quiet"]) == 0
        names, columns = read(fmt, tmp_path / FORMATS[fmt])
    # The format has no `present` where an absent value is empty or null.
    expected = [c for c in recording if c != "present" or fmt in ("hdf5", "pandas")]
    assert names[: names.index("kind") + 2] == expected[: expected.index("kind") + 2]
    assert names == expected or fmt == "jsonl"  # JSON lines keep a list per field
    for name in expected:
        got, want = columns[name], recording[name][rows]
        if name == "kind" and got.dtype.kind not in "iu":
            got = np.array([PACKET_TYPES.index(k) for k in got], np.uint8)
        if want.dtype.kind == "M":
            got = pd.to_datetime(got, utc=True).tz_localize(None).to_numpy() if got.dtype.kind != "M" else got
            got = got.astype("datetime64[ns]")
        if name == "invalid":
            assert got.dtype.kind in "iu", (fmt, got.dtype)  # an integer, 0 where nothing is flagged
        np.testing.assert_array_equal(got.astype(want.dtype) if want.dtype.kind == "f" else got, want, err_msg=f"{fmt} {name}")


def test_bits_units_and_rates_are_where_each_format_keeps_them(flight: Path, tmp_path: Path) -> None:
    pytest.importorskip("pyarrow")
    h5py = pytest.importorskip("h5py")
    import pyarrow.parquet as pq

    recording, attrs = load(flight), to_dataframe(flight).attrs
    parquet, h5 = tmp_path / "f.parquet", tmp_path / "f.h5"
    for output in (parquet, h5):
        assert cli.main(["export", str(flight), str(output), "--quiet"]) == 0
    assert pd.read_parquet(parquet).attrs == json.loads(json.dumps(attrs))
    assert attrs["units"] == dict(COLUMN_UNITS) and attrs["rates"]["raw"] == recording.fits["raw"].rate
    assert json.loads(pq.read_schema(parquet).field("invalid").metadata[b"bits"]) == list(INVALID_BITS)
    with h5py.File(h5, "r") as f:
        assert [b.decode() if isinstance(b, bytes) else b for b in f["invalid"].attrs["bits"]] == list(INVALID_BITS)
        assert f.attrs["raw_rate_hz"] == recording.fits["raw"].rate
    assert all(name == name.lower() for name in INVALID_BITS)


@pytest.mark.parametrize("kind", PACKET_TYPES)
def test_a_frame_of_one_kind_has_only_the_columns_that_kind_carries(kind: str, flight: Path) -> None:
    frame = to_dataframe(flight, kind=kind)
    carried = [c for f in DATA_FIELDS if f.packet_type == kind for c in f.columns]
    assert list(frame.columns) == ["time", "missing_before", "kind", "invalid", "present", *carried]
    assert len(frame.dropna()) > len(frame) // 2  # rows whose fields are all there (NaNs the device sent aside)
    assert set(frame.attrs["units"]) == set(carried)


def test_a_recording_reads_as_a_table_of_its_columns(flight: Path) -> None:
    recording = load(flight)
    assert recording["scaled_accel_z"] is recording.columns["scaled_accel_z"]
    assert list(recording) == list(recording.keys()) == list(recording.columns) and "kind" in recording
    assert len(recording) == len(recording["time"]) and dict(recording.items()) == recording.columns
    with pytest.raises(KeyError):
        recording["nothing"]
    with pytest.raises(TypeError):
        recording["kind"] = recording["kind"]  # type: ignore[index]


@pytest.mark.parametrize("start, end", [("0.01", "0.03"), ("utc:0.01", None), (None, "utc:0.02")])
def test_an_export_keeps_the_packets_of_its_time_window(start: str | None, end: str | None, flight: Path,
                                                       tmp_path: Path) -> None:  # fmt: skip
    from datetime import UTC, datetime

    recording = load(flight)
    time = recording["time"].view(np.int64)

    def point(text: str) -> tuple[str, int]:
        seconds = float(text.removeprefix("utc:"))
        ns = int(time[0]) + round(seconds * 1e9)
        if not text.startswith("utc:"):
            return text, ns
        moment = datetime.fromtimestamp(ns // 10**9, UTC).replace(microsecond=ns % 10**9 // 1000)
        return moment.isoformat().replace("+00:00", "Z"), ns // 1000 * 1000

    args, low, high = [], int(time[0]), int(time[-1]) + 1
    if start is not None:
        text, low = point(start)
        args += ["--start", text]
    if end is not None:
        text, high = point(end)
        args += ["--end", text]
    assert cli.main(["export", str(flight), str(tmp_path / "w.csv"), "--quiet", *args]) == 0
    kept = pd.read_csv(tmp_path / "w.csv")["time"].to_numpy()
    assert 0 < len(kept) < len(time) and (kept == time[(time >= low) & (time < high)]).all()
