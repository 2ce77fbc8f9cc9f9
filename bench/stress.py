"""Stress: randomized parser lifecycles against a virtual device, FIFOs and
recordings, for `--seconds` (default: the STRESS_SECONDS environment
variable, else 600).

Each cycle makes one parser on a fresh source (a pseudo-terminal standing for
the device, a FIFO, or a recording of numbered frames) and puts it through a
random sequence of steps: bursts of frames, polls and blocking waits,
stop/start, Ctrl-C during a wait, a fork (the child checks its copy and
exits), a hang-up of the line, and finally a stop or a drop of the last
reference, at random moments. Checked in every cycle:

* no packet is duplicated or out of order (frames carry their number);
* in a clean cycle, where nothing ends a run while frames are still on their
  way, no packet written is lost;
* no call outlives its bound by more than 200 ms (a blocking wait its
  timeout, a stop and a drop the serial read in progress, that is the port's
  timeout, and else about 100 ms, a child's exit about 100 ms, Ctrl-C in a
  wait about 100 ms from the signal to KeyboardInterrupt);
* threads and open descriptors are back at their starting count after each
  cycle, and resident memory stays within `--rss-slack` of what it was after
  the warm-up;
* no cycle hangs: one that has not ended after a minute ends the run with
  "Timeout" and the stacks of all threads.

One cycle in twenty instead serves a virtual device's port (`serve -p`)
while clients join, stall (subscribed, never reading), flood (bad requests,
pings), send hostile requests and vanish mid-stream. A client that behaves
must be served throughout, in stamp order; Ctrl-C must end the server within
its two seconds with status 0, its memory bounded and no traceback.

One cycle in ten instead runs the tools on shared paths: `generate --force`
re-records a recording while `export` and `dump` write outputs of it, a
`dump` is asked to write over its own input, and this process loads the
recording again and again meanwhile. Every load must see a whole recording
(the old or the new), the exports whole files, the refusal status 1, and
no temporary file may be left behind.

Prints one line per fault and a summary line with the cycles run and the
faults found; exits with status 1 if there was a fault.

    python bench/stress.py [--seconds 600] [--seed N]
"""

from __future__ import annotations

import argparse
import faulthandler
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import common

import brimlet
from brimlet_tools.files.receive_times import TimesWriter
from brimlet_tools.recordings.recording import load as load_recording
from brimlet_tools.sim.virtual_device import VirtualDevice
from brimlet_tools.wire.frames import raw_frame

SLACK = 0.2  # how far past its bound a call may end
STOP_BOUND = 0.1  # a reader notices a stop within this
CTRL_C_BOUND = 0.1  # a wait runs signal handlers this often
BAUDRATE = 921600
HANG = 60.0  # seconds: far beyond any cycle's calls and sleeps


def frames(first: int, count: int) -> bytes:
    return b"".join(raw_frame(scaled_ambient_pressure=float(n)) for n in range(first, first + count))


def task_count() -> int:
    return len(os.listdir("/proc/self/task"))


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def settled(count: Callable[[], int], expected: int, limit: float = 0.5) -> int:
    """`count()` once it equals `expected`, or after `limit` seconds. A
    joined thread can stay listed for a moment: the join returns when the
    thread has let go of its stack, a little before the system removes it,
    and a busy machine can stretch that moment."""
    deadline = time.monotonic() + limit
    while (n := count()) != expected and time.monotonic() < deadline:
        time.sleep(0.005)
    return n


@dataclass
class Source:
    """Where a cycle's frames go: `feed(data)` returns False if some of the
    bytes could not be delivered; `hang_up()` ends the stream."""

    kind: str
    parser: Any
    feed: Callable[[bytes], bool]
    hang_up: Callable[[], None]
    close: Callable[[], None]
    live: bool  # frames can be fed while it runs
    timeout: float

    def stop_bound(self) -> float:
        """How long a stop may wait for the read in progress: a serial read
        waits out a finite timeout; any other wait notices the stop."""
        finite_line = self.kind == "device" and self.timeout < math.inf
        return max(STOP_BOUND, self.timeout) if finite_line else STOP_BOUND


