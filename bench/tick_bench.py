"""An asyncio program that must not freeze while it takes packets.

A coroutine ticks every millisecond and notes how late each tick comes,
while the packets of the virtual device (1000 raw + 100 estimated per second
at 921600 baud) are taken in the same program:

* `live-source`: `async for batch in live(port)`, which waits on the live
  source's readiness descriptor in the event loop.
* `ticker-alone`: nothing reads the port; what is left is the machine's and
  the interpreter's own share of the delay.
* `blocking-thread`: a thread drains a `SerialParser` with
  `get_data_packets(block=True)`, which holds the interpreter lock while it
  waits, the way a program without the live source would do it.

    python bench/tick_bench.py --mode live-source [--seconds 10] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import threading
import time
from typing import Any

import common

BAUDRATE = 921600
TICK = 0.001
MODES = ("live-source", "blocking-thread", "ticker-alone")


async def ticker(seconds: float, delays: list[float]) -> None:
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        before = time.monotonic()
        await asyncio.sleep(TICK)
        delays.append(time.monotonic() - before - TICK)


async def live_source(path: str, stop: asyncio.Event, counted: list[int]) -> None:
    from brimlet_tools.live.stream import live

    async with live(path, BAUDRATE) as stream:
        async for batch in stream:
            counted[0] += len(batch["kind"])
            if stop.is_set():
                return


def blocking_thread(path: str, stop: threading.Event, counted: list[int]) -> None:
    import brimlet

    with brimlet.SerialParser(path, BAUDRATE, 1.0) as parser:
        while not stop.is_set():
            counted[0] += len(parser.get_data_packets(block=True))


async def run(mode: str, path: str, seconds: float) -> dict[str, Any]:
    delays: list[float] = []
    counted = [0]
    if mode == "live-source":
        stop = asyncio.Event()
        consumer = asyncio.create_task(live_source(path, stop, counted))
        await asyncio.sleep(0.5)  # the first packets in
        await ticker(seconds, delays)
        stop.set()
        await consumer
    elif mode == "ticker-alone":  # the machine's own share: the device runs, nobody reads it
        await asyncio.sleep(0.5)
        await ticker(seconds, delays)
    else:
        halt = threading.Event()
        thread = threading.Thread(target=blocking_thread, args=(path, halt, counted))
        thread.start()
        await asyncio.sleep(0.5)
        await ticker(seconds, delays)
        halt.set()
        await asyncio.to_thread(thread.join)
    delays.sort()
    return {"mode": mode, "ticks": len(delays), "packets": counted[0], "max_ms": 1e3 * delays[-1],
            "p99_ms": 1e3 * delays[int(0.99 * (len(delays) - 1))], "p999_ms": 1e3 * delays[int(0.999 * (len(delays) - 1))],
            "median_ms": 1e3 * delays[len(delays) // 2], "late_2ms": sum(d > 0.002 for d in delays)}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mode", choices=MODES, required=True)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    with common.virtual_device(args.seconds + 5, BAUDRATE, 1000.0, 100.0) as path:
        result = asyncio.run(run(args.mode, path, args.seconds))
    common.emit(result, args.json, [f"{args.mode}: {result}"])
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
