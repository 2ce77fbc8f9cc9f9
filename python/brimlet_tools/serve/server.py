"""The server: clients, their subscriptions and queues, the acquisition that
feeds them, and the health report.

Acquisition never waits for a client: each message is put on the queue of
every client subscribed to its channel, and a task per client sends from
that queue. A queue holds at most QUEUE_LIMIT messages; when a client reads
too slowly, the oldest of its messages give way (they are counted, and the
health channel reports them), so a slow client costs the others nothing and
the server's memory stays bounded.
"""

from __future__ import annotations

import asyncio
import json
import time
from collections import deque
from collections.abc import AsyncIterator, Callable
from dataclasses import dataclass, field
from typing import Any

from ..timing.online import SampleClock
from ..wire.fields import PACKET_TYPES, VALIDITY_NAMES
from ..wire.ros_messages import SCHEMAS, TOPICS, stream_messages
from .protocol import (SUBPROTOCOL, BadRequest, Channel, Subscribe, advertise, message_frame, parse_request,
                       server_info, status)  # fmt: skip

QUEUE_LIMIT = 4096  # messages waiting for one client
HEALTH_TOPIC = "/brimlet/health"
HEALTH_INTERVAL = 1.0  # seconds
INCOMING_LIMIT = 65536  # bytes in one client message
WRITE_LIMIT = 65536  # bytes the connection buffers before a send waits

Batch = dict[str, Any]
Log = Callable[[str], None]

HEALTH_SCHEMA = json.dumps({
    "type": "object",
    "properties": {
        "rates": {"type": "object", "description": "packets per second by kind, over the last report's span"},
        "packets": {"type": "object", "description": "packets since the start, by kind"},
        "bytes_outside_frames": {"type": ["integer", "null"], "description": "since the start"},
        "failed_checksums": {"type": ["integer", "null"],
                             "description": "candidate frames whose checksum failed: since the start for a port, "
                                            "the whole recording's count for a replay"},
        "flagged_not_valid": {"type": "object", "description": "fields the device flagged not valid, by name"},
        "seconds_since_last_packet": {"type": ["number", "null"]},
        "clients": {"type": "array", "items": {"type": "object", "properties": {
            "name": {"type": "string"}, "dropped": {"type": "integer"}, "queued": {"type": "integer"}}}},
    },
})  # fmt: skip


def channels() -> list[Channel]:
    """The channels on offer, ids from 1: the ROS 2 topics, then the health."""
    out = [Channel(i, topic, "cdr", schema, SCHEMAS[schema], "ros2msg")
           for i, (topic, schema) in enumerate(TOPICS.items(), 1)]  # fmt: skip
    out.append(Channel(len(out) + 1, HEALTH_TOPIC, "json", "brimlet/Health", HEALTH_SCHEMA, "jsonschema"))
    return out


@dataclass(eq=False)
class Client:
    name: str
    connection: Any
    subscriptions: dict[int, int] = field(default_factory=dict)  # channel id -> subscription id
    queue: deque[bytes] = field(default_factory=lambda: deque(maxlen=QUEUE_LIMIT))
    dropped: int = 0
    wake: asyncio.Event = field(default_factory=asyncio.Event)
    told: set[str] = field(default_factory=set)  # the kinds of bad request logged already

    def put(self, frame: bytes) -> None:
        if len(self.queue) == QUEUE_LIMIT:
            self.dropped += 1
        self.queue.append(frame)
        self.wake.set()


