"""The command-line tool, `python -m brimlet_tools COMMAND`.

Commands: generate (write a simulated recording), virtual-device (play a
simulated device on a pseudo-terminal), dump (packets as text, CSV or JSON
lines), record (capture a port byte for byte), stats (counts, spans, rates,
flagged fields), plot (a PNG of the motion) and demo (replay the bundled
sample recording).

Exit status: 0 on success, 1 when the work fails (a file or port that
cannot be opened, a missing module), 2 for bad command-line input, 130 when
Ctrl-C cuts work short. For record, virtual-device and a followed port,
Ctrl-C is the normal way to end, with status 0.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext
from pathlib import Path
from types import FrameType
from typing import BinaryIO, TextIO

from . import simulator
from .acquire import ToolError, listen, load_brimlet, replay
from .capture import CaptureReport, capture, close_port, open_port, speed_code
from .fields import PacketLike
from .formats import FORMATS, PacketWriter
from .framecount import FrameCounter
from .summary import count_line, flagged_lines, live_span_lines, recording_span_lines, summarize
from .virtual_device import STALE_AFTER, PlayReport, VirtualDevice

# The installed console script is "brimlet"; from a checkout it is run as a module.
PROG = "brimlet" if Path(sys.argv[0]).name == "brimlet" else "python -m brimlet_tools"
SAMPLE_PATH = Path(__file__).resolve().parents[2] / "data" / "sample.bin"
SAMPLE_RAW_RATE = 1000.0
# The arguments of `generate` that made data/sample.bin; a test holds the
# file to them.
SAMPLE_ARGUMENTS: tuple[str, ...] = (
    "--profile", "turn-and-climb", "--seconds", "10", "--seed", "1",
    "--raw-rate", "1000", "--estimated-rate", "100", "--invalid-rate", "0.01",
    "--garbage-rate", "0.002", "--drop-rate", "0.001", "--damage-rate", "0.001",
)  # fmt: skip
MAX_BAUD = 4294967295


# --- argument types -----------------------------------------------------------


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


def baud_type(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= MAX_BAUD:
        raise argparse.ArgumentTypeError(f"{value} is out of range: must be 1 to {MAX_BAUD}")
    return value


def standard_baud_type(text: str) -> int:
    value = baud_type(text)
    try:
        speed_code(value)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return value


def count_type(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is out of range: must be at least 1")
    return value


# --- progress -----------------------------------------------------------------


class Progress:
    """A status line on stderr. On a terminal it is redrawn in place at most
    four times a second; otherwise a line is written every `piped_interval`
    seconds, or never. `quiet` leaves only the final line."""

    def __init__(self, piped_interval: float | None = None, quiet: bool = False) -> None:
        self.stream = sys.stderr
        self.live = self.stream.isatty()
        self.interval = None if quiet else 0.25 if self.live else piped_interval
        self._next = time.monotonic() + (self.interval or 0.0)
        self._drawn = False

    def update(self, text: Callable[[], str]) -> None:
        if self.interval is None or time.monotonic() < self._next:
            return
        self._next = time.monotonic() + self.interval
        if self.live:
            self.stream.write("\r\x1b[K" + text())
            self._drawn = True
        else:
            self.stream.write(text() + "\n")
        self.stream.flush()

    def finish(self, text: str) -> None:
        if self._drawn:
            self.stream.write("\r\x1b[K")
        self.stream.write(text + "\n")
        self.stream.flush()


class StopFlag:
    """Set by SIGINT or SIGTERM instead of raising, so that a loop can finish
    the chunk or packet in hand before it ends."""

    def __init__(self) -> None:
        self.set = False

    def __call__(self) -> bool:
        return self.set

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        self.set = True

    @contextmanager
    def on_signals(self) -> Iterator[None]:
        """Routes SIGINT and SIGTERM to this flag while the block runs."""
        saved = {sig: signal.signal(sig, self._handle) for sig in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for sig, old in saved.items():
                signal.signal(sig, old)


def note(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# --- generate and virtual-device -----------------------------------------------


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


def run_generate(args: argparse.Namespace) -> int:
    config = stream_config(args, args.seconds)
    to_stdout = args.output == "-"
    out: BinaryIO = sys.stdout.buffer if to_stdout else open_output(args.output)
    progress = Progress()
    kinds: Counter[str] = Counter()
    size = 0
    try:
        for frame in simulator.simulate(config):
            out.write(frame.wire)
            size += len(frame.wire)
            kinds[frame.packet_type] += 1
            kinds["faulty"] += not frame.intact
            kinds["flagged"] += len(frame.invalid)
            progress.update(lambda: f"generating: {frame.time:.1f} of {args.seconds:g} s")
    finally:
        out.flush()
        if not to_stdout:
            out.close()
    progress.finish(
        f"wrote {size} bytes to {args.output}: {kinds['raw'] + kinds['estimated']} frames "
        f"({kinds['raw']} raw, {kinds['estimated']} estimated), {kinds['faulty']} hit by line faults, "
        f"{kinds['flagged']} fields flagged not valid"
    )
    return 0


def open_output(path: str, buffered: bool = True) -> BinaryIO:
    """The binary file `path`, opened for writing; unbuffered when every
    write must reach the file at once."""
    try:
        return open(path, "wb", buffering=-1 if buffered else 0)
    except OSError as e:
        raise ToolError(f"cannot write {path}: {e.strerror}") from e


def frame_sizes(config: simulator.StreamConfig) -> dict[str, int]:
    """Bytes per frame of each kind, from the first frames of the stream."""
    sizes: dict[str, int] = {}
    for frame in simulator.simulate(config):
        sizes.setdefault(frame.packet_type, len(frame.frame))
        if len(sizes) == 2 or frame.index > 100:
            break
    return sizes


def line_warning(config: simulator.StreamConfig, baudrate: int) -> str | None:
    """A warning when the baud rate cannot carry the stream in real time."""
    sizes = frame_sizes(config)
    needed = config.raw_rate * sizes.get("raw", 0) + config.estimated_rate * sizes.get("estimated", 0)
    capacity = baudrate / 10
    if needed <= capacity:
        return None
    return (
        f"warning: at {baudrate} baud the line carries {capacity:.0f} bytes/s but the stream needs "
        f"{needed:.0f}: it will run {needed / capacity:.1f} times slower than real time "
        "(raise --baudrate or lower the rates)"
    )


def run_virtual_device(args: argparse.Namespace) -> int:
    config = stream_config(args, None)
    report = PlayReport()
    stop = StopFlag()
    stale_after = None if args.keep_unread else STALE_AFTER
    with VirtualDevice(args.baudrate, stale_after) as device, stop.on_signals():
        with symlink(args.link, device.path):
            print(args.link or device.path, flush=True)
            note(f"virtual device on {device.path} at {args.baudrate} baud: profile {config.profile}, "
                 f"raw {config.raw_rate:g} Hz, estimated {config.estimated_rate:g} Hz; Ctrl-C ends")  # fmt: skip
            warning = line_warning(config, args.baudrate)
            if warning:
                note(warning)
            device.play(simulator.simulate(config), seconds=args.seconds, stop=stop, report=report)
    note(f"sent {report.frames} frames, {report.bytes_sent} bytes"
         + (f" ({report.bytes_dropped} dropped: nobody was reading)" if report.bytes_dropped else ""))  # fmt: skip
    return 0


@contextmanager
def symlink(link: str | None, target: str) -> Iterator[None]:
    """A symbolic link at `link` (if given) to `target` while the block runs."""
    if link:
        try:
            if os.path.islink(link):
                os.unlink(link)
            os.symlink(target, link)
        except OSError as e:
            raise ToolError(f"cannot make link {link}: {e.strerror}") from e
    try:
        yield
    finally:
        if link and os.path.islink(link) and os.readlink(link) == target:
            os.unlink(link)


# --- reading packets --------------------------------------------------------------


def add_source_options(p: argparse.ArgumentParser, follow: bool = False) -> None:
    src = p.add_mutually_exclusive_group(required=True)
    src.add_argument("--file", metavar="PATH", help="a recording")
    src.add_argument("--port", metavar="PATH", help="a serial port, such as /dev/ttyACM0")
    live = p.add_argument_group("live port")
    live.add_argument("--baudrate", type=baud_type, default=None, metavar="N",
                      help="line speed in bits per second (default 115200)")
    live.add_argument("--timeout", type=seconds_type, default=1.0, metavar="S",
                      help="silence that ends the reading, in seconds (default %(default)g)")
    live.add_argument("--seconds", type=seconds_type, default=None, metavar="S",
                      help="read the port for this long")
    if follow:
        live.add_argument("--follow", action="store_true", help="keep reading through silences until Ctrl-C")


def packets_of(args: argparse.Namespace, stop: StopFlag) -> Iterator[PacketLike]:
    """The packets of the recording or port that the arguments name. A live
    port is read until `stop` is set (by Ctrl-C, see `live_signals`), among
    the other ends that `listen` knows."""
    if args.file is not None:
        if args.seconds is not None or getattr(args, "follow", False):
            args.parser.error("--seconds and --follow apply to --port only")
        return replay(args.file)
    follow = getattr(args, "follow", False)
    return listen(args.port, args.baudrate, args.timeout, follow, args.seconds, stop)


def live_signals(args: argparse.Namespace, stop: StopFlag) -> AbstractContextManager[None]:
    """For a live port, Ctrl-C ends the reading as a normal end: the packets
    in hand are written whole and the command finishes its work. A recording
    is read to its end, and Ctrl-C interrupts that."""
    return stop.on_signals() if args.port is not None else nullcontext()


def run_dump(args: argparse.Namespace) -> int:
    stop = StopFlag()
    packets = packets_of(args, stop)
    out: TextIO = sys.stdout if args.output is None else open_text_output(args.output)
    writer = PacketWriter(out, args.format)
    live = args.port is not None
    try:
        with live_signals(args, stop):
            for n, packet in enumerate(packets, 1):
                writer.write(packet)
                if live:
                    out.flush()
                if args.count is not None and n >= args.count:
                    break
    finally:
        close_iterator(packets)
        out.flush()
        if out is not sys.stdout:
            out.close()
    return 0


def close_iterator(packets: Iterator[PacketLike]) -> None:
    """Ends a packet generator now, which stops its parser."""
    close = getattr(packets, "close", None)
    if close is not None:
        close()


def open_text_output(path: str) -> TextIO:
    try:
        return open(path, "w", encoding="utf-8", newline="")
    except OSError as e:
        raise ToolError(f"cannot write {path}: {e.strerror}") from e


def counted(packets: Iterable[PacketLike], progress: Progress) -> Iterator[PacketLike]:
    """`packets`, with a running count on the progress line."""
    for n, packet in enumerate(packets, 1):
        progress.update(lambda: f"{n} packets")
        yield packet


def line_lines(path: str) -> list[str]:
    """What the recording at `path` holds besides valid frames."""
    counter = FrameCounter()
    try:
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                counter.feed(chunk)
    except OSError as e:
        raise ToolError(f"cannot read recording {path}: {e.strerror}") from e
    other = sum(n for s, n in counter.frames.items() if s not in (0x80, 0x82))
    lines = [f"recording: {path}, {counter.total_bytes} bytes",
             f"line: {counter.skipped_bytes} bytes outside valid frames"]  # fmt: skip
    if other:
        lines.append(f"line: {other} valid frames of other descriptor sets")
    return lines


def run_stats(args: argparse.Namespace) -> int:
    progress = Progress()
    stop = StopFlag()
    with live_signals(args, stop):
        summary = summarize(counted(packets_of(args, stop), progress))
    if args.file is not None:
        lines = line_lines(args.file) + [count_line(summary)]
        lines += recording_span_lines(summary, args.raw_rate)
        if args.raw_rate is None:
            lines.append("  (give --raw-rate HZ, the device's raw packet rate, to measure device time)")
    else:
        lines = [f"port: {args.port}", count_line(summary)] + live_span_lines(summary)
    progress.finish("\n".join(lines + flagged_lines(summary)))
    return 0


def run_plot(args: argparse.Namespace) -> int:
    from . import plot

    plot.load_pyplot()  # fail early, before reading anything
    stop = StopFlag()
    with live_signals(args, stop):
        if args.file is not None:
            rate = args.raw_rate
            label = "raw packet number" if rate is None else f"device time (s), raw packets at {rate:g} Hz"
            series = plot.collect(packets_of(args, stop), 1.0 if rate is None else rate)
            title = args.file
        else:
            series = plot.collect(packets_of(args, stop), None)
            label, title = "host time (s)", args.port
    try:
        plot.render(series, args.output, label, title)
    except OSError as e:
        raise ToolError(f"cannot write {args.output}: {e.strerror}") from e
    note(f"wrote {args.output}")
    return 0


# --- record -----------------------------------------------------------------------


def run_record(args: argparse.Namespace) -> int:
    try:
        fd = open_port(args.port, args.baudrate)
    except OSError as e:
        raise ToolError(f"cannot open port {args.port}: {e.strerror or e}") from e
    stopping = StopFlag()
    progress = Progress(piped_interval=5.0, quiet=args.quiet)
    try:
        with open_output(args.output, buffered=False) as out, stopping.on_signals():
            note(f"recording {args.port} to {args.output}" + ("" if args.seconds else "; Ctrl-C ends"))
            report = capture(fd, out, args.seconds, stopping, lambda r: progress.update(lambda: capture_line(r)))
    finally:
        close_port(fd)
    ends = {"time": "", "stopped": " (stopped)", "hang-up": " (the port hung up)"}
    progress.finish(f"recorded {capture_line(report)} in {report.seconds:.1f} s{ends[report.ended]}")
    return 0


def capture_line(report: CaptureReport) -> str:
    c = report.counter
    kinds = ", ".join(f"{t} {n}" for t, n in c.by_type().items())
    return f"{c.total_bytes} bytes, {c.packets} packets ({kinds})"


# --- demo ---------------------------------------------------------------------------


def run_demo(args: argparse.Namespace) -> int:
    path = Path(args.file) if args.file else SAMPLE_PATH
    if not path.is_file():
        raise ToolError(f"no recording at {path}; give one with --file")
    brimlet = load_brimlet()
    summary = summarize(replay(path))
    print(f"brimlet {brimlet.VERSION}: replaying {path} ({path.stat().st_size} bytes)")
    print(count_line(summary))
    for line in recording_span_lines(summary, args.raw_rate) + flagged_lines(summary):
        print(line)
    for line in line_lines(str(path))[1:]:
        print(line)
    for kind, packet in summary.first.items():
        print(f"first {kind} packet:\n  {packet}")
    return 0


# --- the parser -------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Tools for brimlet: simulate, record, inspect.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], text: str) -> argparse.ArgumentParser:
        p = commands.add_parser(name, help=text, description=text)
        p.set_defaults(run=run, parser=p)
        return p

    p = command("generate", run_generate, "Write a simulated recording.")
    p.add_argument("--output", "-o", required=True, metavar="PATH", help="file to write, - for standard output")
    p.add_argument("--seconds", type=seconds_type, default=10.0, metavar="S",
                   help="length of the recording in device time (default %(default)g)")
    add_stream_options(p, raw_rate=1000.0, estimated_rate=100.0)

    p = command("virtual-device", run_virtual_device,
                "Play a simulated device on a pseudo-terminal; prints the port to open.")  # fmt: skip
    p.add_argument("--baudrate", type=baud_type, default=115200, metavar="N",
                   help="line speed that paces the stream, 10 bits per byte (default %(default)s)")
    p.add_argument("--seconds", type=seconds_type, default=None, metavar="S",
                   help="play this long (default: until Ctrl-C)")
    p.add_argument("--link", metavar="PATH", help="also make a symbolic link to the port here")
    p.add_argument("--keep-unread", action="store_true",
                   help="keep what nobody reads in the port's queue (about 4 KiB) instead of discarding "
                   f"it after {STALE_AFTER:g} s, as a closed real port would")  # fmt: skip
    add_stream_options(p, raw_rate=100.0, estimated_rate=20.0)

    p = command("dump", run_dump, "Print the packets of a recording or a port.")
    add_source_options(p, follow=True)
    p.add_argument("--format", choices=FORMATS, default="text", help="output format (default %(default)s)")
    p.add_argument("--count", type=count_type, default=None, metavar="N", help="stop after N packets")
    p.add_argument("--output", "-o", metavar="PATH", help="write here instead of standard output")

    p = command("record", run_record, "Capture a serial port byte for byte into a recording.")
    p.add_argument("--port", required=True, metavar="PATH", help="the serial port")
    p.add_argument("--output", "-o", required=True, metavar="PATH", help="the recording to write")
    p.add_argument("--baudrate", type=standard_baud_type, default=115200, metavar="N",
                   help="line speed, a standard one (default %(default)s)")
    p.add_argument("--seconds", type=seconds_type, default=None, metavar="S",
                   help="record this long (default: until Ctrl-C)")
    p.add_argument("--quiet", "-q", action="store_true", help="no running count")

    p = command("stats", run_stats, "Count packets, time span, rates and flagged fields.")
    add_source_options(p)
    add_raw_rate(p, None)

    p = command("plot", run_plot, "Draw acceleration, angular rate, orientation and altitude into a PNG.")
    add_source_options(p)
    p.add_argument("--output", "-o", required=True, metavar="PNG", help="the picture to write")
    add_raw_rate(p, None)

    p = command("demo", run_demo, "Replay the bundled sample recording and summarise it.")
    p.add_argument("--file", metavar="PATH", help=f"another recording (default {SAMPLE_PATH})")
    add_raw_rate(p, SAMPLE_RAW_RATE)
    return parser


def add_raw_rate(p: argparse.ArgumentParser, default: float | None) -> None:
    p.add_argument(
        "--raw-rate", type=positive_rate, default=default, metavar="HZ",
        help="the device's raw packet rate, to turn a recording's raw packets into device time"
        + ("" if default is None else " (default %(default)g)"),
    )  # fmt: skip


def terminate(signum: int, frame: FrameType | None) -> None:
    """SIGTERM ends work the way Ctrl-C does (installed by __main__)."""
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except ToolError as e:
        note(f"{PROG}: error: {e}")
        return 1
    except KeyboardInterrupt:
        note(f"\n{PROG}: interrupted")
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (a pager, head): stop
        # quietly, and keep the interpreter's final flush from failing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
