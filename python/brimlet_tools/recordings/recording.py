"""Whole recordings as columns: numpy, pandas and Dask.

`load(path)` decodes a recording into one numpy array per column, all of the
same length, one entry per packet in stream order:

    time     datetime64[ns]  receive time of the read that completed the frame
                             (estimated when the recording has no times)
    sample_time    datetime64[ns]  when the device sampled the packet, fitted
                             per kind from the receive times (timing.envelope):
                             evenly spaced at the fitted rate between gaps,
                             never after `time` on the recording's first
                             clock; the estimated axis when there are no times
    missing_before uint16    packets of the same kind missing just before it
    kind     uint8           index into fields.PACKET_TYPES
    invalid  uint16          bit i set when the device flagged
                             fields.VALIDITY_NAMES[i] not valid
    present  uint16          bit i set when the packet carries
                             fields.DATA_FIELDS[i] (a NaN in a carried field
                             is a value the device sent)
    then one float32 array per data column, named as the CSV data columns
    (`scaled_accel_x`, ...), NaN where the packet does not carry the value.

`Recording.scan` tells what the decoder passed over: the totals (bytes
outside valid frames, failed checksums, frames of other descriptor sets, an
unfinished frame at the end) and, per packet, the bytes outside frames just
before its frame and where its frame ends in the stream.

A recording made by `brimlet record` has its receive times in a companion file
(see `receive_times`); each packet gets the time of the read after which a
live parser would have decoded it. A recording without times gets an
estimated time axis: raw packets at `raw_rate` per second, an estimated packet
at the time of the raw packet before it, ending at the file's modification
time.

`to_dataframe` makes a pandas DataFrame of a recording and `read_recordings`
a Dask DataFrame of many, one partition per recording. numpy, pandas and dask
are imported only when these are used.
"""

from __future__ import annotations

import errno
import math
import os
import stat
import warnings
from collections.abc import ItemsView, Iterable, Iterator, KeysView, Sequence, ValuesView
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from ..errors import load_columns, require
from ..files.inputs import what_is
from ..files.receive_times import read_times
from ..timing import envelope
from ..wire.fields import (
    COLUMN_TYPES, COLUMN_UNITS, DATA_COLUMNS, DATA_FIELDS, DECODED_TYPES, KIND_CODE, PACKET_TYPES, RAW_RATE,
)  # fmt: skip

if TYPE_CHECKING:
    import numpy.typing as npt

# pandas and dask come without type information: their frames are Any here.
PandasFrame = Any
DaskFrame = Any

ESTIMATE_RAW_RATE = RAW_RATE  # the device's usual raw packet rate
MEMORY = "<memory>"

Source = str | os.PathLike[str] | bytes | bytearray | memoryview


def numpy() -> Any:
    return require("numpy", "loading recordings", "numpy", "python3-numpy")


def column_dtypes() -> dict[str, Any]:
    """The numpy type of every column, in column order."""
    np = numpy()
    return {name: np.dtype(t) for name, t in COLUMN_TYPES.items()}


@dataclass
class Scan:
    """What the decoder passed over in a stream of `bytes` bytes: `outside`
    bytes outside valid frames (noise, damaged frames), `unfinished` bytes at
    the end that begin a frame never completed, `bad_checksums` candidate
    frames whose checksum failed, `other_frames` valid frames of other
    descriptor sets; per packet, `skipped` (uint32) bytes outside frames
    between the packet frame before it (or the start) and its own, and `end`
    (uint64) the offset of the byte after its frame."""

    bytes: int = 0
    outside: int = 0
    unfinished: int = 0
    bad_checksums: int = 0
    other_frames: int = 0
    skipped: npt.NDArray[Any] | None = None
    end: npt.NDArray[Any] | None = None


@dataclass
class Recording:
    """The columns of one recording; see the module's description.

    It reads as a table of named columns, as a pandas DataFrame does:
    `rec["scaled_accel_z"]` is a column, `list(rec)` and `rec.keys()` their
    names in column order, `"kind" in rec` says whether one is there, and
    `len(rec)` counts the packets (the rows). `columns` is the same dict of
    columns."""

    columns: dict[str, npt.NDArray[Any]]
    times_estimated: bool
    source: str
    scan: Scan = field(default_factory=Scan)
    # Per kind: the fitted rate, gaps and receive latency (envelope.KindFit).
    fits: dict[str, envelope.KindFit] = field(default_factory=dict)

    def __len__(self) -> int:
        return len(self.columns["time"])

    def __getitem__(self, name: str) -> npt.NDArray[Any]:
        return self.columns[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self.columns)

    def __contains__(self, name: object) -> bool:
        return name in self.columns

    def keys(self) -> KeysView[str]:
        return self.columns.keys()

    def values(self) -> ValuesView[npt.NDArray[Any]]:
        return self.columns.values()

    def items(self) -> ItemsView[str, npt.NDArray[Any]]:
        return self.columns.items()

    def get(self, name: str, default: Any = None) -> Any:
        return self.columns.get(name, default)

    def __repr__(self) -> str:
        axis = "estimated times" if self.times_estimated else "receive times"
        return f"<Recording {self.source}: {len(self)} packets, {axis}>"


