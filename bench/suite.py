"""The benchmark suite behind `make bench`: the module against the ways a user
could do without it, on this machine, in one run.

Runs, each in a process of its own: the native frame scanner and the native
engine (Google Benchmark programs), the replay of a 100 MB recording
(`replay_bench.py`), exports of a 600 s recording (`export_bench.py`), the
live path on a virtual device at 921600 baud (`live_bench.py`, for each
reader), a 1 ms asyncio ticker beside it (`tick_bench.py`), `brimlet serve`
with eight clients (`serve_load_bench.py`), memory (`memory_bench.py`), the
cost of packet objects (`packet_cost_bench.py`), what the sample-time fit
adds to `load` (`load_fit_bench.py`) and the sample times against the virtual
device's truth over 60 s (`sample_time_bench.py`) and how late `brimlet
record` stamps its reads (`record_delay_bench.py`). Each step notes how much
of the machine other programs took while it ran; where that was too much,
its section says so. Prints the tables and writes them as Markdown.

    python bench/suite.py [--build build/bench] [--markdown docs/benchmarks.md] [--quick]
    python bench/suite.py --only ticks,serve --markdown docs/benchmarks.md
    python bench/suite.py --from-json build/bench/benchmarks.json --markdown docs/benchmarks.md
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from pathlib import Path
from typing import Any

import common

import brimlet

HERE = Path(__file__).resolve().parent

# Targets on this machine.
REPLAY_RATIO = 50.0
REPLAY_RATE = 2e6
LATENCY_P99_US = 1000.0
CPU_PERCENT = 5.0
QUEUED_BYTES = 300.0
COLUMNS_RATE = 5e6
COLUMNS_OVER_ARRAYS = 30.0
RECORD_BYTES = 128
ENGINE_RATE = 10e6
BLOCKING_RATE = 5e6
BLOCKING_RATIO = 40.0
TICK_LATE_MS = 2.0
LOAD_FIT_ADDS = 0.15
SAMPLE_P99_US = 50.0
SAMPLE_MAX_US = 200.0
RATE_PPM = 2.0
MISSING_RIGHT = 0.999


def note(text: str) -> None:
    print(f"suite: {text}", file=sys.stderr, flush=True)


def python_step(script: str, *args: str) -> dict[str, Any]:
    """Runs a benchmark script of this directory with --json; its results."""
    note(f"{script} {' '.join(args)}")
    out = subprocess.run([sys.executable, str(HERE / script), *args, "--json"], check=True,
                         stdout=subprocess.PIPE, text=True, env=common.child_env()).stdout  # fmt: skip
    result: dict[str, Any] = json.loads(out.strip().splitlines()[-1])
    return result


def google_benchmark(program: Path, *args: str, as_user: bool = False) -> dict[str, dict[str, Any]]:
    """Runs a Google Benchmark program; its results by benchmark name."""
    note(f"{program.name} {' '.join(args)}")
    command = [str(program), "--benchmark_format=json", *args]
    if as_user:
        # Like the tests: the serial line's exclusive mode does not bind root.
        command = [str(common.ROOT / "tools" / "as_user.sh"), *command]
    out = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


def scanner_rate(build: Path, repeat: int) -> float:
    """Frames per second of the native scanner alone, best of `repeat`."""
    runs = google_benchmark(build / "scan_frames_bench", "--benchmark_filter=BM_ScanFrames",
                            f"--benchmark_repetitions={repeat}")  # fmt: skip
    return max(float(b["frames/s"]) for b in runs.values() if b.get("run_type") == "iteration")


# --- the tables -----------------------------------------------------------------


def rate(x: float) -> str:
    return f"{x / 1e6:.2f} M" if x >= 1e6 else f"{x / 1e3:.0f} k"


def yes(ok: bool) -> str:
    return "met" if ok else "**missed**"


def lost_of(run: dict[str, Any]) -> str:
    """Packets lost or out of order in a live run, of those sent meanwhile."""
    return f"{run['lost'] + run['out_of_order']} of {run['lost'] + run['received']}"


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines


def report(r: dict[str, Any]) -> list[str]:
    """The whole document."""
    env = r["environment"]
    out = [
        "# Benchmarks",
        "",
        f"Measured {env['date']} on {env['cpu']} ({env['cores']} cores, load average {env['load']} at the start), "
        f"Linux {env['kernel']}, Python {env['python']}, brimlet {env['version']}. The machine is shared and its "
        "numbers are noisy: every figure is the best of several runs (see `bench/README.md`). Made by `make bench`.",
    ]
    for keys, section in SECTIONS:
        if all(key in r for key in keys):
            lines = section(r)
            out += [""] + lines[:2] + busy_note(r, keys) + lines[2:]
    return out


def busy_note(r: dict[str, Any], keys: tuple[str, ...]) -> list[str]:
    """A warning where other programs took too much of the machine while
    the results `keys` were measured."""
    shares = [r["machine"][key]["others_share"] for key in keys
              if r.get("machine", {}).get(key, {}).get("too_busy")]  # fmt: skip
    if not shares:
        return []
    return [f"**Too busy to measure:** other programs took {100 * max(shares):.0f}% of the machine while this "
            f"was measured (over the {100 * common.BUSY_SHARE:.0f}% allowed): the figures below say as much about "
            "the machine as about the code.", ""]  # fmt: skip


def machine_section(r: dict[str, Any]) -> list[str]:
    out = ["## How busy the machine was", "",
           "For each step, the processor time that programs other than the benchmarks took, as a share of the "
           "machine's cores over the step's wall time (`/proc/stat` less the suite's own processes).", ""]  # fmt: skip
    rows = [[key, f"{m['seconds']:.0f}", f"{100 * m['others_share']:.0f}%",
             "**too busy to measure**" if m["too_busy"] else "quiet enough"]
            for key, m in r["machine"].items()]  # fmt: skip
    return out + table(["results", "seconds", "other programs' share", ""], rows)


def record_delay_section(r: dict[str, Any]) -> list[str]:
    d = r["record_delay"]
    out = [f"## `brimlet record`'s receive times: {d['seconds']:.0f} s through a pseudo-terminal", "",
           f"The simulated device's frames (100 raw + 20 estimated per second, {d['packets']} packets) written at "
           "their pace while `brimlet record` takes the line down; the delay from each frame's write to the "
           "receive time its packet has in the recording (`record_delay_bench.py`). The tests check only that "
           "each receive time falls between its frame's write and its bytes reaching the file.", ""]  # fmt: skip
    return out + table(["median, ms", "75th percentile, ms", "99th percentile, ms", "largest, ms"],
                       [[f"{d['median_ms']:.2f}", f"{d['p75_ms']:.2f}", f"{d['p99_ms']:.2f}", f"{d['max_ms']:.1f}"]])


def replay_section(r: dict[str, Any]) -> list[str]:
    replay, scanner, engine = r["replay"], r["scanner_frames_per_second"], r["engine"]
    module = replay["module_while_running"]["packets_per_second"]
    out = [
        f"## Replay throughput: {replay['bytes'] / 1e6:.0f} MB recording, {replay['packets']} packets",
        "",
        "Ratio: packets per second of the row over those of the first row. Packets per call: of "
        "`get_data_packets()` (of `feed` for the baseline) in the best run.",
        "",
    ]
    def row(name: str, key: str) -> tuple[str, float, str]:
        result = replay[key]
        return name, result["packets_per_second"], f"{result['packets_per_call']:.0f}"

    rows = [
        row("module: `MockParser` into `IMUPacket` objects, drained while it runs (the replay tool's loop: "
            "sleeps 2 ms after an empty call)", "module_while_running"),
        row("module: the same, drained in a busy loop that never sleeps", "module_busy_loop"),
        row("module: the README's loop, `get_data_packets(block=True)` until every packet is in hand",
            "module_blocking"),
        row("module: the same, drained once after the run", "module_after_run"),
        row("module: the replay tool's loop, every property of every packet read", "module_while_running_properties"),
        row("pure-Python baseline: `struct` decoder into dicts, file read in 64 KiB pieces", "baseline"),
        ("native scanner alone (C++, records in a vector, no Python)", scanner, ""),
        ("native engine alone (C++, reader thread and channel, drained while it runs)", engine["while_running"], ""),
        ("native engine alone (C++, drained after the run)", engine["after_run"], ""),
    ]  # fmt: skip
    out += table(["path", "packets/s", "ns/packet", "ratio", "packets per call"],
                 [[name, rate(x), f"{1e9 / x:.0f}", f"{x / module:.3g}", per_call]
                  for name, x, per_call in rows])  # fmt: skip
    if "user_ns" in engine:
        out += ["", f"Processor time of the native engine drained while it runs, both threads: "
                f"{engine['user_ns']:.0f} ns user and {engine['system_ns']:.0f} ns system per packet."]  # fmt: skip
    return out


def columns_section(r: dict[str, Any]) -> list[str]:
    columns, base = r["columns"], r["replay"]["baseline"]["packets_per_second"]
    arrays = columns["arrays"]["packets_per_second"]
    rows = [
        ("`brimlet_tools.load`: native columnar decoder into numpy columns", columns["load"]["packets_per_second"]),
        ("the same, on to a pandas DataFrame (`to_dataframe`)", columns["dataframe"]["packets_per_second"]),
        ("`arrays_baseline.field_arrays` over the replayed packets", arrays),
        ("pure-Python baseline: `struct` decoder into dicts (as above)", base),
    ]
    out = [f"## Whole recording into columns: the same {columns['bytes'] / 1e6:.0f} MB recording, warm", "",
           "Ratios: packets per second of the row over those of the `arrays` path and of the pure-Python baseline.",
           ""]  # fmt: skip
    return out + table(["path", "packets/s", "ns/packet", "× arrays", "× baseline"],
                       [[name, rate(x), f"{1e9 / x:.0f}", f"{x / arrays:.3g}", f"{x / base:.3g}"]
                        for name, x in rows])  # fmt: skip


def load_fit_section(r: dict[str, Any]) -> list[str]:
    f = r["load_fit"]
    out = [f"## Sample times in `load`: a {f['bytes'] / 1e6:.0f} MB recording with receive times, warm", "",
           "The replay recording with made-up receive times beside it (reads of 40 to 200 bytes at the line's "
           "pace, each late by a wandering delay; `load_fit_bench.py`), loaded as it is and with the fit left out "
           "(what `load` did before it fitted sample times), in alternating runs.", ""]  # fmt: skip
    rows = [[name, rate(f[key]["packets_per_second"]), f"{1e9 / f[key]['packets_per_second']:.0f}"]
            for name, key in (("`load`, sample times fitted", "fitted"), ("`load` without the fit", "unfitted"))]
    return out + table(["path", "packets/s", "ns/packet"], rows) + [
        "", f"The fit adds {100 * (f['ratio'] - 1):.1f}% to `load`."]


def sample_times_section(r: dict[str, Any]) -> list[str]:
    s = r["sample_times"]
    out = [f"## Sample times against the truth: {s['seconds']:.0f} s through a pseudo-terminal", "",
           f"The virtual device at 921600 baud, 1000 raw + 100 estimated packets/s, its crystal "
           f"{s['clock_ppm']:g} ppm fast, {100 * s['fault_rate']:g}% of its frames dropped and as many damaged, "
           f"writes each frame's sample time beside its stream; `brimlet record` takes it down with "
           f"{s['burners']} CPU burner{'' if s['burners'] == 1 else 's'} (a busy loop) beside it, and `load` fits the sample times (`sample_time_bench.py`). "
           "Errors after taking away one constant offset per kind, in µs.", ""]  # fmt: skip
    if s["device_fell_behind"]:
        out += [f"**Not valid:** the virtual device fell behind (its frames went out "
                f"{s['device_late_p99_ms']:.1f} ms late at the 99th percentile, over the 2 ms allowed: it was starved, "
                "or the pseudo-terminal was full because nobody read): the figures below measure that, not the fit.",
                ""]  # fmt: skip
    else:
        out += [f"The device sent its frames within {s['device_late_p99_ms']:.2f} ms of their sample times at the "
                f"99th percentile (largest {s['device_late_max_ms']:.1f} ms).", ""]  # fmt: skip
    rows = [[kind, f"{k['sample_time_us']['p99']:.1f}", f"{k['sample_time_us']['max']:.1f}",
             f"{k['receive_time_us']['p99']:.1f}", f"{k['receive_time_us']['max']:.1f}",
             f"{k['rate_error_ppm']:+.2f}", f"{k['counted']} of {k['lost']}", str(k["false_gaps"]),
             f"{100 * k['missing_right']:.2f}%"]
            for kind, k in ((kind, s[kind]) for kind in ("raw", "estimated"))]  # fmt: skip
    out += table(["kind", "sample_time p99", "sample_time max", "receive time p99", "receive time max",
                  "fitted rate − crystal's, ppm", "lost packets counted", "false gaps",
                  "`missing_before` right"], rows)  # fmt: skip
    return out + sample_time_links_section(r)


def sample_time_links_section(r: dict[str, Any]) -> list[str]:
    links = r.get("sample_time_links")
    if not links:
        return []
    out = ["", "### Over the links boards have: the link model", "",
           f"`sample_time_bench.py --links --minutes {links['minutes']:g}`: the simulated device (1000 raw + 100 "
           "estimated packets/s unless said, its crystal 30 ppm fast) through the link model "
           "(`brimlet_tools.sim.links`), the same on any machine; the receive times written as `record` writes them, "
           "with the boot clock. Per kind, p99 / max of the error after one constant offset, packets after the first "
           "second, in µs: `load`; a plain reference (the lower hull of each 60 s window of the device's own frame "
           "index and the receive time); the receive time alone; the live clock (the clock stage, fed read by read as "
           "a live source's batches with the boot clock beside, half a second behind); for recordings of three "
           "minutes or more, the live clock also after the first 90 s (a link on the USB frames hides the sample "
           "phase until the live window holds its wraps, 33 s apart at 30 ppm). Lost: frames that never arrived, "
           "and those counted by `load` and by the live clock; where the two differ, the packets whose counts "
           "differ; \"1 live\": the clock step the live clock counted where the wall clock was set on an hour "
           "(`load`, told by the boot clock in the times file, keeps one axis across it, without a step). Where the "
           "device skips 1 frame in 97, a frame sent after a skipped one goes out without waiting behind it, so the "
           "floor of the receive times moves with the skips: about 0.85% of raw packets are a period off, live as in "
           "`load`, each read a period or more late just before a skip, so that its receive time cannot tell which "
           "side of the skip it lies (0.15% in a read that came before the skipped frame would have; the rest of "
           "the raw kind is within 20 µs live). Taken for one after the skip, "
           "such a packet lies under the floor there: the line never rests on it. An estimated packet there reaches "
           "its floor only where the raw frame before it was skipped, so in the live clock's first seconds a window "
           "is tilted by the few that did; it then takes the raw kind's slope (the same crystal's) times ten, as it "
           "does wherever its own strays from that by more than 25 ppm. Over the 1 ms converter one read in the "
           "minute came 4 µs after its transfer, where every other came 20 µs or more after one: the line is lifted "
           "over such a lone quick read, and its packet keeps its receive time (the raw kind's max; the 500 + 50 Hz "
           "row's estimated kind has one too). Over that converter with the device skipping 1 frame in 97, the "
           "chunks take a new phase now and then, so the floor of the receive times tells no skip: the estimated "
           "kind's count of raw packets between two of its own tells them (every one counted, live as in `load`); "
           "about 1% of raw packets are a period off, each read most of a period late just before a skip, which "
           "puts the p99 there. Its estimated kind seldom reaches its floor on that link: the reference is as far "
           "off.", ""]  # fmt: skip

    def figures(k: dict[str, Any], f: str) -> str:
        return f"{k[f]['p99']:.1f} / {k[f]['max']:.1f}"

    rows = []
    for name, row in links["links"].items():
        for kind, k in row.items():
            live = figures(k, "live_us")
            if k.get("live_settled_us") is not None:
                live += f" (after 90 s: {figures(k, 'live_settled_us')})"
            lost = f"{k['lost']}: {k['counted']}, {k['live_counted']}"
            if k["live_differs"]:
                lost += f" ({k['live_differs']} packets' counts differ)"
            if k["live_clock_steps"]:
                lost += f", {k['live_clock_steps']} live"
            rows.append([name, kind, *(figures(k, f) for f in ("load_us", "reference_us", "receive_time_us")), live,
                         lost])  # fmt: skip
    return out + table(["what happened on the line", "kind", "`load`", "reference", "receive time", "live",
                        "lost: counted by `load`, live"], rows)  # fmt: skip


ONLINE_READERS = {"dump": "`dump --port ... --sample-times`", "live-source": "`live(port)` batches"}


def online_runs(r: dict[str, Any]) -> list[tuple[str, dict[str, Any]]]:
    return [(name, r["online"][f"live_{reader}"]) for reader, name in ONLINE_READERS.items()
            if f"live_{reader}" in r["online"]]  # fmt: skip


def online_section(r: dict[str, Any]) -> list[str]:
    runs, cost = online_runs(r), r["online"]["cost_us_per_packet"]
    first = runs[0][1]
    out = [f"## The live sample clock: {first['seconds']:.0f} s through a pseudo-terminal", "",
           "The same virtual device, crystal and faults as above, with "
           f"{first['burners']} CPU burner{'' if first['burners'] == 1 else 's'} beside it, read in turn by "
           "`brimlet dump --port ... --sample-times` and by `live(port)` batches through the clock's "
           "`feed_columns` (as `serve` stamps its messages); each packet gets its sample time as it comes, half a "
           "second after it (`online_bench.py`). Errors after the clock's first second, after one constant offset "
           "per kind, in µs. Both read through a live source, whose batches say before which packet the line lost "
           "bytes, and read on for the clock's delay after the end, so that gaps among the last packets are told. "
           "A packet counted right has as many packets missing before it as were lost; where a gap is put a "
           "packet early or late, the packets between are a period off, so the largest error over the packets "
           "counted right stands beside the largest over all.", ""]  # fmt: skip
    for name, o in runs:
        if o["device_fell_behind"]:
            out += [f"**Not valid ({name}):** the virtual device fell behind (its frames went out "
                    f"{o['device_late_p99_us'] / 1e3:.1f} ms late at the 99th percentile, over the 2 ms allowed).", ""]  # fmt: skip
    rows = [[name, kind, f"{k['sample_time_us']['p99']:.1f}", f"{k['sample_time_us']['max']:.1f}",
             f"{100 * k['counted_right']:.2f}%", f"{k['counted_right_us']['max']:.1f}",
             f"{k['receive_time_us']['p99']:.1f}", f"{k['receive_time_us']['max']:.1f}", f"{k['missing']} of {k['lost']}"]
            for name, o in runs for kind, k in ((kind, o[kind]) for kind in ("raw", "estimated"))]  # fmt: skip
    return out + table(["read by", "kind", "sample_time p99", "sample_time max", "packets counted right", "their max",
                        "receive time p99", "receive time max", "lost packets counted"], rows) + [
        "", f"The clock costs {cost['feed']:.2f} µs a packet fed one by one, {cost['feed_columns']:.2f} µs in "
        f"column batches and {cost['count']:.2f} µs counted (a minute of reads, best of three)."]  # fmt: skip


def export_section(r: dict[str, Any]) -> list[str]:
    e = r["export"]
    old = e["old_csv"]
    out = [f"## Exports: a {e['seconds_recorded']:.0f} s recording ({e['bytes'] / 1e6:.1f} MB, {e['packets']} packets)",
           "", f"Loading it into columns took {e['load_seconds']:.2f} s, not counted below. Ratios: of the CSV "
           "that `dump` wrote before (every value as the digits of its double-precision widening).", ""]  # fmt: skip
    rows = [[name, f"{x['seconds']:.2f}", f"{x['bytes'] / 1e6:.1f}", f"{x['seconds'] / old['seconds']:.2f}",
             f"{x['bytes'] / old['bytes']:.2f}"] for name, x in e["formats"].items()]  # fmt: skip
    rows.append(["CSV as `dump` wrote it before", f"{old['seconds']:.2f}", f"{old['bytes'] / 1e6:.1f}", "1", "1"])
    return out + table(["output", "seconds", "MB", "× seconds", "× bytes"], rows)


def live_section(r: dict[str, Any]) -> list[str]:
    live = r["live"]
    readers = [name for name in LIVE_READERS if name in live]
    runs = [live[name] for name in readers]
    m = live["module"]

    def each(text: Any, only_latency: bool = False) -> list[str]:
        """A row's cells, one per reader; empty where the reader has no such
        run, or (but in the first row) failed."""
        return ["" if only_latency and "latency" not in x or "failed" in x else text(x) for x in runs]

    out = ["## Live path: virtual device on a pseudo-terminal at 921600 baud, 1000 raw + 100 estimated packets/s", "",
           "Each run of a reader in a process of its own. The live source hands "
           "out batches of columns (`brimlet_tools.live.stream.live`, from `brimlet_columns.LiveSource`); "
           "its consumer takes every value of every column into Python. `dump` and `serve` read the port in a "
           "process of their own: their CPU is that process's; `dump` writes JSON lines into a pipe that the bench "
           "reads, `serve` sends to one WebSocket client in the bench. Three rounds of load runs, the readers "
           "taking turns in each; a reader's CPU is its run of median CPU per packet.", ""]  # fmt: skip
    rows_live = [
        ["packets per second", *(f"failed: {x['failed'][-200:]}" if "failed" in x else
                                 f"{x['load']['packets_per_second']:.0f}" for x in runs)],
        ["CPU, % of one core", *each(lambda x: f"{x['load']['cpu_percent']:.2f}")],
        ["CPU per packet, µs", *each(lambda x: f"{x['load']['cpu_us_per_packet']:.1f}")],
        ["CPU per packet of each load run, µs",
         *each(lambda x: ", ".join(f"{v:.1f}" for v in x["load"].get("runs_cpu_us_per_packet", [])))],
        ["of that CPU, the Python thread's share, % of one core",
         *each(lambda x: "" if x["load"]["main_thread_cpu_percent"] is None else
               f"{x['load']['main_thread_cpu_percent']:.2f}")],
        ["packets lost or out of order (load runs)", *each(lambda x: ", ".join(map(str, x["load"]["runs_lost"])))],
        [f"packets lost with a consumer busy {m['busy']['busy_seconds'] * 1000:.0f} ms after each second "
         f"({m['busy']['seconds']:.0f} s)", *each(lambda x: lost_of(x["busy"]))],
        ["packets lost or out of order (latency runs)",
         *each(lambda x: ", ".join(map(str, x["latency"]["runs_lost"])), True)],
        ["latency write → Python, median, µs", *each(lambda x: f"{x['latency']['p50_us']:.0f}", True)],
        ["latency write → Python, 99th percentile, µs", *each(lambda x: f"{x['latency']['p99_us']:.0f}", True)],
        ["latency write → Python, largest, µs", *each(lambda x: f"{x['latency']['max_us']:.0f}", True)],
        ["99th percentile of each latency run, µs",
         *each(lambda x: ", ".join(f"{v:.0f}" for v in x["latency"]["runs_p99_us"]), True)],
        ["latency write → decoded (packet timestamp), median / 99th percentile, µs",
         *each(lambda x: f"{x['latency']['decode_p50_us']:.0f} / {x['latency']['decode_p99_us']:.0f}"
               if "decode_p50_us" in x.get("latency", {}) else "")],
    ]  # fmt: skip
    if "engine" in r:
        engine = r["engine"]
        rows_live.append(["native engine alone: write → `collect_packets`, median / 99th percentile, µs",
                          f"{engine['pty_p50_us']:.0f} / {engine['pty_p99_us']:.0f}", *([""] * (len(runs) - 1))])
    return out + table(["", *(LIVE_READERS[name] for name in readers)], rows_live)


def ticks_section(r: dict[str, Any]) -> list[str]:
    ticks = r["ticks"]
    out = ["## No frozen threads: a 1 ms asyncio ticker while packets stream in", "",
           "An asyncio coroutine sleeps 1 ms in a loop and notes how late each tick wakes, while the virtual "
           "device streams 1000 + 100 packets/s at 921600 baud (`tick_bench.py`). *Ticker alone*: the device runs "
           "and nobody reads it: the delays the machine and the event loop cause by themselves. The median "
           "includes the event loop's own rounding of its waits to whole milliseconds when other events wake it.",
           ""]  # fmt: skip
    rows = [[TICK_MODES[mode], str(x["ticks"]), str(x["packets"]), f"{x['median_ms']:.2f}", f"{x['p99_ms']:.2f}",
             f"{x['p999_ms']:.2f}", f"{x['max_ms']:.1f}", str(x["late_2ms"])]
            for mode, x in ticks.items()]  # fmt: skip
    return out + table(["program", "ticks", "packets", "median delay, ms", "p99, ms", "p99.9, ms", "largest, ms",
                        "ticks > 2 ms late"], rows)  # fmt: skip


def serve_section(r: dict[str, Any]) -> list[str]:
    s = r["serve"]
    readers = s["readers"]
    rss = s["rss_kib"]
    out = [f"## `brimlet serve` under load: {len(readers) + 1} clients, one of which never reads", "",
           f"`serve -p` on the virtual device (1000 + 100 packets/s, 921600 baud) for {s['seconds']:.0f} s "
           "(`serve_load_bench.py`); at the same time `brimlet record` takes down a second virtual device. "
           "The stalled client subscribes to every channel and then never reads, with a 4 KiB receive buffer.",
           ""]  # fmt: skip
    rows = [
        ["messages received by each reading client",
         f"{min(c['messages'] for c in readers)} to {max(c['messages'] for c in readers)}"],
        ["raw packets missing in the reading clients' pressure messages", ", ".join(str(c["lost"]) for c in readers)],
        ["messages dropped for the stalled client (health channel)", str(s["stalled_dropped"])],
        ["server resident memory: first second / largest / last, MiB",
         f"{rss[0] / 1024:.1f} / {max(rss) / 1024:.1f} / {rss[-1] / 1024:.1f}"],
        ["packets recorded by `brimlet record` meanwhile / missing", f"{s['record']['packets']} / {s['record']['lost']}"],
    ]  # fmt: skip
    return out + table(["", ""], rows)


def memory_section(r: dict[str, Any]) -> list[str]:
    mem, engine, size = r["memory"], r["engine"], r["replay"]["bytes"] / 1e6
    q, w, bl = mem["queued"], mem["while-running"], mem["baseline"]
    return ["## Memory", ""] + table(["", "bytes"], [
        ["packet record (what the channel holds per packet)", f"{engine['record_bytes']:.0f}"],
        ["resident memory per queued packet (not drained)", f"{q['queued_bytes_per_packet']:.0f}"],
        ["native engine alone: resident memory per queued packet", f"{engine['queued_bytes']:.0f}"],
        ["resident memory per packet object (`IMUPacket` in a list), made from the queue",
         f"{(q['held_rss'] - q['dropped_rss']) / q['packets']:.0f}"],
        ["resident memory per packet held as a baseline dict in a list", f"{bl['held_bytes_per_packet']:.0f}"],
        [f"peak resident memory, {size:.0f} MB replay drained while it runs (largest of "
         f"{len(w['runs_peak_rss'])} runs)",
         f"{w['peak_rss'] / 2**20:.0f} MiB (runs: {', '.join(f'{x / 2**20:.0f}' for x in w['runs_peak_rss'])} MiB; "
         f"interpreter at start: {w['start_rss'] / 2**20:.0f} MiB)"],
        [f"peak resident memory, {size:.0f} MB replay queued whole, then drained",
         f"{q['peak_rss'] / 2**20:.0f} MiB (interpreter at start: {q['start_rss'] / 2**20:.0f} MiB)"],
        ["resident memory after that replay's packets were drained and dropped",
         f"{q['dropped_rss'] / 2**20:.0f} MiB (interpreter at start: {q['start_rss'] / 2**20:.0f} MiB)"],
    ])  # fmt: skip


def packet_cost_section(r: dict[str, Any]) -> list[str]:
    cost_rows = []
    for c in r["packet_cost"]["batches"]:
        for mode, text in (("recycled", "each batch dropped before the next"), ("kept", "every batch kept alive")):
            cost_rows.append([str(c["batch"]), text, f"{c[mode]['build_ns']:.0f}", f"{c[mode]['read_ns']:.0f}"])
    header = ["batch", "batches", "build the batch's objects", "read all 15 properties"]
    return ["## Packet objects: nanoseconds per packet", ""] + table(header, cost_rows)


def targets_section(r: dict[str, Any]) -> list[str]:
    """The targets whose results are there."""
    targets = [row for keys, rows in TARGETS if all(key in r for key in keys) for row in rows(r)]
    out = ["## Targets", ""] + table(["target", "measured", ""], targets)
    busy = [key for key, m in r.get("machine", {}).items() if m["too_busy"]]
    if busy:
        out += ["", f"Measured while the machine was too busy (see above), a target met or missed there says little: "
                f"{', '.join(busy)}."]  # fmt: skip
    if all(key in r for key in TARGETS[0][0]):
        base, scanner = r["replay"]["baseline"]["packets_per_second"], r["scanner_frames_per_second"]
        needed = REPLAY_RATIO * base
        out += ["", f"50× the baseline would be {rate(needed)} packets/s, {1e9 / needed:.0f} ns per packet from "
                f"file to Python object. The native scanner alone, with no thread hand-over and no Python, "
                f"delivers {rate(scanner)} packets/s ({1e9 / scanner:.0f} ns per packet, "
                f"{scanner / base:.0f}× the baseline)."]  # fmt: skip
    return out


def module_targets(r: dict[str, Any]) -> list[list[str]]:
    replay, m = r["replay"], r["live"]["module"]
    q = r["memory"]["queued"]
    module = replay["module_while_running"]["packets_per_second"]
    busy = replay["module_busy_loop"]["packets_per_second"]
    blocking = replay["module_blocking"]["packets_per_second"]
    engine = r["engine"]
    after = replay["module_after_run"]["packets_per_second"]
    base = replay["baseline"]["packets_per_second"]
    best_lat = m["latency"]["p99_us"]
    columns = r["columns"]["load"]["packets_per_second"]
    arrays = r["columns"]["arrays"]["packets_per_second"]
    lost = sum(m["load"]["runs_lost"]) + sum(m["latency"]["runs_lost"]) + m["busy"]["lost"]
    lost += m["busy"]["out_of_order"]
    # The project's consumers that wait on their reader; the
    # pyserial baseline is what they are measured against, not one of them.
    consumers = {name: x for name, x in r["live"].items() if name not in ("module-poll", "pyserial")}
    busy_lost = {name: "failed" if "failed" in x else x["busy"]["lost"] + x["busy"]["out_of_order"]
                 for name, x in consumers.items()}  # fmt: skip
    return [
        ["replay into Python objects ≥ 50× the pure-Python baseline", f"{module / base:.1f}×",
         yes(module / base >= REPLAY_RATIO)],
        ["replay into Python objects ≥ 2 M packets/s, drained while it runs", rate(module),
         yes(module >= REPLAY_RATE)],
        ["replay ≥ 2 M packets/s, drained in a busy loop", rate(busy), yes(busy >= REPLAY_RATE)],
        ["replay ≥ 2 M packets/s, drained after the run", rate(after), yes(after >= REPLAY_RATE)],
        ["live: no packet lost at 921600 baud", f"{lost} lost or out of order", yes(lost == 0)],
        [f"live: no consumer loses a packet with its reader busy {m['busy']['busy_seconds'] * 1000:.0f} ms "
         "in every second", ", ".join(f"{name} {n}" for name, n in busy_lost.items()),
         yes(all(n == 0 for n in busy_lost.values()))],
        ["live: latency 99th percentile < 1 ms", f"{best_lat:.0f} µs", yes(best_lat < LATENCY_P99_US)],
        ["live: < 5% of one core at 1000 packets/s", f"{m['load']['cpu_percent']:.2f}%",
         yes(m["load"]["cpu_percent"] < CPU_PERCENT)],
        ["memory < 300 bytes per queued packet", f"{q['queued_bytes_per_packet']:.0f} bytes",
         yes(q["queued_bytes_per_packet"] < QUEUED_BYTES)],
        ["recording into numpy columns ≥ 5 M packets/s", rate(columns),
         yes(columns >= COLUMNS_RATE)],
        ["recording into numpy columns ≥ 30× `arrays_baseline`", f"{columns / arrays:.0f}×",
         yes(columns / arrays >= COLUMNS_OVER_ARRAYS)],
        ["packet record ≤ 128 bytes", f"{engine['record_bytes']:.0f} bytes",
         yes(engine["record_bytes"] <= RECORD_BYTES)],
        ["native engine ≥ 10 M packets/s, drained while it runs", rate(engine["while_running"]),
         yes(engine["while_running"] >= ENGINE_RATE)],
        ["the README's blocking loop at least as fast as the polling loop", f"{blocking / module:.2f}×",
         yes(blocking >= module)],
        ["the README's blocking loop ≥ 5 M packets/s into Python objects", rate(blocking),
         yes(blocking >= BLOCKING_RATE)],
        ["the README's blocking loop ≥ 40× the pure-Python baseline", f"{blocking / base:.1f}×",
         yes(blocking / base >= BLOCKING_RATIO)],
    ]  # fmt: skip


def sample_time_targets(r: dict[str, Any]) -> list[list[str]]:
    rows = []
    if "load_fit" in r:
        adds = r["load_fit"]["ratio"] - 1
        rows.append(["`load` with the sample-time fit: within 15% of `load` without it", f"{100 * adds:+.1f}%",
                     yes(adds <= LOAD_FIT_ADDS)])  # fmt: skip
    if "sample_times" in r:
        s = r["sample_times"]
        kinds = [s[kind] for kind in ("raw", "estimated")]
        p99 = max(k["sample_time_us"]["p99"] for k in kinds)
        largest = max(k["sample_time_us"]["max"] for k in kinds)
        ppm = max(abs(k["rate_error_ppm"]) for k in kinds)
        right = min(k["missing_right"] for k in kinds)

        def verdict(ok: bool) -> str:
            return "not valid: the device fell behind" if s["device_fell_behind"] else yes(ok)

        rows += [
            ["sample times: p99 ≤ 50 µs and largest ≤ 200 µs after one offset", f"{p99:.1f} / {largest:.1f} µs",
             verdict(p99 <= SAMPLE_P99_US and largest <= SAMPLE_MAX_US)],
            ["fitted rate within 2 ppm of a crystal 50 ppm fast", f"{ppm:.2f} ppm", verdict(ppm <= RATE_PPM)],
            ["`missing_before` equal to the truth for ≥ 99.9% of packets", f"{100 * right:.2f}%",
             verdict(right >= MISSING_RIGHT)],
        ]  # fmt: skip
    for name, o in online_runs(r) if "online" in r else []:
        kinds = [o[kind] for kind in ("raw", "estimated")]
        p99 = max(k["sample_time_us"]["p99"] for k in kinds)
        largest = max(k["sample_time_us"]["max"] for k in kinds)
        right = max(k["counted_right_us"]["max"] for k in kinds)
        ok = p99 <= SAMPLE_P99_US and largest <= SAMPLE_MAX_US
        rows.append([f"live sample clock after its first second, {name}: the same bounds",
                     f"{p99:.1f} / {largest:.1f} µs ({right:.1f} µs over the packets counted right)",
                     "not valid: the device fell behind" if o["device_fell_behind"] else yes(ok)])  # fmt: skip
    return rows


def live_targets(r: dict[str, Any]) -> list[list[str]]:
    ticks, serve = r["ticks"], r["serve"]
    worst = ticks["live-source"]["max_ms"]
    missing = sum(c["lost"] for c in serve["readers"]) + serve["record"]["lost"]
    first, second = serve["rss_kib"][: len(serve["rss_kib"]) // 2], serve["rss_kib"][len(serve["rss_kib"]) // 2 :]
    return [
        ["asyncio ticker beside the live source: largest delay < 2 ms",
         f"{worst:.1f} ms (ticker alone: {ticks['ticker-alone']['max_ms']:.1f} ms)", yes(worst < TICK_LATE_MS)],
        ["asyncio ticker beside the live source: 99th percentile < 2 ms", f"{ticks['live-source']['p99_ms']:.2f} ms",
         yes(ticks["live-source"]["p99_ms"] < TICK_LATE_MS)],
        ["serve: every reading client gets every packet, the recording beside it loses none", f"{missing} missing",
         yes(missing == 0)],
        ["serve: resident memory bounded with a stalled client (the second half's peak ≤ the first half's + 4 MiB)",
         f"{max(first) / 1024:.1f} → {max(second) / 1024:.1f} MiB", yes(max(second) <= max(first) + 4096)],
    ]  # fmt: skip


def environment() -> dict[str, Any]:
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "load": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "version": brimlet.VERSION,
    }


def measure(build: Path, quick: bool, only: set[str] | None = None, saved: dict[str, Any] | None = None
            ) -> dict[str, Any]:  # fmt: skip
    """Runs the benchmarks (those named in `only`, over the `saved` results of
    an earlier run, when given); the results, also saved in `build`."""
    results: dict[str, Any] = dict(saved or {})
    results["environment"] = environment()
    machine = results.setdefault("machine", {})
    for name, step in STEPS.items():
        if only is None or name in only:
            share = common.MachineShare()
            measured = step(build, quick)
            busy = share.result()
            results.update(measured)
            machine.update(dict.fromkeys(measured, busy))
            if busy["too_busy"]:
                note(f"{name}: too busy to measure, other programs took {busy['others_share']:.0%} of the machine")
    (build / "benchmarks.json").write_text(json.dumps(results, indent=1))
    note(f"results saved in {build / 'benchmarks.json'}")
    return results


def native_step(build: Path, quick: bool) -> dict[str, Any]:
    note("making the recording (once per build directory)")
    common.recording(100.0, build)
    e = google_benchmark(build / "engine_bench", as_user=True)
    return {"scanner_frames_per_second": scanner_rate(build, 1 if quick else 3), "engine": {
        "while_running": float(e["BM_ReplayDrainedWhileRunning/iterations:3/real_time"]["packets/s"]),
        "user_ns": float(e["BM_ReplayDrainedWhileRunning/iterations:3/real_time"]["user_ns_per_packet"]),
        "system_ns": float(e["BM_ReplayDrainedWhileRunning/iterations:3/real_time"]["system_ns_per_packet"]),
        "after_run": float(e["BM_ReplayDrainedAfterRun/iterations:2/real_time"]["packets/s"]),
        "queued_bytes": float(e["BM_ReplayDrainedAfterRun/iterations:2/real_time"]["resident_bytes_per_queued_packet"]),
        "record_bytes": float(e["BM_ReplayDrainedAfterRun/iterations:2/real_time"]["record_bytes"]),
        "pty_p50_us": float(e["BM_PtyLatency/iterations:1/real_time"]["latency_p50_us"]),
        "pty_p99_us": float(e["BM_PtyLatency/iterations:1/real_time"]["latency_p99_us"]),
    }}  # fmt: skip


def replay_step(build: Path, quick: bool) -> dict[str, Any]:
    common.recording(100.0, build)
    return {"replay": python_step("replay_bench.py", "--build", str(build), "--repeat", "1" if quick else "3",
                                  "--baseline-repeat", "1" if quick else "2")}  # fmt: skip


def columns_step(build: Path, quick: bool) -> dict[str, Any]:
    common.recording(100.0, build)
    return {"columns": python_step("columns_bench.py", "--build", str(build), "--repeat", "2" if quick else "5")}


def export_step(build: Path, quick: bool) -> dict[str, Any]:
    return {"export": python_step("export_bench.py", "--build", str(build), "--repeat", "1" if quick else "2",
                                  *(["--seconds", "60"] if quick else []))}  # fmt: skip


def live_step(build: Path, quick: bool) -> dict[str, Any]:
    """Three rounds, each a load run of every reader in turn, so that what
    else the machine does falls on all of them alike; each reader's row
    gives its run of median CPU per packet. The busy-consumer and latency
    runs come with the first round."""
    from live_bench import median_load

    seconds = ["--seconds", "5"] if quick else []
    once = ["--busy-seconds", "4", "--latency-seconds", "3", "--latency-repeat", "1"] if quick else []
    rounds: dict[str, list[dict[str, Any]]] = {reader: [] for reader in LIVE_READERS}
    failed: dict[str, str] = {}
    for first in (True, False, False):
        for reader in LIVE_READERS:
            if reader in failed:
                continue
            extra = once if first else ["--busy-seconds", "0", "--latency-seconds", "0"]
            try:
                rounds[reader].append(python_step("live_bench.py", "--reader", reader, "--repeat", "1",
                                                  *seconds, *extra))  # fmt: skip
            except (subprocess.CalledProcessError, ValueError, IndexError) as e:
                note(f"live reader {reader} failed: {e}")
                failed[reader] = str(e)
    live: dict[str, Any] = {reader: {"reader": reader, "failed": why} for reader, why in failed.items()}
    for reader, runs in rounds.items():
        if reader not in failed:
            live[reader] = runs[0] | {"load": median_load([run["load"] for run in runs])}
    return {"live": live}


def ticks_step(build: Path, quick: bool) -> dict[str, Any]:
    seconds = "3" if quick else "20"
    return {"ticks": {mode: python_step("tick_bench.py", "--mode", mode, "--seconds", seconds) for mode in TICK_MODES}}


def serve_step(build: Path, quick: bool) -> dict[str, Any]:
    seconds = 10.0 if quick else 30.0
    return {"serve": python_step("serve_load_bench.py", "--seconds", f"{seconds:g}") | {"seconds": seconds}}


def memory_step(build: Path, quick: bool) -> dict[str, Any]:
    common.recording(100.0, build)
    return {"memory": python_step("memory_bench.py", "--build", str(build), *(["--runs", "1"] if quick else []))}


def packet_cost_step(build: Path, quick: bool) -> dict[str, Any]:
    return {"packet_cost": python_step("packet_cost_bench.py", "--repeat", "2" if quick else "5")}


def load_fit_step(build: Path, quick: bool) -> dict[str, Any]:
    return {"load_fit": python_step("load_fit_bench.py", "--build", str(build), "--repeat", "3" if quick else "9")}


def sample_times_step(build: Path, quick: bool) -> dict[str, Any]:
    links = python_step("sample_time_bench.py", "--links", "--minutes", "12" if quick else "60")
    return {"sample_times": python_step("sample_time_bench.py", "--seconds", "10" if quick else "60"),
            "sample_time_links": links}  # fmt: skip


def record_delay_step(build: Path, quick: bool) -> dict[str, Any]:
    return {"record_delay": python_step("record_delay_bench.py", "--seconds", "5" if quick else "30")}


def online_step(build: Path, quick: bool) -> dict[str, Any]:
    return {"online": python_step("online_bench.py", "--seconds", "10" if quick else "60", "--burners", "1")}


# The steps by the name `--only` takes, in the order a whole run takes them.
STEPS = {"native": native_step, "replay": replay_step, "columns": columns_step, "export": export_step,
         "live": live_step, "ticks": ticks_step, "serve": serve_step, "memory": memory_step,
         "packet-cost": packet_cost_step, "load-fit": load_fit_step, "sample-times": sample_times_step,
         "online": online_step, "record-delay": record_delay_step}  # fmt: skip
LIVE_READERS = {"module": "module, `get_data_packets(block=True)`", "module-poll": "module, polled every 10 ms",
                "pyserial": "pyserial + `struct` baseline", "live-source": "live source, `LiveSource.read()`",
                "live": "`for batch in live(port)`, with sample times",
                "dump": "`dump -p --sample-times --format jsonl` into a pipe",
                "serve": "`serve -p`, one WebSocket client"}
TICK_MODES = {"ticker-alone": "ticker alone (nobody reads the port)",
              "live-source": "`async for batch in live(port)` in the same event loop",
              "blocking-thread": "a thread waiting in `get_data_packets(block=True)`"}
TARGETS = [
    (("replay", "scanner_frames_per_second", "live", "columns", "memory", "engine"), module_targets),
    (("ticks", "serve"), live_targets),
    ((), sample_time_targets),
]
# The document's sections, each with the results it needs; a partial run
# renders those it has.
SECTIONS = [
    (("replay", "scanner_frames_per_second", "engine"), replay_section),
    (("columns", "replay"), columns_section),
    (("export",), export_section),
    (("live",), live_section),
    (("ticks",), ticks_section),
    (("serve",), serve_section),
    (("memory", "engine", "replay"), memory_section),
    (("packet_cost",), packet_cost_section),
    (("load_fit",), load_fit_section),
    (("sample_times",), sample_times_section),
    (("online",), online_section),
    (("record_delay",), record_delay_section),
    (("machine",), machine_section),
    ((), targets_section),
]


def fresh_titles(lines: list[str]) -> list[str]:
    return [line.split(":")[0] for line in lines if line.startswith("## ") and line != "## Targets"]


def splice(old: list[str], new: list[str]) -> list[str]:
    """`old` (a document's lines) with each of `new`'s sections in place of the
    one of the same title (the words before any colon), or added before the
    targets; the first line (when and where) is `new`'s."""
    def sections(lines: list[str]) -> list[list[str]]:
        parts: list[list[str]] = [[]]
        for line in lines:
            if line.startswith("## "):
                parts.append([])
            parts[-1].append(line)
        return parts

    def title(part: list[str]) -> str:
        return part[0].split(":")[0] if part and part[0].startswith("## ") else ""

    def merged_targets(old_part: list[str], new_part: list[str]) -> list[str]:
        """The old targets table with the new rows in place of those of the same
        target, the rest added at its end."""
        rows = {line.split("|")[1]: line for line in new_part if line.startswith("| ") and line.count("|") > 3}
        out = [rows.pop(line.split("|")[1], line) if line.startswith("| ") else line for line in old_part]
        end = max(i for i, line in enumerate(out) if line.startswith("|")) + 1
        return out[:end] + list(rows.values()) + out[end:]

    head, *kept = sections(old)
    fresh = {title(p): p for p in sections(new)[1:]}
    out = []
    for part in kept:
        new_part = fresh.pop(title(part), None)
        out.append(part if new_part is None else
                   merged_targets(part, new_part) if title(part) == "## Targets" else new_part)  # fmt: skip
    at = next((i for i, p in enumerate(out) if title(p) == "## Targets"), len(out))
    out[at:at] = [p + [""] if p[-1] else p for p in fresh.values()]
    when = sections(new)[0][2] if len(sections(new)[0]) > 2 else ""
    note = "Re-measured by `bench/suite.py --only`: " + when.removeprefix("Measured ").split(". The machine")[0]
    return head[:-1] + [note + f" ({', '.join(t.removeprefix('## ') for t in fresh_titles(new))}).", ""] + [
        line for p in out for line in p]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD, help="the benchmark build")
    ap.add_argument("--markdown", type=Path, help="write the tables here")
    ap.add_argument("--quick", action="store_true", help="short runs, to try the suite out")
    ap.add_argument("--from-json", type=Path, metavar="PATH",
                    help="measure nothing: render the results that an earlier run saved in PATH")  # fmt: skip
    ap.add_argument("--only", metavar="STEPS", type=lambda text: set(text.split(",")),
                    help=f"run only these steps ({', '.join(STEPS)}), over the build's saved results if any; "
                    "with --markdown, their sections replace those of the same title in the document")  # fmt: skip
    args = ap.parse_args()
    if args.only and not args.only <= STEPS.keys():
        ap.error(f"no such step: {', '.join(sorted(args.only - STEPS.keys()))} (choose from {', '.join(STEPS)})")
    saved_json = args.build / "benchmarks.json"
    if args.from_json:
        results = json.loads(args.from_json.read_text())
    else:
        saved = json.loads(saved_json.read_text()) if args.only and saved_json.exists() else None
        results = measure(args.build.resolve(), args.quick, args.only, saved)
    lines = report(results)
    print("\n".join(lines))
    if args.markdown:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        if args.only and args.markdown.exists():
            lines = splice(args.markdown.read_text().splitlines(), lines)
        args.markdown.write_text("\n".join(lines) + "\n")
        note(f"wrote {args.markdown}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
