"""The options of every command, defined once.

A command takes its options from here, so that an option means the same
thing wherever it appears: a recording to read is a positional argument
(`--file` is its other spelling), `-p/--port` and `-b/--baudrate` name a
live line, `-o/--output` what is written, `--seconds` is always wall-clock
time, `-q/--quiet` leaves no progress and no closing line (errors and
warnings still show). Rates have one name per meaning: `--assume-rate` for
the raw packet rate that an estimated time axis assumes, `--expect-raw-rate`
and `--expect-estimated-rate` for the rates a line is held to, `--raw-rate`
and `--estimated-rate` for the rates the simulator sends at. An option whose
name changed is still understood: it ends with a one-line hint to the new
spelling.

Checks that span several options run once the command line is parsed
(`check`), so that every command reports them the same way.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..export import FORMATS as EXPORTS
from ..files.outputs import RULE
from ..recordings.formats import FORMAT_HELP, FORMATS, SUFFIXES
from ..recordings.window import TimePoint, parse_point
from ..sim import simulator
from ..wire.fields import DEFAULT_BAUD, ESTIMATED_RATE, FIELD_BY_NAME, PACKET_TYPES, RAW_RATE, DataField

MAX_BAUD = 4294967295

Check = Callable[[argparse.Namespace], None]
Parser = argparse.ArgumentParser | argparse._ArgumentGroup


# --- argument types -------------------------------------------------------------------


def number(text: str, low: float = 0.0, low_ok: bool = True, high: float = float("inf")) -> float:
    """A finite float in the given range, or an argparse type error."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    too_low = value < low or (value == low and not low_ok)
    if too_low or value > high or value != value:
        bound = f"{'at least' if low_ok else 'above'} {low:g}"
        raise argparse.ArgumentTypeError(
            f"{text} is out of range: must be {bound}" + (f" and at most {high:g}" if high < float("inf") else "")
        )
    return value


def seconds_type(text: str) -> float:
    return number(text, 0.0, low_ok=False, high=1e9)


def probability(text: str) -> float:
    return number(text, 0.0, high=1.0)


def rate_type(limit: float) -> Callable[[str], float]:
    def parse(text: str) -> float:
        return number(text, 0.0, high=limit)

    parse.__name__ = "rate"
    return parse


def positive_rate(text: str) -> float:
    return number(text, 0.0, low_ok=False, high=1e6)


def speed_type(text: str) -> float:
    return number(text, 0.0, low_ok=False, high=1e6)


