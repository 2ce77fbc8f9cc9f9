"""Sample times fitted from receive times, against the simulator's truth."""

from __future__ import annotations

import csv
import json
import os
import random
import re
import signal
import subprocess
import warnings
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest
from conftest import CHILD_ENV, HANG_GUARD, run_cli, tool, write_times

from brimlet_tools.sim.links import Link, deliver
from brimlet_tools.sim.simulator import Faults, StreamConfig, simulate
from brimlet_tools.timing.online import SampleClock
from brimlet_tools.timing.stage import ClockStage

np = pytest.importorskip("numpy")
load = pytest.importorskip("brimlet_tools.recordings.recording").load

START_NS = 1_750_000_000_000_000_000
LINE_NS_PER_BYTE = 10_000_000_000 // 921_600
NS_PER_S = 1e9


@dataclass
class Received:
    data: bytes
    reads: list[tuple[int, int]]  # (end, time) of each read
    truth: list[int]  # sample time of each intact frame, ns
    missing: list[int]  # frames of its kind lost just before each intact one
    kinds: list[str]


def receive(config: StreamConfig, seed: int) -> Received:
    """The stream of `config` as a reader on a busy host receives it: each
    frame arrives once its bytes have crossed the line; the reader takes what
    has arrived whenever it is free, mostly within a millisecond, now and
    then after a stall of up to 15 ms."""
    rng = random.Random(seed)
    data, arrivals, truth, missing, kinds = bytearray(), [], [], [], []
    lost = {"raw": 0, "estimated": 0}
    for f in simulate(config):
        sampled = START_NS + round(f.time * 1e9)
        data += f.wire
        arrivals.append((sampled + len(f.wire) * LINE_NS_PER_BYTE, len(data)))
        if f.intact:
            truth.append(sampled)
            missing.append(lost[f.packet_type])
            kinds.append(f.packet_type)
            lost[f.packet_type] = 0
        else:
            lost[f.packet_type] += 1
    reads, free, i = [], START_NS, 0
    while i < len(arrivals):
        now = max(free, arrivals[i][0]) + 20_000 + int(rng.expovariate(1 / 15_000))
        while i < len(arrivals) and arrivals[i][0] <= now:
            i += 1
        reads.append((arrivals[i - 1][1], now))
        busy = rng.expovariate(1 / 1_000_000) if rng.random() > 0.02 else rng.uniform(5e6, 15e6)
        free = now + int(busy)
    return Received(bytes(data), reads, truth, missing, kinds)


CASES = [
    pytest.param(StreamConfig(seconds=6, seed=3), False, id="clean"),
    pytest.param(StreamConfig(seconds=6, seed=4, clock_ppm=50), False, id="crystal 50 ppm fast"),
    pytest.param(StreamConfig(seconds=6, seed=5, faults=Faults(garbage=0.01, drop=0.004, damage=0.004)), False,
                 id="lost and damaged frames"),  # fmt: skip
    pytest.param(StreamConfig(seconds=6, seed=6), True, id="clock stepped back an hour"),
]


@pytest.mark.parametrize(("config", "stepped"), CASES)
def test_sample_times_follow_the_device_clock(config, stepped, recording) -> None:
    got = receive(config, config.seed)
    reads = got.reads
    if stepped:  # the wall clock set back an hour halfway through
        half = len(reads) // 2
        reads = reads[:half] + [(end, t - 3600 * 10**9) for end, t in reads[half:]]
    path = recording(got.data)
    write_times(path, reads, [t for _, t in got.reads])  # the boot clock never steps
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        loaded = load(path)
    assert len(said) == stepped  # a step is said once
    c = loaded.columns
    sample, time = c["sample_time"].view(np.int64), c["time"].view(np.int64)
    assert len(sample) == len(got.truth)
    kinds = np.array(got.kinds)
    for code, kind in enumerate(("raw", "estimated")):
        of_kind = c["kind"] == code
        assert (kinds[of_kind] == kind).all()
        assert (np.diff(sample[of_kind]) > 0).all(), kind
        # The error after taking away one offset: the time a packet took to
        # arrive when it was quickest.
        error = sample[of_kind] - np.array(got.truth)[of_kind]
        error -= int(np.median(error))
        # Through a real pseudo-terminal on a shared machine the device's own
        # pacing wanders: bounds that a miscounted gap (a whole period) or a
        # bent line would break; the tight figures are the benchmark's.
        assert np.percentile(np.abs(error), 99) <= 250_000 and np.abs(error).max() <= 1_000_000, kind
        rate = loaded.fits[kind].rate
        nominal = config.raw_rate if kind == "raw" else config.estimated_rate
        # Within 2 ppm over 60 s: the floor's few microseconds over the span.
        assert rate == pytest.approx(nominal * (1 + config.clock_ppm * 1e-6), rel=2e-6 * 60 / config.seconds), kind
    if not stepped:
        assert (sample <= time).all()
    missing = c["missing_before"]
    truth = np.array(got.missing)
    assert (missing == truth).mean() >= 0.999
    assert missing.any() == truth.any()


