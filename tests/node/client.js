// A Foxglove WebSocket client built from the protocol's own client library
// and the ROS 2 CDR decoder, for testing `brimlet serve`: subscribes to every
// channel it is offered, decodes each message, and once the counts given
// have arrived on every topic and then one health report (which counts them
// all), prints what it got as JSON on stdout. Usage: node client.js URL COUNTS_JSON TIMEOUT_SECONDS
"use strict";

const { FoxgloveClient } = require("@foxglove/ws-protocol");
const { parse } = require("@foxglove/rosmsg");
const { MessageReader } = require("@foxglove/rosmsg2-serialization");
const WebSocket = require("ws");

const [url, countsText, timeoutText] = process.argv.slice(2);
const wanted = JSON.parse(countsText);
const got = { topics: {}, health: [], channels: [] };
const decoders = new Map();

function vector(v) {
  return [v.x, v.y, v.z];
}

// The values of a message in a flat list, as the test compares them.
function flatten(schemaName, m) {
  if (schemaName === "sensor_msgs/msg/Imu") {
    return [
      ...[m.orientation.x, m.orientation.y, m.orientation.z, m.orientation.w],
      ...vector(m.angular_velocity),
      ...vector(m.linear_acceleration),
      m.orientation_covariance[0],
      m.angular_velocity_covariance[0],
      m.linear_acceleration_covariance[0],
      m.header.frame_id,
    ];
  }
  return [m.fluid_pressure, m.variance, m.header.frame_id];
}

function allData() {
  for (const [topic, count] of Object.entries(wanted)) {
    if ((got.topics[topic] || []).length < count) return false;
  }
  return true;
}

function finish(code) {
  process.stdout.write(JSON.stringify(got));
  process.exit(code);
}

const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
client.on("error", (error) => {
  process.stderr.write(`client error: ${error}\n`);
  finish(1);
});
client.on("advertise", (channels) => {
  for (const channel of channels) {
    got.channels.push(channel.topic);
    let decode;
    if (channel.encoding === "cdr") {
      const reader = new MessageReader(parse(channel.schema, { ros2: true }));
      decode = (data) => flatten(channel.schemaName, reader.readMessage(data));
    } else {
      const text = new TextDecoder();
      decode = (data) => JSON.parse(text.decode(data));
    }
    decoders.set(client.subscribe(channel.id), { topic: channel.topic, decode });
  }
});
client.on("message", ({ subscriptionId, data }) => {
  const { topic, decode } = decoders.get(subscriptionId);
  const value = decode(new Uint8Array(data.buffer, data.byteOffset, data.byteLength));
  if (topic !== "/brimlet/health") (got.topics[topic] = got.topics[topic] || []).push(value);
  else {
    got.health.push(value);
    if (allData()) finish(0);
  }
});
setTimeout(() => finish(2), Number(timeoutText) * 1000);
