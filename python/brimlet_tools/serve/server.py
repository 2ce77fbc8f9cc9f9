"""The server: clients, their subscriptions and queues, and the health
report. The hub is a sink of the live pipeline (`live.sinks`): what feeds
it is wired by the command.

Acquisition never waits for a client: each message is put on the queue of
every client subscribed to its channel, and a task per client sends from
that queue. A queue holds at most QUEUE_LIMIT messages; when a client reads
too slowly, the oldest of its messages give way (they are counted, and the
health channel reports them), and a client that takes nothing for
STALL_SECONDS while its messages wait is disconnected, so a slow client
costs the others nothing and the server's memory stays bounded.

A client's requests are checked before anything is done for them (ids in
the wire's range and unique per client, channels on offer); a bad one is
answered with a status message through the same bounded queue, and what a
client may send at all is limited where its frames arrive (`connection`).
A failure in serving one client ends that client's connection only.

The server ends within CLOSE_GRACE of being asked to (or of the end of its
acquisition by a failure): what is queued goes out and each client is told
in that time, and connections still open after it are aborted.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import time
from collections import deque
from collections.abc import Callable, Coroutine, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ..wire.fields import INVALID_BITS, PACKET_TYPES, VALIDITY_NAMES
from ..wire.ros_messages import SCHEMAS, TOPICS, stream_messages
from .protocol import (SUBPROTOCOL, BadRequest, Channel, Subscribe, advertise, message_frame, parse_request,
                       server_info, status)  # fmt: skip

if TYPE_CHECKING:
    from re import Pattern

QUEUE_LIMIT = 4096  # messages waiting for one client
HEALTH_TOPIC = "/brimlet/health"
HEALTH_INTERVAL = 1.0  # seconds
INCOMING_LIMIT = 65536  # bytes in one client message
WRITE_LIMIT = 65536  # bytes the connection buffers before a send waits
STALL_SECONDS = 5.0  # a client that takes nothing this long while messages wait is disconnected
CLOSE_GRACE = 1.0  # seconds the clients get, at the end, to take what is queued and the close

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
    """One connection: `name` is what other clients see of it (a number),
    `address` what the log shows."""

    name: str
    address: str
    connection: Any
    subscriptions: dict[int, int] = field(default_factory=dict)  # channel id -> subscription id
    queue: deque[bytes | str] = field(default_factory=lambda: deque(maxlen=QUEUE_LIMIT))
    dropped: int = 0
    wake: asyncio.Event = field(default_factory=asyncio.Event)
    told: set[str] = field(default_factory=set)  # the kinds of bad request logged already
    ended: str | None = None  # why the server ended the connection

    def put(self, frame: bytes | str) -> None:
        if len(self.queue) == QUEUE_LIMIT:
            self.dropped += 1
        self.queue.append(frame)
        self.wake.set()

    def drop(self, reason: str) -> None:
        """Ends the connection at once, for `reason`."""
        if self.ended is None:
            self.ended = reason
        transport = getattr(self.connection, "transport", None)
        if transport is not None:
            transport.abort()


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

    def take(self, batch: Batch) -> bool:
        """Counts the rows of `batch`; the report never has enough."""
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
        return False

    def finish(self) -> None:
        """The counts stay for the reports that follow the end."""

    def drop(self) -> None:
        """The counts hold nothing to deliver."""

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
            "flagged_not_valid": {n: c for n, c in zip(INVALID_BITS, self.flagged) if c},
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
        self.subscribed = asyncio.Event()  # set by the first subscription
        self.session = str(time.time_ns())
        self.joined = 0  # clients so far, for their names

    def count(self, batch: Batch) -> None:
        """Counts the packets of `batch` for the health as they come (a
        column "skipped" counts bytes outside frames), before they are sent."""
        self.health.take(batch)

    def take(self, batch: Batch) -> bool:
        """The messages of `batch`, stamped with its "sample_time" where it
        has one, to the clients that take them; the hub never has enough."""
        if self.clients:
            self.send(batch)
        return False

    def finish(self) -> None:
        """The end of the batches leaves the hub serving (the health goes on)."""

    def drop(self) -> None:
        """Nothing waits on the hub: each client's queue is bounded."""

    def send(self, batch: Batch) -> None:
        takers = {topic: [(c, c.subscriptions[channel.id]) for c in self.clients if channel.id in c.subscriptions]
                  for topic, channel in self.by_topic.items()}  # fmt: skip
        for topic, stamp, message in stream_messages(batch, self.frame_id):
            for client, subscription in takers[topic]:
                deliver(client, subscription, stamp, message)

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
                deliver(client, client.subscriptions[channel.id], stamp, payload)
        return report

    def refuse(self, client: Client, kind: str, text: str) -> None:
        """Logs a bad request once per client and kind, and tells the client."""
        if kind not in client.told:
            client.told.add(kind)
            self.log(f"{client.name} ({client.address}): {text}; ignored")
        client.put(status(1, text))

    def handle(self, client: Client, message: str | bytes) -> None:
        try:
            request = parse_request(message)
        except BadRequest as e:
            self.refuse(client, "bad", str(e))
            return
        if isinstance(request, Subscribe):
            for subscription, channel in request.pairs:
                holder = next((c for c, s in client.subscriptions.items() if s == subscription), channel)
                if channel not in self.by_id:
                    self.refuse(client, "channel", f"subscription to the unknown channel {channel}")
                elif holder != channel:
                    self.refuse(client, "id", f"subscription id {subscription} is taken (channel {holder})")
                else:
                    client.subscriptions[channel] = subscription
            if client.subscriptions:
                self.subscribed.set()
            return
        held = set(client.subscriptions.values())
        for unknown in sorted(set(request.ids) - held):
            self.refuse(client, "unsubscribe", f"no subscription {unknown} to end")
        client.subscriptions = {c: s for c, s in client.subscriptions.items() if s not in request.ids}

    async def serve_client(self, connection: Any) -> None:
        """The life of one connection: the greeting, then requests in, messages out."""
        address = getattr(connection, "remote_address", None) or ("?", 0)
        self.joined += 1
        client = Client(f"client {self.joined}", f"{address_text(address[0])}:{address[1]}", connection)
        try:
            await asyncio.wait_for(greet(connection, server_info("brimlet", self.session), advertise(self.channels)),
                                   STALL_SECONDS)  # fmt: skip
        except Exception as e:  # noqa: BLE001  (the connection's own failures)
            self.log(f"{client.name} ({client.address}) left before the greeting: {type(e).__name__}")
            client.drop("no greeting")
            return
        self.clients.append(client)
        self.log(f"{client.name} ({client.address}) connected")
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
        cut = getattr(connection, "cut_off", None) or client.ended
        reason = f"was disconnected: {cut}" if cut else reason
        self.log(f"{client.name} ({client.address}) {reason}; {client.dropped} messages dropped")

    async def pump(self, client: Client) -> None:
        """Sends what is queued for `client`; one that takes nothing for
        STALL_SECONDS while it waits is dropped."""
        try:
            while True:
                while client.queue:
                    frame = client.queue.popleft()
                    try:
                        await asyncio.wait_for(client.connection.send(frame), STALL_SECONDS)
                    except TimeoutError:
                        client.drop(f"took nothing for {STALL_SECONDS:g} s")
                        return
                client.wake.clear()
                await client.wake.wait()
        except asyncio.CancelledError:
            raise
        except Exception:  # noqa: BLE001  (the receiving side reports the end)
            client.drop("could not be sent to")
            return

    async def close_all(self, grace: float) -> None:
        """Lets every client take what is queued for it and the close, for
        at most `grace` seconds; aborts those still there after it."""

        async def leave(client: Client) -> None:
            while client.queue and client.ended is None:
                await asyncio.sleep(0.01)
            await client.connection.close(1001, "the server is stopping")

        leaving = {asyncio.create_task(leave(c)): c for c in self.clients}
        if leaving:
            await asyncio.wait(leaving, timeout=grace)
        for task, client in leaving.items():
            if not task.done() or task.exception() is not None:
                task.cancel()
                client.drop(f"still there {grace:g} s after the server was stopped")


