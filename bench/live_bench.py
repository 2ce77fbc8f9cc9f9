"""The live path: the virtual device on a pseudo-terminal at 921600 baud, read
by the module or by the pyserial-and-struct baseline.

Three runs per reader, each with the device in its own process:

* Load: `python -m brimlet_tools virtual-device --baudrate 921600 --counter`
  at 1000 raw and 100 estimated frames per second. The reader consumes for
  `--seconds` from its first packet, reading every value of every packet
  and checking the sequence numbers that the counter stream carries. It
  reports the process CPU time (all threads, the module's reader thread
  included) per second of data, and packets lost or out of order.
* Busy consumer: the same, with a consumer that after each second of data
  works for `--busy` seconds (a busy loop, holding the interpreter lock)
  before it reads on: the packets lost then show whether the reader keeps
  up while the application is busy.
* Latency: `timed_writer.py`, the same device noting the monotonic time of
  every frame it writes, with the reader opened before the first frame. The
  latency of a packet is from that write to the moment the packet is in
  Python: `get_data_packets` has returned it, or the baseline decoder has
  returned its dict. For the module it also gives the part up to decoding,
  from the packet's own `timestamp` (the host's real-time clock at decode).

Readers:

* `module`: `SerialParser`, drained with `get_data_packets(block=True)`.
* `module-poll`: `SerialParser`, drained with `get_data_packets()` every
  10 ms (load run only: its latency is the polling period by design).
* `pyserial`: `serial.Serial` read with `read(in_waiting or 1)`, the usual
  idiom, decoded with `BaselineDecoder`.
* `live-source`: `brimlet_columns.LiveSource`, batches of columns read with
  `read()`, which waits without the interpreter lock; every value of every
  column is taken into Python (`tolist`).
* `live`: `for batch in live(port)`, the same source through the sample
  clock's stage, every value of every column taken into Python (load runs
  only: each batch comes the clock's half second late by design).
* `dump`: `python -m brimlet_tools dump -p PORT --sample-times --format
  jsonl` in a process of its own, writing into a pipe that the bench reads
  line by line (load runs only). Its CPU is the child's. A busy consumer
  stops reading the pipe, so dump's output backs up.
* `serve`: `python -m brimlet_tools serve -p PORT` in a process of its own,
  with one WebSocket client in the bench subscribed to `/imu/pressure`
  (which carries the raw packets' sequence numbers) and `/imu/data` (whose
  estimated packets take the next number after the last one seen). Its CPU
  is the server's. A busy client stops taking messages.

    python bench/live_bench.py --reader module [--seconds 20] [--latency-seconds 10] [--json]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import select
import struct
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import common
import timed_writer
from baseline_decoder import BaselineDecoder

import brimlet
from brimlet_tools.sim import simulator

BAUDRATE = 921600
RAW_RATE = 1000.0
ESTIMATED_RATE = 100.0
POLL_PERIOD = 0.01
READERS = ("module", "module-poll", "pyserial", "live-source", "live", "dump", "serve")
# Readers in a process of their own: a load run counts their CPU, not the bench's.
CHILD_READERS = ("dump", "serve")
MODULUS = simulator.COUNTER_MODULUS
SequenceCheck = common.SequenceCheck


@dataclass
class Arrival:
    """One packet as the reader saw it: its sequence number, when it was in
    Python (monotonic ns) and, for the module, when it was decoded (real-time
    ns)."""

    counter: int | None
    arrived: int
    decoded: int | None = None


def counter_of_dict(packet: dict[str, object]) -> int | None:
    """The sequence number in a baseline packet (see `simulator.counter_of`)."""
    slot = "scaled_ambient_pressure" if packet["packet_type"] == "raw" else "est_pressure_alt"
    value = packet.get(slot)
    if not isinstance(value, float) or not value.is_integer() or not 0 <= value < MODULUS:
        return None
    return int(value)


def read_all(packet: brimlet.IMUPacket) -> None:
    """What a consumer does with a packet: takes every value out of it."""
    for name in common.PROPERTY_NAMES:
        getattr(packet, name)


# --- readers ------------------------------------------------------------------
# A reader opens the port when it is made; `batches` then yields the packets
# of each wake-up as Arrivals, until the line fails or stays silent for
# `timeout` seconds.


class ModuleReader:
    def __init__(self, path: str, poll: bool, timeout: float) -> None:
        self.poll = poll
        self.parser = brimlet.SerialParser(path, baudrate=BAUDRATE, timeout=timeout)
        self.parser.start()

    def batches(self) -> Iterator[list[Arrival]]:
        parser = self.parser
        while True:
            try:
                if self.poll:
                    time.sleep(POLL_PERIOD)
                    batch = parser.get_data_packets()
                else:
                    batch = parser.get_data_packets(block=True)
            except OSError:
                return
            arrived = time.monotonic_ns()
            out = []
            for packet in batch:
                read_all(packet)
                out.append(Arrival(simulator.counter_of(packet), arrived, packet.timestamp))
            yield out

    def close(self) -> None:
        self.parser.stop()


class PyserialReader:
    def __init__(self, path: str, timeout: float) -> None:
        # The generic serial library, as a user without the module would use it.
        import serial  # type: ignore[import-untyped]

        self.error = serial.SerialException
        self.port = serial.Serial(path, BAUDRATE, timeout=timeout)
        self.decoder = BaselineDecoder()

    def batches(self) -> Iterator[list[Arrival]]:
        port, decoder = self.port, self.decoder
        while True:
            try:
                data = port.read(port.in_waiting or 1)
            except self.error:
                return
            if not data:
                return
            packets = decoder.feed(data)
            arrived = time.monotonic_ns()
            yield [Arrival(counter_of_dict(p), arrived) for p in packets]

    def close(self) -> None:
        self.port.close()


class LiveSourceReader:
    def __init__(self, path: str, timeout: float) -> None:
        import brimlet_columns

        self.source = brimlet_columns.LiveSource(path, BAUDRATE, timeout)

    def batches(self) -> Iterator[list[Arrival]]:
        while True:
            try:
                batch = self.source.read()
            except OSError:
                return
            if batch is None:
                return
            arrived = time.monotonic_ns()
            values = {name: memoryview(column).tolist() for name, column in batch.items()}
            kind, pressure, altitude = values["kind"], values["scaled_ambient_pressure"], values["est_pressure_alt"]
            yield [Arrival(counter_of_value(pressure[i] if kind[i] == 0 else altitude[i]), arrived, values["time"][i])
                   for i in range(len(kind))]  # fmt: skip

    def close(self) -> None:
        self.source.close()


class LiveStreamReader:
    def __init__(self, path: str, timeout: float) -> None:
        from brimlet_tools.live.stream import live

        self.stream = live(path, BAUDRATE, timeout)

    def batches(self) -> Iterator[list[Arrival]]:
        from brimlet_tools.errors import ToolError

        try:
            for batch in self.stream:
                arrived = time.monotonic_ns()
                values = {name: column.tolist() for name, column in batch.items()}
                kind, pressure, altitude = values["kind"], values["scaled_ambient_pressure"], values["est_pressure_alt"]
                yield [Arrival(counter_of_value(pressure[i] if kind[i] == 0 else altitude[i]), arrived)
                       for i in range(len(kind))]  # fmt: skip
        except (OSError, ToolError):  # the line fell silent or hung up: the run is over
            return

    def close(self) -> None:
        self.stream.close()


def counter_of_value(value: float) -> int | None:
    if not value.is_integer() or not 0 <= value < MODULUS:  # NaN is not an integer
        return None
    return int(value)


class ChildReader:
    """A command of the tools reading the port in a process of its own."""

    process: subprocess.Popen[bytes]

    def cpu(self) -> float:
        """The child's CPU time so far (all its threads), in seconds."""
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def tool(*args: str) -> list[str]:
    return [sys.executable, "-m", "brimlet_tools", *args]


