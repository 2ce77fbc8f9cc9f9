"""A picture of a run of packets: acceleration, angular rate, orientation and
pressure altitude against time, drawn with matplotlib into a PNG file.

Live packets carry the host's time of decoding, close to the device's time of
sending. A recording is decoded as fast as it is read, so its time axis is
that of its columns (`recording.load`): the receive times kept beside it, or
an estimate from its raw packets.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .errors import ToolError, require
from .recordings.recording import Recording
from .wire.fields import FIELD_BY_NAME, PARTS, PacketLike, field_values


@dataclass
class Series:
    """Samples of one field: times and rows of values."""

    times: list[float] = field(default_factory=list)
    rows: list[list[float]] = field(default_factory=list)

    def add(self, t: float, values: list[float] | None) -> None:
        if values is not None:
            self.times.append(t)
            self.rows.append(values)

    def column(self, i: int) -> list[float]:
        return [row[i] for row in self.rows]


PLOTTED = ("scaled_accel", "est_compensated_accel", "scaled_gyro", "est_angular_rate",
           "est_orient_quaternion", "est_pressure_alt")


def collect(packets: Iterable[PacketLike]) -> dict[str, Series]:
    """The plotted fields against the packets' timestamps."""
    series = {name: Series() for name in PLOTTED}
    first: int | None = None
    for packet in packets:
        first = packet.timestamp if first is None else first
        t = (packet.timestamp - first) / 1e9
        for name, s in series.items():
            s.add(t, field_values(packet, name))
    return series


def from_recording(recording: Recording) -> dict[str, Series]:
    """The plotted fields of a loaded recording against its time axis."""
    import numpy as np

    stamps = recording.columns["time"].view(np.int64)
    seconds = (stamps - (stamps[0] if len(stamps) else 0)) / 1e9
    series = {}
    for name in PLOTTED:
        values = np.stack([recording.columns[c] for c in FIELD_BY_NAME[name].columns], axis=1)
        carried = ~np.isnan(values).all(axis=1)
        series[name] = Series(seconds[carried].tolist(), values[carried].tolist())
    return series


def load_pyplot() -> Any:
    """matplotlib's pyplot on the file-only Agg back end."""
    matplotlib = require("matplotlib", "plotting", "plot", "python3-matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def check_output(path: str) -> None:
    """A ToolError unless matplotlib can draw into `path`: a picture format
    that it knows by the name's ending (none means PNG), in a directory that
    exists."""
    load_pyplot()
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    known = FigureCanvasAgg.get_supported_filetypes()
    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    if suffix and suffix not in known:
        raise ToolError(f"cannot draw into {path}: matplotlib writes no {suffix!r} pictures "
                        f"(it writes {', '.join(sorted(known))})")  # fmt: skip
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise ToolError(f"cannot write {path}: no such directory {directory}")


def draw(ax: Any, s: Series, labels: Sequence[str], style: str = "-") -> None:
    width = len(s.rows[0]) if s.rows else 0
    for i in range(width):
        ax.plot(s.times, s.column(i), style, color=f"C{i}", linewidth=0.8, label=labels[i])


def unit(field: str) -> str:
    return FIELD_BY_NAME[field].unit


def render(
    series: dict[str, Series], output: str, time_label: str, title: str, advance: Callable[[int], object] | None = None
) -> None:
    """Draws the four panels into the picture file `output`, telling
    `advance` of each of five steps (the panels, then the file)."""
    advance = advance or (lambda n: None)
    plt = load_pyplot()
    fig, (acc, gyro, orient, alt) = plt.subplots(4, 1, sharex=True, figsize=(10, 10))
    draw(acc, series["scaled_accel"], [f"accel {a}" for a in PARTS[3]])
    draw(acc, series["est_compensated_accel"], [f"compensated {a}" for a in PARTS[3]], "--")
    acc.set_ylabel(f"acceleration ({unit('scaled_accel')})")
    advance(1)
    draw(gyro, series["scaled_gyro"], [f"gyro {a}" for a in PARTS[3]])
    draw(gyro, series["est_angular_rate"], [f"estimated {a}" for a in PARTS[3]], "--")
    gyro.set_ylabel(f"angular rate ({unit('scaled_gyro')})")
    advance(1)
    draw(orient, series["est_orient_quaternion"], [f"q{a}" for a in PARTS[4]])
    orient.set_ylabel("orientation quaternion")
    advance(1)
    draw(alt, series["est_pressure_alt"], ["pressure altitude"])
    alt.set_ylabel(f"altitude ({unit('est_pressure_alt')})")
    alt.set_xlabel(time_label)
    advance(1)
    for ax in (acc, gyro, orient, alt):
        ax.grid(True, alpha=0.3)
        if ax.lines:
            ax.legend(loc="upper right", fontsize="small", ncol=2)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)
    advance(1)
