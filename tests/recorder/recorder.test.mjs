// Halvoran's recordings read back with the MCAP reader of @mcap/core (zstd through fzstd):
// record_sample records a known session through the recorder's hooks, and the tests compare what
// the file holds with what was sent.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, test } from "node:test";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";
import { crc32 } from "./crc32.mjs";

const decompressHandlers = {
  zstd: (data, size) => {
    const out = decompress(data, new Uint8Array(Number(size)));
    assert.equal(out.length, Number(size));
    return out;
  },
};

const TOPICS = {
  "/halvoran/serial": "halvoran.SerialBytes",
  "/halvoran/port/5000": "halvoran.PortBytes",
  "/halvoran/port/5001": "halvoran.PortBytes",
  "/halvoran/port/5002": "halvoran.PortBytes",
  "/halvoran/events": "halvoran.Event",
  "/halvoran/command": "halvoran.Command",
  "/halvoran/command_reply": "halvoran.CommandReply",
  "/halvoran/drive_status": "halvoran.DriveStatus",
  "/halvoran/tracking": "halvoran.TrackingReport",
  "/halvoran/camera/image": "foxglove.RawImage",
  "/halvoran/camera/annotations": "foxglove.ImageAnnotations",
};

function fileReadable(bytes) {
  return {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
  };
}

const text = new TextDecoder();
const fromBase64 = (s) => Buffer.from(s, "base64");

// Every message of a file through the indexed reader, with CRCs checked, as {topic, logTime, json}.
async function readIndexed(bytes) {
  const reader = await McapIndexedReader.Initialize({ readable: fileReadable(bytes), decompressHandlers });
  const messages = [];
  for await (const m of reader.readMessages({ validateCrcs: true })) {
    messages.push({ topic: reader.channelsById.get(m.channelId).topic, channelId: m.channelId, logTime: m.logTime,
      sequence: m.sequence, json: JSON.parse(text.decode(m.data)) });
  }
  return { reader, messages };
}

// Every message the streaming reader gets out of the bytes, as the indexed one gives them.
function readStreaming(bytes) {
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  reader.append(bytes);
  const channels = new Map();
  const messages = [];
  for (let record; (record = reader.nextRecord()); ) {
    if (record.type === "Channel") channels.set(record.id, record);
    if (record.type === "Message") {
      messages.push({ topic: channels.get(record.channelId).topic, channelId: record.channelId,
        logTime: record.logTime, sequence: record.sequence, json: JSON.parse(text.decode(record.data)) });
    }
  }
  return messages;
}

const concat = (messages, topic, filter = () => true) =>
  Buffer.concat(messages.filter((m) => m.topic === topic && filter(m.json)).map((m) => fromBase64(m.json.data)));

