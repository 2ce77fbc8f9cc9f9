"""A summary of a run of packets: counts, time span, rates, flagged fields.

A recording is summarised from its columns, decoded once
(`recording_summary`): its time axis comes from the receive times kept
beside it (`recording.load`), or is estimated from the raw packets at a
given rate when it has none, and the decoder's scan tells what the
recording holds besides its packets (`line_lines`). The packets read from a
port are summarised the same way, from the columns of the batches read
(their receive times), with the live clock's figures for the fit.

`timing_reports` measures each kind's timing on a recording with receive
times: the rate fitted to the lower envelope of the receive times and its
drift from the nominal rate, the period between packets on the sample-time
axis, the receive latency above the envelope (receive time less sample
time) and the gaps. On an estimated time axis only the counts and the gaps
(from the bytes between frames) mean anything; the rest is None.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from ..timing.online import nominal_rate
from ..wire.fields import INVALID_BITS, NOMINAL_RATES, PACKET_TYPES

if TYPE_CHECKING:
    import numpy.typing as npt

    from .recording import Recording

NOT_MEASURED = "not measured (times estimated from nominal rates)"


@dataclass
class TypeStats:
    """Packets of one type: how many, and the first and last timestamps."""

    count: int = 0
    first_stamp: int = 0
    last_stamp: int = 0

    def rate(self) -> float | None:
        """Packets per second between the first and the last, by timestamp."""
        span = (self.last_stamp - self.first_stamp) / 1e9
        return (self.count - 1) / span if self.count > 1 and span > 0 else None


@dataclass
class Summary:
    """What `recording_summary` found."""

    types: dict[str, TypeStats] = field(default_factory=lambda: {t: TypeStats() for t in PACKET_TYPES})
    flagged: Counter[str] = field(default_factory=Counter)
    flagged_packets: int = 0
    first_stamp: int | None = None
    last_stamp: int | None = None

    @property
    def total(self) -> int:
        return sum(s.count for s in self.types.values())

    def host_span(self) -> float:
        """Seconds from the first to the last timestamp."""
        if self.first_stamp is None or self.last_stamp is None:
            return 0.0
        return (self.last_stamp - self.first_stamp) / 1e9


def count_line(summary: Summary) -> str:
    parts = ", ".join(f"{t} {s.count}" for t, s in summary.types.items())
    return f"packets: {summary.total} ({parts})"


def flagged_lines(summary: Summary) -> list[str]:
    total = sum(summary.flagged.values())
    if not total:
        return ["fields flagged not valid: none"]
    lines = [f"fields flagged not valid: {total} in {summary.flagged_packets} packets"]
    lines += [f"  {name}: {n}" for name, n in sorted(summary.flagged.items())]
    return lines


def recording_summary(recording: Recording) -> Summary:
    """The summary of a loaded recording from its columns: counts and first
    and last times by kind on its time axis, and the flagged fields (each
    name counted once a packet)."""
    import numpy as np

    c = recording.columns
    stamps, kinds, invalid = c["time"].view(np.int64), c["kind"], c["invalid"]
    summary = Summary()
    for code, kind in enumerate(PACKET_TYPES):
        of_kind = stamps[kinds == code]
        if len(of_kind):
            summary.types[kind] = TypeStats(len(of_kind), int(of_kind[0]), int(of_kind[-1]))
    for bit, name in enumerate(INVALID_BITS):
        if n := int(np.count_nonzero(invalid & (1 << bit))):
            summary.flagged[name] = n
    summary.flagged_packets = int(np.count_nonzero(invalid))
    if len(stamps):
        summary.first_stamp, summary.last_stamp = int(stamps[0]), int(stamps[-1])
    return summary


def recording_span_lines(recording: Recording, summary: Summary, raw_rate: float) -> list[str]:
    """Span and per-type rates of a recording (`summary` is its
    `recording_summary`) on its time axis: its receive times, or, said in a
    line of its own, an estimate that takes the raw packets to come at
    `raw_rate`."""
    if not summary.total:
        return ["span: no packets"]
    axis = "estimated" if recording.times_estimated else "of receive time"
    rates = [f"{kind} {rate:.1f} Hz" if (rate := s.rate()) is not None else f"{kind} no rate"
             for kind, s in summary.types.items()]  # fmt: skip
    lines = [f"span: {summary.host_span():.3f} s {axis} ({', '.join(rates)})"]
    if recording.times_estimated:
        lines.append(estimated_note(recording.source, raw_rate))
    return lines


def line_lines(path: str, recording: Recording) -> list[str]:
    """What the recording at `path` holds besides valid packet frames, from
    the scan that decoded it."""
    scan = recording.scan
    lines = [f"recording: {path}, {scan.bytes} bytes", f"line: {scan.outside} bytes outside valid frames"]
    if scan.bad_checksums:
        lines.append(f"line: {scan.bad_checksums} frames with a failed checksum")
    if scan.other_frames:
        lines.append(f"line: {scan.other_frames} valid frames of other descriptor sets")
    if scan.unfinished:
        lines.append(f"line: the last frame is cut off ({scan.unfinished} bytes at the end)")
    return lines


def estimated_note(path: str, raw_rate: float) -> str:
    """The line that says a recording's time axis is estimated, and how."""
    return (f"time axis estimated: no receive times beside {path} (a .times file from `record`);"
            f" raw packets taken {1e3 / raw_rate:g} ms apart (--assume-rate)")  # fmt: skip


