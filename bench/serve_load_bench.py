"""`brimlet serve` under load: 8 clients, one of which never reads.

The virtual device (1000 raw + 100 estimated packets per second with
sequence numbers, 921600 baud) feeds `brimlet serve -p`; at the same time a
second virtual device with the same stream is taken down by `brimlet record`,
to see whether the server's load costs a recording anything. Seven clients
subscribe to every channel and read everything; the eighth subscribes and
never reads (its socket fills, then its queue, whose oldest messages give
way, and once it has taken nothing for the server's stall time it is
disconnected). Reported: for each reading client, the pressure messages it
got and the raw packets missing from their sequence numbers; the server's
resident memory, sampled every second; the stalled client's drops from the
health channel and whether it was still served at the end; the seconds from
SIGTERM to the server's end; the recording's packets and those it lost.

    python bench/serve_load_bench.py [--seconds 20] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import re
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import common

BAUDRATE = 921600
CLIENTS = 8
SUBPROTOCOL = "foxglove.websocket.v1"


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def raw_lost(counters: list[int]) -> int:
    """Raw packets missing from `counters` (the sequence numbers of the raw
    packets a client got): the counter runs over both kinds, so the numbers
    the device gave its raw packets between the first and last seen come
    from the device's own schedule."""
    if not counters:
        return 0
    from brimlet_tools.sim import simulator

    config = simulator.StreamConfig(seconds=None, raw_rate=1000.0, estimated_rate=100.0, counter=True)
    expected = 0
    for index, (_, kind) in enumerate(simulator.frame_times(config)):
        if index > counters[-1]:
            break
        expected += index >= counters[0] and kind == "raw"
    return expected - len(set(counters))


def stream_lost(counters: list[int]) -> int:
    """Packets missing from `counters`, the sequence numbers of every packet
    of both kinds in stream order."""
    return sum(b - a - 1 for a, b in zip(counters, counters[1:]) if b > a + 1)


async def reading_client(url: str, seconds: float, health: list[Any]) -> dict[str, Any]:
    from websockets.asyncio.client import connect

    counters: list[int] = []
    messages = 0
    async with connect(url, subprotocols=[SUBPROTOCOL], max_size=None) as ws:  # type: ignore[list-item]
        await ws.recv()
        channels = {c["id"]: c["topic"] for c in json.loads(await ws.recv())["channels"]}
        await ws.send(json.dumps({"op": "subscribe",
                                  "subscriptions": [{"id": i, "channelId": i} for i in channels]}))  # fmt: skip
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            try:
                message = await asyncio.wait_for(ws.recv(), left)
            except TimeoutError:
                break
            if not isinstance(message, bytes):
                continue
            messages += 1
            topic = channels[int.from_bytes(message[1:5], "little")]
            if topic == "/imu/pressure":
                # The message ends with the pressure (Pa) and its variance, two doubles.
                counters.append(round(struct.unpack_from("<d", message, len(message) - 16)[0] / 100))
            elif topic == "/brimlet/health":
                health.append(json.loads(message[13:]))
    return {"messages": messages, "pressure": len(counters), "lost": raw_lost(counters)}


