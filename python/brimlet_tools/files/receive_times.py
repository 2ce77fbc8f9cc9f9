"""The receive times of a recording, kept in a companion file beside it.

A recording (`flight.bin`) holds exactly the bytes the device sent, so that
`MockParser` replays it unchanged. When `brimlet record` made it, the host's
clocks at every read are kept next to it in `flight.bin.times`:

    header, 16 bytes:
        0   8  magic b"brimtime"
        8   2  version, 1 (unsigned, little-endian)
        10  2  entry size in bytes: 16, or 32 with the flag below
        12  4  flags: bit 0 (CHECKED) set when entries carry the two fields
               past the first 16 bytes
    then one entry per read, little-endian:
        0   8  end: the recording's length in bytes once the read's bytes were
               appended (unsigned); non-decreasing from entry to entry
        8   8  time: nanoseconds since the Unix epoch, the host's real-time
               clock when the read returned (signed; the clock of packet
               timestamps)
      with CHECKED:
        16  8  boot: the host's CLOCK_BOOTTIME at the same moment, in
               nanoseconds (signed): a clock that never steps
        24  8  head: the first 8 bytes of the BLAKE2b digest (8-byte digest
               size) of the recording's first min(end, 4096) bytes, which
               names the recording the entry belongs to

Readers that know only the first 16 bytes of an entry skip the rest, as the
entry size tells them, so every version-1 reader reads both layouts.

The bytes of a read go to the recording before its entry goes here, and both
files are appended to with one unbuffered write each, so a capture cut short
leaves at most one entry torn or missing. A reader ignores a torn last entry,
entries past the recording's end or whose end goes backwards (both mean the
files do not belong together from there on), and stamps the bytes after the
last entry with the last entry's time. A file whose heads do not match the
recording's first bytes belongs to another recording: it is ignored with a
warning. Where the wall clock stepped while recording, the times follow the
boot clock, anchored at the wall clock's last reading; times of a file
without the boot clock that go back or lie outside any plausible range are
made a time axis that never goes back. Each is said once, as a
`TimesWarning`. See docs/recordings.md.
"""

from __future__ import annotations

import errno
import hashlib
import os
import struct
import warnings
from typing import IO, TYPE_CHECKING, Any, NamedTuple

from brimlet_columns import CLOCK_STEP_NS

if TYPE_CHECKING:
    import numpy.typing as npt

MAGIC = b"brimtime"
VERSION = 1
ENTRY = struct.Struct("<Qq")
CHECKED_ENTRY = struct.Struct("<QqqQ")
HEADER = struct.Struct("<8sHHI")
CHECKED = 1
SUFFIX = ".times"
HEAD = 4096  # the recording's first bytes that the entries name
STEP_NS = CLOCK_STEP_NS  # a wall clock that moves this far from the boot clock between reads stepped
FUTURE_NS = 86_400 * 10**9  # a receive time this far past the recording's last change is not one
MAX_ENTRY = 1 << 16  # the largest entry size read; a larger one is no version-1 file's



class Reads(NamedTuple):
    """The reads of a recording: their ends (uint64) and receive times
    (int64 ns), and whether those come from a clock that never steps (the
    boot clock was noted beside them)."""

    end: npt.NDArray[Any]
    time: npt.NDArray[Any]
    steady: bool = False


class TimesFormatError(ValueError):
    """A companion file that is not a receive-time file this version reads."""


class TimesWarning(UserWarning):
    """Receive times that do not belong to their recording, or a clock that
    stepped or went back: the time axis made of them, and what was done."""


def companion_path(recording: str | os.PathLike[str]) -> str:
    """Where the receive times of `recording` are kept: the same name with
    `.times` appended."""
    return os.fspath(recording) + SUFFIX


def head_digest(data: bytes | memoryview) -> int:
    """What an entry holds of the recording's first bytes `data`."""
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "little")