class DumpReader(ChildReader):
    def __init__(self, path: str, timeout: float) -> None:
        self.timeout = timeout
        self.process = subprocess.Popen(
            tool("dump", "-p", path, "-b", str(BAUDRATE), "--sample-times", "--format", "jsonl"),
            stdout=subprocess.PIPE, env=common.child_env())  # fmt: skip

    def batches(self) -> Iterator[list[Arrival]]:
        assert self.process.stdout is not None
        fd, rest = self.process.stdout.fileno(), b""
        while True:
            # The first lines come after the clock has its start, about a second in.
            ready, _, _ = select.select([fd], [], [], self.timeout + 5.0)
            data = os.read(fd, 1 << 16) if ready else b""
            if not data:
                return
            *lines, rest = (rest + data).split(b"\n")
            arrived = time.monotonic_ns()
            yield [Arrival(counter_of_row(json.loads(line)), arrived) for line in lines]

    def close(self) -> None:
        super().close()
        assert self.process.stdout is not None
        self.process.stdout.close()


def counter_of_row(row: dict[str, Any]) -> int | None:
    value = row.get("scaled_ambient_pressure" if row.get("kind") == "raw" else "est_pressure_alt")
    return counter_of_value(float(value)) if isinstance(value, (int, float)) else None


FOXGLOVE = "foxglove.websocket.v1"
MESSAGE_HEADER = struct.Struct("<BIQ")  # opcode, subscription id, timestamp
PRESSURE_TOPIC, ESTIMATED_TOPIC = "/imu/pressure", "/imu/data"


