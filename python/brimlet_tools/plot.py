"""A picture of a run of packets, drawn with matplotlib: one panel per
quantity, each with its own scale, against time from the first packet.

The panels, by default: acceleration x and y, acceleration z (apart, so
that gravity on z does not flatten the other two), angular rate,
orientation as roll, pitch and yaw in degrees (from the estimated
quaternion) and pressure altitude. A device's own measurement is drawn thin
and pale, the filter's estimate of the same quantity dashed, darker and on
top; the legends stand right of the traces; the time axis says its start in
UTC. Other fields get a panel each when asked for.

The time axis is that of the columns: the receive times of the packets read
from a port, and for a recording (decoded as fast as it is read, see
`recording.load`) the receive times kept beside it, or an estimate from its
raw packets.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any

from .errors import ToolError, require
from .recordings.recording import Recording
from .wire.fields import FIELD_BY_NAME, PARTS

if TYPE_CHECKING:
    import numpy.typing as npt

# The fields drawn unless others are asked for.
PLOTTED = ("scaled_accel", "est_compensated_accel", "scaled_gyro", "est_angular_rate",
           "est_orient_quaternion", "est_pressure_alt")  # fmt: skip
# Fields drawn in one panel with another: the device's measurement and the
# filter's estimate of the same quantity, by the panel's title.
SHARED: dict[str, str] = {"scaled_accel": "acceleration", "est_compensated_accel": "acceleration",
                          "scaled_gyro": "angular rate", "est_angular_rate": "angular rate"}  # fmt: skip
# The acceleration panel's parts, drawn apart: x and y, and z under gravity.
SPLIT: dict[str, tuple[tuple[int, ...], ...]] = {"acceleration": ((0, 1), (2,))}
ANGLES = ("roll", "pitch", "yaw")
RAW_STYLE = {"linewidth": 0.7, "alpha": 0.55, "zorder": 2}
ESTIMATE_STYLE = {"linewidth": 1.4, "linestyle": (0, (4, 2)), "zorder": 3}
# Colours by part: the measurement's light, the estimate's dark.
LIGHT = ("#5fa8e8", "#f0a04b", "#6cc46c")
DARK = ("#0b3d91", "#9c3d00", "#1a6b1a")


@dataclass
class Series:
    """Samples of one field: times and rows of values."""

    times: list[float] = field(default_factory=list)
    rows: list[list[float]] = field(default_factory=list)

    def column(self, i: int) -> list[float]:
        return [row[i] for row in self.rows]


@dataclass
class Picture:
    """What is drawn: the series of each field against seconds from
    `start_ns` (ns since 1970 UTC; None when not known)."""

    series: dict[str, Series]
    start_ns: int | None = None


def columns(fields: Sequence[str]) -> list[str]:
    """The columns that drawing `fields` takes: the time and their values."""
    return ["time", *(c for name in fields for c in FIELD_BY_NAME[name].columns)]


def from_recording(recording: Recording | Mapping[str, npt.NDArray[Any]], fields: Sequence[str] = PLOTTED) -> Picture:
    """The fields of a loaded recording (or of the columns read from a
    port, `columns(fields)` of them) against its time axis."""
    import numpy as np

    stamps = recording["time"].view(np.int64)
    start = int(stamps[0]) if len(stamps) else None
    seconds = (stamps - (start or 0)) / 1e9
    series = {}
    for name in fields:
        values = np.stack([recording[c] for c in FIELD_BY_NAME[name].columns], axis=1)
        carried = ~np.isnan(values).all(axis=1)
        series[name] = Series(seconds[carried].tolist(), values[carried].tolist())
    return Picture(series, start)


def load_pyplot() -> Any:
    """matplotlib's pyplot on the file-only Agg back end."""
    matplotlib = require("matplotlib", "plotting", "plot", "python3-matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def picture_format(path: str) -> str:
    """The picture format that `path`'s ending names (none: PNG)."""
    return os.path.splitext(path)[1].lower().lstrip(".") or "png"


def check_output(path: str) -> None:
    """A ToolError unless matplotlib can draw into `path`: a picture format
    that it knows by the name's ending (none means PNG), in a directory that
    exists."""
    load_pyplot()
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    known = FigureCanvasAgg.get_supported_filetypes()
    suffix = picture_format(path)
    if suffix not in known:
        raise ToolError(f"cannot draw into {path}: matplotlib writes no {suffix!r} pictures "
                        f"(it writes {', '.join(sorted(known))})")  # fmt: skip
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise ToolError(f"cannot write {path}: no such directory {directory}")


def euler_degrees(rows: Sequence[Sequence[float]]) -> list[list[float]]:
    """Roll, pitch and yaw in degrees of quaternions (w, x, y, z), in the
    z-y-x order (yaw, then pitch, then roll)."""
    out = []
    for w, x, y, z in rows:
        roll = math.atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y))
        pitch = math.asin(max(-1.0, min(1.0, 2 * (w * y - z * x))))
        yaw = math.atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))
        out.append([math.degrees(roll), math.degrees(pitch), math.degrees(yaw)])
    return out


