"""The benchmark suite behind `make bench`: the module against the ways a user
could do without it, on this machine, in one run.

Runs, each in a process of its own: the native frame scanner and the native
engine (Google Benchmark programs), the replay of a 100 MB recording
(`replay_bench.py`), exports of a 600 s recording (`export_bench.py`), the
live path on a virtual device at 921600 baud (`live_bench.py`, for each
reader), memory (`memory_bench.py`) and the cost
of packet objects (`packet_cost_bench.py`). Prints the tables and writes
them as Markdown.

    python bench/suite.py [--build build/bench] [--markdown docs/benchmarks.md] [--quick]
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
    for section in (replay_section, columns_section, export_section, live_section, memory_section,
                    packet_cost_section, targets_section):  # fmt: skip
        out += [""] + section(r)
    return out


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
    engine = r["engine"]
    m, p, b = r["live"]["module"], r["live"]["module-poll"], r["live"]["pyserial"]
    out = ["## Live path: virtual device on a pseudo-terminal at 921600 baud, 1000 raw + 100 estimated packets/s", ""]
    rows_live = [
        ["packets per second", *(f"{x['load']['packets_per_second']:.0f}" for x in (m, p, b))],
        ["CPU, % of one core", *(f"{x['load']['cpu_percent']:.2f}" for x in (m, p, b))],
        ["CPU per packet, µs", *(f"{x['load']['cpu_us_per_packet']:.1f}" for x in (m, p, b))],
        ["of that CPU, the Python thread's share, % of one core",
         *(f"{x['load']['main_thread_cpu_percent']:.2f}" for x in (m, p, b))],
        ["packets lost or out of order (load runs)", *(", ".join(map(str, x["load"]["runs_lost"])) for x in (m, p, b))],
        [f"packets lost with a consumer busy {m['busy']['busy_seconds'] * 1000:.0f} ms after each second "
         f"({m['busy']['seconds']:.0f} s)", *(lost_of(x["busy"]) for x in (m, p, b))],
        ["packets lost or out of order (latency runs)", ", ".join(map(str, m["latency"]["runs_lost"])), "",
         ", ".join(map(str, b["latency"]["runs_lost"]))],
        ["latency write → Python, median, µs", f"{m['latency']['p50_us']:.0f}", "", f"{b['latency']['p50_us']:.0f}"],
        ["latency write → Python, 99th percentile, µs", f"{m['latency']['p99_us']:.0f}", "",
         f"{b['latency']['p99_us']:.0f}"],
        ["latency write → Python, largest, µs", f"{m['latency']['max_us']:.0f}", "",
         f"{b['latency']['max_us']:.0f}"],
        ["99th percentile of each latency run, µs", ", ".join(f"{x:.0f}" for x in m["latency"]["runs_p99_us"]), "",
         ", ".join(f"{x:.0f}" for x in b["latency"]["runs_p99_us"])],
        ["latency write → decoded (packet timestamp), median / 99th percentile, µs",
         f"{m['latency']['decode_p50_us']:.0f} / {m['latency']['decode_p99_us']:.0f}", "", ""],
        ["native engine alone: write → `collect_packets`, median / 99th percentile, µs",
         f"{engine['pty_p50_us']:.0f} / {engine['pty_p99_us']:.0f}", "", ""],
    ]  # fmt: skip
    return out + table(["", "module, `get_data_packets(block=True)`", "module, polled every 10 ms",
                        "pyserial + `struct` baseline"], rows_live)  # fmt: skip


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
    replay, scanner, m = r["replay"], r["scanner_frames_per_second"], r["live"]["module"]
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
    targets = [
        ["replay into Python objects ≥ 50× the pure-Python baseline", f"{module / base:.1f}×",
         yes(module / base >= REPLAY_RATIO)],
        ["replay into Python objects ≥ 2 M packets/s, drained while it runs", rate(module),
         yes(module >= REPLAY_RATE)],
        ["replay ≥ 2 M packets/s, drained in a busy loop", rate(busy), yes(busy >= REPLAY_RATE)],
        ["replay ≥ 2 M packets/s, drained after the run", rate(after), yes(after >= REPLAY_RATE)],
        ["live: no packet lost at 921600 baud", f"{lost} lost or out of order", yes(lost == 0)],
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
    out = ["## Targets", ""] + table(["target", "measured", ""], targets)
    needed = REPLAY_RATIO * base
    out += ["", f"50× the baseline would be {rate(needed)} packets/s, {1e9 / needed:.0f} ns per packet from file to "
            f"Python object. The native scanner alone, with no thread hand-over and no Python, delivers "
            f"{rate(scanner)} packets/s ({1e9 / scanner:.0f} ns per packet, "
            f"{scanner / base:.0f}× the baseline)."]  # fmt: skip
    return out


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


def measure(build: Path, quick: bool) -> dict[str, Any]:
    """Runs every benchmark; the results, also saved in `build`."""
    results: dict[str, Any] = {"environment": environment()}
    note("making the recording (once per build directory)")
    common.recording(100.0, build)
    results["scanner_frames_per_second"] = scanner_rate(build, 1 if quick else 3)
    e = google_benchmark(build / "engine_bench", as_user=True)
    results["engine"] = {
        "while_running": float(e["BM_ReplayDrainedWhileRunning/iterations:3/real_time"]["packets/s"]),
        "user_ns": float(e["BM_ReplayDrainedWhileRunning/iterations:3/real_time"]["user_ns_per_packet"]),
        "system_ns": float(e["BM_ReplayDrainedWhileRunning/iterations:3/real_time"]["system_ns_per_packet"]),
        "after_run": float(e["BM_ReplayDrainedAfterRun/iterations:2/real_time"]["packets/s"]),
        "queued_bytes": float(e["BM_ReplayDrainedAfterRun/iterations:2/real_time"]["resident_bytes_per_queued_packet"]),
        "record_bytes": float(e["BM_ReplayDrainedAfterRun/iterations:2/real_time"]["record_bytes"]),
        "pty_p50_us": float(e["BM_PtyLatency/iterations:1/real_time"]["latency_p50_us"]),
        "pty_p99_us": float(e["BM_PtyLatency/iterations:1/real_time"]["latency_p99_us"]),
    }  # fmt: skip
    build_arg = ["--build", str(build)]
    results["replay"] = python_step("replay_bench.py", *build_arg, "--repeat", "1" if quick else "3",
                                    "--baseline-repeat", "1" if quick else "2")  # fmt: skip
    results["columns"] = python_step("columns_bench.py", *build_arg, "--repeat", "2" if quick else "5")
    results["export"] = python_step("export_bench.py", *build_arg, "--repeat", "1" if quick else "2",
                                    *(["--seconds", "60"] if quick else []))  # fmt: skip
    live_args = (["--seconds", "5", "--repeat", "1", "--busy-seconds", "4", "--latency-seconds", "3",
                  "--latency-repeat", "1"] if quick else [])  # fmt: skip
    results["live"] = {reader: python_step("live_bench.py", "--reader", reader, *live_args)
                       for reader in ("module", "module-poll", "pyserial")}  # fmt: skip
    results["memory"] = python_step("memory_bench.py", *build_arg, *(["--runs", "1"] if quick else []))
    results["packet_cost"] = python_step("packet_cost_bench.py", "--repeat", "2" if quick else "5")
    (build / "benchmarks.json").write_text(json.dumps(results, indent=1))
    note(f"results saved in {build / 'benchmarks.json'}")
    return results


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD, help="the benchmark build")
    ap.add_argument("--markdown", type=Path, help="write the tables here")
    ap.add_argument("--quick", action="store_true", help="short runs, to try the suite out")
    ap.add_argument("--from-json", type=Path, metavar="PATH",
                    help="measure nothing: render the results that an earlier run saved in PATH")  # fmt: skip
    args = ap.parse_args()
    if args.from_json:
        results = json.loads(args.from_json.read_text())
    else:
        results = measure(args.build.resolve(), args.quick)
    lines = report(results)
    print("\n".join(lines))
    if args.markdown:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text("\n".join(lines) + "\n")
        note(f"wrote {args.markdown}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