STATS_CASES = [
    pytest.param(StreamConfig(seconds=6, seed=4, clock_ppm=50), "received", id="crystal 50 ppm fast"),
    pytest.param(StreamConfig(seconds=6, seed=5, faults=Faults(garbage=0.01, drop=0.004, damage=0.004)), "received",
                 id="lost and damaged frames"),  # fmt: skip
    pytest.param(StreamConfig(seconds=6, seed=6, clock_ppm=-20), "stepped", id="both clocks stepped an hour on"),
    pytest.param(StreamConfig(seconds=6, seed=5, faults=Faults(drop=0.004)), "none", id="no receive times"),
]


@pytest.mark.parametrize(("config", "times"), STATS_CASES)
def test_stats_reports_each_kinds_rate_drift_period_latency_and_gaps(config, times, recording, capsys) -> None:
    from brimlet_tools import cli

    got = receive(config, config.seed)
    path = recording(got.data)
    if times != "none":
        # Stepped: both clocks an hour on halfway, which the times file cannot mend.
        step = [3600 * 10**9 * (i >= len(got.reads) // 2 and times == "stepped") for i in range(len(got.reads))]
        reads = [(end, t + s) for (end, t), s in zip(got.reads, step, strict=True)]
        write_times(path, reads, [t for _, t in reads])
    assert cli.main(["stats", str(path), "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["times"] == ("estimated" if times == "none" else "received")
    # The truth: each packet arrives with the read that completed its frame.
    ends, read_times = np.array([e for e, _ in got.reads]), np.array([t for _, t in got.reads])
    arrived = read_times[np.searchsorted(ends, load(bytes(got.data)).scan.end)]
    kinds, truth, missing = np.array(got.kinds), np.array(got.truth), np.array(got.missing)
    for kind, nominal in (("raw", config.raw_rate), ("estimated", config.estimated_rate)):
        r, of_kind = report["kinds"][kind], kinds == kind
        lost = missing[of_kind]
        assert r["packets"] == of_kind.sum(), kind
        if times == "none":
            assert r["rate_hz"] is r["drift_ppm"] is r["period_s"] is r["latency_s"] is None, kind
            assert r["gaps"]["missing"] >= lost.sum(), kind  # told by the bytes between frames
            continue
        assert r["gaps"] == {"count": (lost > 0).sum(), "missing": lost.sum(), "largest": lost.max()}, kind
        assert r["clock_steps"] == (times == "stepped"), kind
        ppm = 2 * 60 / config.seconds  # as the fitted rate's bound above
        assert r["nominal_hz"] == nominal and r["drift_ppm"] == pytest.approx(config.clock_ppm, abs=ppm), kind
        period = NS_PER_S / nominal / (1 + config.clock_ppm * 1e-6)
        assert r["period_s"]["min"] * NS_PER_S == pytest.approx(period, rel=ppm * 1e-6, abs=2), kind
        assert r["period_s"]["max"] * NS_PER_S == pytest.approx(period * (1 + lost.max()), rel=ppm * 1e-6, abs=2), kind
        latency = arrived[of_kind] - truth[of_kind]
        latency -= latency.min()
        for name, expected in (("median", np.median(latency)), ("p99", np.percentile(latency, 99))):
            assert r["latency_s"][name] * NS_PER_S == pytest.approx(expected, abs=100_000), (kind, name)


# Fed as a parser's packets, or as a live source's batches, which say where
# the line lost bytes.
@pytest.mark.parametrize("batches", [False, True], ids=["packets", "batches"])
@pytest.mark.parametrize(("config", "stepped"), [c for c in CASES if not c.values[1]])
def test_live_sample_times_follow_the_device_clock_after_a_second(config, stepped, batches, recording) -> None:
    got = receive(config, config.seed)
    path = recording(got.data)
    write_times(path, got.reads)
    loaded = load(path)
    c = {**loaded.columns, "skipped": loaded.scan.skipped}
    times, kinds = c["time"].view(np.int64), c["kind"]
    packets = [SimpleNamespace(packet_type=("raw", "estimated")[k], timestamp=t)
               for k, t in zip(kinds.tolist(), times.tolist())]  # fmt: skip
    stage = ClockStage(delay=0.5)
    clock = stage.clock
    out: list = []

    def rows(batch: dict | None) -> list:  # (receive time, sample time, missing before) of settled rows
        if batch is None:
            return []
        t, sample = (batch[name].view(np.int64).tolist() for name in ("time", "sample_time"))
        return list(zip(t, sample, batch["missing_before"].tolist()))

    for start in range(0, len(packets), 5):  # reads of a few packets
        if batches:
            out += rows(stage.push({name: c[name][start : start + 5] for name in ("kind", "time", "skipped", "present")}))
        else:
            out += clock.feed(packets[start : start + 5])
        newest = times[min(start + 5, len(times)) - 1]
        # Held: what came in the last half second, and nothing older.
        assert len(out) == np.searchsorted(times, newest - clock.delay_ns, side="right")
    if batches:
        out += rows(stage.finish())
        assert [t for t, _, _ in out] == times.tolist()
    else:
        out += clock.finish()
        assert [p for p, _, _ in out] == packets
    sample = np.array([s for _, s, _ in out])
    missing = np.array([m for _, _, m in out])
    truth, truly_missing = np.array(got.truth), np.array(got.missing)
    lossy = bool(truly_missing.any())
    assert (sample <= times).all()
    for code, kind in enumerate(("raw", "estimated")):
        of_kind = kinds == code
        assert (np.diff(sample[of_kind]) > 0).all(), kind
        settled = of_kind & (truth >= truth[0] + 10**9)
        error = sample[settled] - truth[settled]
        error -= int(np.median(error))
        # A gap among packets that came late together may be put a few
        # packets early: those few are a period off. Packets alone do not
        # say where the line lost bytes: a gap goes where the floor steps, a
        # few packets from where it was.
        bound = 50_000 if batches or not lossy else 3 * 10**9 // round(config.raw_rate)
        assert np.percentile(np.abs(error), 99) <= bound and (lossy or np.abs(error).max() <= 200_000), kind
        stats = clock.stats(kind)
        nominal = config.raw_rate if kind == "raw" else config.estimated_rate
        # (Packets alone on a lossy line: a gap put a few packets off tilts
        # the rate by a few parts per million more.)
        assert stats.rate == pytest.approx(nominal * (1 + config.clock_ppm * 1e-6),
                                           rel=10e-6 if batches or not lossy else 30e-6), kind
        # Gaps in the last moment have too little after them to be told.
        tail = of_kind & (times > times[-1] - 100_000_000)
        assert stats.missing <= truly_missing[of_kind].sum() <= stats.missing + truly_missing[tail].sum(), kind
        # Where the batches say where bytes were lost, every gap is put there.
        assert (missing[of_kind] == truly_missing[of_kind]).mean() >= (0.999 if batches else 0.99), kind


# --- through a real pseudo-terminal, against the virtual device's truth ----------


def device_truth(path: Path) -> tuple[Any, Any]:
    """The kinds and faults of the frames the virtual device sent, by frame index."""
    with path.open() as f:
        rows = list(csv.DictReader(f))
    return np.array([r["kind"] for r in rows]), np.array([r["fault"] != "" for r in rows])


LOSSY = ("--drop-rate", "0.003", "--damage-rate", "0.003", "--clock-ppm", "50")


def sample_clock_figures(said: str) -> dict[str, tuple[float, float, int]]:
    """The rate, drift and packets missing by kind in `record`'s closing line."""
    line = next(x for x in said.splitlines() if x.startswith("sample clock: "))
    found = re.findall(r"(\w+) ([\d.]+) Hz \(([-+][\d.]+) ppm\), (?:no gap|\d+ gaps?, (\d+) missing)", line)
    return {kind: (float(rate), float(ppm), int(missing or 0)) for kind, rate, ppm, missing in found}


def dumped(path: Path) -> dict[str, Any]:
    """The columns of `dump --sample-times --format csv` that the test reads, as `load` names them."""
    with path.open() as f:
        rows = list(csv.DictReader(f))
    return {"kind": np.array([r["kind"] == "estimated" for r in rows], np.uint8),
            "time": np.array([int(r["time"]) for r in rows], np.int64),
            "sample_time": np.array([int(r["sample_time"]) for r in rows], np.int64),
            "missing_before": np.array([int(r["missing_before"]) for r in rows]),
            **{name: np.array([float(r[name] or "nan") for r in rows]) for name in ("scaled_ambient_pressure", "est_pressure_alt")}}  # fmt: skip


# The recording and its fit (`load`), and the sample times given live.
@pytest.mark.parametrize(("reader", "options"), [("record", ()), ("record", LOSSY), ("dump", LOSSY)],
                         ids=["recorded, clean", "recorded, lost frames, crystal 50 ppm fast", "live, lost frames, crystal 50 ppm fast"])  # fmt: skip
def test_the_virtual_device_sends_what_the_sample_times_say(tmp_path: Path, reader: str, options: tuple[str, ...]) -> None:
    link, output, truth_path = tmp_path / "port", tmp_path / "capture.bin", tmp_path / "truth.csv"
    # The device plays until the reader is done, however long a fresh
    # interpreter takes to start the reader (minutes under emulation).
    device = subprocess.Popen(
        tool("virtual-device", "--counter", "--baudrate", "921600", "--link", str(link),
             "--raw-rate", "250", "--estimated-rate", "50", "--truth", str(truth_path), *options),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
    )  # fmt: skip
    try:
        assert device.stdout is not None and device.stdout.readline().strip() == str(link)
        seconds = 4
        if reader == "record":
            done = run_cli("record", "-p", str(link), "-o", str(output), "-b", "921600", "--seconds", str(seconds))
        else:
            output = output.with_suffix(".csv")
            done = run_cli("dump", "-p", str(link), "-b", "921600", "--seconds", str(seconds), "--sample-times",
                           "-o", str(output))  # fmt: skip
        assert done.returncode == 0, done.stderr
        device.send_signal(signal.SIGINT)
        device.communicate(timeout=HANG_GUARD)
    finally:
        device.kill()
    kinds, faulty = device_truth(truth_path)
    loaded = load(output) if reader == "record" else None
    c = loaded.columns if loaded is not None else dumped(output)
    index = np.where(c["kind"] == 0, c["scaled_ambient_pressure"], c["est_pressure_alt"]).astype(np.int64)
    # Each packet is a frame the device sent whole, of its kind.
    assert (kinds[index] == np.array(("raw", "estimated"))[c["kind"]]).all() and not faulty[index].any()
    online = sample_clock_figures(done.stderr) if loaded is not None else {}
    sample = c["sample_time"].view(np.int64)
    # How close the times come is the benchmark's (and the link model's
    # tests'): a virtual device on a busy machine sends late. What holds on
    # any machine: every frame in order, on one rising axis per kind, and a
    # fitted rate near the device's on both sides of the capture.
    for code, kind in enumerate(("raw", "estimated")):
        of_kind = c["kind"] == code
        frames = index[of_kind]
        assert (np.diff(frames) > 0).all() and (np.diff(sample[of_kind]) > 0).all(), kind
        nominal = 250 if kind == "raw" else 50
        if loaded is not None:
            assert loaded.fits[kind].rate == pytest.approx(nominal, rel=0.05), kind
            assert online[kind][0] == pytest.approx(nominal, rel=0.05), done.stderr


def test_a_window_shorter_than_a_chunk_still_fits() -> None:
    clock = SampleClock(window=0.1)  # a chunk is a quarter second at least
    packets = [SimpleNamespace(packet_type="raw", timestamp=START_NS + k * 1_000_000 + 50_000) for k in range(2000)]
    settled = clock.feed(packets) + clock.finish()
    assert len(settled) == len(packets) and clock.stats("raw").rate == pytest.approx(1000, rel=1e-6)


# --- over the links boards have, against the link model's truth -------------------


LINKED = [
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30), Link("polled"), id="polled UART"),
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30), Link("fifo16"), id="UART FIFO"),
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30), Link("chunk62-1ms"), id="converter, 1 ms timer"),
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30, raw_rate=200, estimated_rate=0),
                 Link("chunk62-16ms"), id="converter, 16 ms timer, 200 Hz"),  # fmt: skip
    pytest.param(StreamConfig(seconds=40, seed=3, clock_ppm=-100, estimated_rate=10), Link("usb1ms"),
                 id="native USB over three wraps of the sample phase"),  # fmt: skip
    pytest.param(StreamConfig(seconds=70, seed=3, clock_ppm=-30, estimated_rate=10), Link("usb1ms"),
                 id="native USB over two wraps, 30 ppm slow"),  # fmt: skip
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30), Link("polled", losses=((3.0, 1), (6.0, 10), (8.0, 1000))),
                 id="line loses 1, 10 and 1000 frames in a stretch"),  # fmt: skip
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30), Link("chunk62-1ms", pauses=((5.0, 1.0),)),
                 id="device sends nothing for 1 s"),  # fmt: skip
    pytest.param(StreamConfig(seconds=12, seed=3, clock_ppm=30), Link("fifo16", pauses=((4.0, 0.0009), (8.0, 0.0099))),
                 id="device skips 1 frame, and 10, no byte lost"),  # fmt: skip
    pytest.param(StreamConfig(seconds=150, seed=3, raw_rate=100, estimated_rate=10), Link("fifo16", warm=(30, 70, 120)),
                 id="crystal warming from 30 to 70 ppm"),  # fmt: skip
]