def whole_number(text: str, low: int, high: int | None = None) -> int:
    """An int from `low` to `high`, or an argparse type error."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < low or (high is not None and value > high):
        bound = f"at least {low}" if high is None else f"{low} to {high}"
        raise argparse.ArgumentTypeError(f"{value} is out of range: must be {bound}")
    return value


def baud_type(text: str) -> int:
    return whole_number(text, 1, MAX_BAUD)


def count_type(text: str) -> int:
    return whole_number(text, 1)


def field_list(text: str) -> tuple[DataField, ...]:
    """Comma-separated data field names, as the columns name the fields."""
    names = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in FIELD_BY_NAME]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"unknown field {', '.join(unknown) or repr(text)}")
    return tuple(FIELD_BY_NAME[n] for n in names)


def size_type(text: str) -> int:
    """A size in bytes, with an optional k, M or G (powers of 1000)."""
    scale = {"k": 10**3, "m": 10**6, "g": 10**9}.get(text[-1:].lower(), 1)
    number = text[:-1] if scale > 1 else text
    try:
        value = float(number)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (bytes, or with k, M or G: 100M)") from None
    if not (1 <= value * scale <= 2**62):
        raise argparse.ArgumentTypeError(f"{text} is out of range: must be at least 1 byte")
    return int(value * scale)


def time_point(text: str) -> TimePoint:
    try:
        return parse_point(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


# --- the options ----------------------------------------------------------------------


@dataclass(frozen=True)
class Option:
    """One option: its spellings and what argparse is told about it. A
    command may word the help for its own case, never change the rest."""

    flags: tuple[str, ...]
    settings: dict[str, Any] = field(default_factory=dict)


OPTIONS: dict[str, Option] = {
    "port": Option(("-p", "--port"), {"metavar": "PATH", "help": "a serial port, such as /dev/ttyACM0"}),
    "baudrate": Option(("-b", "--baudrate"), {
        "type": baud_type, "default": DEFAULT_BAUD, "metavar": "N",
        "help": "line speed in bits per second (default %(default)s)"}),
    "output": Option(("-o", "--output"), {
        "action": "Once", "metavar": "PATH", "help": "the file to write, - for standard output"}),
    "seconds": Option(("--seconds",), {
        "type": seconds_type, "default": None, "metavar": "S",
        "help": "end after this many seconds of wall-clock time (default: until Ctrl-C)"}),
    "quiet": Option(("-q", "--quiet"), {
        "action": "store_true", "help": "no progress and no closing line (errors and warnings still show)"}),
    "timeout": Option(("--timeout",), {
        "type": seconds_type, "default": 1.0, "metavar": "S",
        "help": "silence that ends the reading, in seconds (default %(default)g)"}),
    "follow": Option(("--follow",), {"action": "store_true", "help": "keep reading through silences until Ctrl-C or a hang-up"}),
    "sample_times": Option(("--sample-times",), {
        "action": "store_true",
        "help": "add when the device sampled each packet (sample_time, ns) and how many of its kind are missing "
        "just before it (missing_before), fitted from the receive times as they come; each packet is held "
        "until half a second of the line has come after it"}),
    "assume_rate": Option(("--assume-rate",), {
        "type": positive_rate, "default": RAW_RATE, "metavar": "HZ",
        "help": "for a recording without receive times: the raw packet rate that its estimated time axis "
        "assumes (default %(default)g)"}),
    "expect_raw_rate": Option(("--expect-raw-rate",), {
        "type": positive_rate, "default": RAW_RATE, "metavar": "HZ",
        "help": "the raw packet rate the line is held to (default %(default)g)"}),
    "expect_estimated_rate": Option(("--expect-estimated-rate",), {
        "type": positive_rate, "default": ESTIMATED_RATE, "metavar": "HZ",
        "help": "the estimated packet rate the line is held to (default %(default)g)"}),
    "raw_rate": Option(("--raw-rate",), {
        "type": rate_type(simulator.MAX_RAW_RATE), "default": RAW_RATE, "metavar": "HZ",
        "help": f"simulated raw frames per second, 0 for none, at most {simulator.MAX_RAW_RATE:g} "
        "(default %(default)g)"}),
    "estimated_rate": Option(("--estimated-rate",), {
        "type": rate_type(simulator.MAX_ESTIMATED_RATE), "default": ESTIMATED_RATE, "metavar": "HZ",
        "help": f"simulated estimated frames per second, 0 for none, at most {simulator.MAX_ESTIMATED_RATE:g} "
        "(default %(default)g)"}),
    "duration": Option(("--duration",), {
        "type": seconds_type, "default": 10.0, "metavar": "S",
        "help": "length of the simulated recording in device time (default %(default)g)"}),
    "speed": Option(("--speed",), {
        "type": speed_type, "default": 1.0, "metavar": "X", "help": "play X times as fast as recorded (default %(default)g)"}),
    "count": Option(("--count",), {"type": count_type, "default": None, "metavar": "N", "help": "stop after N packets"}),
    "json": Option(("--json",), {
        "action": "store_true", "help": "write the report as one JSON object, for scripts (null: not measured)"}),
    "split_seconds": Option(("--split-seconds",), {
        "type": seconds_type, "default": None, "metavar": "S",
        "help": "go on into a new part every S seconds (NAME_000.EXT, NAME_001.EXT, ..., each with its times)"}),
    "split_size": Option(("--split-size",), {
        "type": size_type, "default": None, "metavar": "BYTES",
        "help": "go on into a new part before one grows past BYTES (k, M, G: powers of 1000)"}),
    "fields": Option(("--fields",), {
        "type": field_list, "default": None, "metavar": "NAME,...", "help": "the fields to show"}),
    "format": Option(("--format",), {"choices": ("table", *FORMATS), "default": None, "help": FORMAT_HELP}),
    "kind": Option(("--kind",), {"choices": PACKET_TYPES, "default": None, "help": "only packets of this kind"}),
    "start": Option(("--start",), {
        "type": time_point, "default": None, "metavar": "T",
        "help": "begin at T: seconds from the first packet (12.5) or a UTC time (2026-12-09T09:31:20Z)"}),
    "end": Option(("--end",), {
        "type": time_point, "default": None, "metavar": "T",
        "help": "end before T: seconds from the first packet or a UTC time"}),
    "force": Option(("--force",), {
        "action": "store_true",
        "help": "replace a recording (with its receive times) or a ROS 2 bag that is there already"}),
}  # fmt: skip

# Old spellings, each with the option that replaced it in the commands that
# had it: given, they end with a hint.
RENAMED: dict[str, dict[str, str]] = {
    "--raw-rate": {"stats": "--assume-rate", "plot": "--assume-rate", "demo": "--assume-rate",
                   "monitor": "--expect-raw-rate"},
    "--estimated-rate": {"monitor": "--expect-estimated-rate"},
    "--seconds": {"generate": "--duration"},
}  # fmt: skip


def add(p: Parser, name: str, **changes: Any) -> argparse.Action:
    """The option `name` of `OPTIONS` on `p`; `changes` may word its help or
    make it required, nothing else."""
    assert set(changes) <= {"help", "required", "default"}, changes
    settings = OPTIONS[name].settings | changes
    if settings.get("action") == "Once":
        settings["action"] = Once
    if name == "output" and isinstance(p, argparse.ArgumentParser):
        p.epilog = RULE  # every command that writes says how it treats what is there
    return p.add_argument(*OPTIONS[name].flags, dest=name, **settings)


def add_check(p: argparse.ArgumentParser, check: Check) -> None:
    """`check(args)` runs once the command line is parsed (see `check`)."""
    p.set_defaults(checks=[*(p.get_default("checks") or []), check])


def check(args: argparse.Namespace) -> None:
    """Runs the checks that the command's options added."""
    for run in getattr(args, "checks", ()):
        run(args)


