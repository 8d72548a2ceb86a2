// halvoran-bridge --play seen through the Foxglove protocol client of npm: a recording made by the
// recorder (record_sample), read also with the MCAP reader of npm, is served with its channels,
// its messages in order with their recorded times, pause, seek and rate as parameters, and no
// publishing. Every wait is bounded.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readdirSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { McapIndexedReader } from "@mcap/core";
import { decompress } from "fzstd";
import { Bridge, Viewer, waitFor } from "../robot.mjs";

const decoder = new TextDecoder();

async function readRecording(file) {
  const bytes = readFileSync(file);
  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
  };
  const reader = await McapIndexedReader.Initialize({
    readable,
    decompressHandlers: { zstd: (data, size) => decompress(data, new Uint8Array(Number(size))) },
  });
  const channels = [...reader.channelsById.values()].map((c) => {
    const schema = reader.schemasById.get(c.schemaId);
    return { topic: c.topic, encoding: c.messageEncoding, schemaName: schema?.name ?? "", schema: schema ? decoder.decode(schema.data) : "" };
  });
  const messages = [];
  for await (const m of reader.readMessages()) {
    messages.push({ topic: reader.channelsById.get(m.channelId).topic, logTime: m.logTime, data: decoder.decode(m.data) });
  }
  return { channels, messages, start: messages[0].logTime, end: messages[messages.length - 1].logTime };
}

// A client that keeps every message with its time, every Time and every parameter answer.
class Player extends Viewer {
  constructor(url) {
    super(url);
    this.log = []; // { topic, timestamp, data }
    this.times = [];
    this.values = [];
    this.client.on("message", ({ subscriptionId, timestamp, data }) => {
      this.log.push({ topic: this.subscriptions.get(subscriptionId), timestamp, data: decoder.decode(data) });
    });
    this.client.on("time", ({ timestamp }) => this.times.push(timestamp));
    this.client.on("parameterValues", (v) => this.values.push(v));
  }

  subscribeAll() {
    for (const topic of this.channels.keys()) this.subscribe(topic);
  }

  // Sets the parameters and waits for the answer; what was sent before it has arrived by then.
  async set(parameters, id) {
    this.client.setParameters(parameters, id);
    return waitFor(`the answer ${id}`, () => this.values.find((v) => v.id === id));
  }

  async get(name, id) {
    this.client.getParameters([name], id);
    const answer = await waitFor(`the answer ${id}`, () => this.values.find((v) => v.id === id));
    return answer.parameters.find((p) => p.name === name)?.value;
  }
}

// The last message of each topic at or before `time`, in the order they were recorded.
function latestAtOrBefore(messages, time) {
  const latest = new Map();
  for (const m of messages) if (m.logTime <= time) latest.set(m.topic, m);
  return [...latest.values()].sort((a, b) => (a.logTime < b.logTime ? -1 : a.logTime > b.logTime ? 1 : 0));
}

function byTopic(list, timeOf) {
  const out = {};
  for (const m of list) (out[m.topic] ??= []).push(`${timeOf(m)} ${m.data}`);
  return out;
}

