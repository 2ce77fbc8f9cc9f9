"""Loaded recordings into the files that analysis tools read.

`export(recording, output)` writes a recording that `brimlet_tools.load`
has decoded into one of `FORMATS`, chosen by the output's name (its ending)
unless named: Parquet, HDF5, a ROS 2 bag (MCAP or SQLite storage), CSV or
JSON lines. Each format lives in a module of its own and needs its library
(pyarrow, h5py, rosbags) only when it is used; a missing one is reported in
one line that names it.

Every format holds the same packets in stream order with their receive
times (the recording's time axis, `Recording.times_estimated` when the
recording kept none) and the values exactly as the device sent them: single
precision, in the device's own units and axes (see `fields.COLUMN_UNITS`
and the README).

A file is written under a temporary name beside the output and renamed
when it is complete (`files.outputs`), so an interrupted export leaves no
partial file under the name asked for, and the old file there is replaced
only by a complete one.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from ..errors import ToolError, require
from ..files.outputs import writing
from ..recordings.formats import TEXT_FORMATS
from ..recordings.recording import Described, load

if TYPE_CHECKING:
    import numpy.typing as npt

CHUNK = 1 << 16  # packets written at a time
# ROS 2 bags: the storage that each name ending selects (the first is the
# default), and the frame of every message unless one is named.
STORAGE_BY_SUFFIX: dict[str, str] = {".mcap": "mcap", ".db3": "sqlite3"}
STORAGES: tuple[str, ...] = tuple(STORAGE_BY_SUFFIX.values())
FRAME_ID = "imu_link"


class RecordingLike(Described, Protocol):
    """What the writers need of a loaded recording (`brimlet_tools.load`):
    its columns and what describes it."""

    @property
    def columns(self) -> dict[str, npt.NDArray[Any]]: ...
    def __len__(self) -> int: ...


# Told how many more packets have been written (a progress bar).
Advance = Callable[[int], object]


@dataclass(frozen=True)
class Options:
    """Choices that some formats take."""

    frame_id: str = FRAME_ID  # ROS 2 bags: the frame of every message
    storage: str | None = None  # ROS 2 bags: one of STORAGES; else by the name
    force: bool = False  # ROS 2 bags: replace one that is there (see files.outputs)


Writer = Callable[[RecordingLike, Path, Options, Advance], None]


@dataclass(frozen=True)
class Library:
    """A library that a format needs: the module imported, the optional
    extra that installs it and its Debian package."""

    module: str
    extra: str
    debian: str


NUMPY = Library(module="numpy", extra="numpy", debian="python3-numpy")


def written_by(module: str, **bound: str) -> Callable[[], Writer]:
    """What gives the `write` of this package's writer module `module`
    (imported when the format is used, not before), with the keyword
    arguments `bound`."""

    def load() -> Writer:
        write: Writer = getattr(importlib.import_module(f"{__name__}.{module}"), "write")
        return partial(write, **bound) if bound else write

    return load


@dataclass(frozen=True)
class Format:
    """An output format: its name (the choice of `--format`), the name
    endings that select it, what messages call it, the library it needs,
    what gives its writer, and whether it is written as a directory."""

    name: str
    suffixes: tuple[str, ...]
    what: str
    needs: Library
    load: Callable[[], Writer]
    directory: bool = False

    def writer(self) -> Writer:
        """The format's writer; a ToolError naming the missing library if
        it cannot be imported."""
        for library in dict.fromkeys((NUMPY, self.needs)):
            require(library.module, f"export to {self.what}", self.needs.extra, library.debian)
        return self.load()


FORMATS: dict[str, Format] = {
    f.name: f
    for f in (
        Format(name="parquet", suffixes=(".parquet", ".pq"), what="Parquet",
               needs=Library(module="pyarrow", extra="parquet", debian="python3-pyarrow"), load=written_by("parquet")),
        Format(name="hdf5", suffixes=(".h5", ".hdf5"), what="HDF5",
               needs=Library(module="h5py", extra="hdf5", debian="python3-h5py"), load=written_by("hdf5")),
        Format(name="rosbag2", suffixes=tuple(STORAGE_BY_SUFFIX), what="a ROS 2 bag",
               needs=Library(module="rosbags", extra="rosbag", debian="python3-rosbags"), load=written_by("rosbag"),
               directory=True),
        *(Format(name=t.name, suffixes=t.suffixes, what=t.what, needs=NUMPY, load=written_by("text", fmt=t.name))
          for t in TEXT_FORMATS if t.columnar),
    )
}  # fmt: skip


def format_for(output: str | os.PathLike[str], name: str | None = None) -> Format:
    """The format named `name`, or else the one that the ending of `output`
    selects; a ToolError for an unknown one."""
    choices = ", ".join(FORMATS)
    if name is not None:
        if name not in FORMATS:
            raise ToolError(f"unknown export format {name!r} (choose from {choices})")
        return FORMATS[name]
    suffix = Path(output).suffix.lower()
    for f in FORMATS.values():
        if suffix in f.suffixes:
            return f
    endings = ", ".join(s for f in FORMATS.values() for s in f.suffixes)
    said = f"the ending {suffix!r}" if suffix else "no ending"
    raise ToolError(f"cannot tell the format of {os.fspath(output)} from {said}: "
                    f"name it with --format ({choices}) or end the name in one of {endings}")  # fmt: skip


def export(
    recording: RecordingLike | str | os.PathLike[str],
    output: str | os.PathLike[str],
    fmt: Format | None = None,
    options: Options | None = None,
    advance: Advance | None = None,
) -> Path:
    """Writes `recording` (loaded, or the path of one) to `output` in `fmt`
    (by default the format that the name selects); returns the path written
    (a ROS 2 bag is a directory, named `output` without its ending)."""
    fmt = format_for(output) if fmt is None else fmt
    write = fmt.writer()
    if isinstance(recording, (str, os.PathLike)):
        recording = load(recording)
    path = Path(output)
    write(recording, path, Options() if options is None else options, advance or (lambda n: None))
    return bag_directory(path) if fmt.directory else path


def bag_directory(output: Path) -> Path:
    """Where a ROS 2 bag named `output` goes: the name without an ending
    that names a storage (flight.mcap is the directory flight)."""
    return output.with_suffix("") if output.suffix.lower() in FORMATS["rosbag2"].suffixes else output


def replacing(path: Path, recording: RecordingLike, directory: bool = False,
              force: bool = False) -> AbstractContextManager[Path]:  # fmt: skip
    """A temporary name beside `path` to write the export of `recording`
    to (a file, or a directory with `directory`), renamed to `path` once
    complete (see `files.outputs`: the recording itself, its times, a
    device, a pipe or a socket are refused, and a directory there already
    without `force`)."""
    return writing(path, [recording.source], directory=directory, force=force)


def chunks(n: int, size: int = CHUNK) -> Iterator[slice]:
    """Consecutive slices that cover `n` rows, `size` at a time."""
    for start in range(0, n, size):
        yield slice(start, min(start + size, n))