class ServeReader(ChildReader):
    def __init__(self, path: str, timeout: float) -> None:
        from websockets.sync.client import connect

        self.timeout = timeout
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(tool("serve", "-p", path, "-b", str(BAUDRATE), "--listen", "127.0.0.1:0"),
                                        stdout=subprocess.DEVNULL, stderr=self.log, env=common.child_env())  # fmt: skip
        self.client = ExitStack()
        try:
            url = self.address()
            client = connect(url, subprotocols=[FOXGLOVE], max_size=None)  # type: ignore[list-item]
            self.ws = self.client.enter_context(client)
            self.ws.recv(timeout=10)  # serverInfo
            channels = {c["topic"]: c["id"] for c in json.loads(self.ws.recv(timeout=10))["channels"]}
            self.topics = {1: PRESSURE_TOPIC, 2: ESTIMATED_TOPIC}
            self.ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": s, "channelId": channels[topic]} for s, topic in self.topics.items()]}))  # fmt: skip
        except BaseException:
            super().close()
            raise

    def address(self) -> str:
        """The server's address, from the line it logs once it listens."""
        until = time.monotonic() + 30.0
        while time.monotonic() < until:
            self.log.seek(0)
            found = re.search(rb"on (ws://\S+);", self.log.read())
            if found:
                return found.group(1).decode()
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.log.seek(0)
        raise SystemExit(f"serve did not listen: {self.log.read().decode(errors='replace')[-500:]}")

    def batches(self) -> Iterator[list[Arrival]]:
        last: int | None = None
        while True:
            try:
                message = self.ws.recv(timeout=self.timeout + 5.0)
            except Exception:  # silent or closed: the run is over
                return
            if isinstance(message, str):
                continue
            _, subscription, _ = MESSAGE_HEADER.unpack_from(message)
            arrived = time.monotonic_ns()
            if self.topics.get(subscription) == PRESSURE_TOPIC:
                # The message's last two doubles: the pressure in Pa, its variance.
                (pascal,) = struct.unpack_from("<d", message, len(message) - 16)
                counter = counter_of_value(pascal / 100.0)
            else:
                # An estimated packet carries no number out of the server: it is
                # the next one, so a gap before the next raw packet counts it.
                counter = None if last is None else (last + 1) % MODULUS
            if counter is not None:
                last = counter
            yield [Arrival(counter, arrived)]

    def close(self) -> None:
        try:
            self.client.close()
        finally:
            super().close()
            self.log.close()