def serial_source(rng: random.Random, workdir: Path) -> Source:
    device = VirtualDevice(BAUDRATE, stale_after=None)
    timeout = rng.choice([0.05, 0.3, 1.0, float("inf")])
    parser = brimlet.SerialParser(device.path, BAUDRATE, timeout)
    return Source("device", parser, lambda data: device.write(data) == 0, device.close, device.close, True, timeout)


def fifo_source(rng: random.Random, workdir: Path) -> Source:
    path = workdir / "stream"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR | os.O_NONBLOCK)
    timeout = rng.choice([0.05, 0.5, 30.0])
    parser = brimlet.MockParser(path, timeout)
    state = {"fd": writer}

    def feed(data: bytes) -> bool:
        view = memoryview(data)
        deadline = time.monotonic() + 2
        while view and time.monotonic() < deadline:
            try:
                view = view[os.write(state["fd"], view) :]
            except BlockingIOError:
                time.sleep(0.001)
        return not view

    def close() -> None:
        if state["fd"] is not None:
            os.close(state["fd"])
            state["fd"] = None
        path.unlink(missing_ok=True)

    return Source("fifo", parser, feed, close, close, True, timeout)


def recording_source(rng: random.Random, workdir: Path, count: int) -> Source:
    path = workdir / "recording.bin"
    path.write_bytes(frames(0, count))
    timeout = rng.choice([0.05, 30.0])
    parser = brimlet.MockParser(path, timeout)
    return Source("recording", parser, lambda data: False, lambda: None, lambda: path.unlink(), False, timeout)


@dataclass
class Cycle:
    """One lifecycle: what it sent, what came back, and what went wrong."""

    number: int
    rng: random.Random
    source: Source
    faults: list[str]
    sent: int = 0
    seen: list[int] = field(default_factory=list)
    clean: bool = True  # no run ended while frames were on their way
    errors: list[str] = field(default_factory=list)

    def fault(self, text: str) -> None:
        self.faults.append(f"cycle {self.number} ({self.source.kind}): {text}")

    def timed(self, what: str, bound: float, call: Callable[[], Any]) -> Any:
        began = time.monotonic()
        try:
            return call()
        finally:
            took = time.monotonic() - began
            if took > bound + SLACK:
                self.fault(f"{what} took {took:.3f} s (bound {bound:.3f} s)")

    def take(self, packets: list[Any]) -> None:
        self.seen.extend(int(p.scaled_ambient_pressure) for p in packets)

    def poll(self, block: bool) -> None:
        """One get_data_packets call; a read failure is noted, not raised."""
        bound = self.source.timeout if block else 0.0
        try:
            self.take(self.timed("get_data_packets", bound, lambda: self.source.parser.get_data_packets(block)))
        except OSError as e:
            if str(e) != "timed out waiting on channel":
                self.note_error(str(e))

    def note_error(self, text: str) -> None:
        # A signal that lands on the reader thread ends its run at once,
        # cutting any frame it had begun.
        if text.startswith("Interrupted system call"):
            self.clean = False
        self.errors.append(text)

    def settle(self, limit: float = 3.0) -> None:
        """Polls until every frame sent has come back (or `limit` passes). A
        run that a silent line ended is restarted: its frames wait in the port."""
        deadline = time.monotonic() + limit
        while len(self.seen) < self.sent and time.monotonic() < deadline:
            before = len(self.seen)
            self.poll(False)
            if len(self.seen) > before:
                continue
            if self.source.live and not self.source.parser.is_running():
                self.restart()
            else:
                time.sleep(0.002)

    def restart(self) -> None:
        self.timed("stop", self.source.stop_bound(), self.source.parser.stop)
        self.timed("start", 0.0, self.source.parser.start)


def step_burst(c: Cycle) -> None:
    if not c.source.live:
        return
    count = c.rng.randint(1, 80)
    if not c.source.feed(frames(c.sent, count)):
        c.clean = False
    c.sent += count
    if c.rng.random() < 0.7:
        c.settle()


def step_poll(c: Cycle) -> None:
    # A blocking wait with nothing on its way runs its whole timeout: only
    # where that is short.
    pending = len(c.seen) < c.sent and c.source.parser.is_running()
    c.poll(c.rng.random() < 0.3 and (pending or c.source.timeout <= 0.5) and c.source.timeout < math.inf)


def step_restart(c: Cycle) -> None:
    if len(c.seen) < c.sent:
        c.clean = False  # a frame cut by the stop is lost, as it may be
    c.restart()