class TimesWriter:
    """Appends one entry per read to a new receive-time file."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._out: IO[bytes] = open(self.path, "wb", buffering=0)
        self._end = 0
        self._head = hashlib.blake2b(digest_size=8)
        self._write(HEADER.pack(MAGIC, VERSION, CHECKED_ENTRY.size, CHECKED))

    def add(self, data: bytes | memoryview, time_ns: int, boot_ns: int) -> None:
        """Notes that the bytes `data` were appended to the recording by a
        read that returned at `time_ns` on the wall clock and `boot_ns` on
        the boot clock."""
        if self._end < HEAD:
            self._head.update(data[: HEAD - self._end])
        self._end += len(data)
        head = int.from_bytes(self._head.digest(), "little")
        self._write(CHECKED_ENTRY.pack(self._end, time_ns, boot_ns, head))

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


def parse_entries(data: bytes, recording_size: int) -> dict[str, npt.NDArray[Any]]:
    """The entries of the receive-time file `data` that fit a recording of
    `recording_size` bytes, by field ("end", "time", and "boot" and "head"
    where the file has them)."""
    return fitting_entries(data, recording_size)[0]


def fitting_entries(data: bytes, recording_size: int) -> tuple[dict[str, npt.NDArray[Any]], list[str]]:
    """As `parse_entries`, with what was mended on the way, said in words.

    An entry whose end alone breaks the order of its neighbours' was damaged
    (a flipped bit): it is left out. Where the ends go back or pass the
    recording's size from some entry on, the files do not belong together
    from there: the entries stop, but for the first past the recording's end
    (the recording was cut short), whose read brought its last bytes."""
    import numpy as np

    if len(data) < HEADER.size:
        if not MAGIC.startswith(data[: len(MAGIC)]):
            raise TimesFormatError("not a receive-time file")
        # Cut within its first write: no read was noted.
        return {"end": np.empty(0, np.uint64), "time": np.empty(0, np.int64)}, []
    magic, version, entry_size, flags = HEADER.unpack_from(data)
    if magic != MAGIC:
        raise TimesFormatError("not a receive-time file")
    checked = bool(flags & CHECKED)
    if version != VERSION or not (CHECKED_ENTRY if checked else ENTRY).size <= entry_size <= MAX_ENTRY:
        raise TimesFormatError(f"receive-time file of version {version}, this reader knows {VERSION}")
    names = ["end", "time", "boot", "head"] if checked else ["end", "time"]
    layout = np.dtype({"names": names, "formats": ["<u8", "<i8", "<i8", "<u8"][: len(names)],
                       "itemsize": entry_size})  # fmt: skip
    count = (len(data) - HEADER.size) // entry_size  # a torn last entry is left out
    table = np.frombuffer(data, dtype=layout, count=count, offset=HEADER.size)
    entries = {name: table[name].astype(np.uint64 if name in ("end", "head") else np.int64) for name in names}
    notes = []
    ends = entries["end"].astype(np.float64)  # exact up to 2**53 bytes, and never wraps
    if len(ends) > 2:
        before, after = np.concatenate(([0.0], ends[:-1])), np.concatenate((ends[1:], [np.inf]))
        damaged = (before <= after) & (after <= recording_size) & ~((before <= ends) & (ends <= after))
        damaged[-1] = False
        if damaged.any():
            notes.append(f"{int(damaged.sum())} damaged entr{'y' if damaged.sum() == 1 else 'ies'} left out")
            entries = {name: values[~damaged] for name, values in entries.items()}
            ends = ends[~damaged]
    # The entries that belong to this recording: ends never go back and never
    # pass its size.
    bad = (ends > recording_size) | (np.diff(ends, prepend=0.0) < 0)
    if bad.any():
        keep = int(np.argmax(bad))
        if ends[keep] > recording_size and (keep == 0 or ends[keep - 1] <= recording_size):
            notes.append(f"its reads run past the recording's end ({recording_size} bytes): it was cut short")
            whole = keep > 0 and ends[keep - 1] == recording_size
            entries = {name: values[: keep + (not whole)].copy() for name, values in entries.items()}
            entries["end"][-1:] = recording_size
        else:
            notes.append(f"{len(ends) - keep} entries from the {keep + 1}. on do not fit it and are left out")
            entries = {name: values[:keep] for name, values in entries.items()}
    return entries, notes


def parse_times(data: bytes, recording_size: int) -> Reads:
    """The ends (uint64) and times (int64 ns) of the receive-time file `data`,
    cut to the entries that fit a recording of `recording_size` bytes, as
    they stand."""
    entries = parse_entries(data, recording_size)
    return Reads(entries["end"], entries["time"])


def read_times(recording: str | os.PathLike[str], recording_size: int) -> Reads | None:
    """The receive times of the recording at `recording`, or None when it has
    no companion file or one that belongs to another recording (said in a
    `TimesWarning`, as is a time axis that had to be mended)."""
    import numpy as np

    name = companion_path(recording)
    data = read_companion(name, recording_size)
    if data is None:
        return None
    entries, notes = fitting_entries(data, recording_size)
    with open(recording, "rb") as f:
        head = f.read(HEAD)
        last_change = os.fstat(f.fileno()).st_mtime_ns
    if "head" in entries and not belongs(entries["end"], entries["head"], head):
        say(f"{name} holds the receive times of another recording (its first bytes differ from "
            f"{os.fspath(recording)}'s): they are ignored and the time axis is estimated")  # fmt: skip
        return None
    times = time_axis(entries, name, last_change)
    if times is None:
        return None
    covered = int(entries["end"][-1]) if len(times) else 0
    if 0 < covered < recording_size:
        notes.append(f"it covers the recording's first {covered} of {recording_size} bytes: the packets after "
                     "are timed on an estimated axis")  # fmt: skip
    if notes:
        say(f"receive times in {name}: {'; '.join(notes)}")
    boot = entries.get("boot")
    return Reads(entries["end"], times, boot is not None and bool((np.diff(boot) >= 0).all()))


def read_companion(name: str, recording_size: int) -> bytes | None:
    """The bytes of the receive-time file `name` that a recording of
    `recording_size` bytes can have entries for, None when there is no such
    file. It is opened as a recording is: never waiting (a FIFO without a
    writer) and refused with an OSError unless it is a regular file; what
    lies past the entries the recording could have is left unread."""
    import stat

    try:
        fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    with os.fdopen(fd, "rb", buffering=0) as f:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "it is not a regular file", name)
        header = read_at_most(f, HEADER.size)
        if len(header) < HEADER.size:
            return header
        entry_size = min(HEADER.unpack(header)[2], MAX_ENTRY)
        # Every read adds a byte at least; one more entry shows where they run past.
        return header + read_at_most(f, max(entry_size, 1) * (recording_size + 2))


def read_at_most(f: IO[bytes], size: int) -> bytes:
    """Up to `size` bytes from `f`, fewer only at its end."""
    parts, left = [], size
    while left > 0:
        part = f.read(min(left, 1 << 24))
        if not part:
            break
        parts.append(part)
        left -= len(part)
    return b"".join(parts)


def belongs(ends: npt.NDArray[Any], heads: npt.NDArray[Any], head: bytes) -> bool:
    """Whether every entry names the recording whose first bytes are `head`."""
    import numpy as np

    lengths = np.minimum(ends, np.uint64(HEAD)).astype(np.int64)
    for length in np.unique(lengths).tolist():
        if length > len(head) or (heads[lengths == length] != head_digest(head[:length])).any():
            return False
    return True


def time_axis(entries: dict[str, npt.NDArray[Any]], name: str, last_change: int) -> npt.NDArray[Any] | None:
    """The receive times of the entries as a time axis that never goes back;
    None when not one of them is a time."""
    import numpy as np

    times = entries["time"]
    boot = entries.get("boot")
    if len(times) > 1 and boot is not None and (np.diff(boot) >= 0).all():
        drift = np.diff(times) - np.diff(boot)
        steps = np.flatnonzero(np.abs(drift) >= STEP_NS)
        # A step there and back at once is one damaged entry, not the clock:
        # its time is mended from the boot clock where the time is the odd one.
        back = steps[:-1][(np.diff(steps) == 1) & (np.abs(drift[steps[:-1]] + drift[steps[1:]]) < STEP_NS)]
        if len(back):
            at = back + 1
            times = times.copy()
            odd = np.abs(2 * times[at] - times[at - 1] - times[at + 1]) > np.abs(2 * boot[at] - boot[at - 1] - boot[at + 1])
            times[at[odd]] = times[at[odd] - 1] + boot[at[odd]] - boot[at[odd] - 1]
            say(f"receive times in {name}: {len(at)} damaged entr{'y' if len(at) == 1 else 'ies'} "
                "mended from the boot clock")  # fmt: skip
            steps = np.setdiff1d(steps, np.concatenate((back, back + 1)))
            drift = np.diff(times) - np.diff(boot)
        if len(steps):
            total = int(drift[steps].sum())
            say(f"the wall clock stepped by {total / 1e9:+.3f} s while {name} was recorded: its receive "
                "times follow the boot clock, anchored at the wall clock's last reading")  # fmt: skip
            axis: npt.NDArray[Any] = times[-1] + (boot - boot[-1])
            return axis
    plausible = (times >= 0) & (times <= last_change + FUTURE_NS)
    problems = []
    if not plausible.all():
        problems.append(f"{int((~plausible).sum())} outside any plausible range (before 1970 or after the "
                        "recording's last change)")  # fmt: skip
        # An implausible time says nothing: its read takes the next good one's.
        good = np.flatnonzero(plausible)
        if not len(good):
            say(f"{name} holds no plausible receive time: the time axis is estimated")
            return None
        after = np.searchsorted(good, np.arange(len(times)))
        times = times[good[np.minimum(after, len(good) - 1)]]
    back = np.diff(times) < 0
    if back.any():
        problems.append(f"{int(back.sum())} going back (by up to "
                        f"{float((np.maximum.accumulate(times) - times).max()) / 1e9:.3f} s)")  # fmt: skip
        times = np.maximum.accumulate(times)
    if problems:
        say(f"receive times in {name}: {'; '.join(problems)}; the time axis is kept from going back")
    return times


def say(text: str) -> None:
    warnings.warn(TimesWarning(text), stacklevel=4)