def load(source: Source, raw_rate: float = ESTIMATE_RAW_RATE) -> Recording:
    """Decodes the recording at the path `source`, or the raw stream held in
    `source` (bytes, bytearray or memoryview), into columns. `raw_rate` is the
    raw packet rate that an estimated time axis assumes.

    A recording is a regular file (anything else is refused with an OSError
    that says what it is), read without mapping it: a file that shrinks while
    it is read is an OSError too. Bytes appended meanwhile are left for a
    later load."""
    check_raw_rate(raw_rate)
    numpy()
    native = load_columns()
    if isinstance(source, (bytes, bytearray, memoryview)):
        return columns_of(native.decode(source), False, MEMORY, 0, raw_rate)
    name = os.fspath(source)
    fd = open_regular_file(name)
    try:
        info = os.fstat(fd)
        reads = read_times(name, info.st_size)
        try:
            decoded = native.decode_file(fd, info.st_size, *(reads[:2] if reads else ()))
        except EOFError as e:
            raise OSError(errno.EIO, f"it shrank while it was read ({e})", name) from e
    finally:
        os.close(fd)
    received = reads is not None and len(reads.end) > 0
    covered = int(reads.end[-1]) if reads is not None and received else None
    return columns_of(decoded, received, name, info.st_mtime_ns, raw_rate, bool(reads and reads.steady), covered)


def check_raw_rate(raw_rate: float) -> None:
    """A ValueError unless `raw_rate` can space packets on a time axis."""
    if not (math.isfinite(raw_rate) and raw_rate > 0):
        raise ValueError(f"raw_rate must be a finite number of packets per second above 0, not {raw_rate!r}")
    if not math.isfinite(1e9 / raw_rate):
        raise ValueError(f"raw_rate {raw_rate!r} is too low: packets that far apart leave the range of times")