@pytest.mark.parametrize(("config", "link"), LINKED)
def test_sample_times_hold_on_the_links_boards_have(config: StreamConfig, link: Link, recording) -> None:
    got = deliver(config, link)
    path = recording(got.data)
    write_times(path, got.reads)  # the boot clock beside: no silence is a clock step
    loaded = load(path)
    c = loaded.columns
    sample, time = c["sample_time"].view(np.int64), c["time"].view(np.int64)
    truth, truly_missing, kinds = np.array(got.truth), np.array(got.missing), np.array(got.kinds)
    assert len(sample) == len(truth) and (sample <= time).all()
    for code, kind in enumerate(("raw", "estimated")):
        of_kind = c["kind"] == code
        if not of_kind.any():
            continue
        assert (kinds[of_kind] == kind).all() and (np.diff(sample[of_kind]) > 0).all(), kind
        error = sample[of_kind] - truth[of_kind]
        error = np.abs(error - int(np.median(error)))[truth[of_kind] >= truth[0] + 10**9]
        # The model is the same on any machine: a packet put a period off, or
        # a line bent by a warming crystal, breaks these bounds many times over.
        assert np.percentile(error, 99) <= 50_000 and error.max() <= 250_000, kind
        said, truly = c["missing_before"][of_kind], truly_missing[of_kind]
        assert (said == truly).mean() >= 0.999 and said.sum() == truly.sum(), kind
        assert loaded.fits[kind].clock_steps == 0 and not loaded.fits[kind].phase_hidden, kind


