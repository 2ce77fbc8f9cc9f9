"""`brimlet serve`: the Foxglove WebSocket server, seen by a client written
elsewhere (the protocol's own npm client and ROS 2 decoder) and by clients
that misbehave."""

from __future__ import annotations

import asyncio
import contextlib
import json
import math
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import time
import tty
from pathlib import Path

import pytest
from conftest import CHILD_ENV, read_line, tool

from brimlet_tools import load
from brimlet_tools.sim.simulator import Faults, StreamConfig, stream_bytes
from brimlet_tools.wire import frames
from brimlet_tools.wire.fields import INVALID_BITS

pytest.importorskip("websockets", reason="serve needs python3-websockets")
from websockets.exceptions import ConnectionClosed  # noqa: E402
NODE_DIR = Path(__file__).resolve().parents[1] / "node"
STREAM = StreamConfig(seconds=1.0, raw_rate=200, estimated_rate=50, seed=11, faults=Faults(garbage=0.02, invalid=0.2, damage=0.02))


def start_serve(*args: str, listen: str = "127.0.0.1:0", files: int | None = None) -> tuple[subprocess.Popen[str], str]:
    """`brimlet serve` on a free loopback port (with at most `files` open descriptors), and its address."""
    limit = None if files is None else (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files)))
    process = subprocess.Popen(tool("serve", "--listen", listen, *args), stderr=subprocess.PIPE,
                               text=True, env=CHILD_ENV, preexec_fn=limit)  # fmt: skip
    line = read_line(process.stderr)
    found = re.search(r"on (ws://\S+);", line)
    assert found, line
    return process, found.group(1)


def stop_serve(process: subprocess.Popen[str]) -> list[str]:
    """Ends the server as Ctrl-C would; its log lines after the first."""
    process.terminate()
    _, err = process.communicate(timeout=10)
    assert process.returncode == 0, err
    return err.splitlines()


def expected_messages(packets: list) -> dict[str, list[list[object]]]:
    """What each topic carries for the packets of MockParser, as the client flattens it."""
    out: dict[str, list[list[object]]] = {"/imu/data_raw": [], "/imu/data": [], "/imu/pressure": []}
    absent = [math.nan] * 3
    for p in packets:
        if p.packet_type == "raw":
            out["/imu/data_raw"].append([0.0, 0.0, 0.0, 0.0, *(p.scaled_gyro or absent), *(p.scaled_accel or absent),
                                         -1.0, 0.0 if p.scaled_gyro else -1.0, 0.0 if p.scaled_accel else -1.0,
                                         "imu_link"])  # fmt: skip
            if p.scaled_ambient_pressure is not None:
                out["/imu/pressure"].append([p.scaled_ambient_pressure * 100.0, 0.0, "imu_link"])
        else:
            q = p.est_orient_quaternion
            out["/imu/data"].append([*(q[1:] + q[:1] if q else [math.nan] * 4), *(p.est_angular_rate or absent),
                                     *(p.est_compensated_accel or absent)])  # fmt: skip
    return out


def same(got: object, want: object) -> bool:
    if isinstance(want, float):
        return (got is None and math.isnan(want)) or got == want  # JSON writes NaN as null
    return got == want


@pytest.mark.skipif(shutil.which("node") is None, reason="node is not installed")
def test_the_protocols_own_client_gets_every_packet_in_order(replay, recording) -> None:
    if not (NODE_DIR / "node_modules").is_dir():
        pytest.skip("the client's npm packages are not installed (tools/node_packages.sh, run by make test)")
    data = stream_bytes(STREAM)
    path = recording(data)
    want = expected_messages(replay(data))
    server, url = start_serve(str(path))
    try:
        counts = json.dumps({topic: len(messages) for topic, messages in want.items()})
        client = subprocess.run(["node", str(NODE_DIR / "client.js"), url, counts, "30"],
                                capture_output=True, text=True, timeout=60)  # fmt: skip
    finally:
        stop_serve(server)
    assert client.returncode == 0, client.stderr
    got = json.loads(client.stdout)
    assert got["channels"] == ["/imu/data_raw", "/imu/data", "/imu/pressure", "/brimlet/health"]
    for topic, messages in want.items():
        received = got["topics"][topic]
        assert len(received) == len(messages) > 10, topic
        for k, (g, w) in enumerate(zip(received, messages)):
            values = g[:-4] if topic == "/imu/data" else g
            assert all(map(same, values, w)), (topic, k, g, w)
    health = got["health"][-1]
    assert set(health) >= {"rates", "bytes_outside_frames", "failed_checksums", "flagged_not_valid",
                           "seconds_since_last_packet", "clients"}  # fmt: skip
    assert health["failed_checksums"] == load(path).scan.bad_checksums > 0
    flagged = {name for h in got["health"] for name in h["flagged_not_valid"]}
    assert flagged and flagged <= set(INVALID_BITS)  # named as the columns are


