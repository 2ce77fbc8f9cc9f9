"""`monitor`: a live view of a line's health, in the terminal.

It reads the port through the live reader, whose scanner also counts what
the parser passes over: bytes outside frames and failed checksums, shown
beside the packet rates by kind against the expected ones, the fields
flagged not valid, the time since the last packet and the latest values.
The rates, drift and gaps of a port are its sample clock's, fed with the
batches as they come. With --file, a virtual device plays the recording on a
pseudo-terminal at its recorded pace and the monitor reads that; the rates,
drift and gaps are then the recording's own, fitted from its receive times
as `stats` fits them (a pseudo-terminal's reads come in bursts that would
tell of the replay, not of the device), the gaps counted among the packets
played so far.

On a terminal the screen is redrawn four times a second; otherwise (piped,
or in a test) one screen is printed when the monitor ends. Ctrl-C or SIGTERM
ends it, and so does the port hanging up (the device unplugged, or the end
of the recording played).
"""

from __future__ import annotations

import argparse
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager, nullcontext
from typing import TYPE_CHECKING, Any

from ..errors import PortHungUp, ToolError, require
from ..live.acquire import hung_up
from ..live.linewatch import LineWatch
from ..live.stream import PACE, LiveStream, as_arrays
from ..recordings.playback import played_recording
from ..sim.virtual_device import DRAIN_LIMIT, VirtualDevice
from ..timing.online import nominal_rate
from ..timing.stage import ClockStage
from ..wire.fields import DATA_FIELDS, NOMINAL_RATES, OUTPUT_NAME, PACKET_TYPES
from . import options
from .common import StopFlag, cannot, note
from .fitted import gaps_text
from .source import load_recording

if TYPE_CHECKING:
    from ..recordings.recording import Recording

NAME = "monitor"
HELP = "A live view of a port's packet rates, line errors, flagged fields and latest values."
REFRESH = 0.25  # seconds between redraws on a terminal


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_recording(p, "a recording, played by a virtual device at its recorded pace (or give --port)",
                          required=False)  # fmt: skip
    options.add(p, "port")
    options.add_check(p, options.source_check)
    options.add(p, "baudrate")
    options.add(p, "seconds", help="end after this many seconds of wall-clock time (default: until Ctrl-C or hang-up)")
    options.add(p, "expect_raw_rate")
    options.add(p, "expect_estimated_rate")


def run(args: argparse.Namespace) -> int:
    rich = require("rich.console", "the monitor", "monitor", "python3-rich", package="rich")
    require("numpy", "the monitor", "monitor", "python3-numpy")  # the reader's batches are arrays
    stop = StopFlag()
    recorded = None if args.file is None else Recorded(load_recording(args.file))
    with stop.on_signals(), played(args, stop, recorded) as (path, opened):
        try:
            stream = LiveStream(path, args.baudrate, follow=True)
        except OSError as e:
            raise cannot("open port", path, e) from e
        with stream:
            opened()
            watch = LineWatch()
            clock = ClockStage(nominal={"raw": args.expect_raw_rate, "estimated": args.expect_estimated_rate})
            console = rich.Console()
            if not console.is_terminal:  # one screen at the end, for a log: no wrapping
                console = rich.Console(width=max(console.width, 120))
            until = "" if args.seconds else "; Ctrl-C ends"
            note(f"monitoring {args.port or args.file} at {args.baudrate} baud{until}")
            ended = watch_port(stream, watch, clock, args, stop, console, recorded)
    if not console.is_terminal:
        clock.finish()
        console.print(screen(watch, clock, args, time.monotonic(), recorded), soft_wrap=True)
    ends = {"time": "", "stopped": "stopped", "hang-up": "" if args.port else "the recording ended"}
    seconds = time.monotonic() - watch.started
    note(f"monitor ended after {seconds:.1f} s" + (f": {ends[ended]}" if ends[ended] else ""))
    if ended == "hang-up" and args.port:
        raise PortHungUp(args.port)
    return 0


def watch_port(stream: LiveStream, watch: LineWatch, clock: ClockStage, args: argparse.Namespace, stop: StopFlag,
               console: Any, recorded: Recorded | None) -> str:  # fmt: skip
    """Gives what the reader brings to `watch` and `clock` until the monitor
    ends, and says why it ended ("time", "stopped" or "hang-up"); on a
    terminal, redraws the screen meanwhile."""
    live: AbstractContextManager[Any] = nullcontext()
    if console.is_terminal:
        from rich.live import Live

        live = Live(screen(watch, clock, args, time.monotonic(), recorded), console=console, auto_refresh=False)
    deadline = None if not args.seconds else watch.started + args.seconds
    next_draw = 0.0
    with live as view:
        while True:
            now = time.monotonic()
            if stop():
                return "stopped"
            if deadline is not None and now >= deadline:
                return "time"
            if view is not None and now >= next_draw:
                next_draw = now + REFRESH
                view.update(screen(watch, clock, args, now, recorded), refresh=True)
            wait = REFRESH if deadline is None else min(REFRESH, deadline - now)
            try:
                batch = stream.source.read(wait)
            except OSError as e:
                if not hung_up(e):
                    raise ToolError(f"reading {args.port or args.file} failed: {e}") from e
                batch = None
            if batch is None:  # the line hung up, after every packet before it
                watch.totals = stream.scan_totals()
                return "hang-up"
            arrays = as_arrays(batch)
            watch.take(arrays, stream.scan_totals())
            clock.push(arrays)
            if len(arrays["kind"]):  # the reader reads on meanwhile: what comes is one batch
                time.sleep(PACE)