def deliver(client: Client, subscription: int, stamp: int, payload: bytes | memoryview) -> None:
    """One message on `client`'s queue; a failure to frame it ends that client alone."""
    try:
        client.put(message_frame(subscription, stamp, payload))
    except Exception as e:  # noqa: BLE001
        client.drop(f"a message could not be framed ({e})")


async def greet(connection: Any, *texts: str) -> None:
    for text in texts:
        await connection.send(text)


def address_text(host: str) -> str:
    """A host as it goes before ":PORT" (an IPv6 address in brackets)."""
    return f"[{host}]" if ":" in host else host


async def report_health(hub: Hub) -> None:
    while True:
        await asyncio.sleep(HEALTH_INTERVAL)
        try:
            hub.publish_health()
        except Exception as e:  # noqa: BLE001  (a report missed is not the end of serving)
            hub.log(f"warning: the health report failed: {type(e).__name__}: {e}")


# The pages a browser may watch from unless told otherwise: the Foxglove app
# and pages served from this machine. A client that sends no Origin (not a
# browser) is always accepted; "null" (a local file, a sandboxed frame of any
# site) is not.
DEFAULT_ORIGINS = ("https://app.foxglove.dev", r"re:https?://(localhost|127\.0\.0\.1|\[::1\])(:[0-9]+)?")
ANY_ORIGIN = "*"