async def stalled_client(url: str, seconds: float) -> None:
    """Subscribes to every channel, then never reads: a bare socket with a
    small receive buffer, so that what the server sends piles up at its end
    (a client library would go on reading into its own buffers)."""
    import base64
    import os
    import socket
    from urllib.parse import urlsplit

    where = urlsplit(url)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.setblocking(False)
    await asyncio.get_running_loop().sock_connect(sock, (where.hostname, where.port))
    reader, writer = await asyncio.open_connection(sock=sock)
    key = base64.b64encode(os.urandom(16)).decode()
    writer.write(f"GET / HTTP/1.1\r\nHost: {where.netloc}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                 f"Sec-WebSocket-Protocol: {SUBPROTOCOL}\r\n\r\n".encode())  # fmt: skip
    await reader.readuntil(b"\r\n\r\n")
    channels: list[Any] = []
    while not channels:  # the server's text frames, up to its list of channels
        head = await reader.readexactly(2)
        size = head[1] & 0x7F
        if size >= 126:
            size = int.from_bytes(await reader.readexactly(2 if size == 126 else 8), "big")
        body = json.loads(await reader.readexactly(size))
        channels = body.get("channels", []) if body.get("op") == "advertise" else []
    text = json.dumps({"op": "subscribe", "subscriptions": [{"id": c["id"], "channelId": c["id"]} for c in channels]})
    payload = text.encode()
    mask = os.urandom(4)
    length = bytes([0x80 | len(payload)]) if len(payload) < 126 else bytes([0x80 | 126]) + len(payload).to_bytes(2, "big")
    writer.write(b"\x81" + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
    await writer.drain()
    try:
        await asyncio.sleep(seconds)  # never reads
    finally:
        writer.transport.abort()


async def clients(url: str, seconds: float, pid: int) -> dict[str, Any]:
    health: list[Any] = []
    samples: list[int] = []

    async def sample() -> None:
        while True:
            samples.append(rss_kib(pid))
            await asyncio.sleep(1.0)

    sampler = asyncio.create_task(sample())
    stalled = asyncio.create_task(stalled_client(url, seconds + 1))
    readers = await asyncio.gather(*(reading_client(url, seconds, health) for _ in range(CLIENTS - 1)))
    sampler.cancel()
    stalled.cancel()
    dropped = max((c["dropped"] for report in health for c in report["clients"]), default=0)
    last = health[-1] if health else None
    return {"readers": readers, "rss_kib": samples, "stalled_dropped": dropped, "last_health": last,
            "stalled_still_served": last is not None and len(last["clients"]) == CLIENTS}  # fmt: skip


def record_lost(path: Path) -> dict[str, Any]:
    from brimlet_tools import load

    import numpy as np

    columns = load(path).columns
    raw = columns["kind"] == 0
    counters = [int(v) for v in np.where(raw, columns["scaled_ambient_pressure"], columns["est_pressure_alt"])]
    return {"packets": len(columns["kind"]), "lost": stream_lost(counters)}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    env = common.child_env()
    with (common.virtual_device(args.seconds + 10, BAUDRATE, 1000.0, 100.0) as served,
          common.virtual_device(args.seconds + 10, BAUDRATE, 1000.0, 100.0) as recorded,
          tempfile.TemporaryDirectory() as tmp):  # fmt: skip
        output = Path(tmp) / "during-serve.bin"
        record = subprocess.Popen([sys.executable, "-m", "brimlet_tools", "record", "--port", recorded, "-o",
                                   str(output), "--baudrate", str(BAUDRATE), "--quiet"],
                                  stderr=subprocess.PIPE, text=True, env=env)  # fmt: skip
        server = subprocess.Popen([sys.executable, "-m", "brimlet_tools", "serve", "-p", served, "-b", str(BAUDRATE),
                                   "--listen", "127.0.0.1:0", "--quiet"],
                                  stderr=subprocess.PIPE, text=True, env=env)  # fmt: skip
        try:
            assert server.stderr is not None
            url = re.search(r"on (ws://\S+);", server.stderr.readline())
            if url is None:
                raise SystemExit("serve did not start")
            result = asyncio.run(clients(url.group(1), args.seconds, server.pid))
        finally:
            began, running = time.monotonic(), server.poll() is None
            server.terminate()
            server.communicate(timeout=10)
            ended = time.monotonic() - began if running else None  # None: it had ended (the device's end)
            record.terminate()
            record.communicate(timeout=10)
        result["record"] = record_lost(output)
        result["sigterm_to_end_s"] = None if ended is None else round(ended, 2)
    common.emit(result, args.json, [f"serve load: {result}"])
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
