"""The server's side of the Foxglove WebSocket protocol (foxglove.websocket.v1):
the JSON messages it sends, the binary frame of a message, and the client's
requests it understands (subscribe, unsubscribe). The protocol has no
authentication: whoever reaches the address may watch."""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass
from typing import Any

SUBPROTOCOL = "foxglove.websocket.v1"
MESSAGE_DATA = 0x01
MESSAGE_HEADER = struct.Struct("<BIQ")  # opcode, subscription id, timestamp (ns)
ID_LIMIT = 0xFFFFFFFF  # ids are unsigned 32-bit numbers on the wire


@dataclass(frozen=True)
class Channel:
    id: int
    topic: str
    encoding: str
    schema_name: str
    schema: str
    schema_encoding: str

    def advertised(self) -> dict[str, Any]:
        return {"id": self.id, "topic": self.topic, "encoding": self.encoding, "schemaName": self.schema_name,
                "schema": self.schema, "schemaEncoding": self.schema_encoding}  # fmt: skip


def server_info(name: str, session: str) -> str:
    return json.dumps({"op": "serverInfo", "name": name, "capabilities": [], "supportedEncodings": [],
                       "metadata": {}, "sessionId": session})  # fmt: skip


def advertise(channels: list[Channel]) -> str:
    return json.dumps({"op": "advertise", "channels": [c.advertised() for c in channels]})


def status(level: int, message: str) -> str:
    """level 0 info, 1 warning, 2 error."""
    return json.dumps({"op": "status", "level": level, "message": message})


def message_frame(subscription: int, stamp: int, payload: bytes | memoryview) -> bytes:
    return MESSAGE_HEADER.pack(MESSAGE_DATA, subscription, stamp) + payload


class BadRequest(ValueError):
    """A client message the server cannot act on; the text says why."""


@dataclass(frozen=True)
class Subscribe:
    pairs: list[tuple[int, int]]  # (subscription id, channel id)


@dataclass(frozen=True)
class Unsubscribe:
    ids: list[int]


def parse_request(message: str | bytes) -> Subscribe | Unsubscribe:
    """The request in a client's message, or BadRequest."""
    if isinstance(message, bytes):
        raise BadRequest("a binary message (this server takes no client data)")
    try:
        request = json.loads(message)
        op = request["op"]
        if op == "subscribe":
            return Subscribe([(identifier(s["id"], "subscription id"), identifier(s["channelId"], "channel id"))
                              for s in listed(request["subscriptions"])])  # fmt: skip
        if op == "unsubscribe":
            return Unsubscribe([identifier(i, "subscription id") for i in listed(request["subscriptionIds"])])
    except (ValueError, KeyError, TypeError) as e:
        if isinstance(e, BadRequest):
            raise
        raise BadRequest(f"a message that is not a request ({type(e).__name__})") from e
    raise BadRequest(f"an operation this server does not offer ({str(op)[:40]!r})")


def listed(value: Any) -> list[Any]:
    if not isinstance(value, list):
        raise TypeError
    return value


def identifier(value: Any, what: str) -> int:
    """`value` as an id of the wire, or BadRequest."""
    if type(value) is not int or not 0 <= value <= ID_LIMIT:
        raise BadRequest(f"{what} {str(value)[:40]} is not a whole number from 0 to {ID_LIMIT}")
    return value