def test_misbehaving_clients_are_logged_once_and_the_others_served(recording) -> None:
    from websockets.asyncio.client import connect

    server, url = start_serve(str(recording(stream_bytes(STREAM))))

    async def clients() -> dict[str, object]:
        async with connect(url, subprotocols=["foxglove.websocket.v1"]) as bad:  # type: ignore[list-item]
            for junk in ("not json", b"\x01\x02", json.dumps({"op": "publish"}), "[]"):
                await bad.send(junk)
            await bad.send(json.dumps({"op": "subscribe", "subscriptions": [{"id": 1, "channelId": 99}]}))
            replies = [json.loads(await asyncio.wait_for(bad.recv(), 5)) for _ in range(2 + 5)]
            assert [r["op"] for r in replies] == ["serverInfo", "advertise", *["status"] * 5]
            bad.transport.abort()  # killed mid-stream
        async with connect(url, subprotocols=["foxglove.websocket.v1"]) as good:  # type: ignore[list-item]
            info = json.loads(await good.recv())
            channels = json.loads(await good.recv())["channels"]
            health = next(c["id"] for c in channels if c["topic"] == "/brimlet/health")
            await good.send(json.dumps({"op": "subscribe", "subscriptions": [{"id": 7, "channelId": health}]}))
            while isinstance(message := await asyncio.wait_for(good.recv(), 5), str):
                pass  # status lines
            assert isinstance(message, bytes) and message[:5] == b"\x01\x07\x00\x00\x00"
            return {"info": info, "health": json.loads(message[13:])}

    try:
        seen = asyncio.run(clients())
    finally:
        log = stop_serve(server)
    assert seen["info"]["op"] == "serverInfo"  # type: ignore[index]
    bad_lines = [line for line in log if "ignored" in line]
    assert len(bad_lines) == 2 and any("unknown channel 99" in line for line in bad_lines), log
    assert sum("went away" in line for line in log) == 1, log


def test_the_layout_shows_only_what_the_server_sends() -> None:
    from brimlet_tools.serve import server

    layout = json.loads((Path(server.__file__).parent / "foxglove-layout.json").read_text())
    offered = {c.topic: c.schema for c in server.channels()}
    paths = [p["value"] for panel in layout["configById"].values() for p in panel.get("paths", [])]
    paths += [panel["topicPath"] for panel in layout["configById"].values() if "topicPath" in panel]
    assert len(paths) > 10
    for path in paths:
        topic, _, fields = path.partition(".")
        assert topic in offered, path
        if fields:  # the first field is a line "TYPE NAME" of the message's own definition
            own = offered[topic].split("=" * 80)[0].split()
            assert fields.split(".")[0] in own[1::2], path


FOXGLOVE = ["foxglove.websocket.v1"]


def subscribe(*pairs: tuple[int, int]) -> str:
    return json.dumps({"op": "subscribe", "subscriptions": [{"id": s, "channelId": c} for s, c in pairs]})


async def greeted(url: str, **kwargs: object):
    """A client past the greeting, and the channel ids by topic."""
    from websockets.asyncio.client import connect

    ws = await connect(url, subprotocols=FOXGLOVE, **kwargs)  # type: ignore[arg-type]
    await ws.recv()
    return ws, {c["topic"]: c["id"] for c in json.loads(await ws.recv())["channels"]}


async def next_message(ws, kind: type, limit: float = 5) -> bytes | str:
    """The next message of `kind` (bytes: data, str: status), the others passed over."""
    while not isinstance(message := await asyncio.wait_for(ws.recv(), limit), kind):
        pass
    return message


def raw_client(url: str, receive_buffer: int | None = None) -> socket.socket:
    """A native client on a bare socket, its opening handshake sent."""
    host, port = url.removeprefix("ws://").rsplit(":", 1)
    sock = socket.socket()
    if receive_buffer is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(30)
    sock.connect((host, int(port)))
    sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 b"Sec-WebSocket-Protocol: foxglove.websocket.v1\r\n\r\n")  # fmt: skip
    return sock