def live_span_lines(summary: Summary) -> list[str]:
    """Span and per-type rates of packets read from a port, from their receive times."""
    lines = [f"span: {summary.host_span():.3f} s"]
    for kind, stats in summary.types.items():
        rate = stats.rate()
        lines.append(f"  {kind}: {rate:.1f} Hz" if rate is not None else f"  {kind}: no rate")
    return lines


def timing_reports(recording: Recording, fits: Mapping[str, Fitted] | None = None) -> dict[str, dict[str, Any]]:
    """Per kind, ready for JSON: `packets`; `rate_hz` (fitted), `nominal_hz`
    and `drift_ppm` (of the fitted rate from the nominal one); `period_s`
    (`min`, `max`, `std` of the time between packets on the sample-time
    axis, a gap included); `latency_s` (`median`, `p99` of the receive time
    above the envelope); `gaps` (`count`, packets `missing` in all, the
    `largest`), `clock_steps` and `phase_hidden` (the link's 1 ms frames hide
    the sample phase). None where not measured: a kind of fewer
    than two packets, a time axis estimated from nominal rates. `fits` (the
    live clock's figures of packets read from a port) stand in for the
    recording's own."""
    import numpy as np

    c = recording.columns
    reports: dict[str, dict[str, Any]] = {}
    for code, kind in enumerate(PACKET_TYPES):
        of_kind = c["kind"] == code
        fit = None if recording.times_estimated else (recording.fits if fits is None else fits).get(kind)
        reports[kind] = kind_report(kind, c["sample_time"][of_kind].view(np.int64), c["time"][of_kind].view(np.int64),
                                    c["missing_before"][of_kind], fit)  # fmt: skip
    return reports


class Fitted(Protocol):
    """What a fit found for a kind: a whole recording's or the live clock's."""

    @property
    def rate(self) -> float | None: ...
    @property
    def clock_steps(self) -> int: ...