describe("halvoran-bridge --play", () => {
  let dir, file, recording, bridge;

  before(async () => {
    dir = mkdtempSync(path.join(tmpdir(), "halvoran-playback-test-"));
    const sample = process.env.RECORD_SAMPLE_BIN;
    if (!sample) throw new Error("RECORD_SAMPLE_BIN must name the built record_sample");
    execFileSync(sample, [dir, path.join(dir, "manifest.json"), "40"], { stdio: "ignore" });
    file = path.join(dir, readdirSync(dir).find((f) => f.endsWith(".mcap")));
    recording = await readRecording(file);
    assert.ok(recording.channels.length >= 3 && recording.messages.length > 50, "the sample recording is too small");
    bridge = await new Bridge().start(["--play", file]);
  });

  after(async () => {
    const status = bridge ? await bridge.stop() : 0;
    if (dir) rmSync(dir, { recursive: true, force: true });
    assert.equal(status, 0, "the bridge did not end cleanly");
  });

  test("serverInfo says playback, offers no publishing, and the channels are the recording's", async () => {
    const v = await new Player(`${bridge.url}/?token=${bridge.viewer.token}`).ready();
    try {
      const info = v.serverInfo;
      assert.ok(!info.capabilities.includes("clientPublish"));
      for (const c of ["time", "parameters", "parametersSubscribe"]) assert.ok(info.capabilities.includes(c), c);
      assert.equal(info.metadata["halvoran.mode"], "playback");
      assert.equal(info.metadata["halvoran.file"], path.basename(file));
      assert.equal(info.metadata["halvoran.start"], String(recording.start));
      assert.equal(info.metadata["halvoran.end"], String(recording.end));
      const advertised = [...v.channels.values()].map((c) => ({
        topic: c.topic, encoding: c.encoding, schemaName: c.schemaName, schema: c.schema,
      }));
      const key = (c) => c.topic;
      assert.deepEqual(advertised.sort((a, b) => key(a).localeCompare(key(b))),
        [...recording.channels].sort((a, b) => key(a).localeCompare(key(b))));
    } finally {
      v.close();
    }
  });

  test("from the start, every message arrives in the recording's order with its recorded time", async () => {
    const v = await new Player(`${bridge.url}/?token=${bridge.driver.token}`).ready();
    try {
      v.subscribeAll();
      v.client.subscribeParameterUpdates(["playback.paused"]);
      await v.set([{ name: "playback.paused", value: true }], "pause");
      await v.set([{ name: "playback.rate", value: 10 }, { name: "playback.position", value: 0 }], "rewind");
      // Only the seek's own messages have come since the rewind was asked for.
      const expected = [
        ...latestAtOrBefore(recording.messages, recording.start),
        ...recording.messages.filter((m) => m.logTime > recording.start),
      ];
      const from = v.log.length - latestAtOrBefore(recording.messages, recording.start).length;
      const pausesBefore = v.values.length;
      await v.set([{ name: "playback.paused", value: false }], "play");
      // The end of the file pauses the playback, and says so.
      await waitFor("the end of the recording", () =>
        v.values.slice(pausesBefore).some((x) => !x.id && x.parameters.some((p) => p.name === "playback.paused" && p.value === true)),
      15000);
      const got = v.log.slice(from);
      assert.deepEqual(byTopic(got, (m) => m.timestamp), byTopic(expected, (m) => m.logTime));
      for (let i = 1; i < got.length; ++i) assert.ok(got[i - 1].timestamp <= got[i].timestamp, `message ${i} out of order`);
      // Time ended at the end of the recording.
      assert.equal(v.times[v.times.length - 1], recording.end);
    } finally {
      v.close();
    }
  });

  test("a seek sends the last message of each channel at or before the new position first", async () => {
    const v = await new Player(`${bridge.url}/?token=${bridge.viewer.token}`).ready();
    try {
      v.subscribeAll();
      await v.set([{ name: "playback.paused", value: true }], "pause");
      const middle = recording.start + (recording.end - recording.start) / 2n;
      const seconds = Number(middle - recording.start) / 1e9;
      const before = v.log.length;
      const timesBefore = v.times.length;
      const answer = await v.set([{ name: "playback.position", value: seconds }], "seek");
      assert.ok(Math.abs(answer.parameters[0].value - seconds) < 1e-6);
      const target = recording.start + BigInt(Math.round(seconds * 1e9));
      const shown = v.log.slice(before);
      assert.deepEqual(byTopic(shown, (m) => m.timestamp), byTopic(latestAtOrBefore(recording.messages, target), (m) => m.logTime));
      // Time at once, at the new position, and nothing more while paused.
      assert.equal(v.times[timesBefore], target);
      assert.equal(await v.get("playback.paused", "paused?"), true);
      assert.equal(v.log.length, before + shown.length);
    } finally {
      v.close();
    }
  });

  test("the rate is taken within 0.1 to 10, and refused outside with an error status", async () => {
    const v = await new Player(`${bridge.url}/?token=${bridge.viewer.token}`).ready();
    try {
      const ok = await v.set([{ name: "playback.rate", value: 4 }], "rate4");
      assert.equal(ok.parameters[0].value, 4);
      const refused = await v.set([{ name: "playback.rate", value: 50 }], "rate50");
      assert.equal(refused.parameters[0].value, 4);
      assert.ok(v.statuses.some((s) => s.level === 2 && /rate/.test(s.message)));
      assert.equal(await v.get("playback.rate", "rate?"), 4);
    } finally {
      v.close();
    }
  });

  test("a publish attempt is refused", async () => {
    const v = await new Player(`${bridge.url}/?token=${bridge.driver.token}`).ready();
    try {
      v.publish("/halvoran/drive", { speed: 5 });
      const refusals = await waitFor("two refusals", () => {
        const r = v.statuses.filter((s) => s.id === "halvoran.bad-message.playback" && s.level === 2);
        return r.length >= 2 ? r : null;
      });
      assert.equal(refusals.length, 2); // the advertisement and the message
    } finally {
      v.close();
    }
  });
});