def frame(opcode: int, payload: bytes = b"") -> bytes:
    """A client's frame (masked, with a mask of zeros)."""
    size = bytes([0x80 | len(payload)]) if len(payload) < 126 else bytes([0x80 | 126]) + len(payload).to_bytes(2)
    return bytes([0x80 | opcode]) + size + bytes(4) + payload


def flood(sock: socket.socket, data: bytes) -> bool:
    """Sends `data` and reads on; whether the server ended the connection (within 30 s)."""
    try:
        sock.sendall(data)
        while sock.recv(65536):
            pass
    except TimeoutError:
        return False
    except OSError:
        pass
    sock.close()
    return True


def resident_mib(pid: int) -> float:
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"VmRSS:\s+(\d+)", status).group(1)) / 1024  # type: ignore[union-attr]


def test_bad_requests_are_answered_and_end_nothing(recording) -> None:
    server, url = start_serve(str(recording(stream_bytes(STREAM))))
    requests = [  # (subscription id, topic or channel id), and what the answer names
        ([(2**32, "/imu/data_raw")], "subscription id 4294967296 is not"),
        ([(-1, "/brimlet/health")], "subscription id -1 is not"),
        ([(True, "/brimlet/health")], "subscription id True is not"),
        ([(3, 99)], "unknown channel 99"),
        ([(5, "/imu/data_raw"), (5, "/imu/data")], "subscription id 5 is taken"),
    ]

    async def clients() -> list[dict[str, object]]:
        bad, channels = await greeted(url)
        for pairs, answer in requests:
            await bad.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": s, "channelId": channels.get(c, c)} for s, c in pairs]}))  # fmt: skip
            assert answer in json.loads(await next_message(bad, str))["message"]
        await bad.send(json.dumps({"op": "unsubscribe", "subscriptionIds": [77]}))
        assert "no subscription 77" in json.loads(await next_message(bad, str))["message"]
        good, channels = await greeted(url)
        await good.send(subscribe((0, channels["/imu/data_raw"]), (2**32 - 1, channels["/brimlet/health"])))
        got = [await next_message(good, bytes)]
        while sum(m[1:5] == b"\xff" * 4 for m in got) < 2:  # the health goes on
            got.append(await next_message(good, bytes))
        assert any(m[1:5] == bytes(4) for m in got)  # and so do the data
        return [json.loads(m[13:]) for m in got if m[1:5] == b"\xff" * 4]

    try:
        health = asyncio.run(clients())
        assert server.poll() is None
    finally:
        log = stop_serve(server)
    names = [c["name"] for c in health[-1]["clients"]]  # type: ignore[union-attr]
    assert "client 2" in names and all(re.fullmatch(r"client \d+", n) for n in names), names  # no addresses
    assert sum("ignored" in line for line in log) == 4, log  # once per client and kind


@pytest.mark.parametrize("allowed, origins", [
    ((), {None: True, "https://app.foxglove.dev": True, "http://localhost:8080": True, "http://127.0.0.1": True,
          "https://evil.example": False, "null": False, "http://localhost.evil.example": False}),
    (("--allow-origin", "https://evil.example"), {"https://evil.example": True, "https://app.foxglove.dev": False,
                                                  None: True}),
])  # fmt: skip
def test_browsers_are_served_only_from_allowed_origins(recording, allowed: tuple[str, ...],
                                                        origins: dict[str | None, bool]) -> None:  # fmt: skip
    from websockets.exceptions import InvalidStatus

    server, url = start_serve(str(recording(stream_bytes(STREAM))), *allowed)

    async def accepted(origin: str | None) -> bool:
        try:
            ws, _ = await greeted(url, origin=origin)
        except InvalidStatus as e:
            assert e.response.status_code == 403
            return False
        await ws.close()
        return True

    try:
        assert {origin: asyncio.run(accepted(origin)) for origin in origins} == origins
    finally:
        stop_serve(server)


