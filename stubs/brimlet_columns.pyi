"""Whole recordings of the brimlet stream decoded into columns, from the same
native core as brimlet. Use it through brimlet_tools.recording.load."""

from collections.abc import Buffer, Sequence
from os import PathLike
from typing import final

# The float32 data columns in order: "scaled_accel_x", ..., "est_gravity_vector_z".
DATA_COLUMNS: tuple[str, ...]
# Bit i of the "invalid" column stands for VALIDITY_NAMES[i].
VALIDITY_NAMES: tuple[str, ...]
# Bit i of the "present" column: the packet carries the i-th data field (in
# property order); a carried field may hold NaN, which the device sent.
# Codes of the "kind" column: 0 "raw", 1 "estimated".
PACKET_TYPES: tuple[str, ...]
# The wall clock stepped where it moved this many ns or more from the boot
# clock between two reads (the sample-time fit's and the live clock's bound).
CLOCK_STEP_NS: int

@final
class Column(Buffer):
    """One decoded column: a one-dimensional, writable array read through the
    buffer protocol (numpy.frombuffer takes it without a copy)."""

    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def decode(
    data: Buffer, ends: Buffer | None = None, times: Buffer | None = None, /
) -> tuple[dict[str, Column], dict[str, int]]:
    """Decodes the raw stream in `data` into columns, in order: "time" (int64
    ns), "kind" (uint8), "invalid" (uint16), "present" (uint16), "skipped"
    (uint32: bytes outside valid frames between the packet frame before, or
    the start, and this one), "end" (uint64: the offset of the byte after the
    frame) and the DATA_COLUMNS (float32, NaN where a
    packet does not carry the value), and the totals of the scan: "bytes" (of
    the stream), "outside" (bytes outside valid frames: noise, damaged
    frames), "unfinished" (bytes at the end that begin a frame never
    completed), "bad_checksums" (candidate frames whose checksum failed) and
    "other_frames" (valid frames of other descriptor sets). `ends` (uint64) and `times`
    (int64 ns) describe the reads that received the stream: after read k the
    stream was ends[k] bytes long, and the read returned at times[k]; each
    packet gets the time of the read after which the frame scanner reached its
    frame. Bytes after the last read get its time; without reads, times are 0.
    Runs without the interpreter lock."""

def decode_file(
    fd: int, length: int, ends: Buffer | None = None, times: Buffer | None = None, /
) -> tuple[dict[str, Column], dict[str, int]]:
    """As `decode`, of the first `length` bytes of the file open at `fd`
    (read from its start, whatever its position), read without mapping it:
    a file that has fewer bytes by then (it shrank) raises EOFError, a
    failed read OSError. Runs without the interpreter lock."""

def sample_times(
    kind: Buffer, time: Buffer, skipped: Buffer, end: Buffer, kinds: int, received: bool, sample: Buffer,
    missing: Buffer, steady: bool = False, /
) -> tuple[tuple[int, float | None, int, int, int, int, bool], ...]:
    """The times at which the device sampled a recording's packets, fitted
    per kind code below `kinds` from the decoder's columns `kind` (uint8),
    `time` (int64 ns), `skipped` (uint32) and `end` (uint64): along the lower
    envelope of each kind's (packet index, receive time), the index counting
    the packets missing where bytes were passed over or the line fell silent
    (`steady`: the receive times never step, so no silence is a clock
    step). Writes each packet's
    sample time (ns) to `sample` (int64) and the packets of its kind missing
    just before it (at most 65535) to `missing` (uint16), all as long as
    `kind`. Without `received`, `time` is an estimated axis: it is kept as
    the sample times and only the bytes passed over count missing packets.
    Per kind: (packets, fitted packets per second on the host's clock or
    None, gaps, packets missing, the largest gap, clock steps, whether the
    receive times keep to the USB frames with too few wraps of the sample
    phase for the fit to find it). Runs without the interpreter lock."""

@final
class Capture:
    """The bytes of a serial port exactly as read, on a background thread
    that stamps each read as it returns and scans it for frames. Opened as
    LiveSource opens a port (raw, 8N1, held exclusively; the same OSError
    texts). Nothing read is dropped: a consumer that falls hundreds of MiB
    behind ends the run with OSError("capture overrun: ..."), after every
    byte read before it. No call holds the interpreter lock while it waits;
    one call at a time (an overlapping call raises RuntimeError)."""

    def __new__(cls, port: str | PathLike[str], baudrate: int | None = None) -> Capture:
        """Opens the serial port (115200 baud for None) and starts reading it."""

    def read(self, timeout: float | None = None) -> list[tuple[bytes, int, int]] | None:
        """Every read queued, in order, as (bytes, received_ns, boot_ns): the
        wall clock (CLOCK_REALTIME) and boot clock (CLOCK_BOOTTIME) in ns
        when the read returned; waits up to `timeout` seconds (None: without
        limit) for one, and returns [] when none came. None once the run has
        ended and everything has been read; OSError with the reader's text
        when a read failed, after every read before it, its errno the number
        the text stands for (EPIPE when the port hung up)."""

    def counts(self) -> dict[str, int]:
        """What the frame scan found up to the last read taken: "bytes" read,
        "finished" (bytes done with: whole frames and bytes outside them; the
        rest may still begin a frame), "outside", "bad_checksums",
        "other_frames", and packet frames by kind ("raw", "estimated")."""

    def fileno(self) -> int:
        """An eventfd, readable while reads are queued and once the run has ended."""

    def close(self) -> None:
        """Stops the reader thread and lets the port go."""

    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> Capture: ...
    def __exit__(self, *exc_info: object) -> None: ...

