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
otherwise. A gap is counted only where bytes were passed over or the line
fell silent (a tenth of a second or more), so a clean stream has none; its
size is the step of the floor, measured between runs of packets long
enough to reach the floor, however many frames a stretch of lost line or a
pause of the device took.

A clock that was stepped (a receive time earlier than the one before, or,
where the boot clock was not noted beside the receive times, a jump of over
a second with nothing lost) starts a new epoch: the line is
fitted anew on the clock's new reading and the sample times go on from
where they were, without a jump. Long stretches are fitted in pieces, so a
crystal whose rate wanders does not bend the line.

The fit is the native module's (`brimlet_columns.sample_times`, one pass
over the recording without the interpreter lock); this module gives its
results their Python form.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ..errors import require

if TYPE_CHECKING:
    import numpy.typing as npt


@dataclass
class KindFit:
    """What the fit found for one kind of packet."""

    packets: int = 0
    rate: float | None = None  # fitted packets per second, on the host's clock
    gaps: int = 0  # places where packets are missing
    missing: int = 0  # packets missing in all
    largest_gap: int = 0
    clock_steps: int = 0
    phase_hidden: bool = False  # the link's quantised delivery hides the sample phase


@dataclass
class SampleTimes:
    """Per packet: `sample_time` (int64 ns since the epoch) and
    `missing_before` (uint16: packets of its kind missing just before it)."""

    sample_time: npt.NDArray[Any]
    missing_before: npt.NDArray[Any]
    fits: dict[str, KindFit] = field(default_factory=dict)
    # The receive times where some had to be estimated (the packets past what
    # the times file covers), else None.
    time: npt.NDArray[Any] | None = None


def numpy() -> Any:
    return require("numpy", "loading recordings", "numpy", "python3-numpy")


def fit(native: Any, kind: Any, time: Any, skipped: Any, end: Any, names: tuple[str, ...],
        steady: bool = False, covered: int | None = None) -> SampleTimes:  # fmt: skip
    """The sample times of every packet of a recording: per kind (codes in
    `kind`, named by `names`), from the receive times `time` (int64 ns), the
    bytes passed over before each packet `skipped` (uint32) and the ends of
    the frames `end` (uint64); `steady` when the receive times never step.

    Where the receive times cover only the recording's first `covered`
    bytes, the packets after have none: each kind goes on at its fitted
    rate from its last fitted packet, its packets missing as the bytes
    passed over tell, and those sample times stand for their receive times
    too (`SampleTimes.time`), kept from going back."""
    np = numpy()
    n = len(kind)
    cut = n if covered is None else int(np.searchsorted(end, np.uint64(covered), side="right"))
    if cut == n:
        return sample_times(native, kind, time, skipped, end, names, True, steady)
    head = sample_times(native, kind[:cut], time[:cut], skipped[:cut], end[:cut], names, True, steady)
    tail = sample_times(native, kind[cut:], time[cut:], skipped[cut:], end[cut:], names, False)
    sample = np.empty(n, np.int64)
    sample[:cut] = head.sample_time
    last = int(head.sample_time.max()) if cut else int(time[0])
    for code, name in enumerate(names):
        of_kind = np.flatnonzero(kind[cut:] == code)
        if not len(of_kind):
            continue
        rate = head.fits[name].rate
        before = np.flatnonzero(kind[:cut] == code)
        start = int(head.sample_time[before[-1]]) if len(before) else last
        steps = np.cumsum(1 + tail.missing_before[of_kind].astype(np.int64))
        period = 1e9 / rate if rate else 0.0
        sample[cut + of_kind] = start + np.round(steps * period).astype(np.int64) + (0 if rate else steps)
    for name, fit in head.fits.items():
        fit.packets += tail.fits[name].packets
    missing = np.concatenate((head.missing_before, tail.missing_before))
    # The axis of receive times never goes back: the estimated ones follow on.
    after = np.maximum.accumulate(np.maximum(sample[cut:], int(time[cut - 1]) if cut else 0))
    mended = np.concatenate((time[:cut].view(np.int64), after))
    return SampleTimes(sample, missing, head.fits, mended)


def nominal(native: Any, kind: Any, time: Any, skipped: Any, end: Any, names: tuple[str, ...]) -> SampleTimes:
    """Without receive times: the estimated time axis `time` as the sample
    times, and the packets missing as the bytes passed over tell."""
    return sample_times(native, kind, time, skipped, end, names, False)


def sample_times(native: Any, kind: Any, time: Any, skipped: Any, end: Any, names: tuple[str, ...],
                 received: bool, steady: bool = False) -> SampleTimes:  # fmt: skip
    np = numpy()
    sample = np.empty(len(kind), np.int64)
    missing = np.empty(len(kind), np.uint16)
    fits = native.sample_times(kind, time.view(np.int64), skipped, end, len(names), received, sample, missing,
                              steady)
    return SampleTimes(sample, missing, {name: KindFit(*row) for name, row in zip(names, fits, strict=True)})