describe("a recorded session", () => {
  let dir, manifest, bytes, indexed;

  before(async () => {
    assert.ok(process.env.RECORD_SAMPLE_BIN, "RECORD_SAMPLE_BIN names the recording program");
    dir = mkdtempSync(join(tmpdir(), "halvoran-recorder-"));
    execFileSync(process.env.RECORD_SAMPLE_BIN, [dir, join(dir, "manifest.json"), "300"], { stdio: "inherit" });
    manifest = JSON.parse(readFileSync(join(dir, "manifest.json"), "utf8"));
    bytes = new Uint8Array(readFileSync(manifest.file));
    indexed = await readIndexed(bytes);
  });
  after(() => rmSync(dir, { recursive: true, force: true }));

  test("the file is named after its start and nothing was dropped", () => {
    assert.match(manifest.file, /\/halvoran-\d{8}-\d{6}\.mcap$/);
    assert.equal(manifest.dropped, 0);
  });

  test("every topic has its channel with a JSON schema, in the summary", () => {
    const { reader } = indexed;
    for (const [topic, schemaName] of Object.entries(TOPICS)) {
      const channel = [...reader.channelsById.values()].find((c) => c.topic === topic);
      assert.ok(channel, `${topic} present`);
      assert.equal(channel.messageEncoding, "json");
      const schema = reader.schemasById.get(channel.schemaId);
      assert.equal(schema.name, schemaName);
      assert.equal(schema.encoding, "jsonschema");
      assert.equal(JSON.parse(text.decode(schema.data)).type, "object");
    }
    assert.ok(reader.chunkIndexes.length > 3, `many chunks (${reader.chunkIndexes.length})`);
  });

  test("the statistics count what the file holds, and the data section's CRC is right", () => {
    const { reader, messages } = indexed;
    assert.equal(reader.statistics.messageCount, BigInt(messages.length));
    assert.equal(reader.statistics.chunkCount, reader.chunkIndexes.length);
    for (const [id, count] of reader.statistics.channelMessageCounts) {
      assert.equal(count, BigInt(messages.filter((m) => m.channelId === id).length), `channel ${id}`);
    }
    assert.equal(reader.dataSectionCrc, crc32(bytes.subarray(0, Number(reader.dataEndOffset))));
  });

  test("the serial bytes are what went down and came up the line, each on its channel", () => {
    const { messages } = indexed;
    const tx = (m) => m.direction === "tx";
    assert.deepEqual(concat(messages, "/halvoran/serial", tx), fromBase64(manifest.tx));
    assert.deepEqual(concat(messages, "/halvoran/serial", (m) => !tx(m)), fromBase64(manifest.rx));
    for (const channel of [0, 1, 2]) {
      assert.deepEqual(concat(messages, "/halvoran/serial", (m) => tx(m) && m.channel === channel),
        fromBase64(manifest.txByChannel[channel]), `channel ${channel}`);
    }
    for (const m of messages.filter((m) => m.topic === "/halvoran/serial")) {
      assert.equal(m.json.offsets_ns.length, fromBase64(m.json.data).length);
      assert.equal(m.json.line, "COM1:");
      for (let i = 1; i < m.json.offsets_ns.length; i++) assert.ok(m.json.offsets_ns[i] >= m.json.offsets_ns[i - 1]);
    }
  });

  test("the ports' bytes are what was received and sent", () => {
    for (const port of ["5000", "5001", "5002"]) {
      for (const direction of ["rx", "tx"]) {
        assert.deepEqual(concat(indexed.messages, `/halvoran/port/${port}`, (m) => m.direction === direction),
          fromBase64(manifest.ports[port][direction]), `${port} ${direction}`);
      }
    }
  });

  test("commands, replies, drive status, tracking and events are decoded", () => {
    const { messages } = indexed;
    const on = (topic) => messages.filter((m) => m.topic === topic).map((m) => m.json);
    const commands = on("/halvoran/command");
    assert.equal(commands.length, manifest.commands);
    assert.ok(commands.every((c) => c.checksumOk));
    assert.deepEqual([...new Set(commands.map((c) => c.letter))], ["P", "D"]);
    const replies = on("/halvoran/command_reply");
    assert.equal(replies.length, manifest.driveStatuses);
    assert.ok(replies.every((r) => r.command === "P" && r.result === 0));
    const drive = on("/halvoran/drive_status");
    assert.equal(drive.length, manifest.driveStatuses);
    assert.ok(drive.every((d) => d.servoModule === 58 && d.drive.length === 4));
    const tracking = on("/halvoran/tracking");
    assert.deepEqual(tracking.map((t) => ({ servo1: t.servo1, x: t.x })), manifest.tracking);
    // Every report gives its box; the box is centred where the report says.
    const boxes = on("/halvoran/camera/annotations");
    assert.equal(boxes.length, tracking.length);
    boxes.forEach((b, i) => {
      const xs = b.points[0].points.map((p) => p.x);
      assert.equal((Math.min(...xs) + Math.max(...xs)) / 2, 2 * tracking[i].x - 1);
    });
    // The frame dump as a picture twice as wide as the camera's, each pixel doubled.
    const images = on("/halvoran/camera/image");
    assert.equal(images.length, 1);
    const image = images[0];
    assert.deepEqual([image.width, image.height, image.encoding, image.step], [160, 143, "rgb8", 480]);
    const rgb = fromBase64(image.data);
    assert.equal(rgb.length, 160 * 143 * 3);
    const pixel = (x, y) => [...rgb.subarray((y * 160 + x) * 3, (y * 160 + x) * 3 + 3)];
    assert.deepEqual(pixel(0, 0), manifest.image.x0y0);
    assert.deepEqual(pixel(1, 0), manifest.image.x0y0);
    assert.deepEqual(pixel(10, 7), manifest.image.x5y7);
    assert.deepEqual(pixel(11, 7), manifest.image.x5y7);
    const events = on("/halvoran/events").map((e) => e.event);
    assert.equal(events[0], "recording_start");
    assert.equal(events.at(-1), "recording_end");
    assert.deepEqual(events.filter((e) => !e.startsWith("recording_")), manifest.events);
  });

  test("log times and sequence numbers never go back within a channel", () => {
    const last = new Map();
    for (const m of indexed.messages) {
      const before = last.get(m.channelId);
      if (before) {
        assert.ok(m.logTime >= before.logTime, `${m.topic} log time ordered`);
        assert.equal(m.sequence, before.sequence + 1, `${m.topic} sequence`);
      }
      last.set(m.channelId, m);
    }
  });

  test("the streaming reader reads the whole file as the indexed one does", () => {
    const streamed = readStreaming(bytes);
    assert.equal(streamed.length, indexed.messages.length);
  });

  test("a file cut short at a random byte reads up to its last complete chunk", () => {
    const seed = Number(process.env.RECORDER_CUT_SEED ?? Date.now() % 100000);
    let state = seed;
    const random = () => (state = (state * 1103515245 + 12345) % 2147483648) / 2147483648;
    // How many messages the file holds up to the end of each chunk, in file order.
    const upTo = [];
    const whole = new McapStreamReader({ decompressHandlers, includeChunks: true });
    whole.append(bytes);
    let count = 0;
    for (let record; (record = whole.nextRecord()); ) {
      if (record.type === "Chunk" && upTo.length > 0) upTo[upTo.length - 1].messages = count;
      if (record.type === "Chunk") upTo.push({ messages: 0 });
      if (record.type === "Message") count++;
      if (record.type === "DataEnd") upTo[upTo.length - 1].messages = count;
    }
    const chunks = indexed.reader.chunkIndexes;
    assert.equal(upTo.length, chunks.length);
    const full = readStreaming(bytes);
    for (let trial = 0; trial < 20; trial++) {
      const cut = 8 + Math.floor(random() * (Number(indexed.reader.dataEndOffset) - 8));
      const where = `seed ${seed} cut ${cut}`;
      const streamed = readStreaming(bytes.subarray(0, cut));
      // Every message of each chunk that ends before the cut is there, in the file's order.
      const complete = chunks.filter((c) => c.chunkStartOffset + c.chunkLength <= BigInt(cut)).length;
      const expected = complete === 0 ? 0 : upTo[complete - 1].messages;
      assert.ok(streamed.length >= expected, `${where}: ${streamed.length} messages, ${expected} in complete chunks`);
      assert.deepEqual(streamed.map((m) => m.json), full.slice(0, streamed.length).map((m) => m.json), `${where}: a prefix`);
    }
  });
});

describe("a recording whose queue overflowed", () => {
  test("says how many records were lost, and holds all the others", async () => {
    const dir = mkdtempSync(join(tmpdir(), "halvoran-recorder-overflow-"));
    try {
      execFileSync(process.env.RECORD_SAMPLE_BIN, [dir, join(dir, "manifest.json"), "20", "overflow"], { stdio: "inherit" });
      const manifest = JSON.parse(readFileSync(join(dir, "manifest.json"), "utf8"));
      assert.equal(manifest.dropped, 25);
      const { messages } = await readIndexed(new Uint8Array(readFileSync(manifest.file)));
      const events = messages.filter((m) => m.topic === "/halvoran/events").map((m) => m.json);
      assert.ok(events.some((e) => e.event === "records_dropped" && e.value === 25), JSON.stringify(events));
      assert.equal(events.at(-1).event, "recording_end");
      assert.equal(events.at(-1).dropped, 25);
      assert.deepEqual(concat(messages, "/halvoran/serial", (m) => m.direction === "tx"), fromBase64(manifest.tx));
    } finally {
      rmSync(dir, { recursive: true, force: true });
    }
  });
});