def step_ctrl_c(c: Cycle) -> None:
    """SIGALRM whose handler raises KeyboardInterrupt, as Ctrl-C does, at a
    random moment of a blocking wait, of a stop, or of the code around them.
    Everything sent has come back first, so an interrupt that lands just after
    a call returned cannot throw packets away (unless some were missing)."""
    parser = c.source.parser
    c.settle()
    if len(c.seen) < c.sent:
        c.clean = False
    delay = c.rng.uniform(0.01, 0.3)
    # An endless timeout cannot be a blocking wait's (that is refused).
    call = c.rng.choice(["wait", "stop"] if c.source.timeout < math.inf else ["stop"])
    fired: list[float] = []

    def handler(signum: int, frame: object) -> None:
        fired.append(time.monotonic())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    failure = None
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            if call == "wait":
                try:
                    c.take(parser.get_data_packets(True))
                except OSError as e:
                    failure = str(e)
            else:
                parser.stop()
            time.sleep(delay + 0.05)  # the timer interrupts something of ours then
        except KeyboardInterrupt:
            took = time.monotonic() - fired[0]
            if took > CTRL_C_BOUND + SLACK:
                c.fault(f"Ctrl-C during {call} raised after {took:.3f} s")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if failure is not None and failure != "timed out waiting on channel":
        c.note_error(failure)
    if call == "stop":
        c.restart()  # a stop finishes what an interrupted one began


def wait_for_child(c: Cycle, child: int, what: str) -> None:
    """Reaps `child`, a fault if it takes longer than a second or ends with
    a status other than 0."""
    began = time.monotonic()
    while (done := os.waitpid(child, os.WNOHANG))[0] == 0:
        if time.monotonic() - began > 1.0 + SLACK:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
            c.fault(f"a forked child that {what} hung")
            return
        time.sleep(0.005)
    code = os.waitstatus_to_exitcode(done[1])
    if code != 0:
        c.fault(f"a forked child that {what} ended with status {code}")


def fork() -> int:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        return os.fork()


def step_fork(c: Cycle) -> None:
    """A child that uses its copy of the parser (not running, nothing
    queued, stops at once), or drops it, tearing it down."""
    drop = c.rng.random() < 0.5
    child = fork()
    if child == 0:
        status = 0
        try:
            if drop:
                c.source.parser = None  # the last reference in this process
            else:
                parser = c.source.parser
                if parser.is_running() or parser.get_data_packets():
                    status = 3
                parser.stop()
        except BaseException:
            status = 4
        os._exit(status)
    wait_for_child(c, child, "dropped its parser" if drop else "used its parser")


def step_hang_up(c: Cycle) -> None:
    if not c.source.live:
        return
    c.settle()
    c.source.hang_up()
    c.source.live = False


STEPS = [
    (step_burst, 8),
    (step_poll, 4),
    (step_restart, 2),
    (step_ctrl_c, 1),
    (step_fork, 2),
    (step_hang_up, 0.3),
]


def run_cycle(number: int, rng: random.Random, workdir: Path, faults: list[str]) -> int:
    """One lifecycle; returns the packets it saw. The source holds the only
    reference to the parser, so dropping it there tears the parser down."""
    kind = rng.choice(["device", "fifo", "recording"])
    recorded = rng.randint(0, 3000)
    if kind == "device":
        source = serial_source(rng, workdir)
    elif kind == "fifo":
        source = fifo_source(rng, workdir)
    else:
        source = recording_source(rng, workdir, recorded)
    c = Cycle(number, rng, source, faults, sent=0 if source.live else recorded)
    try:
        c.timed("start", 0.0, source.parser.start)
        steps, weights = zip(*STEPS)
        for step in rng.choices(steps, weights, k=rng.randint(1, 12)):
            step(c)
        if c.clean:
            c.settle(5.0)
        if rng.random() < 0.5:
            c.timed("stop", source.stop_bound(), source.parser.stop)
            c.poll(False)
        began = time.monotonic()
        source.parser = None
        took = time.monotonic() - began
        if took > source.stop_bound() + SLACK:
            c.fault(f"dropping the parser took {took:.3f} s")
    finally:
        source.close()
    check(c)
    return len(c.seen)