class Recorded:
    """The figures of a recording being played: per kind its rate fitted
    from its receive times (none for a recording without them), the drift
    of that rate, and the gaps among its first packets."""

    def __init__(self, recording: Recording) -> None:
        self.recording = recording
        self.missing = {kind: recording["missing_before"][recording["kind"] == code]
                        for code, kind in enumerate(PACKET_TYPES)}  # fmt: skip

    def figures(self, kind: str, played: int) -> tuple[float | None, float | None, str]:
        """The fitted rate and its drift in ppm (None: not measured) and the
        gaps among the first `played` packets of `kind`."""
        fit = self.recording.fits.get(kind)
        rate = None if fit is None or self.recording.times_estimated else fit.rate
        drift = None if rate is None else (rate / nominal_rate(rate, NOMINAL_RATES[kind]) - 1.0) * 1e6
        missing = self.missing[kind][:played]
        gaps = int((missing > 0).sum())
        text = f"{gaps} gap{'s' * (gaps != 1)}, {int(missing.sum())} missing" if gaps else "no gap"
        return rate, drift, text


@contextmanager
def played(args: argparse.Namespace, stop: StopFlag,
           recorded: Recorded | None) -> Iterator[tuple[str, Callable[[], None]]]:  # fmt: skip
    """The port to read, and what to call once it is open: for --port, the
    port itself; for --file, a virtual device that then plays the recording
    on its own thread, and closes when it is done."""
    if recorded is None:
        yield args.port, lambda: None
        return
    stream, _description, _warning = played_recording(recorded.recording, args.baudrate)
    done = threading.Event()
    with VirtualDevice(args.baudrate, stale_after=None) as device:

        def ended() -> bool:
            return done.is_set() or stop()

        def play() -> None:
            device.play(stream, stop=ended)
            device.drain(DRAIN_LIMIT, ended)
            device.close()  # the reader sees the line hang up

        player = threading.Thread(target=play, name="monitor-player", daemon=True)
        try:
            yield device.path, player.start
        finally:
            done.set()
            if player.ident is not None:
                player.join()


def screen(watch: LineWatch, clock: ClockStage, args: argparse.Namespace, now: float,
           recorded: Recorded | None = None) -> Any:  # fmt: skip
    """One screen of the monitor, as a rich renderable. The rate of a kind
    is the one its sample clock fitted while packets come (a recording's:
    fitted from its receive times), else the count over the last seconds."""
    from rich.console import Group
    from rich.table import Table

    rates = Table()
    for column in ("packets", "count", "rate (Hz)", "drift (ppm)", "gaps", "expected (Hz)"):
        rates.add_column(column, justify="left" if column == "packets" else "right")
    expected = {"raw": args.expect_raw_rate, "estimated": args.expect_estimated_rate}
    by_type = watch.packets
    for kind in PACKET_TYPES:
        counted = watch.rate(kind, now)
        if recorded is not None:
            # Not the pace of the replay: without receive times there is no rate to show.
            fitted, drift_ppm, gaps = recorded.figures(kind, by_type[kind])
            rate = fitted if by_type[kind] else counted
        else:
            fit = clock.stats(kind)
            rate = fit.rate if fit.rate is not None and counted > 0 else counted
            drift_ppm, gaps = fit.drift_ppm, gaps_text(fit)
        shown = "-" if rate is None else f"{rate:.3f}"
        drift = "-" if drift_ppm is None else f"{drift_ppm:+.1f}"
        style = "" if rate is None or rate >= 0.9 * expected[kind] else "bold red"
        rates.add_row(kind, str(by_type[kind]), shown, drift, gaps, f"{expected[kind]:g}", style=style)
    outside, checksums = watch.totals["outside"], watch.totals["bad_checksums"]
    since = "no packet yet" if watch.last_packet is None else f"{now - watch.last_packet:.3f} s"
    named = {OUTPUT_NAME.get(name, name): n for name, n in watch.flagged.items()}  # as the outputs name them
    flagged = ", ".join(f"{name} {n}" for name, n in sorted(named.items())) or "none"
    lines = [
        f"{args.port or args.file} at {args.baudrate} baud, {now - watch.started:.1f} s",
        f"line: {watch.total_bytes} bytes, {outside} outside frames, {checksums} failed checksums",
        f"fields flagged not valid: {flagged}",
        f"since the last packet: {since}",
    ]
    values = Table(title="latest values", title_justify="left")
    values.add_column("field")
    values.add_column("value", justify="right")
    for f in DATA_FIELDS:
        if f.name in watch.latest:
            values.add_row(f.name, "  ".join(f"{v:.4g}" for v in watch.latest[f.name]))
    return Group(lines[0], rates, *lines[1:], values)
