"""`dump`: the packets of a recording or a port as text, CSV or JSON lines."""

from __future__ import annotations

import argparse

from ..formats import FORMATS, PacketWriter
from .common import StopFlag, count_type, open_output
from .source import add_source_options, close_iterator, live_signals, packets_of

NAME = "dump"
HELP = "Print the packets of a recording or a port."


def add_arguments(p: argparse.ArgumentParser) -> None:
    add_source_options(p, follow=True)
    p.add_argument("--format", choices=FORMATS, default="text", help="output format (default %(default)s)")
    p.add_argument("--count", type=count_type, default=None, metavar="N", help="stop after N packets")
    p.add_argument("--output", "-o", metavar="PATH", help="write here instead of standard output")


def run(args: argparse.Namespace) -> int:
    stop = StopFlag()
    packets = packets_of(args, stop)
    live = args.port is not None
    try:
        with open_output(args.output, text=True) as out, live_signals(args, stop):
            writer = PacketWriter(out, args.format)
            for n, packet in enumerate(packets, 1):
                writer.write(packet)
                if live:
                    out.flush()
                if args.count is not None and n >= args.count:
                    break
    finally:
        close_iterator(packets)
    return 0