def add_renamed(p: argparse.ArgumentParser, command: str) -> None:
    """The old spellings that `command` once took, each ending with a hint."""
    for old, by_command in RENAMED.items():
        if command in by_command:
            p.add_argument(old, dest="old", action=Renamed, nargs="?", help=argparse.SUPPRESS, new=by_command[command])


class Renamed(argparse.Action):
    """An old spelling: says which option took its place, and exits."""

    def __init__(self, option_strings: Sequence[str], dest: str, new: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, **kwargs)
        self.new = new

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        parser.error(f"{self.option_strings[0]} is now {self.new}")


# --- what a command reads -----------------------------------------------------------


class Once(argparse.Action):
    """Stores its value, refusing a second one for the same destination
    (a recording given both as an argument and with --file)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:  # fmt: skip
        if getattr(namespace, self.dest, None) is not None:
            parser.error(f"the {'recording' if self.dest == 'file' else self.dest} is given twice")
        setattr(namespace, self.dest, values)


def add_recording(p: argparse.ArgumentParser, help: str = "the recording to read", required: bool = True) -> None:
    """The recording as a positional argument, with `--file` as its other
    spelling; both go to `args.file`."""
    p.add_argument("file", nargs="?", action=Once, default=argparse.SUPPRESS, metavar="RECORDING", help=help)
    p.add_argument("--file", dest="file", action=Once, default=None, help=argparse.SUPPRESS)  # the older spelling
    if required:
        add_check(p, recording_check)


def recording_check(args: argparse.Namespace) -> None:
    if args.file is None:
        args.parser.error("the recording to read is required")


def add_output(p: argparse.ArgumentParser, help: str) -> None:
    """The output as a positional argument after the recording, with
    `-o/--output` as its other spelling."""
    p.add_argument("output", nargs="?", action=Once, default=argparse.SUPPRESS, metavar="OUTPUT", help=help)
    add(p, "output", default=None, help="the same as OUTPUT")
    add_check(p, output_check)


def output_check(args: argparse.Namespace) -> None:
    if args.output is None:
        args.parser.error("the output to write is required")


def add_source(p: argparse.ArgumentParser, follow: bool = False) -> None:
    """A recording or a live port, one of the two, with the port's options."""
    add_recording(p, "the recording to read (or give --port)", required=False)
    live = p.add_argument_group("live port")
    add(live, "port")
    add(live, "baudrate")
    add(live, "timeout")
    add(live, "seconds", help="read the port for this many seconds of wall-clock time")
    if follow:
        add(live, "follow")
    add_check(p, source_check)
    add_check(p, live_check)


