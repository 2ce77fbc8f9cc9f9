"""`dump`: the packets of a recording or a port as text, CSV or JSON lines."""

from __future__ import annotations

import argparse
import importlib

from pathlib import Path

from ..export import FORMATS as EXPORTS
from ..recordings.formats import FORMATS, SUFFIXES, PacketWriter
from .common import StopFlag, count_type, open_output
from .progress import packet_total, progress_bar
from .source import add_source_options, close_iterator, live_signals, load_recording, packets_of

NAME = "dump"
HELP = "Print the packets of a recording or a port."


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_source_options(p, follow=True)
    p.add_argument("--format", choices=FORMATS, default=None,
                   help="output format (default: by the output's ending, .csv or .jsonl, else text)")  # fmt: skip
    p.add_argument("--count", type=count_type, default=None, metavar="N", help="stop after N packets")
    p.add_argument("--output", "-o", metavar="PATH", help="write here instead of standard output")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress bar while writing a file")


def output_format(args: argparse.Namespace) -> str:
    """The format asked for, else the one the output's ending names."""
    if args.format is not None:
        return str(args.format)
    suffix = Path(args.output).suffix.lower() if args.output else ""
    if suffix not in SUFFIXES and any(suffix in f.suffixes for f in EXPORTS.values()):
        args.parser.error(f"dump writes text, CSV or JSON lines; for {args.output} use `export`")
    return SUFFIXES.get(suffix, "text")


def columns_at_hand() -> bool:
    """Whether a recording can be written through its columns (numpy,
    pyarrow and the columns module are there)."""
    try:
        for module in ("brimlet_columns", "numpy", "pyarrow"):
            importlib.import_module(module)
    except ImportError:
        return False
    return True


def dump_columns(args: argparse.Namespace, fmt: str) -> int:
    """CSV or JSON lines of a recording made from its columns, as `export`
    makes them (many times faster than packet by packet), with each
    packet's receive time as its timestamp."""
    from ..export.text import write_lines

    recording = load_recording(args.file)
    n = len(recording) if args.count is None else min(args.count, len(recording))
    to_file = args.output not in (None, "-")
    with (
        open_output(args.output) as out,
        progress_bar(f"dump to {Path(args.output or '-').name}", n, quiet=args.quiet or not to_file) as advance,
    ):
        write_lines(recording, out, fmt, advance, slice(0, n))
    return 0


def expected_count(args: argparse.Namespace) -> int | None:
    """How many packets the dump will write, where that is known."""
    count: int | None = args.count
    total = packet_total(args.file) if args.file is not None else None
    return total if count is None else count if total is None else min(total, count)


def run(args: argparse.Namespace) -> int:
    fmt = output_format(args)
    if args.file is not None and fmt in ("csv", "jsonl") and columns_at_hand():
        return dump_columns(args, fmt)
    stop = StopFlag()
    packets = packets_of(args, stop)
    live = args.port is not None
    to_file = args.output not in (None, "-")
    try:
        with (
            open_output(args.output, text=True) as out,
            live_signals(args, stop),
            progress_bar(f"dump to {Path(args.output or '-').name}", lambda: expected_count(args),
                         quiet=args.quiet or not to_file) as advance,  # fmt: skip
        ):
            writer = PacketWriter(out, fmt)
            for n, packet in enumerate(packets, 1):
                writer.write(packet)
                if live:
                    out.flush()
                if n % 1024 == 0:
                    advance(1024)
                if args.count is not None and n >= args.count:
                    break
    finally:
        close_iterator(packets)
    return 0