OUTPUTS_SHARE = 0.1  # of the cycles: tools writing the paths others read


def run_outputs_cycle(number: int, rng: random.Random, workdir: Path, faults: list[str]) -> int:
    """Tools writing outputs while other processes load, re-record and
    export the same paths: every load and every output is a whole file of
    one version or the other, a tool asked to write over its own input
    refuses and changes nothing, and no temporary file is left behind."""
    def fault(text: str) -> None:
        faults.append(f"cycle {number} (outputs): {text}")

    here = workdir / f"outputs-{number}"
    here.mkdir()
    shared = here / "shared.bin"
    first = rng.randint(1, 3000)
    data = frames(0, first)
    shared.write_bytes(data)
    with TimesWriter(str(shared) + ".times") as times:
        times.add(data, time.time_ns(), time.clock_gettime_ns(time.CLOCK_BOOTTIME))
    tool = [sys.executable, "-m", "brimlet_tools"]
    commands = {
        "generate": [*tool, "generate", "--force", "--duration", f"{rng.uniform(0.2, 2):.2f}", "--seed",
                     str(rng.randrange(1000)), "-o", str(shared), "--quiet"],
        "export": [*tool, "export", str(shared), str(here / "shared.csv"), "--quiet"],
        "dump": [*tool, "dump", str(shared), "--format", "jsonl", "-o", str(here / "shared.jsonl"), "--quiet"],
        "over itself": [*tool, "dump", str(shared), "-o", str(here / "." / "shared.bin")],
    }  # fmt: skip
    order = list(commands)
    rng.shuffle(order)
    children = {}
    for name in order:
        children[name] = subprocess.Popen(commands[name], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                          text=True)  # fmt: skip
        time.sleep(rng.uniform(0, 0.3))
    counts = set()
    while any(child.poll() is None for child in children.values()):
        try:
            counts.add(len(load_recording(shared)))
        except Exception as e:  # noqa: BLE001 - any failure of a load is the fault looked for
            fault(f"load while others wrote: {type(e).__name__}: {e}")
        time.sleep(rng.uniform(0, 0.05))
    final = len(load_recording(shared))
    for name, child in children.items():
        err = child.stderr.read() if child.stderr else ""
        if child.stderr:
            child.stderr.close()
        want = 1 if name == "over itself" else 0
        if child.returncode != want:
            fault(f"{name} ended with status {child.returncode}, not {want}: {err.strip()[-300:]}")
    versions = {first, final}
    if not counts <= versions:
        fault(f"loads saw {sorted(counts - versions)} packets, not one of {sorted(versions)}")
    for name, header in (("shared.csv", 1), ("shared.jsonl", 0)):
        path = here / name
        if path.exists() and sum(1 for _ in path.open()) - header not in versions:
            fault(f"{name} holds a partial export")
    left = [p.name for p in here.iterdir() if "partial" in p.name]
    if left:
        fault(f"left behind: {left}")
    shutil.rmtree(here, ignore_errors=True)
    return len(counts)


SERVE_SHARE = 0.05  # of the cycles: a served port beset by clients
SERVE_END_BOUND = 2.0  # seconds from Ctrl-C to the server's end
SERVE_RSS_LIMIT = 300 << 20  # bytes


def ws_frame(opcode: int, payload: bytes = b"") -> bytes:
    """A client's frame (masked with zeros)."""
    size = bytes([0x80 | len(payload)]) if len(payload) < 126 else bytes([0x80 | 126]) + len(payload).to_bytes(2)
    return bytes([0x80 | opcode]) + size + bytes(4) + payload


def ws_socket(address: tuple[str, int], receive_buffer: int | None = None) -> Any:
    """A bare client socket with its opening handshake sent."""
    import socket

    sock = socket.socket()
    if receive_buffer is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(10)
    sock.connect(address)
    sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 b"Sec-WebSocket-Protocol: foxglove.websocket.v1\r\n\r\n")  # fmt: skip
    return sock


