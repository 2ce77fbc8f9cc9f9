"""`brimlet serve`: the Foxglove WebSocket server, seen by a client written
elsewhere (the protocol's own npm client and ROS 2 decoder) and by clients
that misbehave."""

from __future__ import annotations

import asyncio
import json
import math
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from conftest import CHILD_ENV, read_line, tool

from brimlet_tools import load
from brimlet_tools.sim.simulator import Faults, StreamConfig, stream_bytes

pytest.importorskip("websockets", reason="serve needs python3-websockets")
NODE_DIR = Path(__file__).resolve().parents[1] / "node"
STREAM = StreamConfig(seconds=1.0, raw_rate=200, estimated_rate=50, seed=11, faults=Faults(garbage=0.02, invalid=0.2, damage=0.02))


def start_serve(*args: str) -> tuple[subprocess.Popen[str], str]:
    """`brimlet serve` on a free loopback port, and its address."""
    process = subprocess.Popen(tool("serve", "--listen", "127.0.0.1:0", *args), stderr=subprocess.PIPE,
                               text=True, env=CHILD_ENV)  # fmt: skip
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
