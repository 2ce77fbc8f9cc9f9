"""`dump`: the packets of a recording or a port as a table, their text
form, CSV or JSON lines."""

from __future__ import annotations

import argparse
import importlib
from contextlib import AbstractContextManager, ExitStack, nullcontext
from functools import partial
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, TextIO

from ..errors import ToolError
from ..export import FORMATS as EXPORTS
from ..files.outputs import OutputStalled, StalledWrites, check, open_output
from ..live import sinks
from ..live.sinks import STALLED_END, Writer, let_go
from ..recordings.formats import (
    FORMATS, SAMPLE_COLUMNS, SUFFIXES, TEXT_FORMATS, ColumnWriter, PacketWriter, write_columns,
)  # fmt: skip
from ..recordings.table import Table
from ..recordings.window import rows as window_rows, window
from ..timing.stage import ClockStage
from ..wire.fields import DATA_FIELDS, PACKET_TYPES
from . import options
from .common import StopFlag, note
from .progress import Advance, packet_total, progress_bar
from .source import (
    batches_of, close_iterator, live_signals, load_recording, packets_of, reading_end, receive_stamped,
)  # fmt: skip

if TYPE_CHECKING:
    from collections.abc import Callable, Iterator

    from ..live.stream import Batch
    from ..wire.fields import PacketLike

NAME = "dump"
HELP = "Print the packets of a recording or a port."