def hostile(rng: random.Random, address: tuple[str, int], until: float) -> None:
    """One misbehaving client, chosen at random, until `until` (monotonic)."""
    import json

    sock = ws_socket(address, receive_buffer=rng.choice([None, 4096]))
    subscribe = json.dumps({"op": "subscribe", "subscriptions": [{"id": c, "channelId": c} for c in range(1, 5)]})
    junk = [b"not json", b'{"op":"subscribe","subscriptions":[{"id":4294967296,"channelId":1}]}',
            b'{"op":"subscribe","subscriptions":[{"id":-1,"channelId":4}]}', b'{"op":"publish"}',
            b'{"op":"unsubscribe","subscriptionIds":[9]}', b"[]"]  # fmt: skip
    try:
        kind = rng.choice(["stall", "flood", "pings", "junk", "vanish"])
        if kind == "stall":  # subscribed to everything, never reads
            sock.sendall(ws_frame(1, subscribe.encode()))
            time.sleep(max(0.0, until - time.monotonic()))
        elif kind == "flood":
            sock.sendall(ws_frame(1, rng.choice(junk)) * rng.randint(1000, 50_000))
        elif kind == "pings":
            sock.sendall(ws_frame(9) * rng.randint(1000, 100_000))
        elif kind == "junk":
            for _ in range(rng.randint(1, 40)):
                sock.sendall(ws_frame(1, rng.choice(junk)))
                time.sleep(rng.uniform(0, 0.05))
        else:  # subscribes, then is gone without a close
            sock.sendall(ws_frame(1, subscribe.encode()))
            time.sleep(rng.uniform(0, 1))
            import socket

            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except OSError:
        pass  # cut off by the server, as it may be
    finally:
        sock.close()


async def watch_served(url: str, seconds: float, rng: random.Random, address: tuple[str, int]) -> list[int]:
    """A client that behaves, for `seconds`, beside hostile ones; the
    messages it got in each second, and -1 for one whose stamps went back."""
    import asyncio
    import json

    from websockets.asyncio.client import connect

    until = time.monotonic() + seconds
    others = [asyncio.to_thread(hostile, rng, address, until) for _ in range(rng.randint(1, 6))]
    counts: list[int] = []
    async with connect(url, subprotocols=["foxglove.websocket.v1"]) as good:  # type: ignore[list-item]
        await good.recv()
        channels = {c["topic"]: c["id"] for c in json.loads(await good.recv())["channels"]}
        await good.send(json.dumps({"op": "subscribe", "subscriptions": [{"id": 1, "channelId": channels["/imu/data_raw"]}]}))
        pending = asyncio.gather(*others)
        last = 0
        while (left := until - time.monotonic()) > 0:
            n, window = 0, time.monotonic() + min(1.0, left)
            while (rest := window - time.monotonic()) > 0:
                try:
                    message = await asyncio.wait_for(good.recv(), rest)
                except TimeoutError:
                    break
                if isinstance(message, bytes):
                    stamp = int.from_bytes(message[5:13], "little")
                    n = -1 if stamp < last or n < 0 else n + 1
                    last = stamp
            counts.append(n)
        await pending
    return counts


def resident(pid: int) -> int:
    """Resident memory of the process `pid`, in bytes."""
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_serve_cycle(number: int, rng: random.Random, workdir: Path, faults: list[str]) -> int:
    """A port served while clients beset the server; returns the messages a
    client that behaves got."""
    import asyncio
    import re
    import threading

    def fault(text: str) -> None:
        faults.append(f"cycle {number} (serve): {text}")

    device = VirtualDevice(BAUDRATE, stale_after=None)
    log = workdir / f"serve-{number}.log"  # a file: a pipe left unread would stall the server
    with open(log, "w") as err_file:
        server = subprocess.Popen([sys.executable, "-m", "brimlet_tools", "serve", "-p", device.path, "-b",
                                   str(BAUDRATE), "--listen", "127.0.0.1:0", "--quiet"], stderr=err_file)  # fmt: skip
    going = threading.Event()

    def feed() -> None:
        n = 0
        while not going.is_set():
            device.write(frames(n, 10))
            n += 10
            time.sleep(0.01)

    feeder = threading.Thread(target=feed)
    feeder.start()
    counts: list[int] = []
    took = 0.0
    try:
        deadline = time.monotonic() + 30
        while "\n" not in (line := log.read_text()) and server.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        found = re.search(r"on (ws://([0-9.]+):([0-9]+));", line)
        if found is None:
            fault(f"no address: {line.strip()}")
            return 0
        url, address = found.group(1), (found.group(2), int(found.group(3)))
        counts = asyncio.run(watch_served(url, rng.uniform(2, 6), rng, address))
        if server.poll() is not None:
            fault(f"the server ended with status {server.returncode} while clients were about")
        if counts[1:] and min(counts[1:]) <= 0:
            fault(f"the client that behaves got, second by second: {counts} (-1: stamps out of order)")
        if (rss := resident(server.pid)) > SERVE_RSS_LIMIT:
            fault(f"the server's resident memory is {rss >> 20} MiB")
        began = time.monotonic()
        server.send_signal(signal.SIGINT)
        try:
            server.wait(SERVE_END_BOUND + HANG / 4)
        except subprocess.TimeoutExpired:
            pass
        took = time.monotonic() - began
    except Exception as e:  # noqa: BLE001 - any failure of the clients is the fault looked for
        fault(f"{type(e).__name__}: {e}")
    finally:
        server.kill()
        server.wait()
        err = log.read_text()
        log.unlink()
        going.set()
        feeder.join()
        device.close()
    if took > SERVE_END_BOUND + SLACK:
        fault(f"Ctrl-C ended the server after {took:.2f} s: {err.strip()[-300:]}")
    elif server.returncode != 0 or "Traceback" in err:
        fault(f"the server ended with status {server.returncode}: {err.strip()[-300:]}")
    return sum(max(n, 0) for n in counts)


