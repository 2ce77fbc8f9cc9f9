"""What one connection may cost the server, held where its frames arrive.

A client pays for every frame it sends (a request, a ping, a piece of a
message) from an allowance that refills at FRAME_RATE per second up to
FRAME_BURST; a client that runs out is cut off. The replies the server owes
it without being asked (pongs) may leave at most UNSENT_LIMIT bytes unsent
before it is cut off too: a client that sends but never reads cannot make
the server buffer for it without bound. Cutting off is aborting the
connection: nothing more is read from it or written to it.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

from websockets.asyncio.server import ServerConnection
from websockets.protocol import State

FRAME_RATE = 50.0  # frames per second a client may send, lasting
FRAME_BURST = 200.0  # and at once
UNSENT_LIMIT = 1 << 20  # bytes waiting to go to one client beyond what it asked for


class Allowance:
    """A token bucket: `take()` is False once more than `burst` were taken
    faster than `rate` per second."""

    def __init__(self, rate: float, burst: float) -> None:
        self.rate, self.burst = rate, burst
        self.left, self.at = burst, time.monotonic()

    def take(self) -> bool:
        now = time.monotonic()
        self.left = min(self.burst, self.left + (now - self.at) * self.rate)
        self.at = now
        self.left -= 1
        return self.left >= 0


class GuardedConnection(ServerConnection):
    """A server connection that cuts off a client beyond its allowance;
    `cut_off` then says why (and `log` is told, where the connection did
    not get as far as its greeting). Every one open is in `opened` (the
    server's own, for its ending)."""

    opened: set[GuardedConnection]
    log: Callable[[str], None]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.allowance = Allowance(FRAME_RATE, FRAME_BURST)
        self.cut_off: str | None = None

    def connection_made(self, transport: Any) -> None:
        super().connection_made(transport)
        self.opened.add(self)

    def connection_lost(self, exc: Exception | None) -> None:
        self.opened.discard(self)
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        # What a client sends once it is cut off is not even parsed: its
        # pings would be answered into a transport that is gone.
        if self.cut_off is None:
            super().data_received(data)

    def process_event(self, event: Any) -> None:
        if self.cut_off is not None:
            return
        if not self.allowance.take():
            self.cut(f"sent more than {FRAME_BURST:g} frames at once or {FRAME_RATE:g} a second")
        elif self.transport.get_write_buffer_size() > UNSENT_LIMIT:
            self.cut(f"left more than {UNSENT_LIMIT >> 20} MiB of replies unread")
        else:
            super().process_event(event)

    def cut(self, reason: str) -> None:
        """Aborts the connection for `reason`."""
        if self.cut_off is None:
            self.cut_off = reason
            if self.protocol.state is State.CONNECTING:
                host, port = (self.remote_address or ("?", 0))[:2]
                self.log(f"a client ({host}:{port}) was disconnected in its opening handshake: {reason}")
        self.transport.abort()


def connection_type(log: Callable[[str], None]) -> type[GuardedConnection]:
    """A GuardedConnection of its own for one server, with its own `opened`."""
    return type("ServedConnection", (GuardedConnection,), {"opened": set(), "log": staticmethod(log)})