Reader = ModuleReader | PyserialReader | LiveSourceReader | LiveStreamReader | DumpReader | ServeReader


def open_reader(reader: str, path: str, timeout: float) -> Reader:
    if reader == "dump":
        return DumpReader(path, timeout)
    if reader == "serve":
        return ServeReader(path, timeout)
    if reader == "pyserial":
        return PyserialReader(path, timeout)
    if reader == "live-source":
        return LiveSourceReader(path, timeout)
    if reader == "live":
        return LiveStreamReader(path, timeout)
    return ModuleReader(path, reader == "module-poll", timeout)


# --- runs ---------------------------------------------------------------------


def load_run(reader: str, seconds: float, busy: float = 0.0) -> dict[str, Any]:
    """CPU time and sequence check over `seconds` of the virtual device. With
    `busy`, the consumer also works (holding the interpreter) for `busy`
    seconds after each second of data, as an application between drains."""
    check = SequenceCheck()
    cpu0 = cpu1 = main0 = main1 = wall0 = wall1 = 0.0
    before_window = 0
    next_busy = 1.0
    with common.virtual_device(seconds + 5, BAUDRATE, RAW_RATE, ESTIMATED_RATE) as path:
        source = open_reader(reader, path, 1.0)
        # A reader in a process of its own is charged its own CPU, not the bench's.
        process_time = source.cpu if isinstance(source, ChildReader) else time.process_time
        try:
            for batch in source.batches():
                if not batch:
                    continue
                if check.received + check.unnumbered == 0:
                    # The window opens with the first batch, after start-up,
                    # and counts the packets that come after it.
                    cpu0, main0, wall0 = process_time(), time.thread_time(), time.monotonic()
                    before_window = len(batch)
                for a in batch:
                    check.see(a.counter)
                cpu1, main1, wall1 = process_time(), time.thread_time(), time.monotonic()
                if wall1 - wall0 >= seconds:
                    break
                if busy and wall1 - wall0 >= next_busy:
                    next_busy += 1.0
                    until = time.monotonic() + busy
                    while time.monotonic() < until:
                        pass
        finally:
            source.close()
    packets = check.received + check.unnumbered - before_window
    cpu, wall = cpu1 - cpu0, wall1 - wall0
    if packets <= 0 or wall <= 0:
        raise SystemExit(f"{reader}: no packets from the virtual device")
    return {"seconds": wall, "packets": packets, "packets_per_second": packets / wall,
            "cpu_seconds": cpu, "cpu_percent": 100.0 * cpu / wall, "cpu_us_per_packet": 1e6 * cpu / packets,
            "main_thread_cpu_percent": None if reader in CHILD_READERS else 100.0 * (main1 - main0) / wall,
            "busy_seconds": busy,
            **check.summary()}  # fmt: skip