def accepted_origins(allowed: Sequence[str]) -> list[str | Pattern[str] | None] | None:
    """The Origin headers to accept for the `allowed` ones (an exact origin,
    "re:PATTERN" for a pattern the whole origin matches, or "*" for any),
    with no Origin among them; None: any origin."""
    import re

    if ANY_ORIGIN in allowed:
        return None
    return [None, *(re.compile(a[3:]) if a.startswith("re:") else a for a in allowed)]


async def run(hub: Hub, feed: Coroutine[Any, Any, None], host: str, port: int, stop: asyncio.Event,
              seconds: float | None = None, on_listening: Callable[[str], None] | None = None,
              origins: list[str | Pattern[str] | None] | None = None) -> None:  # fmt: skip
    """Serves `hub` on host:port, with `feed` (what gives it the batches)
    running, until `stop` is set or `seconds` pass. The end of the feed
    leaves the server up (the health goes on); a failure of it ends the
    server, raised here. `origins`: the Origin
    headers accepted (None in it: a client that sends none; see
    `serve.origins`), all when not given."""
    import logging

    from websockets.asyncio.server import serve

    from .connection import connection_type

    quiet = logging.getLogger("brimlet.serve.websockets")
    quiet.addHandler(logging.NullHandler())
    quiet.propagate = False
    connection = connection_type(hub.log)
    try:
        server = await serve(hub.serve_client, host, port, subprotocols=[SUBPROTOCOL],  # type: ignore[list-item]
                             max_size=INCOMING_LIMIT, write_limit=WRITE_LIMIT, logger=quiet,
                             origins=origins,  # type: ignore[arg-type]
                             close_timeout=CLOSE_GRACE, create_connection=connection)  # fmt: skip
    except BaseException:
        feed.close()  # never started
        raise
    acquisition = asyncio.create_task(feed)
    health = asyncio.create_task(report_health(hub))
    stopped = asyncio.create_task(stop.wait())
    try:
        bound = server.sockets[0].getsockname()
        if on_listening is not None:
            on_listening(f"ws://{address_text(bound[0])}:{bound[1]}")
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
        server.close(close_connections=False)  # no new clients
        for task in (acquisition, health, stopped):
            task.cancel()
        await asyncio.wait({acquisition, health, stopped}, timeout=CLOSE_GRACE / 4)
        await hub.close_all(CLOSE_GRACE)
        for opened in list(connection.opened):
            opened.transport.abort()  # among them those still in their opening handshake
        with contextlib.suppress(TimeoutError):
            await asyncio.wait_for(server.wait_closed(), CLOSE_GRACE / 2)
