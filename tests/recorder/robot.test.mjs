// A session of the real Halvoran on halvoran-sim, recorded, and read back with @mcap/core: the
// recording holds exactly the bytes that the simulator saw on its serial line, the bytes sent on
// the command port, the decoded command, reply and drive status, and the session's events.
import assert from "node:assert/strict";
import { readdirSync, readFileSync } from "node:fs";
import path from "node:path";
import { test } from "node:test";
import { McapIndexedReader } from "@mcap/core";
import { decompress } from "fzstd";
import { connectTo, ended, startRobot, waitFor } from "../robot.mjs";

const binaries = ["HALVORAN_BIN", "HALVORAN_SIM_BIN"];
const missing = binaries.filter((name) => !process.env[name]);

function frame(packet) {
  const checksum = packet.reduce((a, b) => (a + b) & 0xff, 0);
  const body = [];
  for (const b of [...packet, checksum]) body.push(...(b === 0xff ? [0xff, 0xff] : [b]));
  return Buffer.from([0xff, 0x38, ...body, 0xff, 0x37]);
}

test("a recorded session holds the line's bytes, the command port's bytes and what they mean", { skip: missing.length ? `needs ${missing}` : false }, async () => {
  const robot = await startRobot({ bridge: false, once: true, env: (dir) => ({ HALVORAN_RECORD_DIR: path.join(dir, "recordings") }) });
  const recordings = path.join(robot.dir, "recordings");
  const { halvoran, sim, trace } = robot;
  try {
    const command = await connectTo(5000);
    const image = await connectTo(5001);
    const tracking = await connectTo(5002);
    let replies = Buffer.alloc(0);
    command.on("data", (d) => (replies = Buffer.concat([replies, d])));
    // Everything Halvoran sent has been read once it closed the command port.
    const commandClosed = new Promise((resolve) => command.once("end", resolve));
    // Drive at speed 20 with a drive timeout of 1 s, and wait for the whole framed status.
    const sent = frame([0x50, 1, 20, 0, 0, 0, 0x03]);
    command.write(sent);
    await waitFor("the drive status", () => replies.length >= 17 && replies.at(-2) === 0xff && replies.at(-1) === 0x37);
    command.write(Buffer.from([0xff, 0x36]));
    await waitFor("Halvoran to end", () => halvoran.exitCode !== null);
    await commandClosed;
    for (const s of [command, image, tracking]) s.destroy();
    assert.equal(halvoran.exitCode, 0);
    await ended(sim);

    const files = readdirSync(recordings);
    assert.equal(files.length, 1);
    assert.match(files[0], /^halvoran-\d{8}-\d{6}\.mcap$/);
    const bytes = new Uint8Array(readFileSync(path.join(recordings, files[0])));
    const reader = await McapIndexedReader.Initialize({
      readable: { size: async () => BigInt(bytes.length), read: async (o, l) => bytes.subarray(Number(o), Number(o + l)) },
      decompressHandlers: { zstd: (d, size) => decompress(d, new Uint8Array(Number(size))) },
    });
    const on = new Map();
    for await (const m of reader.readMessages({ validateCrcs: true })) {
      const topic = reader.channelsById.get(m.channelId).topic;
      if (!on.has(topic)) on.set(topic, []);
      on.get(topic).push(JSON.parse(new TextDecoder().decode(m.data)));
    }
    const joined = (topic, direction) =>
      Buffer.concat((on.get(topic) ?? []).filter((m) => m.direction === direction).map((m) => Buffer.from(m.data, "base64")));
    // The simulator's trace: "<time> in <where> <hex>" for bytes it got, "out" for bytes it sent.
    const traced = (kind) =>
      Buffer.from(readFileSync(trace, "utf8").split("\n").map((l) => l.split(" ")).filter((w) => w[1] === kind).map((w) => parseInt(w.at(-1), 16)));
    assert.deepEqual(joined("/halvoran/serial", "tx"), traced("in"));
    assert.deepEqual(joined("/halvoran/serial", "rx"), traced("out"));
    assert.deepEqual(joined("/halvoran/port/5000", "rx"), Buffer.concat([sent, Buffer.from([0xff, 0x36])]));
    assert.deepEqual(joined("/halvoran/port/5000", "tx"), replies);
    assert.deepEqual(on.get("/halvoran/command").map((c) => c.letter), ["P"]);
    assert.equal(on.get("/halvoran/drive_status").length, 1);
    assert.equal(on.get("/halvoran/drive_status")[0].result, 0);
    const events = on.get("/halvoran/events").map((e) => e.event);
    for (const e of ["recording_start", "session_start", "stop_sent", "session_end", "recording_end"]) assert.ok(events.includes(e), `${e} in ${events}`);
    assert.ok(events.indexOf("session_start") < events.indexOf("session_end"));
    assert.equal(on.get("/halvoran/events").at(-1).dropped, 0);
  } finally {
    await robot.stop();
  }
});