def test_floods_and_stalls_cost_their_sender_alone_and_ctrl_c_still_ends_serve(recording) -> None:
    server, url = start_serve(str(recording(stream_bytes(StreamConfig(seconds=30.0, raw_rate=1000, seed=5)))))
    port = int(url.rsplit(":", 1)[1])

    async def watch() -> tuple[list[int], int, list[bool], float]:
        good, channels = await greeted(url)
        await good.send(subscribe((1, channels["/imu/data_raw"])))
        await next_message(good, bytes)
        stalled = raw_client(url, receive_buffer=4096)  # subscribed, and never reads
        stalled.sendall(frame(1, subscribe(*((c, c) for c in channels.values())).encode()))
        before = resident_mib(server.pid)
        floods = [frame(1, b"x") * 100_000, frame(9) * 200_000, frame(1, b'{"op":"publish"}') * 20_000]
        senders = asyncio.gather(*(asyncio.to_thread(flood, raw_client(url), f) for f in floods))
        windows = []
        for _ in range(8):  # seconds
            end, n = time.monotonic() + 1, 0
            while (left := end - time.monotonic()) > 0:
                with contextlib.suppress(TimeoutError):
                    n += isinstance(await asyncio.wait_for(good.recv(), left), bytes)
            windows.append(n)
        cut = await senders
        # The floods over, the stream goes on: more messages than the
        # client's own queue holds (16) come within a generous bound.
        after, deadline = 0, time.monotonic() + 30
        while after < 100 and (left := deadline - time.monotonic()) > 0:
            with contextlib.suppress(TimeoutError):
                after += isinstance(await asyncio.wait_for(good.recv(), left), bytes)
        stalled.close()
        return windows, after, cut, resident_mib(server.pid) - before

    try:
        windows, after, cut, grown = asyncio.run(watch())
    finally:
        began = time.monotonic()
        server.send_signal(signal.SIGINT)
        try:
            _, err = server.communicate(timeout=30)
        finally:
            server.kill()  # where it would not end
        ended = time.monotonic() - began
    assert server.returncode == 0, err
    assert ended < 20, ended  # a bound of 2 s, with ten times that for a busy machine
    with socket.socket() as again:
        again.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as a server binds
        again.bind(("127.0.0.1", port))  # no one listens there any more
    # The good client was served through the floods (a busy machine may
    # hold a second back, never the stream for good) and after them.
    assert sum(windows) > 0 and after == 100, (windows, after)
    assert cut == [True, True, True], cut  # each flooder was cut off
    assert grown < 50, grown
    assert sum("was disconnected" in line for line in err.splitlines()) >= 3, err
    assert len(err.splitlines()) < 20, err  # a line per client, none per frame



def test_out_of_descriptors_is_said_once_and_served_through(recording) -> None:
    server, url = start_serve(str(recording(stream_bytes(STREAM))), "--quiet", files=32)
    crowd = [raw_client(url) for _ in range(40)]
    time.sleep(1.5)  # the server meets the limit, and tries again
    for sock in crowd:
        sock.close()

    async def served() -> str:
        ws, _ = await greeted(url)
        await ws.close()
        return "served"

    try:
        assert asyncio.run(asyncio.wait_for(served(), 10)) == "served"
    finally:
        log = stop_serve(server)
    assert len(log) <= 3 and "Traceback" not in "".join(log), log


@pytest.mark.parametrize("listen, shown", [("[::1]:0", r"ws://\[::1\]:\d+"), ("127.0.0.1:0", r"ws://127\.0\.0\.1:\d+")])
def test_the_address_served_on_is_shown_as_a_client_dials_it(recording, listen: str, shown: str) -> None:
    if listen.startswith("["):
        try:
            socket.create_server(("::1", 0), family=socket.AF_INET6).close()
        except OSError:
            pytest.skip("no IPv6 loopback here")
    server, url = start_serve(str(recording(stream_bytes(STREAM))), listen=listen)
    try:
        assert re.fullmatch(shown, url), url
        asyncio.run(greeted(url))
    finally:
        stop_serve(server)


def test_a_port_that_hangs_up_has_its_last_packets_served() -> None:
    master, slave = os.openpty()
    tty.setraw(slave)
    server, url = start_serve("--port", os.ttyname(slave))
    sent = 300

    async def watch() -> int:
        ws, channels = await greeted(url)
        await ws.send(subscribe((1, channels["/imu/data_raw"])))
        await asyncio.sleep(0.3)
        for n in range(sent):  # 100 a second, as steady as a device's
            os.write(master, frames.raw_frame(scaled_gyro=[float(n)] * 3, scaled_accel=[0.0] * 3))
            await asyncio.sleep(0.01)
        os.close(master)  # the device hangs up
        os.close(slave)
        got = 0
        with contextlib.suppress(ConnectionClosed):
            async for message in ws:
                got += isinstance(message, bytes)
        return got

    try:
        got = asyncio.run(asyncio.wait_for(watch(), 30))
    finally:
        _, err = server.communicate(timeout=30)
    assert got == sent, err