@pytest.mark.parametrize("link", [
    # A step of the floor read twice once hid every skip after it.
    pytest.param(Link("polled", skip_every=97, seed=8), id="polled UART"),
    # The converter's chunks take a new phase now and then: the floor tells
    # no skip, the estimated kind's count of raw packets does.
    pytest.param(Link("chunk62-1ms", skip_every=97, seed=2), id="converter, 1 ms timer"),
])  # fmt: skip
def test_a_device_skipping_now_and_then_has_every_skip_counted(link: Link, recording) -> None:
    # A minute of a device that skips one frame in 97, no byte lost.
    got = deliver(StreamConfig(seconds=60, seed=3, clock_ppm=30), link)
    path = recording(got.data)
    write_times(path, got.reads)
    loaded = load(path)
    c = loaded.columns
    raw = c["kind"] == 0
    assert c["missing_before"][raw].sum() == np.array(got.missing)[raw].sum()
    assert loaded.fits["raw"].rate == pytest.approx(1000 * (1 + 30e-6), rel=1e-7)
    error = (c["sample_time"].view(np.int64) - np.array(got.truth))[raw]
    error = np.abs(error - int(np.median(error)))
    # Packets read a period late just before a skip may be a period off,
    # no more; all but those stay on the line.
    assert error.max() <= 1_050_000 and np.percentile(error, 98) <= 50_000