@final
class LiveClock:
    """The sample times of a live line's packets, from the recording's fit
    run over a trailing window (30 s, refitted every 0.25 s of receive time);
    each row is given out, in the order pushed, once `delay` seconds of the
    line have come after it. One call at a time: an overlapping call raises
    RuntimeError."""

    def __new__(cls, kinds: int, delay: float = 0.5, steady: bool = False) -> LiveClock: ...
    def push(self, kind: Buffer, time: Buffer, skipped: Buffer, end: Buffer | None = None,
             boot: Buffer | None = None, /) -> int:  # fmt: skip
        """Takes a batch (uint8 kind codes, int64 receive times in ns, uint32
        bytes passed over before each, uint64 stream offset after each frame
        where known, int64 boot clock in ns read with each receive time where
        known: the wall clock then stepped only where the two moved apart);
        the number of rows given out and not yet taken."""
        ...
    def settle(self, now: int | None = None, /) -> int:
        """Gives out the rows received `delay` before `now` (ns), or all of
        them; the number not yet taken."""
        ...
    def take(self) -> tuple[bytearray, bytearray]:
        """The rows given out, taken: sample times (int64 ns) and the packets
        of each row's kind missing just before it (uint16)."""
        ...
    def first_held(self) -> int | None:
        """The receive time (ns) of the first row held, None while none is."""
        ...
    def stats(self, code: int, /) -> tuple[int, float | None, int, int, int, int, bool]:
        """(packets, rate or None, gaps, missing, largest gap, clock steps,
        phase hidden) of the rows of kind `code` given out so far."""
        ...

@final
class LiveSource:
    """The device's packets as they arrive, decoded by the same engine as the
    parser classes on a background thread, handed out in batches of columns.
    No call holds the interpreter lock while it waits. One call at a time: a
    call that overlaps another (from another thread) raises RuntimeError."""

    def __new__(cls, port: str | PathLike[str], baudrate: int | None = None, timeout: float = 1.0) -> LiveSource:
        """Opens the serial port (115200 baud for None) and starts reading
        it; a read that waits `timeout` seconds for input ends the run with
        OSError("Operation timed out"), as SerialParser's does."""

    @classmethod
    def recording(cls, path: str | PathLike[str], /) -> LiveSource:
        """Starts reading the recording at `path`, as fast as reads return."""

    def read(self, timeout: float | None = None) -> dict[str, Column] | None:
        """Every packet queued, in order, as the columns `decode` gives (less
        "end": no stream is kept), stamped with receive times, and "boot"
        (int64 ns), the boot clock (CLOCK_BOOTTIME) read with each receive
        time's read; waits up to `timeout` seconds (None: without limit)
        for one, and returns columns of no rows when none came. None once the
        run has ended and everything has been read; OSError with the reader's
        text when a read failed, after every packet before it, its errno the
        number the text stands for (EPIPE when the port hung up)."""

    def fileno(self) -> int:
        """An eventfd, readable while packets are queued and once the run has
        ended: for selectors, asyncio's add_reader and GUI event loops."""

    def scan_totals(self) -> dict[str, int]:
        """What the reader has read so far ("bytes") and what the scanner has
        passed over, named as `decode`'s totals: "outside" (bytes outside
        valid frames), "bad_checksums" and "other_frames"."""

    def close(self) -> None:
        """Stops the reader thread and releases the source and the descriptor.
        Sources still open when the interpreter exits are closed then."""

    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> LiveSource: ...
    def __exit__(self, *exc_info: object) -> None: ...

def text_lines(format: str, columns: Sequence[Buffer], keys: Sequence[str] | None = None, /) -> bytes:
    """The rows of `columns` as text, one line per packet ended by a newline:
    CSV cells (`format` "csv"), JSON objects keyed by `keys` ("jsonl"), or
    ("text") each row as str() shows the packet it was decoded from, with
    its "time" as the timestamp and its flagged fields in bit order.
    `columns` holds "time" (int64 ns), "kind" (uint8), "invalid" (uint16),
    "present" (uint16) and the DATA_COLUMNS (float32), all of one length;
    `keys` the JSON keys of the packet type, the time, the flagged fields and
    each field in property order. A value is written in the shortest text
    that reads back as the same single-precision value, as the packet's text
    form writes it (NaN, inf and -inf in CSV; NaN, Infinity and -Infinity in
    JSON); a field the packet does not carry is empty cells or null; the
    flagged names are joined with "," in bit order (quoted in CSV when there
    are several). Runs without the interpreter lock."""
