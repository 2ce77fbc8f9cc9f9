"""The options of a simulated stream, shared by generate and virtual-device."""

from __future__ import annotations

import argparse

from ..sim import simulator
from .common import probability, rate_type


def add_stream_options(p: argparse.ArgumentParser, raw_rate: float, estimated_rate: float) -> None:
    g = p.add_argument_group("simulated stream")
    g.add_argument("--profile", choices=simulator.PROFILES, default="turn-and-climb",
                   help="motion profile (default %(default)s)")
    g.add_argument("--raw-rate", type=rate_type(simulator.MAX_RAW_RATE), default=raw_rate, metavar="HZ",
                   help=f"raw frames per second, 0 for none, at most {simulator.MAX_RAW_RATE:g} (default %(default)g)")
    g.add_argument("--estimated-rate", type=rate_type(simulator.MAX_ESTIMATED_RATE), default=estimated_rate,
                   metavar="HZ", help="estimated frames per second, 0 for none, at most "
                   f"{simulator.MAX_ESTIMATED_RATE:g} (default %(default)g)")
    g.add_argument("--seed", type=int, default=1, help="seed of the simulation (default %(default)s)")
    g.add_argument("--garbage-rate", type=probability, default=0.0, metavar="P",
                   help="probability of line noise after a frame")
    g.add_argument("--drop-rate", type=probability, default=0.0, metavar="P",
                   help="probability that a frame loses a byte")
    g.add_argument("--damage-rate", type=probability, default=0.0, metavar="P",
                   help="probability that a frame has a byte changed")
    g.add_argument("--invalid-rate", type=probability, default=0.0, metavar="P",
                   help="probability that an estimated field is flagged not valid")
    g.add_argument("--counter", action="store_true",
                   help="carry each frame's sequence number in place of pressure and pressure altitude")  # fmt: skip


def stream_config(args: argparse.Namespace, seconds: float | None) -> simulator.StreamConfig:
    """The simulation that the stream options describe."""
    try:
        faults = simulator.Faults(args.garbage_rate, args.drop_rate, args.damage_rate, args.invalid_rate)
        return simulator.StreamConfig(
            args.profile, seconds, args.raw_rate, args.estimated_rate, args.seed, faults, args.counter
        )
    except ValueError as e:
        args.parser.error(str(e))
        raise  # not reached: error() exits
