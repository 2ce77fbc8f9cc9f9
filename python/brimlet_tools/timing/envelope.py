"""The sample times of a recording, recovered from its receive times.

The device samples each kind of packet at a fixed rate from its own crystal
and sends no clock. A packet reaches the host some time after it was
sampled, never before, so per kind the points (packet index, receive time)
lie on or above the line of the sample times, and the packets that were
least delayed lie close to it. That line is the lower envelope of the
points: of the lines below every point, the one closest to them in sum,
which runs along the edge of their lower convex hull under the mean index.
Its slope is the period the device keeps as measured by the host's clock
(a drifting crystal shows as a rate a few parts per million off nominal).

The packet index counts the packets that never arrived. Two signals find
them: the bytes the decoder passed over before a packet (a lost or damaged
frame leaves them; a frame of one kind has one length), which say where a
packet may be missing and how many, and the receive times, whose floor
steps up by a whole period after each packet that is missing and stays put
otherwise. A gap is counted only where bytes were passed over, so a clean
stream has none; its size is the step of the floor, measured between runs
of packets long enough to reach the floor.

A clock that was stepped (a receive time earlier than the one before, or a
jump of over a second with nothing lost) starts a new epoch: the line is
fitted anew on the clock's new reading and the sample times go on from
where they were, without a jump. Long stretches are fitted in pieces, so a
crystal whose rate wanders does not bend the line.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ..errors import require

if TYPE_CHECKING:
    import numpy.typing as npt

NS = 1_000_000_000
# A receive time more than this after the one before, with nothing lost
# between, is a clock step rather than a pause of the line.
CLOCK_JUMP_NS = NS
# Packets per fitted piece at most: the line is straight within a piece.
PIECE = 1 << 16
# A run of packets between two places where bytes were lost reaches the
# floor of its receive times when it spans this long, or this many packets.
TRUSTED_SPAN_NS = 50_000_000
TRUSTED_PACKETS = 8
MAX_MISSING = 0xFFFF


@dataclass
class KindFit:
    """What the fit found for one kind of packet."""

    packets: int = 0
    rate: float | None = None  # fitted packets per second, on the host's clock
    gaps: int = 0  # places where packets are missing
    missing: int = 0  # packets missing in all
    largest_gap: int = 0
    clock_steps: int = 0


@dataclass
class SampleTimes:
    """Per packet: `sample_time` (int64 ns since the epoch) and
    `missing_before` (uint16: packets of its kind missing just before it)."""

    sample_time: npt.NDArray[Any]
    missing_before: npt.NDArray[Any]
    fits: dict[str, KindFit] = field(default_factory=dict)


def numpy() -> Any:
    return require("numpy", "loading recordings", "numpy", "python3-numpy")


def skipped_since(total: npt.NDArray[Any], idx: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Bytes passed over between each packet at `idx` and the one of the
    same kind before it (0 for the first), from the running `total` of the
    bytes passed over before each packet."""
    out: npt.NDArray[Any] = steps(total[idx])
    return out