def open_regular_file(path: str) -> int:
    """A descriptor of the regular file at `path`, opened for reading, or an
    OSError that names what else it is. Opening never waits (a FIFO without
    a writer) and never takes a terminal as the controlling one."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    mode = os.fstat(fd).st_mode
    if stat.S_ISREG(mode):
        return fd
    os.close(fd)
    raise OSError(errno.EINVAL, f"it is {what_is(mode) or 'not a regular file'}, not a file", path)


def columns_of(result: tuple[dict[str, Any], dict[str, int]], received: bool, name: str, end_ns: int,
               raw_rate: float, steady: bool = False, covered: int | None = None) -> Recording:  # fmt: skip
    """The Recording of what the native decoder gave (its columns and scan
    totals); `received` when the columns carry receive times, `steady` when
    those never step, `covered` the bytes they cover."""
    np = numpy()
    decoded, totals = result
    scan = Scan(**totals, skipped=np.frombuffer(decoded["skipped"], np.uint32),
                end=np.frombuffer(decoded["end"], np.uint64))  # fmt: skip
    # The decoder's own arrays, seen through the buffer protocol: no copy.
    decoded_columns = {c: np.frombuffer(decoded[c], t if c != "time" else np.int64) for c, t in DECODED_TYPES.items()}
    kind, time = decoded_columns["kind"], decoded_columns["time"]
    if received:
        sampled = envelope.fit(load_columns(), kind, time, scan.skipped, scan.end, PACKET_TYPES, steady, covered)
        if sampled.time is not None:
            time = sampled.time
    else:
        time = estimated_times(kind, raw_rate, end_ns)
        sampled = envelope.nominal(load_columns(), kind, time, scan.skipped, scan.end, PACKET_TYPES)
    decoded_columns |= {"time": time, "sample_time": sampled.sample_time, "missing_before": sampled.missing_before}
    columns = {c: decoded_columns[c] for c in COLUMN_TYPES}
    columns["time"], columns["sample_time"] = time.view("datetime64[ns]"), sampled.sample_time.view("datetime64[ns]")
    return Recording(columns, not received, name, scan, sampled.fits)


def estimated_times(kind: npt.NDArray[Any], raw_rate: float, end_ns: int) -> npt.NDArray[Any]:
    """An estimated time axis: raw packets `1/raw_rate` apart, an estimated
    packet at the time of the raw packet before it, the last raw packet at
    `end_ns` (a stream without raw packets counts all of them)."""
    np = numpy()
    raw = kind == KIND_CODE["raw"]
    clock = raw if raw.any() else np.ones(len(kind), bool)  # no raw packets: every packet
    raw_index = np.maximum(np.cumsum(clock, dtype=np.int64) - 1, 0)
    period = 1e9 / raw_rate
    last = int(raw_index[-1]) if len(raw_index) else 0
    if not (last * period < 2**63 and end_ns - last * period >= -(2**63)):
        raise ValueError(f"raw_rate {raw_rate!r} is too low: {last + 1} packets that far apart "
                         "leave the range of times")  # fmt: skip
    start = end_ns - round(last * period)
    times: npt.NDArray[Any] = (start + np.round(raw_index * period).astype(np.int64)).view("datetime64[ns]")
    return times


def to_dataframe(recording: Recording | Source, kind: str | None = None) -> PandasFrame:
    """One row per packet (of `kind` alone when given), indexed by its
    sample time (UTC): the packets of both kinds sorted by it, those sampled
    at the same moment in stream order. Columns, in the order of every
    output: `time` (the receive time, UTC), `missing_before`, `kind` as a
    category of the packet types, `invalid` and `present` as bit masks,
    and the float32 data columns (with `kind`, only those that kind
    carries). `attrs` holds the `attributes` of the recording."""
    pd = require("pandas", "data frames", "pandas", "python3-pandas")
    np = numpy()
    if kind is not None and kind not in PACKET_TYPES:
        raise ValueError(f"kind must be one of {', '.join(PACKET_TYPES)}, not {kind!r}")
    if not isinstance(recording, Recording):
        recording = load(recording)
    columns = recording.columns
    if kind is not None:
        rows: Any = np.flatnonzero(columns["kind"] == KIND_CODE[kind])  # already in sample-time order
    else:
        rows = np.argsort(columns["sample_time"], kind="stable")
    carried = tuple(c for f in DATA_FIELDS if kind in (None, f.packet_type) for c in f.columns)
    frame = pd.DataFrame({name: columns[name][rows] for name in carried}, copy=False)
    for name in ("present", "invalid"):
        frame.insert(0, name, columns[name][rows])
    frame.insert(0, "kind", pd.Categorical.from_codes(columns["kind"][rows], categories=list(PACKET_TYPES)))
    frame.insert(0, "missing_before", columns["missing_before"][rows])
    frame.insert(0, "time", pd.DatetimeIndex(columns["time"][rows]).tz_localize("UTC"))
    frame.index = pd.DatetimeIndex(columns["sample_time"][rows], name="sample_time").tz_localize("UTC")
    frame.attrs.update(attributes(recording, carried))
    return frame


class Described(Protocol):
    """What `attributes` needs of a recording."""

    @property
    def source(self) -> str: ...
    @property
    def times_estimated(self) -> bool: ...
    @property
    def fits(self) -> dict[str, Any]: ...


def attributes(recording: Described, carried: Sequence[str] = DATA_COLUMNS) -> dict[str, Any]:
    """What a data frame of `recording` (with the data columns `carried`)
    keeps in its `attrs`, as a Parquet export keeps it for pandas too:
    `units`, `source`, `times_estimated` and `rates` (the fitted packets per
    second of each kind, None when not measured)."""
    return {"units": {c: COLUMN_UNITS[c] for c in carried}, "source": recording.source,
            "times_estimated": recording.times_estimated,
            "rates": {k: fit.rate for k, fit in recording.fits.items()}}  # fmt: skip


def dataframe_meta() -> PandasFrame:
    """An empty frame with the columns and types of `to_dataframe`."""
    np = numpy()
    empty = Recording({name: np.empty(0, t) for name, t in column_dtypes().items()}, True, MEMORY)
    return to_dataframe(empty)


def expand(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The recordings named by a glob pattern, a path, or a list of them."""
    import glob

    items: Sequence[str | os.PathLike[str]] = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    found: list[str] = []
    for item in items:
        text = os.fspath(item)
        matches = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
        found += [m for m in matches if not m.endswith(".times")]
    if not found:
        raise FileNotFoundError(f"no recordings match {paths!r}")
    return found


def read_recordings(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> DaskFrame:
    """A Dask DataFrame of many recordings, one partition per recording (in
    the order given; a glob's matches sorted), each partition as
    `to_dataframe` makes it, with a `recording` column naming its file."""
    with warnings.catch_warnings():
        # Debian's dask comes without its optional query planner, and says so
        # on import; that planner is not needed here.
        warnings.filterwarnings("ignore", "Dask dataframe query planning is disabled", FutureWarning)
        dd = require("dask.dataframe", "reading many recordings", "dask", "python3-dask")
    files = expand(paths)
    meta = dataframe_meta()
    meta.insert(0, "recording", "")
    return dd.from_map(partition, files, meta=meta)


def partition(path: str) -> PandasFrame:
    """One recording as a partition of `read_recordings`."""
    frame = to_dataframe(load(path))
    frame.insert(0, "recording", path)
    return frame
