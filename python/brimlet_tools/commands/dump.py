"""`dump`: the packets of a recording or a port as a table, their text
form, CSV or JSON lines."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from contextlib import AbstractContextManager, ExitStack, closing
from functools import partial
from pathlib import Path
from typing import IO, Any

from ..errors import require
from ..files.outputs import check, open_output
from ..live import sinks
from ..recordings.formats import SAMPLE_COLUMNS, ColumnWriter, PacketWriter
from ..recordings.table import Table
from ..recordings.window import window
from ..timing.stage import ClockStage
from ..wire.fields import DATA_FIELDS, PACKET_TYPES
from . import options
from .common import StopFlag, note
from .progress import Advance, packet_total, progress_bar
from .source import batches_of, columns_at_hand, load_recording, recording_packets
NAME = "dump"
HELP = "Print the packets of a recording or a port."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_source(p, follow=True)
    options.add(p, "format")
    options.add(p, "kind")
    options.add(p, "fields", help="the table's fields (" + ", ".join(f.name for f in DATA_FIELDS) + ")")
    options.add(p, "sample_times")
    options.add(p, "count")
    options.add(p, "output", help="write here instead of standard output")
    options.add(p, "quiet")
    options.add_window(p)
    options.add_check(p, recording_or_port_check)
    options.add_check(p, options.format_check)


def recording_or_port_check(args: argparse.Namespace) -> None:
    if args.sample_times and args.file is not None:
        args.parser.error("--sample-times applies to --port only; a recording's sample times are in what `export` writes")
    if (args.start is not None or args.end is not None) and not columns_at_hand():
        args.parser.error("--start and --end need numpy (pip install 'brimlet[numpy]')")


def dump_recording(args: argparse.Namespace, fmt: str, kinds: list[str]) -> int:
    """A recording's packets at their receive times, from its columns; the
    text form (each packet's own decode time), or any format without numpy,
    from its packets one by one."""
    fields = args.fields or DATA_FIELDS
    if fmt == "text" or not columns_at_hand():
        packets = recording_packets(args.file, fmt != "text", args.start, args.end)
        with closing(packets), open_output(args.output, [args.file], text=True) as text, \
                bar(args, partial(expected, args)) as advance:  # fmt: skip
            write = Table(text, kinds, fields).write if fmt == "table" else PacketWriter(text, fmt).write
            n = 0
            for packet in (p for p in packets if p.packet_type in kinds):
                write(packet)
                n += 1
                if n % 1024 == 0:
                    advance(1024)
                if n == args.count:
                    break
        return n
    import numpy as np

    recording = window(load_recording(args.file), args.start, args.end)
    rows = np.flatnonzero(np.isin(recording.columns["kind"], [PACKET_TYPES.index(k) for k in kinds]))[: args.count]
    with ExitStack() as context:
        _, write = writer_of(context, args, fmt, kinds, (), [args.file])
        write(recording.columns, rows, context.enter_context(bar(args, len(rows))))
    return len(rows)


def writer_of(context: ExitStack, args: argparse.Namespace, fmt: str, kinds: list[str], extra: tuple[str, ...],
              reads: list[str]) -> tuple[IO[Any], Callable[..., None]]:  # fmt: skip
    """The output (opened in `context`; a port's is kept at Ctrl-C, its
    normal end) and what writes rows of columns to it in `fmt`, with the
    sample-time columns `extra`."""
    keep = args.port is not None
    if fmt != "table":
        out = context.enter_context(open_output(args.output, reads, keep=keep))
        return out, ColumnWriter(out, fmt, extra).write
    text = context.enter_context(open_output(args.output, reads, text=True, keep=keep))
    table = Table(text, kinds, args.fields or DATA_FIELDS, "sample (s)" if extra else "time (s)")
    return text, partial(table.write_columns, time="sample_time", missing_before="missing_before") if extra \
        else table.write_columns  # fmt: skip


def expected(args: argparse.Namespace) -> int | None:
    """How many packets a recording's dump will write, where that is known."""
    total = packet_total(args.file) if args.start is None and args.end is None else None
    return args.count if total is None else total if args.count is None else min(total, args.count)


def dump_port(args: argparse.Namespace, fmt: str, kinds: list[str]) -> int:
    """A port's packets: the live source's batches of columns, through the
    clock stage with --sample-times (read on for the clock's delay after the
    end, so that a gap among the last packets is counted too), to the writer."""
    if args.sample_times:
        require("numpy", "--sample-times", "numpy", "python3-numpy")
    stop, stage = StopFlag(), ClockStage() if args.sample_times else None
    with ExitStack() as context:
        out, write = writer_of(context, args, fmt, kinds, () if stage is None else SAMPLE_COLUMNS, [])
        codes = [PACKET_TYPES.index(k) for k in kinds]
        writer = sinks.Writer(out, write, codes, args.count, context.enter_context(bar(args, args.count)))
        sinks.run(batches_of(args, stop, linger=0.0 if stage is None else stage.delay), stage, [writer], stop)
    return writer.written


def run(args: argparse.Namespace) -> int:
    if to_file(args):
        check(args.output, [] if args.file is None else [args.file])  # before anything is read
    dump = dump_port if args.port is not None else dump_recording
    written = dump(args, args.format, args.kinds)
    if to_file(args) and not args.quiet:
        note(f"wrote {written} packets to {args.output}")
    return 0


def to_file(args: argparse.Namespace) -> bool:
    return args.output not in (None, "-")


def bar(args: argparse.Namespace, total: int | Callable[[], int | None] | None) -> AbstractContextManager[Advance]:
    """The progress of a dump to a file (none for standard output)."""
    return progress_bar(f"dump to {Path(args.output or '-').name}", total, quiet=args.quiet or not to_file(args))
