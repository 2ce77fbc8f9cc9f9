"""The sample clock of a live line, as the commands that read one show it:
fed from a capture read by read (`record`), and its figures in
words."""

from __future__ import annotations

from ..live.capture import CaptureReport
from ..timing.online import KindStats
from ..timing.stage import ClockStage
from ..wire.fields import PACKET_TYPES


class CaptureClock:
    """The clock stage fed with the packets each read of a capture brought,
    by kind, at the time the last read taken returned (on the clock that
    never steps). A packet of a kind counts as lossy when the line passed over
    bytes since the last packet of that kind: only there can one be missing."""

    def __init__(self, nominal: dict[str, float] | None = None) -> None:
        self.clock = ClockStage(nominal=nominal)
        self.seen = dict.fromkeys(PACKET_TYPES, 0)
        self.skipped_at = dict.fromkeys(PACKET_TYPES, 0)

    def look(self, report: CaptureReport) -> None:
        """Takes what came since the last look; call after every read."""
        counter = report.counter
        if counter.packets == sum(self.seen.values()):
            return
        now = report.boot_ns
        skipped = counter.skipped_bytes
        for kind, n in counter.by_type().items():
            new = n - self.seen[kind]
            if new:
                self.clock.count(kind, new, now, lossy=skipped > self.skipped_at[kind])
                self.seen[kind], self.skipped_at[kind] = n, skipped

    def finish(self) -> dict[str, KindStats]:
        """The figures of every kind, once everything held is settled."""
        self.clock.settle()
        return {kind: self.clock.stats(kind) for kind in PACKET_TYPES}


def rate_text(stats: KindStats) -> str:
    """The fitted rate and its drift, as "1000.050 Hz (+50.0 ppm)"."""
    if stats.rate is None:
        return "no fitted rate yet"
    drift = stats.drift_ppm
    return f"{stats.rate:.3f} Hz" + ("" if drift is None else f" ({drift:+.1f} ppm)")


def gaps_text(stats: KindStats) -> str:
    if not stats.gaps:
        return "no gap"
    return f"{stats.gaps} gap{'s' * (stats.gaps != 1)}, {stats.missing} missing"


def fitted_line(figures: dict[str, KindStats]) -> str:
    """One line of the fitted rates and gaps of the kinds that came."""
    parts = [f"{kind} {rate_text(s)}, {gaps_text(s)}" for kind, s in figures.items() if s.packets]
    return "sample clock: " + ("; ".join(parts) if parts else "no packet")