@dataclass
class Health:
    """What the health channel reports, kept up to date by the acquisition."""

    packets: list[int] = field(default_factory=lambda: [0] * len(PACKET_TYPES))
    flagged: list[int] = field(default_factory=lambda: [0] * len(VALIDITY_NAMES))
    last_packet: float | None = None  # monotonic
    outside: int | None = None
    failed_checksums: int | None = None
    reported: list[int] = field(default_factory=lambda: [0] * len(PACKET_TYPES))
    reported_at: float = field(default_factory=time.monotonic)

    def count(self, batch: Batch) -> None:
        if "skipped" in batch:  # the bytes outside frames before each packet
            self.outside = (self.outside or 0) + int(batch["skipped"].sum())
        import numpy as np

        # One pass each over the batch, not one per kind or per flag bit: a
        # live batch is called for every packet or two.
        by_kind = np.bincount(batch["kind"], minlength=len(PACKET_TYPES))
        self.packets = [n + int(m) for n, m in zip(self.packets, by_kind)]
        bits = (batch["invalid"][:, None] >> np.arange(len(VALIDITY_NAMES), dtype=np.uint16)) & 1
        self.flagged = [n + int(m) for n, m in zip(self.flagged, bits.sum(axis=0))]
        self.last_packet = time.monotonic()

    def report(self, clients: list[Client]) -> dict[str, Any]:
        now = time.monotonic()
        span = max(now - self.reported_at, 1e-9)
        rates = {t: round((n - r) / span, 1) for t, n, r in zip(PACKET_TYPES, self.packets, self.reported)}
        self.reported, self.reported_at = list(self.packets), now
        return {
            "rates": rates,
            "packets": dict(zip(PACKET_TYPES, self.packets)),
            "bytes_outside_frames": self.outside,
            "failed_checksums": self.failed_checksums,
            "flagged_not_valid": {n: c for n, c in zip(VALIDITY_NAMES, self.flagged) if c},
            "seconds_since_last_packet": None if self.last_packet is None else round(now - self.last_packet, 3),
            "clients": [{"name": c.name, "dropped": c.dropped, "queued": len(c.queue)} for c in clients],
        }


class Hub:
    """The clients and what goes to them."""

    def __init__(self, frame_id: str, log: Log, scan: Callable[[], dict[str, int]] | None = None) -> None:
        self.channels = channels()
        self.by_topic = {c.topic: c for c in self.channels}
        self.by_id = {c.id: c for c in self.channels}
        self.clients: list[Client] = []
        self.frame_id = frame_id
        self.log = log
        self.health = Health()
        self.scan = scan  # a live source's scan totals, asked at each report
        self.clock: SampleClock | None = None  # a live source's sample clock
        self.subscribed = asyncio.Event()  # set by the first subscription
        self.session = str(time.time_ns())

    def publish(self, batch: Batch) -> None:
        """Every message of the packets in `batch` to the clients that take it;
        a column "skipped" counts bytes outside frames."""
        self.health.count(batch)
        self.send(batch)

    def send(self, batch: Batch) -> None:
        """The messages of `batch`, stamped with its "sample_time" where it
        has one, to the clients that take them."""
        if not self.clients:
            return
        takers = {topic: [(c, c.subscriptions[channel.id]) for c in self.clients if channel.id in c.subscriptions]
                  for topic, channel in self.by_topic.items()}  # fmt: skip
        for topic, stamp, message in stream_messages(batch, self.frame_id):
            for client, subscription in takers[topic]:
                client.put(message_frame(subscription, stamp, message))

    def publish_health(self) -> dict[str, Any]:
        if self.scan is not None:
            totals = self.scan()
            self.health.outside, self.health.failed_checksums = totals["outside"], totals["bad_checksums"]
        report = self.health.report(self.clients)
        channel = self.by_topic[HEALTH_TOPIC]
        payload = json.dumps(report).encode()
        stamp = time.time_ns()
        for client in self.clients:
            if channel.id in client.subscriptions:
                client.put(message_frame(client.subscriptions[channel.id], stamp, payload))
        return report

    def refuse(self, client: Client, kind: str, text: str) -> None:
        """Logs a bad request once per client and kind, and tells the client."""
        if kind not in client.told:
            client.told.add(kind)
            self.log(f"client {client.name}: {text}; ignored")
        asyncio.ensure_future(send_quietly(client, status(1, text)))

    def handle(self, client: Client, message: str | bytes) -> None:
        try:
            request = parse_request(message)
        except BadRequest as e:
            self.refuse(client, "bad", str(e))
            return
        if isinstance(request, Subscribe):
            for subscription, channel in request.pairs:
                if channel not in self.by_id:
                    self.refuse(client, "channel", f"subscription to the unknown channel {channel}")
                    continue
                client.subscriptions[channel] = subscription
            if client.subscriptions:
                self.subscribed.set()
        else:
            client.subscriptions = {c: s for c, s in client.subscriptions.items() if s not in request.ids}

    async def serve_client(self, connection: Any) -> None:
        """The life of one connection: the greeting, then requests in, messages out."""
        address = getattr(connection, "remote_address", None) or ("?", 0)
        client = Client(f"{address[0]}:{address[1]}", connection)
        try:
            await connection.send(server_info("brimlet", self.session))
            await connection.send(advertise(self.channels))
        except Exception as e:  # noqa: BLE001  (the connection's own failures)
            self.log(f"client {client.name} left before the greeting: {type(e).__name__}")
            return
        self.clients.append(client)
        self.log(f"client {client.name} connected")
        sender = asyncio.create_task(self.pump(client))
        try:
            async for message in connection:
                self.handle(client, message)
            reason = "closed the connection"
        except Exception as e:  # noqa: BLE001
            reason = f"went away ({type(e).__name__})"
        finally:
            sender.cancel()
            self.clients.remove(client)
        self.log(f"client {client.name} {reason}; {client.dropped} messages dropped")

    async def pump(self, client: Client) -> None:
        try:
            while True:
                while client.queue:
                    await client.connection.send(client.queue.popleft())
                client.wake.clear()
                await client.wake.wait()
        except asyncio.CancelledError:
            raise
        except Exception:  # noqa: BLE001  (the receiving side reports the end)
            return