def median_load(loads: list[dict[str, Any]]) -> dict[str, Any]:
    """The load run of median CPU per packet (the lower of the middle two of
    an even number), with every run's CPU and losses beside it."""
    ranked = sorted(loads, key=lambda r: r["cpu_us_per_packet"])
    load = dict(ranked[(len(ranked) - 1) // 2])
    load["runs_cpu_percent"] = [r["cpu_percent"] for r in loads]
    load["runs_cpu_us_per_packet"] = [r["cpu_us_per_packet"] for r in loads]
    load["runs_lost"] = [r["lost"] + r["out_of_order"] for r in loads]
    return load


def percentile(ascending: list[float], q: float) -> float:
    """The q-quantile (0..1) of ascending values, by nearest rank."""
    if not ascending:
        return float("nan")
    return ascending[min(len(ascending) - 1, max(0, math.ceil(q * len(ascending)) - 1))]


def latency_run(reader: str, seconds: float) -> dict[str, Any]:
    """Write-to-Python latency of every frame of `seconds` of the stream."""
    config = timed_writer.stream_config(seconds, RAW_RATE, ESTIMATED_RATE)
    expected = sum(1 for _ in simulator.frame_times(config))
    got: list[Arrival] = []
    check = SequenceCheck()
    with tempfile.TemporaryDirectory() as tmp:
        times_path = Path(tmp) / "times.json"
        writer = subprocess.Popen(
            [sys.executable, str(Path(__file__).with_name("timed_writer.py")), "--seconds", f"{seconds:g}",
             "--baudrate", str(BAUDRATE), "--raw-rate", f"{RAW_RATE:g}", "--estimated-rate", f"{ESTIMATED_RATE:g}",
             "--times", str(times_path)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=common.child_env(),
        )  # fmt: skip
        assert writer.stdin is not None and writer.stdout is not None
        try:
            source = open_reader(reader, writer.stdout.readline().strip(), 2.0)
            try:
                writer.stdin.write("go\n")
                writer.stdin.flush()
                for batch in source.batches():
                    for a in batch:
                        check.see(a.counter)
                        got.append(a)
                    if check.received + check.unnumbered >= expected:
                        break
            finally:
                source.close()
            writer.stdout.readline()  # "played"
            written = json.loads(times_path.read_text())
        finally:
            writer.stdin.close()
            writer.wait(timeout=30)
    return latency_summary(written, got, check, expected)


def latency_summary(written: dict[str, Any], got: list[Arrival], check: SequenceCheck, expected: int) -> dict[str, Any]:
    times: list[int] = written["times"]
    # The packet's timestamp is real-time; the writer's times are monotonic.
    offset = time.clock_gettime_ns(time.CLOCK_REALTIME) - time.monotonic_ns()
    to_python: list[float] = []
    decoded: list[float] = []
    for a in got:
        if a.counter is None or a.counter >= len(times):
            continue
        sent = times[a.counter]
        to_python.append((a.arrived - sent) / 1000)
        if a.decoded is not None:
            decoded.append((a.decoded - offset - sent) / 1000)
    to_python.sort()
    decoded.sort()
    result: dict[str, Any] = {
        "expected": expected, "written": len(times), "bytes_dropped": written["dropped"],
        "writer_lag_s": written["lag"], "p50_us": percentile(to_python, 0.5), "p99_us": percentile(to_python, 0.99),
        "max_us": to_python[-1] if to_python else float("nan"), **check.summary(),
    }  # fmt: skip
    if decoded:
        result["decode_p50_us"] = percentile(decoded, 0.5)
        result["decode_p99_us"] = percentile(decoded, 0.99)
    return result


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reader", choices=READERS, required=True)
    ap.add_argument("--seconds", type=float, default=20.0, help="length of a load run")
    ap.add_argument("--repeat", type=int, default=3, help="load runs; the one of median CPU per packet is kept")
    ap.add_argument("--busy-seconds", type=float, default=10.0,
                    help="length of a run whose consumer is busy for a while after each second (0: none)")
    ap.add_argument("--busy", type=float, default=0.2, metavar="S", help="how long it is busy (default %(default)g)")
    ap.add_argument("--latency-seconds", type=float, default=10.0, help="length of a latency run (0: none)")
    ap.add_argument("--latency-repeat", type=int, default=3, help="latency runs; the one with the lowest p99 is kept")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    load = median_load([load_run(args.reader, args.seconds) for _ in range(args.repeat)])
    results: common.Results = {"reader": args.reader, "load": load}
    lines = [f"{args.reader} load: {load}"]
    if args.busy_seconds > 0:
        results["busy"] = load_run(args.reader, args.busy_seconds, args.busy)
        lines.append(f"{args.reader} busy consumer: {results['busy']}")
    if args.latency_seconds > 0 and args.reader not in ("module-poll", "live", *CHILD_READERS):
        runs = [latency_run(args.reader, args.latency_seconds) for _ in range(args.latency_repeat)]
        latency = min(runs, key=lambda r: r["p99_us"])
        latency["runs_p99_us"] = [r["p99_us"] for r in runs]
        latency["runs_lost"] = [r["lost"] + r["out_of_order"] + r["expected"] - r["received"] for r in runs]
        results["latency"] = latency
        lines.append(f"{args.reader} latency: {latency}")
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