VIEWS = ("table", *FORMATS)
FORMAT_HELP = (
    "table (one line per packet), "
    + ", ".join(f"{f.name} ({f.what})" for f in TEXT_FORMATS)
    + " (default: by the output's ending, "
    + ", ".join(f"{' or '.join(f.suffixes)} for {f.name}" for f in TEXT_FORMATS)
    + "; else table)"
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_source(p, follow=True)
    p.add_argument("--format", choices=VIEWS, default=None, help=FORMAT_HELP)
    p.add_argument("--kind", choices=PACKET_TYPES, default=None, help="only packets of this kind")
    options.add(p, "fields", help="the table's fields (" + ", ".join(f.name for f in DATA_FIELDS) + ")")
    options.add(p, "sample_times")
    options.add(p, "count")
    options.add(p, "output", help="write here instead of standard output")
    options.add(p, "quiet")
    options.add_window(p)
    options.add_check(p, recording_or_port_check)


def windowed(args: argparse.Namespace) -> bool:
    return args.start is not None or args.end is not None


def recording_or_port_check(args: argparse.Namespace) -> None:
    if args.sample_times and args.file is not None:
        args.parser.error("--sample-times applies to --port only; a recording's sample times are in what `export` writes")
    if windowed(args) and not columns_at_hand():
        args.parser.error("--start and --end need numpy (pip install 'brimlet[numpy]')")


def output_format(args: argparse.Namespace) -> str:
    """The format asked for, else the one the output's ending names."""
    if args.format is not None:
        fmt = str(args.format)
    else:
        suffix = Path(args.output).suffix.lower() if args.output else ""
        if suffix not in SUFFIXES and any(suffix in f.suffixes for f in EXPORTS.values()):
            args.parser.error(f"dump writes a table, text, CSV or JSON lines; for {args.output} use `export`")
        fmt = SUFFIXES.get(suffix, "table")
    if fmt != "table" and args.fields:
        args.parser.error("--fields chooses the table's columns (--format table)")
    if fmt == "text" and args.sample_times:
        args.parser.error("--sample-times adds columns to a table, CSV or JSON lines, not to the packets' text form")
    return fmt


def shown_kinds(args: argparse.Namespace) -> list[str]:
    """The kinds of packet to write: the one --kind names, else all that
    carry a field --fields names."""
    kinds = [args.kind] if args.kind else list(PACKET_TYPES)
    if args.fields:
        kinds = [k for k in kinds if any(f.packet_type == k for f in args.fields)]
        if not kinds:
            args.parser.error(f"{args.kind} packets carry none of the fields asked for")
    return kinds


def columns_at_hand() -> bool:
    """Whether a recording can be written through its columns (numpy and
    the columns module are there)."""
    try:
        for module in ("brimlet_columns", "numpy"):
            importlib.import_module(module)
    except ImportError:
        return False
    return True


def dump_columns(args: argparse.Namespace, fmt: str) -> int:
    """CSV or JSON lines of a recording made from its columns, as `export`
    makes them, with each packet's receive time as its timestamp."""
    recording = window(load_recording(args.file), args.start, args.end)
    n = len(recording) if args.count is None else min(args.count, len(recording))
    with open_output(args.output, [args.file]) as out, bar(args, n) as advance:
        write_columns(recording.columns, out, fmt, advance, slice(0, n))
    return n


def table_columns(args: argparse.Namespace, kinds: list[str]) -> int:
    """The table of a recording made from its columns, with each packet's
    receive time (or the estimated one)."""
    import numpy as np

    recording = window(load_recording(args.file), args.start, args.end)
    codes = [PACKET_TYPES.index(k) for k in kinds]
    rows = np.flatnonzero(np.isin(recording.columns["kind"], codes))[: args.count]
    with open_output(args.output, [args.file], text=True) as out, bar(args, len(rows)) as advance:
        Table(out, kinds, args.fields or DATA_FIELDS).write_recording(recording, rows, advance)
    return len(rows)


def within(packets: Iterator[PacketLike], chosen: slice) -> Iterator[PacketLike]:
    """The packets of a recording at the rows `chosen` (its packets are in
    the order of its columns)."""
    try:
        for n, packet in enumerate(packets):
            if n >= chosen.stop:
                break
            if n >= chosen.start:
                yield packet
    finally:
        close_iterator(packets)


def expected_count(args: argparse.Namespace) -> int | None:
    """How many packets the dump will write, where that is known."""
    count: int | None = args.count
    total = packet_total(args.file) if args.file is not None and not windowed(args) else None
    return total if count is None else count if total is None else min(total, count)


def sample_timed(packets: Iterator[PacketLike]) -> Iterator[tuple[PacketLike, tuple[int, ...]]]:
    """Each packet with its sample time and the packets of its kind missing
    before it, without numpy (see `ClockStage.packets`)."""
    for packet, sample_time, missing in ClockStage().packets(packets):
        yield packet, (sample_time, missing)


def row_writer(args: argparse.Namespace, out: TextIO, fmt: str,
               kinds: list[str]) -> Callable[[PacketLike, tuple[int, ...]], None]:  # fmt: skip
    """What writes a packet with the values of the extra columns (its sample
    time and the packets missing before it, with --sample-times)."""
    extra = SAMPLE_COLUMNS if args.sample_times else ()
    if fmt != "table":
        return PacketWriter(out, fmt, extra).write
    table = Table(out, kinds, args.fields or DATA_FIELDS, "sample (s)" if extra else "time (s)")

    def write(packet: PacketLike, values: tuple[int, ...]) -> None:
        table.write(packet, *values)

    return write


def dump_port(args: argparse.Namespace, fmt: str, kinds: list[str]) -> int:
    """A port's packets as a table, CSV or JSON lines: the live source's
    batches of columns, through the clock stage with --sample-times (read
    on for the clock's delay after the end, so that a gap among the last
    packets is counted too), to the writer."""
    stop = StopFlag()
    stage = ClockStage() if args.sample_times else None
    with ExitStack() as context:
        # Ctrl-C is the normal end: what was written is kept.
        out: IO[Any]
        write: Callable[[Batch, Any], None]
        if fmt == "table":
            out = text = context.enter_context(open_output(args.output, text=True, keep=True))
            table = Table(text, kinds, args.fields or DATA_FIELDS, "time (s)" if stage is None else "sample (s)")
            write = table.write_columns if stage is None else partial(table.write_columns, time="sample_time",
                                                                      missing_before="missing_before")  # fmt: skip
        else:
            out = binary = context.enter_context(open_output(args.output, keep=True))
            write = ColumnWriter(binary, fmt, () if stage is None else SAMPLE_COLUMNS).write
        advance = context.enter_context(bar(args, args.count))
        writer = Writer(out, write, [PACKET_TYPES.index(k) for k in kinds], args.count, advance)
        reading = batches_of(args, stop, linger=0.0 if stage is None else stage.delay)
        sinks.run(reading, stage, [writer], stop)
    return writer.written


def run(args: argparse.Namespace) -> int:
    fmt = output_format(args)
    kinds = shown_kinds(args)
    if to_file(args):
        check(args.output, [] if args.file is None else [args.file])  # before anything is read
    written = dump(args, fmt, kinds)
    if to_file(args) and not args.quiet:
        note(f"wrote {written} packets to {args.output}")
    return 0


def to_file(args: argparse.Namespace) -> bool:
    return args.output not in (None, "-")


def bar(args: argparse.Namespace, total: int | Callable[[], int | None] | None) -> AbstractContextManager[Advance]:
    """The progress of a dump to a file (none for standard output)."""
    return progress_bar(f"dump to {Path(args.output or '-').name}", total, quiet=args.quiet or not to_file(args))


def dump(args: argparse.Namespace, fmt: str, kinds: list[str]) -> int:
    """Writes the packets as asked; returns how many it wrote."""
    reads = [] if args.file is None else [args.file]
    if args.file is not None and columns_at_hand():
        if fmt == "table":
            return table_columns(args, kinds)
        if fmt in ("csv", "jsonl") and len(kinds) == len(PACKET_TYPES):
            return dump_columns(args, fmt)
    if args.port is not None and fmt != "text" and columns_at_hand():
        return dump_port(args, fmt, kinds)
    stop = StopFlag()
    packets = packets_of(args, stop)
    if args.file is not None and fmt != "text":  # the text form is the packet's own, with its decode time
        packets = receive_stamped(packets, args.file)
    if windowed(args):
        packets = within(packets, window_rows(load_recording(args.file), args.start, args.end))
    live = args.port is not None
    try:
        with (
            # From a port, Ctrl-C is the normal end: what was written is kept.
            open_output(args.output, reads, text=True, keep=live) as out,
            live_signals(args, stop),
            (stalled := StalledWrites(stop)).on_signals() if live else nullcontext(),
            bar(args, lambda: expected_count(args)) as advance,
        ):
            write = row_writer(args, out, fmt, kinds)
            n = 0
            rows = sample_timed(packets) if args.sample_times else ((packet, ()) for packet in packets)
            try:
                for packet, values in rows:
                    if packet.packet_type not in kinds:
                        continue
                    n += 1
                    with stalled if live else nullcontext():
                        write(packet, values)
                        if live:
                            out.flush()
                    if n % 1024 == 0:
                        advance(1024)
                    if args.count is not None and n >= args.count:
                        break
            except OutputStalled:
                let_go(out)
                raise ToolError(STALLED_END) from None
    finally:
        close_iterator(packets)
    reading_end(packets)
    return n