async def send_quietly(client: Client, text: str) -> None:
    try:
        await client.connection.send(text)
    except Exception:  # noqa: BLE001
        pass


async def acquire(hub: Hub, batches: AsyncIterator[Batch]) -> None:
    if hub.clock is not None:
        return await acquire_stamped(hub, batches, hub.clock)
    async for batch in batches:
        hub.publish(batch)


async def acquire_stamped(hub: Hub, batches: AsyncIterator[Batch], clock: SampleClock) -> None:
    """Live batches with their sample times: the health counts each batch as
    it comes, and its rows go out once the clock's delay of the line has come
    after them, or as long has passed with nothing coming."""
    source = aiter(batches)
    upcoming: asyncio.Future[Batch | None] | None = None
    try:
        while True:
            upcoming = upcoming or asyncio.ensure_future(anext(source, None))
            done, _ = await asyncio.wait({upcoming}, timeout=clock.delay_ns / 1e9)
            if not done:
                settled = clock.columns_until(time.time_ns())
            else:
                batch, upcoming = upcoming.result(), None
                if batch is None:
                    break
                hub.health.count(batch)
                settled = clock.feed_columns(batch)
            if settled is not None:
                hub.send(settled)
        if (rest := clock.finish_columns()) is not None:
            hub.send(rest)
    finally:
        if upcoming is not None:
            upcoming.cancel()


async def report_health(hub: Hub) -> None:
    while True:
        await asyncio.sleep(HEALTH_INTERVAL)
        hub.publish_health()


async def run(hub: Hub, batches: AsyncIterator[Batch], host: str, port: int, stop: asyncio.Event,
              seconds: float | None = None, on_listening: Callable[[str], None] | None = None) -> None:  # fmt: skip
    """Serves `batches` on host:port until `stop` is set or `seconds` pass.
    The end of the batches leaves the server up (the health goes on); a
    failure of the acquisition ends it, raised here."""
    import logging

    from websockets.asyncio.server import serve

    quiet = logging.getLogger("brimlet.serve.websockets")
    quiet.addHandler(logging.NullHandler())
    quiet.propagate = False
    async with serve(hub.serve_client, host, port, subprotocols=[SUBPROTOCOL],  # type: ignore[list-item]
                     max_size=INCOMING_LIMIT, write_limit=WRITE_LIMIT, logger=quiet) as server:  # fmt: skip
        bound = server.sockets[0].getsockname()
        if on_listening is not None:
            on_listening(f"ws://{bound[0]}:{bound[1]}")
        acquisition = asyncio.create_task(acquire(hub, batches))
        health = asyncio.create_task(report_health(hub))
        stopped = asyncio.create_task(stop.wait())
        try:
            waiting = {acquisition, stopped}
            deadline = None if seconds is None else time.monotonic() + seconds
            while stopped in waiting:
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                done, waiting = await asyncio.wait(waiting, timeout=left, return_when=asyncio.FIRST_COMPLETED)
                if acquisition in done:
                    acquisition.result()  # a failure ends the server
                if not done:
                    break
        finally:
            for task in (acquisition, health, stopped):
                task.cancel()
            await asyncio.gather(acquisition, health, stopped, return_exceptions=True)
