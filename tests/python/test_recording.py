"""Recordings with their receive times, loaded into columns, pandas and Dask."""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import re
import signal
import struct
import sys
import time
from pathlib import Path

import pytest
from conftest import run_cli, run_python, start_record, wait_for_size, write_times

from brimlet_tools.files import receive_times
from brimlet_tools.sim.simulator import Faults, StreamConfig, simulate, stream_bytes
from brimlet_tools.wire import frames
from brimlet_tools.wire.fields import DATA_FIELDS, DECODED_TYPES, PACKET_TYPES, VALIDITY_NAMES, invalid_names
from framecount import FrameCounter

np = pytest.importorskip("numpy")
recording_module = pytest.importorskip("brimlet_tools.recordings.recording")
load, to_dataframe = recording_module.load, recording_module.to_dataframe

FAULTY = StreamConfig(seconds=0.5, raw_rate=200, estimated_rate=50, seed=7,
                      faults=Faults(garbage=0.05, drop=0.03, damage=0.03, invalid=0.3))  # fmt: skip
# Fields left out, a field twice, a flagged field twice, an unknown set, a NaN
# the device sent.
ODD_FRAMES = (
    frames.frame(frames.RAW_SET, b"")
    + frames.raw_frame(scaled_accel=[1.0, -0.0, float("inf")], scaled_ambient_pressure=1013.25)
    + frames.frame(0x81, b"\x06\x17\x3f\x80\x00\x00")
    + frames.estimated_frame(invalid=["est_pressure_alt"], est_pressure_alt=2.5, est_gravity_vector=[0, 0, 9.8])
    + frames.frame(frames.ESTIMATED_SET, 2 * frames.estimated_field(0x21, [3.0], valid=False))
    + frames.raw_frame(scaled_gyro=[math.nan] * 3)
)


def expected_columns(packets: list) -> dict[str, list[float | int]]:
    """The columns that `packets` (from MockParser) make, value by value."""
    bits = {name: 1 << i for i, name in enumerate(VALIDITY_NAMES)}
    out: dict[str, list[float | int]] = {
        "kind": [PACKET_TYPES.index(p.packet_type) for p in packets],
        "invalid": [sum(bits[n] for n in set(invalid_names(p))) for p in packets],
        "present": [sum(1 << i for i, f in enumerate(DATA_FIELDS) if getattr(p, f.name) is not None) for p in packets],
    }
    for f in DATA_FIELDS:
        values = [getattr(p, f.name) for p in packets]
        for k, column in enumerate(f.columns):
            out[column] = [math.nan if v is None else v if f.width == 1 else v[k] for v in values]
    return out


def f32_bits(values: object) -> list[int]:
    return np.asarray(values, np.float32).view(np.uint32).tolist()


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, "path"])
def test_columns_equal_the_packets_mock_parser_gives(wrap, replay, recording) -> None:
    data = stream_bytes(FAULTY) + ODD_FRAMES + frames.raw_frame(scaled_gyro=[1, 2, 3])[:-3]
    path = recording(data)
    loaded = load(path) if wrap == "path" else load(wrap(data))
    expected = expected_columns(replay(data))
    assert list(loaded.columns) == ["time", "sample_time", "missing_before", "kind", "invalid", "present",
                                    *(c for f in DATA_FIELDS for c in f.columns)]  # fmt: skip
    assert len(loaded) == len(expected["kind"]) > 100
    for name, values in expected.items():
        column = loaded.columns[name]
        assert len(column) == len(loaded)
        if column.dtype == np.float32:
            # Bit for bit: -0.0, infinities and NaN where a packet has no value.
            assert f32_bits(column) == f32_bits(values), name
        else:
            assert column.tolist() == values, name
    assert loaded.columns["time"].dtype == np.dtype("datetime64[ns]")
    assert loaded.columns["invalid"].dtype == np.uint16 and loaded.columns["kind"].dtype == np.uint8
    assert loaded.times_estimated
    assert loaded.source == (str(path) if wrap == "path" else "<memory>")