@dataclass
class Panel:
    """One panel: its axis label and its lines (times, values, label,
    whether an estimate)."""

    label: str
    lines: list[tuple[list[float], list[float], str, bool]] = field(default_factory=list)


def panels(picture: Picture) -> list[Panel]:
    """The panels of `picture`, in the order of its fields."""
    grouped: dict[str, list[str]] = {}
    for name in picture.series:
        grouped.setdefault(SHARED.get(name, name), []).append(name)
    out = []
    for title, names in grouped.items():
        unit = FIELD_BY_NAME[names[0]].unit
        for parts in SPLIT.get(title, (None,)):
            panel = Panel(f"{title}{' ' + ', '.join(PARTS[3][i] for i in parts) if parts else ''} ({unit})")
            for name in names:
                add_lines(panel, name, picture.series[name], parts)
            out.append(panel)
    return out


def add_lines(panel: Panel, name: str, s: Series, parts: tuple[int, ...] | None) -> None:
    """The lines of field `name` (its `parts` alone, when given) on `panel`."""
    f = FIELD_BY_NAME[name]
    estimate = f.packet_type == "estimated"
    rows, labels = s.rows, [f"{name}_{p}" for p in PARTS.get(f.width, "")] or [name]
    if name == "est_orient_quaternion":
        rows, labels = euler_degrees(s.rows), list(ANGLES)
        panel.label = "orientation (degrees)"
    for i in parts if parts is not None else range(len(labels)):
        panel.lines.append((s.times, [row[i] for row in rows], labels[i], estimate))


def time_label(start_ns: int | None, axis: str) -> str:
    """The time axis's label: seconds from the start, said in UTC."""
    if start_ns is None:
        return f"{axis} (s)"
    start = datetime.fromtimestamp(start_ns // 10**9, UTC).replace(microsecond=start_ns % 10**9 // 1000)
    return f"{axis}: seconds from {start.isoformat(sep=' ', timespec='milliseconds').removesuffix('+00:00')} UTC"


def render(picture: Picture, output: str, axis: str, title: str, advance: Callable[[int], object] | None = None,
           fmt: str | None = None) -> None:  # fmt: skip
    """Draws the panels of `picture` into the picture file `output` (in
    `fmt`, by default the one its name ends in), telling `advance` of each
    step (the panels, then the file); `axis` names the time axis."""
    advance = advance or (lambda n: None)
    plt = load_pyplot()
    drawn = panels(picture)
    fig, axes = plt.subplots(len(drawn), 1, sharex=True, squeeze=False, figsize=(12, 2.3 * len(drawn) + 0.8),
                             layout="constrained")  # fmt: skip
    for ax, panel in zip(axes[:, 0], drawn, strict=True):
        counts = {True: 0, False: 0}
        for times, values, label, estimate in panel.lines:
            colour = (DARK if estimate else LIGHT)[counts[estimate] % 3]
            counts[estimate] += 1
            ax.plot(times, values, color=colour, label=label, **(ESTIMATE_STYLE if estimate else RAW_STYLE))
        ax.set_ylabel(panel.label)
        ax.grid(True, alpha=0.3)
        if ax.lines:
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize="small")
        advance(1)
    axes[-1, 0].set_xlabel(time_label(picture.start_ns, axis))
    fig.suptitle(title)
    fig.savefig(output, dpi=100, format=fmt or picture_format(output))
    plt.close(fig)
    advance(1)


def steps(fields: Sequence[str]) -> int:
    """How many steps `render` tells of for these fields."""
    return len(panels(Picture({name: Series() for name in fields}))) + 1