def check(c: Cycle) -> None:
    seen = c.seen
    if any(b <= a for a, b in zip(seen, seen[1:])):
        duplicated = len(seen) - len(set(seen))
        c.fault(f"packets duplicated ({duplicated}) or out of order")
    if c.clean and not c.errors and seen != list(range(c.sent)):
        c.fault(f"{c.sent - len(set(seen))} of {c.sent} packets lost")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("STRESS_SECONDS") or 600))
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--rss-slack", type=int, default=16 << 20, metavar="BYTES")
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    print(f"stress: {args.seconds:g} s of random parser lifecycles, seed {seed}", flush=True)
    faults: list[str] = []
    workdir = Path(tempfile.mkdtemp(prefix="brimlet-stress-"))
    faulthandler.dump_traceback_later(HANG, exit=True, file=sys.stdout)  # its thread counts from here on
    # The loader of the outputs cycles opens what it keeps for the life of
    # the process on its first use: before the counts are taken.
    warm = workdir / "warm.bin"
    warm.write_bytes(frames(0, 10))
    load_recording(warm)
    tasks, fds = task_count(), fd_count()
    rss_base: int | None = None
    cycles = packets = 0
    started = time.monotonic()
    try:
        while time.monotonic() - started < args.seconds:
            before = len(faults)
            # A call that never returns cannot be timed: a cycle that takes
            # longer than HANG seconds ends the run with "Timeout" and the
            # stack of every thread on standard output (status 1).
            faulthandler.dump_traceback_later(HANG, exit=True, file=sys.stdout)
            draw = rng.random()
            cycle = (run_outputs_cycle if draw < OUTPUTS_SHARE else
                     run_serve_cycle if draw < OUTPUTS_SHARE + SERVE_SHARE else run_cycle)  # fmt: skip
            packets += cycle(cycles, rng, workdir, faults)
            cycles += 1
            if (n := settled(task_count, tasks)) != tasks:
                faults.append(f"cycle {cycles - 1}: {n} threads, not {tasks}")
            if (n := settled(fd_count, fds)) != fds:
                faults.append(f"cycle {cycles - 1}: {n} open descriptors, not {fds}")
            if cycles == 50:
                rss_base = common.rss()
            elif rss_base is not None and common.rss() > rss_base + args.rss_slack:
                faults.append(f"cycle {cycles - 1}: resident memory {common.rss()} bytes, {rss_base} after warm-up")
                rss_base = common.rss()  # report growth once per slack
            for fault in faults[before:]:
                print(f"FAULT: {fault}", flush=True)
            if faults and len(faults) > 100:
                break
    finally:
        faulthandler.cancel_dump_traceback_later()
        shutil.rmtree(workdir, ignore_errors=True)
    elapsed = time.monotonic() - started
    print(f"stress: {cycles} cycles in {elapsed:.0f} s, {packets} packets checked, {len(faults)} faults "
          f"(seed {seed})")  # fmt: skip
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