def test_the_native_module_names_the_columns_as_the_tools_do() -> None:
    import brimlet_columns

    assert brimlet_columns.DATA_COLUMNS == recording_module.DATA_COLUMNS
    assert brimlet_columns.VALIDITY_NAMES == VALIDITY_NAMES
    assert brimlet_columns.PACKET_TYPES == PACKET_TYPES
    # The arrays are the decoder's own memory, handed over without a copy.
    columns, _ = brimlet_columns.decode(stream_bytes(FAULTY))
    assert {n: memoryview(columns[n]).itemsize for n in DECODED_TYPES} == {
        n: np.dtype(t).itemsize for n, t in DECODED_TYPES.items()
    }
    array = np.frombuffer(columns["scaled_accel_x"], np.float32)
    assert array.base is columns["scaled_accel_x"] or array.base.obj is columns["scaled_accel_x"]
    with pytest.raises(ValueError, match="ends must be a one-dimensional array of unsigned 64-bit"):
        brimlet_columns.decode(b"", np.zeros(1, np.int64), np.zeros(1, np.int64))


def test_the_scan_counts_what_the_frame_counter_counts() -> None:
    # Noise, dropped and damaged frames, frames of another set, a cut frame.
    cut = frames.raw_frame(scaled_gyro=[1, 2, 3])[:-3]
    data = stream_bytes(FAULTY) + ODD_FRAMES + cut
    counter = FrameCounter(keep_ends=True)
    counter.feed(data)
    scan = load(data).scan
    assert (scan.bytes, scan.outside, scan.bad_checksums) == (len(data), counter.skipped_bytes, counter.bad_checksums)
    assert scan.other_frames == counter.frames[0x81] == 1 and scan.unfinished == len(cut)
    assert scan.end.tolist() == counter.ends
    # The stream ends with packets: the bytes before each frame are all that
    # lies outside frames.
    assert int(scan.skipped.sum()) == scan.outside


# --- receive times -----------------------------------------------------------


def packet_ends(data: bytes) -> list[int]:
    """The end offset of every packet frame of `data`, in stream order (the
    decoder's, held to the frame counter's above)."""
    ends: list[int] = load(data).scan.end.tolist()
    return ends


def test_each_packet_gets_the_time_of_the_read_that_completed_its_frame(recording) -> None:
    data = stream_bytes(FAULTY)
    # Reads of uneven sizes that cut frames anywhere, 1 ms apart.
    cuts = sorted({*range(0, len(data), 97), *range(0, len(data), 251), len(data)} - {0})
    reads = [(end, 1_700_000_000_000_000_000 + k * 1_000_000) for k, end in enumerate(cuts)]
    path = recording(data)
    write_times(path, reads)
    loaded = load(path)
    assert not loaded.times_estimated
    want = [next(t for end, t in reads if end >= frame_end) for frame_end in packet_ends(data)]
    assert loaded.columns["time"].view(np.int64).tolist() == want


ENTRY = receive_times.CHECKED_ENTRY.size

# A recording 'cut' at `data_cut` bytes with its times file cut at
# `times_cut` bytes (None: whole).
CUTS = [
    pytest.param(0.5, None, id="recording cut mid-stream, times whole"),
    pytest.param(None, 0.6, id="times cut mid-entry"),
    pytest.param(0.7, 0.3, id="both cut"),
    pytest.param(None, 10, id="times cut within the header"),
]