@pytest.mark.parametrize(("config", "link", "hidden"), [
    (StreamConfig(seconds=20, seed=3, clock_ppm=-30, estimated_rate=10), Link("usb1ms"), True),
    (StreamConfig(seconds=5, seed=3, clock_ppm=-30), Link("polled"), False),
], ids=["USB frames, less than a wrap", "polled UART"])  # fmt: skip
def test_stats_says_when_the_link_hides_the_sample_phase(config, link, hidden, recording, capsys) -> None:
    from brimlet_tools import cli

    got = deliver(config, link)
    path = recording(got.data)
    write_times(path, got.reads)
    assert cli.main(["stats", str(path)]) == 0
    assert capsys.readouterr().out.count("the link hides the sample phase") == 2 * hidden


# --- the times file beside a recording ---------------------------------------------


@pytest.mark.parametrize("what", ["a pipe", "a character device"])
def test_a_times_file_that_is_not_a_file_is_refused_without_reading_it(what: str, recording) -> None:
    got = receive(StreamConfig(seconds=1, seed=3), 3)
    path = recording(got.data)
    times = Path(f"{path}.times")
    if what == "a pipe":
        os.mkfifo(times)  # no writer: reading it would wait for ever
    else:
        times.symlink_to("/dev/zero")  # reading it whole would never end
    with pytest.raises(OSError, match="it is not a regular file") as raised:
        load(path)
    assert raised.value.filename == str(times)