def kind_report(kind: str, sample: npt.NDArray[Any], time: npt.NDArray[Any], missing: npt.NDArray[Any],
                fit: Fitted | None) -> dict[str, Any]:  # fmt: skip
    """The report of `timing_reports` on the packets of `kind` with sample
    and receive times (int64 ns) and missing counts, as `fit` (None: times
    estimated) fitted them."""
    import numpy as np

    gaps = missing[missing > 0]
    report = unmeasured(len(missing)) | {
        "gaps": {"count": len(gaps), "missing": int(gaps.sum()), "largest": int(gaps.max()) if len(gaps) else 0},
        "clock_steps": fit.clock_steps if fit is not None else None,
        "phase_hidden": bool(getattr(fit, "phase_hidden", False)),
    }  # fmt: skip
    if fit is not None and fit.rate is not None and len(missing) > 1:
        nominal = nominal_rate(fit.rate, NOMINAL_RATES[kind])  # as the live clock takes it
        period = np.diff(sample) / 1e9
        latency = above_envelope(time - sample, fit.clock_steps) / 1e9
        report |= {
            "rate_hz": fit.rate, "nominal_hz": nominal, "drift_ppm": (fit.rate / nominal - 1.0) * 1e6,
            "period_s": {"min": float(period.min()), "max": float(period.max()), "std": float(period.std())},
            "latency_s": {"median": float(np.median(latency)), "p99": float(np.percentile(latency, 99))},
        }  # fmt: skip
    return report


def unmeasured(packets: int) -> dict[str, Any]:
    """The report of a kind of `packets` packets of which nothing else was
    measured, as `timing_reports` words it."""
    keys = ("rate_hz", "nominal_hz", "drift_ppm", "period_s", "latency_s", "gaps", "clock_steps")
    return {"packets": packets} | dict.fromkeys(keys)


def above_envelope(lag: npt.NDArray[Any], clock_steps: int) -> npt.NDArray[Any]:
    """`lag` (receive time less sample time, ns) less the least lag of its
    stretch between clock steps. The sample times go on across a step while
    the receive times jump with the clock, so the steps are the largest
    jumps of the lag."""
    import numpy as np

    starts = np.zeros(1, np.int64)
    if clock_steps:
        jumps = np.argsort(np.abs(np.diff(lag)))[-clock_steps:] + 1
        starts = np.concatenate((starts, np.sort(jumps)))
    floors = np.minimum.reduceat(lag, starts)
    out: npt.NDArray[Any] = lag - np.repeat(floors, np.diff(np.append(starts, len(lag))))
    return out


def timing_lines(reports: dict[str, dict[str, Any]]) -> list[str]:
    """The lines of `timing_reports`, a few per kind."""
    lines = []
    for kind, r in reports.items():
        if not r["packets"]:
            lines.append(f"{kind}: no packets")
            continue
        if r["rate_hz"] is None:
            why = NOT_MEASURED if r["clock_steps"] is None else "not measured (one packet)"
            lines.append(f"{kind}: rate, period and latency {why}")
        else:
            lines.append(f"{kind}: {r['rate_hz']:.4f} Hz fitted, {r['drift_ppm']:+.1f} ppm against {r['nominal_hz']:g} Hz")
            period = r["period_s"]
            lines.append(f"  period: min {period['min'] * 1e3:.6f} ms, max {period['max'] * 1e3:.6f} ms, "
                         f"std {period['std'] * 1e3:.6f} ms (sample times)")  # fmt: skip
            latency = r["latency_s"]
            lines.append(f"  receive latency above the envelope: median {latency['median'] * 1e3:.3f} ms, "
                         f"p99 {latency['p99'] * 1e3:.3f} ms")  # fmt: skip
        gaps = r["gaps"]
        told = " (as the bytes between frames would hold)" if r["clock_steps"] is None else ""
        lines.append(f"  gaps: {gaps['count']}, {gaps['missing']} packets missing, largest {gaps['largest']}{told}"
                     if gaps["count"] else f"  gaps: none{told}")  # fmt: skip
        if r["clock_steps"]:
            lines.append(f"  clock steps: {r['clock_steps']} (the sample times go on across them)")
        if r.get("phase_hidden"):
            lines.append("  the link hides the sample phase (1 ms frames, under two wraps of it): "
                         "sample times and rate may be off by up to 1 ms")  # fmt: skip
    return lines