def source_check(args: argparse.Namespace) -> None:
    if args.file is None and args.port is None:
        args.parser.error("give a recording or --port")
    if args.file is not None and args.port is not None:
        args.parser.error("give a recording or --port, not both")


def live_check(args: argparse.Namespace) -> None:
    if args.file is not None and (args.seconds is not None or getattr(args, "follow", False)):
        args.parser.error("--seconds and --follow apply to --port only")


def add_window(p: argparse.ArgumentParser) -> None:
    """`--start` and `--end`: the stretch of a recording to read."""
    add(p, "start")
    add(p, "end")
    add_check(p, window_check)


def window_check(args: argparse.Namespace) -> None:
    start, end = args.start, args.end
    if (start is not None or end is not None) and getattr(args, "file", None) is None:
        args.parser.error("--start and --end apply to a recording only")
    if start is None or end is None:
        return
    if (start.offset is not None and end.offset is not None and end.offset <= start.offset) or (
        start.utc_ns is not None and end.utc_ns is not None and end.utc_ns <= start.utc_ns
    ):
        args.parser.error("--end must come after --start")


def format_check(args: argparse.Namespace) -> None:
    """`--format`, else the one the output's ending names, else the table,
    kept in `args.format`; the kinds of packet to write in `args.kinds`:
    the one `--kind` names, else all that carry a field `--fields` names."""
    suffix = Path(args.output).suffix.lower() if args.output else ""
    if args.format is None and suffix not in SUFFIXES and any(suffix in f.suffixes for f in EXPORTS.values()):
        args.parser.error(f"dump writes a table, text, CSV or JSON lines; for {args.output} use `export`")
    args.format = args.format or SUFFIXES.get(suffix, "table")
    if args.format != "table" and args.fields:
        args.parser.error("--fields chooses the table's columns (--format table)")
    if args.format == "text" and args.sample_times:
        args.parser.error("--sample-times adds columns to a table, CSV or JSON lines, not to the packets' text form")
    args.kinds = [args.kind] if args.kind else list(PACKET_TYPES)
    if args.fields:
        args.kinds = [k for k in args.kinds if any(f.packet_type == k for f in args.fields)]
        if not args.kinds:
            args.parser.error(f"{args.kind} packets carry none of the fields asked for")


# --- the simulated stream ---------------------------------------------------------------


def add_stream(p: argparse.ArgumentParser) -> None:
    """The options of a simulated stream (generate and virtual-device)."""
    g = p.add_argument_group("simulated stream")
    g.add_argument("--profile", choices=simulator.PROFILES, default="turn-and-climb",
                   help="motion profile (default %(default)s)")  # fmt: skip
    add(g, "raw_rate")
    add(g, "estimated_rate")
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
    g.add_argument("--clock-ppm", type=float, default=0.0, metavar="PPM",
                   help="the device's crystal runs this many parts per million fast (negative: slow)")


def stream_config(args: argparse.Namespace, seconds: float | None) -> simulator.StreamConfig:
    """The simulation that the stream options describe, `seconds` of device
    time long (None: endless)."""
    try:
        faults = simulator.Faults(args.garbage_rate, args.drop_rate, args.damage_rate, args.invalid_rate)
        return simulator.StreamConfig(
            args.profile, seconds, args.raw_rate, args.estimated_rate, args.seed, faults, args.counter,
            args.clock_ppm,
        )
    except ValueError as e:
        args.parser.error(str(e))
        raise  # not reached: error() exits