# How a times file comes not to cover its recording: (what is done to the
# file's bytes or the recording's, the warning).
UNCOVERED = {
    "cut short": (lambda times, data: (times[: 16 + (len(times) - 16) // 64 * 32], data), "covers the recording's first"),
    "a flipped bit in an end": (lambda times, data: (flip(times, 16 + 40 * 32 + 6), data), "1 damaged entry left out"),
    # Read 48 bytes at a time, every third entry stands whole; the others do not fit.
    "a flipped bit in a time": (lambda times, data: (flip(times, 16 + 40 * 32 + 8 + 5), data), "1 damaged entry mended"),
    "an entry size of 48": (lambda times, data: (times[:10] + bytes([48]) + times[11:], data), "entries left out"),
    "recording cut short": (lambda times, data: (times, data[: len(data) * 2 // 3]), "run past the recording's end"),
}


def flip(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 0x80]) + data[at + 1 :]


@pytest.mark.parametrize("case", UNCOVERED)
def test_a_times_file_that_does_not_cover_its_recording_is_said_once_and_the_axis_stays_true(case, recording) -> None:
    got = receive(StreamConfig(seconds=3, seed=3), 3)
    mend, warning = UNCOVERED[case]
    whole = recording(got.data)
    write_times(whole, got.reads)
    times, data = mend(Path(f"{whole}.times").read_bytes(), got.data)
    path = recording(data)
    Path(f"{path}.times").write_bytes(times)
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        loaded = load(path)
    assert [warning in str(w.message) for w in said] == [True], [str(w.message) for w in said]
    c = loaded.columns
    time, sample = c["time"].view(np.int64), c["sample_time"].view(np.int64)
    truth = np.array(got.truth)[: len(time)]
    assert not loaded.times_estimated and (np.diff(time) >= 0).all()
    # No stretch of packets shares one receive time, as they would if the
    # last entry's time stood for every packet after it.
    assert np.diff(np.flatnonzero(np.diff(time, prepend=0, append=time[-1] + 1))).max() <= 100
    for code in (0, 1):
        of_kind = c["kind"] == code
        assert (np.diff(sample[of_kind]) > 0).all()
        error = sample[of_kind] - truth[of_kind]
        # Fitted where covered, estimated on at the fitted rate after: a period
        # off anywhere, or a rate far off, breaks this.
        assert np.abs(error - np.median(error)).max() <= 250_000
