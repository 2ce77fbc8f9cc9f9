"""The receive times of a recording, kept in a companion file beside it.

A recording (`flight.bin`) holds exactly the bytes the device sent, so that
`MockParser` replays it unchanged. When `brimlet record` made it, the host's
wall-clock time of every read is kept next to it in `flight.bin.times`:

    header, 16 bytes:
        0   8  magic b"brimtime"
        8   2  version, 1 (unsigned, little-endian)
        10  2  entry size in bytes, 16 for version 1
        12  4  flags, 0 (no flag is defined yet)
    then one entry per read, 16 bytes each, little-endian:
        0   8  end: the recording's length in bytes once the read's bytes were
               appended (unsigned); non-decreasing from entry to entry
        8   8  time: nanoseconds since the Unix epoch, the host's real-time
               clock when the read returned (signed; the clock of packet
               timestamps)

The bytes of a read go to the recording before its entry goes here, and both
files are appended to with one unbuffered write each, so a capture cut short
leaves at most one entry torn or missing. A reader ignores a torn last entry,
entries past the recording's end or whose end goes backwards (both mean the
files do not belong together from there on), and stamps the bytes after the
last entry with the last entry's time. See docs/recordings.md.
"""

from __future__ import annotations

import os
import struct
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy.typing as npt

MAGIC = b"brimtime"
VERSION = 1
ENTRY = struct.Struct("<Qq")
HEADER = struct.Struct("<8sHHI")
SUFFIX = ".times"

# The ends (uint64) and times (int64 ns) of the reads of a recording.
Reads = tuple["npt.NDArray[Any]", "npt.NDArray[Any]"]


class TimesFormatError(ValueError):
    """A companion file that is not a receive-time file this version reads."""


def companion_path(recording: str | os.PathLike[str]) -> str:
    """Where the receive times of `recording` are kept: the same name with
    `.times` appended."""
    return os.fspath(recording) + SUFFIX


class TimesWriter:
    """Appends one entry per read to a new receive-time file."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._out: IO[bytes] = open(self.path, "wb", buffering=0)
        self._write(HEADER.pack(MAGIC, VERSION, ENTRY.size, 0))

    def add(self, end: int, time_ns: int) -> None:
        """Notes that the recording was `end` bytes long after a read that
        returned at `time_ns`."""
        self._write(ENTRY.pack(end, time_ns))

    def _write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            n = self._out.write(view)
            view = view[n or 0 :]

    def close(self) -> None:
        self._out.close()

    def __enter__(self) -> TimesWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def parse_times(data: bytes, recording_size: int) -> Reads:
    """The ends (uint64) and times (int64 ns) of the receive-time file `data`,
    cut to the entries that fit a recording of `recording_size` bytes."""
    import numpy as np

    if len(data) < HEADER.size:
        if not MAGIC.startswith(data[: len(MAGIC)]):
            raise TimesFormatError("not a receive-time file")
        # Cut within its first write: no read was noted.
        return np.empty(0, np.uint64), np.empty(0, np.int64)
    magic, version, entry_size, _flags = HEADER.unpack_from(data)
    if magic != MAGIC:
        raise TimesFormatError("not a receive-time file")
    if version != VERSION or entry_size < ENTRY.size:
        raise TimesFormatError(f"receive-time file of version {version}, this reader knows {VERSION}")
    count = (len(data) - HEADER.size) // entry_size  # a torn last entry is left out
    table = np.frombuffer(data, dtype=np.dtype({"names": ["end", "time"], "formats": ["<u8", "<i8"],
                                                "itemsize": entry_size}),  # fmt: skip
                          count=count, offset=HEADER.size)
    ends = table["end"].astype(np.uint64)
    times = table["time"].astype(np.int64)
    # The entries that belong to this recording: ends never go back and never
    # pass its size.
    bad = (ends > recording_size) | (np.diff(ends, prepend=np.uint64(0)).view(np.int64) < 0)
    if bad.any():
        keep = int(np.argmax(bad))
        ends, times = ends[:keep], times[:keep]
    return ends, times


def read_times(recording: str | os.PathLike[str], recording_size: int) -> Reads | None:
    """The receive times of the recording at `recording`, or None when it has
    no companion file."""
    try:
        with open(companion_path(recording), "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    return parse_times(data, recording_size)
