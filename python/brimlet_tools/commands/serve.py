"""`serve`: the live view for Foxglove, over the Foxglove WebSocket protocol."""

from __future__ import annotations

import argparse
import asyncio
import ipaddress
import signal
from typing import Any

from ..errors import require
from ..export import FRAME_ID
from ..recordings.window import window
from . import options
from .common import ToolError, note, warn
from .source import load_recording

NAME = "serve"
HELP = ("Serve a port, or a recording at its pace, to Foxglove over the Foxglove WebSocket protocol "
        "(no authentication: any program that reaches the address can watch; web pages only from the "
        "allowed origins).")  # fmt: skip
DEFAULT_LISTEN = "127.0.0.1:8765"


def listen_type(text: str) -> tuple[str, int]:
    host, _, port = text.rpartition(":")
    try:
        number = int(port)
        if not host or not 0 <= number <= 65535:
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, such as {DEFAULT_LISTEN}, not {text!r}") from None
    return host.removeprefix("[").removesuffix("]"), number


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_recording(p, "a recording to replay at its pace (or give --port)", required=False)
    options.add(p, "port")
    options.add(p, "baudrate")
    p.add_argument("--listen", type=listen_type, default=DEFAULT_LISTEN, metavar="HOST:PORT",
                   help="the address to serve on (default %(default)s; port 0 picks a free one)")
    p.add_argument("--allow-origin", action="append", default=None, metavar="ORIGIN",
                   help="a web page origin whose browser connections are accepted, such as https://example.org, "
                   "re:PATTERN for those it matches, or * for any (repeatable; default: the Foxglove app, "
                   "https://app.foxglove.dev, and pages of this machine, http://localhost:PORT and "
                   "127.0.0.1; clients that are not browsers send no origin and are always accepted)")
    p.add_argument("--frame-id", default=FRAME_ID, metavar="ID",
                   help="the frame of every message (default %(default)s)")  # fmt: skip
    options.add(p, "seconds", help="serve this many seconds of wall-clock time (default: until Ctrl-C)")
    options.add(p, "quiet", help="no line per client (errors and warnings still show)")
    options.add_window(p)
    options.add_check(p, options.source_check)


def run(args: argparse.Namespace) -> int:
    require("websockets", "serving", "serve", "python3-websockets")
    host, port = args.listen
    if not is_loopback(host):
        warn(f"serving on {host}, beyond this machine; the protocol has no authentication")
    return asyncio.run(serve(args, host, port))


def is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


async def serve(args: argparse.Namespace, host: str, port: int) -> int:
    from ..live.sinks import feed
    from ..serve.feeds import port_feed, recording_feed
    from ..serve.server import DEFAULT_ORIGINS, Hub, accepted_origins, run as run_server

    hub = Hub(args.frame_id, (lambda text: None) if args.quiet else note)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    loop.set_exception_handler(LoopWarnings())
    source = args.port or args.file
    origins = accepted_origins(args.allow_origin or DEFAULT_ORIGINS)
    if args.port is not None:
        batches, close = port_feed(hub, args.port, args.baudrate)
    else:
        batches, close = recording_feed(hub, window(load_recording(args.file), args.start, args.end))
    try:
        await run_server(hub, feed(batches, [hub]), host, port, stop, args.seconds,
                         lambda url: note(f"serving {source} on {url}; Ctrl-C ends"), origins)  # fmt: skip
    except OSError as e:
        raise ToolError(f"serving {source} failed: {e}") from e
    finally:
        close()
    return 0


class LoopWarnings:
    """The event loop's reports of failures outside any task (out of file
    descriptors at accept, a connection lost mid-handshake): one warning
    line per kind, not a traceback per occurrence."""

    def __init__(self) -> None:
        self.seen: set[str] = set()

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        error = context.get("exception")
        kind = f"{context.get('message', 'event loop failure')}: {type(error).__name__ if error else ''}"
        if kind not in self.seen:
            self.seen.add(kind)
            note(f"warning: {context.get('message', 'event loop failure')}"
                 + (f" ({error})" if error else "") + " (said once; serving goes on)")  # fmt: skip