def steps(values: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Each value less the one before it, 0 for the first."""
    np = numpy()
    out: npt.NDArray[Any] = np.empty_like(values)
    out[:1] = 0
    np.subtract(values[1:], values[:-1], out=out[1:])
    return out


def frame_length(skipped: npt.NDArray[Any], end: npt.NDArray[Any], idx: npt.NDArray[Any]) -> int:
    """The usual length of the frames at `idx`, from the first thousands."""
    np = numpy()
    idx = idx[idx > 0][:4096]
    lengths = end[idx].astype(np.int64) - skipped[idx] - end[idx - 1].astype(np.int64)
    return int(np.bincount(np.clip(lengths, 0, 300)).argmax()) if len(lengths) else 0


def missing_from_bytes(since: npt.NDArray[Any], length: int) -> npt.NDArray[Any]:
    """How many frames of `length` bytes the bytes passed over would hold."""
    np = numpy()
    out: npt.NDArray[Any] = (since + length // 2) // length if length > 0 else np.zeros(len(since), np.int64)
    return out


def fit_lines(native: Any, k: Any, t: Any, starts: Any) -> tuple[Any, Any, Any]:
    """The lower-envelope line of each piece (the native module's fit): its
    slope, its value at the piece's start less the first receive time, and
    each packet's receive time on it (int64 ns, rounded down). A piece of
    one packet has the mean slope of the others, and the packet's time."""
    np = numpy()
    slope = np.empty(len(starts), np.float64)
    at_start = np.empty(len(starts), np.float64)
    on_line = np.empty(len(k), np.int64)
    native.lower_envelopes(k, t, starts, slope, at_start, on_line)
    lone = np.isnan(slope)
    if lone.any():
        sizes = np.diff(np.append(starts, len(k)))
        good = ~lone
        slope[lone] = float(np.average(slope[good], weights=sizes[good])) if good.any() else 0.0
    return slope, at_start, on_line


def segment_levels(floors: Any, sizes: Any, spans: Any, allowed: Any, period: float) -> Any:
    """The step of the receive times' floor, in whole periods, of each run
    of packets between places where bytes were lost, relative to the first.
    A run long enough to reach the floor gives its own measure. A short one
    may not reach it and reads too high: its level is held to that of the
    next long run, and to what the bytes lost before it (`allowed` packets)
    can explain over the run before."""
    np = numpy()
    trusted = (sizes >= TRUSTED_PACKETS) | (spans >= TRUSTED_SPAN_NS)
    trusted[0] = True
    levels = np.zeros(len(floors), np.int64)
    last = 0
    for j in np.flatnonzero(trusted)[1:]:
        levels[j] = levels[last] + round((floors[j] - floors[last]) / period)
        last = j
    after = np.flatnonzero(trusted)
    reference = 0
    for j in range(1, len(floors)):
        if trusted[j]:
            reference = j
            continue
        at = np.searchsorted(after, j)
        own = levels[reference] + round((floors[j] - floors[reference]) / period)
        ceiling = levels[after[at]] if at < len(after) else own
        levels[j] = min(own, ceiling, levels[j - 1] + allowed[j])
    return levels


def run_period(native: Any, t: Any, runs: Any) -> float:
    """The period of packets with receive times `t`, from the runs that
    start at `runs` (no packet missing within a run): the median of the
    runs' own lower-envelope slopes, weighted by their lengths."""
    np = numpy()
    n = len(t)
    slope, _, _ = fit_lines(native, np.arange(n, dtype=np.int64), t, runs)
    sizes = np.diff(np.append(runs, n))
    usable = (sizes >= 3) & np.isfinite(slope) & (slope > 0)
    if not usable.any():
        steps = np.diff(t)
        return float(np.median(steps[steps > 0])) if (steps > 0).any() else 1.0
    order = np.argsort(slope[usable])
    weights = np.cumsum(sizes[usable][order])
    return float(slope[usable][order][np.searchsorted(weights, weights[-1] / 2)])


def fit_kind(native: Any, t: Any, since: Any, length: int, fit: KindFit) -> tuple[Any, Any]:
    """Sample times (int64 ns) and missing counts of one kind's packets with
    receive times `t` and bytes passed over `since` the packet before (None:
    no byte was passed over), frames being `length` bytes long."""
    np = numpy()
    n = len(t)
    missing = np.zeros(n, np.int64)
    dt = steps(t)
    jump = dt > CLOCK_JUMP_NS
    stepped = (dt < 0) | (jump & (since == 0) if since is not None else jump)
    epochs = np.flatnonzero(stepped)
    fit.clock_steps = len(epochs)
    bounds = np.flatnonzero((since > 0) | stepped) if since is not None else np.flatnonzero(stepped)
    runs = np.concatenate(([0], bounds)).astype(np.int64)
    epoch_starts = np.concatenate(([0], epochs)).astype(np.int64)
    if len(bounds):
        # Gaps: where bytes were lost, the step of the floor of the receive
        # times, less a steady period, between runs without loss.
        period = run_period(native, t, runs)
        residual = t - t[0] - period * np.arange(n)
        floors = np.minimum.reduceat(residual, runs)
        sizes = np.diff(np.append(runs, n))
        spans = t[np.append(runs[1:], n) - 1] - t[runs]
        # A lost frame leaves at least all its bytes but one.
        allowed = since[runs] // max(length - 1, 1) if since is not None else np.zeros(len(runs), np.int64)
        change = np.diff(segment_levels(floors, sizes, spans, allowed, period))
        change[np.isin(runs[1:], epochs)] = 0  # a new epoch's floor is the clock's
        missing[runs[1:]] = np.maximum(change, 0)
    k = np.cumsum(1 + missing, dtype=np.int64) - 1 if missing.any() else np.arange(n, dtype=np.int64)
    starts = epoch_starts if n <= PIECE else np.union1d(epoch_starts, np.arange(0, n, PIECE)).astype(np.int64)
    slope, _, sample = fit_lines(native, k, t, starts)
    # After a clock step the sample times go on from where they were: each
    # epoch is moved to continue the line of the piece before it.
    for s in epochs.tolist():
        before = int(np.searchsorted(starts, s - 1, side="right")) - 1
        expected = int(sample[s - 1]) + round(float(slope[before]) * int(k[s] - k[s - 1]))
        sample[s:] += expected - int(sample[s])
    sizes = np.diff(np.append(starts, n))
    period = float(np.average(slope, weights=sizes))
    fit.packets = n
    fit.rate = NS / period if period > 0 else None
    if len(bounds):
        gaps = missing[missing > 0]
        fit.gaps, fit.missing = len(gaps), int(gaps.sum())
        fit.largest_gap = int(gaps.max()) if len(gaps) else 0
    return sample, missing


def fit(native: Any, kind: Any, time: Any, skipped: Any, end: Any, names: tuple[str, ...]) -> SampleTimes:
    """The sample times of every packet of a recording: per kind (codes in
    `kind`, named by `names`), from the receive times `time` (int64 ns), the
    bytes passed over before each packet `skipped` and the ends of the
    frames `end`."""
    np = numpy()
    sample = np.empty(len(kind), np.int64)
    missing = np.zeros(len(kind), np.uint16)
    fits: dict[str, KindFit] = {}
    lossy = bool(skipped.any())
    total = np.cumsum(skipped, dtype=np.int64) if lossy else None
    for code, name in enumerate(names):
        idx = np.flatnonzero(kind == code)
        fits[name] = kind_fit = KindFit()
        if not len(idx):
            continue
        since = skipped_since(total, idx) if total is not None else None
        length = frame_length(skipped, end, idx) if lossy else 0
        sample[idx], of_kind = fit_kind(native, time[idx], since, length, kind_fit)
        if lossy:
            missing[idx] = np.minimum(of_kind, MAX_MISSING)
    return SampleTimes(sample, missing, fits)


def nominal(kind: Any, time: Any, skipped: Any, end: Any, names: tuple[str, ...]) -> SampleTimes:
    """Without receive times: the estimated time axis as the sample times,
    and the packets missing as the bytes passed over tell."""
    np = numpy()
    missing = np.zeros(len(kind), np.uint16)
    fits: dict[str, KindFit] = {}
    for code, name in enumerate(names):
        idx = np.flatnonzero(kind == code)
        fits[name] = KindFit(packets=len(idx))
        if len(idx):
            since = skipped_since(np.cumsum(skipped, dtype=np.int64), idx)
            m = missing_from_bytes(since, frame_length(skipped, end, idx))
            missing[idx] = np.minimum(m, MAX_MISSING)
    return SampleTimes(time.view(np.int64).copy(), missing, fits)