@pytest.mark.parametrize("data_cut, times_cut", CUTS)
def test_a_recording_cut_short_loads_up_to_its_cut(data_cut, times_cut, recording) -> None:
    data = stream_bytes(FAULTY)
    reads = [(end, 10**18 + end * 1000) for end in range(300, len(data), 300)] + [(len(data), 10**18 + 10**15)]
    whole = recording(data)
    write_times(whole, reads)
    full = load(whole)
    cut_data = data[: int(len(data) * data_cut)] if data_cut else data
    times = Path(receive_times.companion_path(whole)).read_bytes()
    if times_cut is not None:
        times = times[: times_cut if times_cut > 1 else 16 + int((len(times) - 16) * times_cut) // ENTRY * ENTRY + 7]
    cut = recording(cut_data)
    Path(receive_times.companion_path(cut)).write_bytes(times)
    loaded = load(cut)
    n = len(packet_ends(cut_data))
    assert len(loaded) == n and n > 0
    for name in ("kind", "invalid", "scaled_accel_x", "est_orient_quaternion_z"):
        assert f32_bits(loaded.columns[name].astype(np.float32)) == f32_bits(full.columns[name][:n].astype(np.float32))
    if times_cut == 10:
        assert loaded.times_estimated
        return
    # Packets completed by a read whose entry survived keep their time (the
    # first read past a cut recording brought its last bytes); those after
    # the last entry are estimated, after it and never going back.
    entries = reads[: (len(times) - 16) // ENTRY]
    kept = [(min(end, len(cut_data)), t) for k, (end, t) in enumerate(entries)
            if end <= len(cut_data) or k == 0 or entries[k - 1][0] < len(cut_data)]  # fmt: skip
    ends, stamps = packet_ends(cut_data), loaded.columns["time"].view(np.int64)
    covered = sum(e <= kept[-1][0] for e in ends)
    assert stamps[:covered].tolist() == [next(t for end, t in kept if end >= e) for e in ends[:covered]]
    assert (np.diff(stamps[covered - 1 :]) >= 0).all()


def test_a_times_file_that_is_not_one_is_refused(recording) -> None:
    path = recording(stream_bytes(FAULTY))
    Path(receive_times.companion_path(path)).write_bytes(b"not a times file at all")
    with pytest.raises(receive_times.TimesFormatError, match="not a receive-time file"):
        load(path)


def plain_times(path: Path, reads: list[tuple[int, int]]) -> None:
    """Receive times as the first `record` wrote them: end and wall clock only."""
    entries = b"".join(struct.pack("<Qq", end, t) for end, t in reads)
    Path(receive_times.companion_path(path)).write_bytes(struct.pack("<8sHHI", b"brimtime", 1, 16, 0) + entries)


T0, HOUR = 1_700_000_000 * 10**9, 3600 * 10**9
# How the receive times of a recording of N reads 1 ms apart go wrong, and
# what is said of it: (times of the reads, their boot clock or None for
# plain times, the warning, whether the axis is estimated then).
MISTIMED = {
    "another recording's": (None, None, "holds the receive times of another recording", True),
    "wall clock stepped back": (lambda k: T0 + k * 10**6 - HOUR * (k >= 50), lambda k: 7 * 10**9 + k * 10**6,
                                r"the wall clock stepped by -3600\.000 s", False),
    "plain, going back halfway": (lambda k: T0 + min(k, 50) * 10**6 - 40 * 10**6 * (k >= 50), None,
                                  r"1 going back \(by up to 0\.039 s\)", False),
    "plain, a time of INT64_MIN": (lambda k: -(2**63) if k == 30 else T0 + k * 10**6, None,
                                   "1 outside any plausible range", False),
    "plain, 200 years ahead": (lambda k: T0 + k * 10**6 + 200 * 365 * 86400 * 10**9 * (k == 99), None,
                               "1 outside any plausible range", False),
}


@pytest.mark.parametrize("case", MISTIMED)
def test_mistimed_receive_times_are_said_once_and_never_go_back(recording, case: str) -> None:
    wall, boot, warning, estimated = MISTIMED[case]
    data = stream_bytes(FAULTY)
    path = recording(data)
    os.utime(path, ns=(T0, T0 + HOUR))
    ends = [len(data) * (k + 1) // 100 for k in range(100)]
    if wall is None:  # the times of a recording that begins otherwise
        other = recording(data[1:] + data[:1])
        write_times(other, [(end, T0 + end) for end in ends])
        os.rename(receive_times.companion_path(other), receive_times.companion_path(path))
    elif boot is None:
        plain_times(path, [(end, wall(k)) for k, end in enumerate(ends)])
    else:
        write_times(path, [(end, wall(k)) for k, end in enumerate(ends)], [boot(k) for k in range(100)])
    with pytest.warns(receive_times.TimesWarning) as said:
        loaded = load(path)
    assert len(said) == 1 and re.search(warning, str(said[0].message)), [str(w.message) for w in said]
    stamps = loaded.columns["time"].view(np.int64)
    assert loaded.times_estimated == estimated
    assert (np.diff(stamps) >= 0).all() and T0 - HOUR <= stamps.min() and stamps.max() <= T0 + HOUR


def test_without_times_the_raw_packets_are_the_clock(recording) -> None:
    path = recording(stream_bytes(FAULTY))
    os.utime(path, ns=(0, 5 * 10**18))
    loaded = load(path, raw_rate=200)
    stamps = loaded.columns["time"].view(np.int64)
    raw = loaded.columns["kind"] == 0
    assert loaded.times_estimated and stamps[-1] == 5 * 10**18
    # Raw packets 5 ms apart (lost frames and all), estimated ones at the raw before.
    assert set(np.diff(stamps[raw]).tolist()) == {5_000_000}
    assert (np.diff(stamps) >= 0).all()


@pytest.mark.parametrize("raw_rate", [0, math.nan, 1e-300, -1000, math.inf, 2e-11])
def test_a_raw_rate_that_cannot_space_packets_is_refused_in_one_line(raw_rate, recording) -> None:
    path = recording(stream_bytes(FAULTY))
    with pytest.raises(ValueError, match="^raw_rate .*(above 0|too low)") as info:
        load(path, raw_rate=raw_rate)
    assert "\n" not in str(info.value)


def endpoint(kind: str, tmp_path: Path, stack) -> tuple[str, str]:
    """A path that is not a regular file, and the words that name it."""
    if kind == "device":
        return "/dev/zero", "a character device"
    if kind == "directory":
        return str(tmp_path), "a directory"
    if kind == "fifo":  # no writer: opening it for reading would wait
        os.mkfifo(tmp_path / "fifo")
        return str(tmp_path / "fifo"), "a pipe"
    master, slave = os.openpty()
    stack.callback(os.close, master)
    stack.callback(os.close, slave)
    return os.ttyname(slave), "a character device"


@pytest.mark.parametrize("kind", ["device", "directory", "fifo", "terminal"])
def test_only_a_regular_file_is_loaded(kind, tmp_path: Path) -> None:
    with contextlib.ExitStack() as stack:
        path, named = endpoint(kind, tmp_path, stack)
        with pytest.raises(OSError) as info:
            load(path)
    assert info.value.strerror == f"it is {named}, not a file"
    assert info.value.filename == path


# The file shrinks once it is open and measured, as a re-recording to the
# same path truncates it while a notebook loads the old one.
SHRINKING = """
import os, sys
import brimlet_columns
from brimlet_tools.recordings import recording

class Shrinking:
    def __getattr__(self, name):
        os.truncate(sys.argv[1], 4096)
        return getattr(brimlet_columns, name)

recording.load_columns = Shrinking
try:
    recording.load(sys.argv[1])
except OSError as e:
    print(e.strerror)
"""


def test_a_recording_that_shrinks_while_it_loads_is_an_error_not_a_signal(recording) -> None:
    path = recording(stream_bytes(StreamConfig(seconds=30.0, raw_rate=200, estimated_rate=50)))
    assert os.path.getsize(path) > 4 * 4096
    out = run_python(SHRINKING, str(path))
    assert out.startswith("it shrank while it was read (the file ended after 4096 of its ")


# --- brimlet record -----------------------------------------------------------


def test_record_keeps_the_receive_time_of_every_read(pty_pair, tmp_path: Path) -> None:
    master, port = pty_pair
    output = tmp_path / "capture.bin"
    process = start_record(port, output, "--quiet")
    wires = [f.wire for f in simulate(StreamConfig(seconds=1.0, raw_rate=100, estimated_rate=20, seed=3))]
    # Bursts of frames, each written once the one before is on disk: a
    # packet's receive time lies between its burst's write and the moment its
    # bytes were seen in the file, however late the recorder runs, and the
    # bursts' windows do not overlap.
    windows: list[tuple[int, int]] = []  # wall clock, ns
    boot_start = time.clock_gettime_ns(time.CLOCK_BOOTTIME)
    size = 0
    for burst in (wires[k : k + 4] for k in range(0, len(wires), 4)):
        written = time.time_ns()
        os.write(master, b"".join(burst))
        size += sum(map(len, burst))
        wait_for_size(output, size)
        windows += [(written, time.time_ns())] * len(burst)
    process.send_signal(signal.SIGINT)
    process.communicate(timeout=10)
    assert process.returncode == 0
    loaded = load(output)
    assert not loaded.times_estimated and len(loaded) == len(wires) == len(windows)
    received = loaded.columns["time"].view(np.int64)
    early, late = np.array(windows).T
    assert ((early <= received) & (received <= late)).all(), np.flatnonzero((received < early) | (received > late))
    # Beside the wall clock, the boot clock of every read.
    entries = receive_times.parse_entries(Path(receive_times.companion_path(output)).read_bytes(), size)
    boot = entries["boot"]
    assert boot_start < boot[0] and (np.diff(boot) >= 0).all()
    assert boot[-1] < time.clock_gettime_ns(time.CLOCK_BOOTTIME)


def test_an_unknown_times_version_is_refused() -> None:
    header = struct.pack("<8sHHI", b"brimtime", 2, 16, 0)
    with pytest.raises(receive_times.TimesFormatError, match="version 2, this reader knows 1"):
        receive_times.parse_times(header, 100)


# --- pandas and Dask ------------------------------------------------------------


def test_a_dataframe_is_indexed_by_sample_time(recording) -> None:
    pd = pytest.importorskip("pandas")
    data = stream_bytes(FAULTY) + ODD_FRAMES
    path = recording(data)
    write_times(path, [(end, 1_700_000_000_000_000_000 + end * 20_000) for end in range(700, len(data), 700)])
    loaded = load(path)
    c = loaded.columns
    # Sample times taken as the receive times: reads bring several packets,
    # so many share one; they keep their stream order.
    frame = to_dataframe(dataclasses.replace(loaded, columns={**c, "sample_time": c["time"]}))
    order = np.argsort(c["time"], kind="stable")
    assert len(frame) == len(loaded) and frame.index.name == "sample_time"
    assert isinstance(frame.index, pd.DatetimeIndex) and str(frame.index.tz) == "UTC"
    assert frame.index.is_monotonic_increasing and not frame.index.is_unique
    assert (frame.index.values == c["time"][order]).all()
    assert (frame["time"].values == c["time"][order]).all() and str(frame["time"].dt.tz) == "UTC"
    assert list(frame.columns[:5]) == ["time", "missing_before", "kind", "invalid", "present"]
    assert frame["kind"].cat.categories.tolist() == list(PACKET_TYPES)
    assert (frame["kind"].cat.codes.values == c["kind"][order]).all()
    assert f32_bits(frame["est_pressure_alt"]) == f32_bits(c["est_pressure_alt"][order])
    assert frame.attrs["units"]["scaled_ambient_pressure"] == "hPa" and frame.attrs["source"] == str(path)
    assert not frame.attrs["times_estimated"] and frame.attrs["rates"]["raw"] > 0
    for kind in PACKET_TYPES:
        one = to_dataframe(loaded, kind=kind)
        assert (one["kind"] == kind).all() and one.index.is_unique and one.index.is_monotonic_increasing
        assert len(one) == int((c["kind"] == PACKET_TYPES.index(kind)).sum())
    with pytest.raises(ValueError, match="kind must be one of raw, estimated"):
        to_dataframe(loaded, kind="fused")


def test_dask_on_a_local_cluster_gives_what_pandas_gives(tmp_path: Path) -> None:
    pd = pytest.importorskip("pandas")
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    paths = []
    for seed in range(10):
        config = StreamConfig(seconds=0.2 + seed / 20, raw_rate=200, estimated_rate=50, seed=seed,
                              faults=Faults(drop=0.02, invalid=0.1))  # fmt: skip
        paths.append(tmp_path / f"flight-{seed:02d}.bin")
        paths[-1].write_bytes(stream_bytes(config))
    columns = ["scaled_accel_x", "scaled_accel_y", "scaled_accel_z"]
    frames_ = [to_dataframe(p).assign(recording=str(p)) for p in paths]
    # Means in double precision on both sides, as dask computes them.
    expected = pd.concat(frames_).astype({c: "float64" for c in columns}).groupby("recording")[columns].mean()
    many = recording_module.read_recordings(str(tmp_path / "flight-*.bin"))
    assert many.npartitions == 10
    with distributed.LocalCluster(n_workers=2, processes=False, dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            got = many.astype({c: "float64" for c in columns}).groupby("recording")[columns].mean().compute()
    # dask keeps text as arrow strings
    pd.testing.assert_frame_equal(got.sort_index(), expected.sort_index(), check_index_type=False, rtol=1e-12)


@pytest.mark.parametrize("missing, call", [
    ("pandas", lambda: to_dataframe(b"")),
    ("dask.dataframe", lambda: recording_module.read_recordings([__file__])),
])  # fmt: skip
def test_a_missing_extra_is_named_in_one_line(missing: str, call, monkeypatch) -> None:
    from brimlet_tools.errors import ToolError

    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ToolError, match=rf"needs {missing.split('.')[0]}, which is not installed \(Debian: "):
        call()


def test_stats_measures_a_recording_on_its_receive_times(recording) -> None:
    data = stream_bytes(FAULTY)  # 0.5 s, frames lost to line faults
    path = recording(data)
    write_times(path, [(end, 10**18 + round(end / len(data) * 0.5e9)) for end in packet_ends(data)])
    result = run_cli("stats", "--file", str(path))
    out = result.stdout + result.stderr
    assert re.search(r"^span: 0\.49\d s of receive time \(raw 19\d\.\d Hz, estimated 4\d\.\d Hz\)$", out, re.M), out
    assert "time axis estimated" not in out
