// The robot for the bridge's tests: halvoran-sim, Halvoran on it, and halvoran-bridge in front,
// as processes; and a Foxglove protocol client (the @foxglove/ws-protocol package) that records
// what the bridge sends. Every wait is bounded.
import { execFileSync, spawn } from "node:child_process";
import { randomBytes } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import net from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import wsProtocol from "@foxglove/ws-protocol";
import WebSocket from "ws";

const { FoxgloveClient } = wsProtocol;

function binary(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} must name the built program`);
  return value;
}

// Resolves with the first line of the process's output that matches, or rejects after timeoutMs.
export function lineMatching(child, pattern, timeoutMs) {
  return new Promise((resolve, reject) => {
    let seen = "";
    const timer = setTimeout(() => {
      child.stdout.off("data", onData);
      reject(new Error(`no line matching ${pattern} within ${timeoutMs} ms; output so far:\n${seen}`));
    }, timeoutMs);
    function onData(chunk) {
      seen += chunk.toString();
      for (const line of seen.split("\n")) {
        const m = line.match(pattern);
        if (m) {
          clearTimeout(timer);
          child.stdout.off("data", onData);
          child.stdout.resume(); // what follows is read and dropped, so that the program never blocks on it
          resolve(m);
          return;
        }
      }
    }
    child.stdout.on("data", onData);
  });
}

export async function waitUntil(what, check, timeoutMs = 5000, everyMs = 50) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((r) => setTimeout(r, everyMs));
  }
}

export function ended(child, timeoutMs) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => {
      child.kill("SIGKILL");
      resolve();
    }, timeoutMs);
    child.once("exit", () => {
      clearTimeout(timer);
      resolve();
    });
  });
}

// A token file of its own for each role, readable by the owner only.
function tokenFile(dir, name) {
  const token = randomBytes(32).toString("hex");
  const file = path.join(dir, name);
  writeFileSync(file, `${token}\n`, { mode: 0o600 });
  return { token, file };
}

// A self-signed certificate for 127.0.0.1, made with the openssl command.
export function selfSignedCertificate(dir) {
  const cert = path.join(dir, "cert.pem");
  const key = path.join(dir, "key.pem");
  execFileSync("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
    "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
  { stdio: "ignore" });
  return { cert, key, pem: readFileSync(cert) };
}

// halvoran-bridge alone (no Halvoran behind it: it waits for one), with a driver and a viewer
// token, on a port the system chooses. extraArgs go to the bridge as they are.
export class Bridge {
  async start(extraArgs = []) {
    this.dir = mkdtempSync(path.join(tmpdir(), "halvoran-bridge-alone-"));
    this.driver = tokenFile(this.dir, "token");
    this.viewer = tokenFile(this.dir, "viewer-token");
    const args = typeof extraArgs === "function" ? extraArgs(this.dir) : extraArgs;
    this.process = spawn(
      binary("HALVORAN_BRIDGE_BIN"),
      ["--halvoran", "127.0.0.1", "--listen", "127.0.0.1:0", "--http", "off", "--token-file", this.driver.file,
        "--viewer-token-file", this.viewer.file, ...args],
      { stdio: ["ignore", "pipe", "inherit"] },
    );
    const m = await lineMatching(this.process, /^listening: (wss?):\/\/127\.0\.0\.1:(\d+)/, 10000);
    this.url = `${m[1]}://127.0.0.1:${m[2]}`;
    return this;
  }

  async stop() {
    this.process.kill("SIGTERM");
    await ended(this.process, 10000);
    rmSync(this.dir, { recursive: true, force: true });
    return this.process.exitCode;
  }
}

export class Robot {
  async start({ world = "circle 0 0 10 4" } = {}) {
    this.dir = mkdtempSync(path.join(tmpdir(), "halvoran-bridge-test-"));
    this.driver = tokenFile(this.dir, "token");
    this.viewer = tokenFile(this.dir, "viewer-token");
    this.link = path.join(this.dir, "com1");
    this.control = path.join(this.dir, "control.sock");
    this.sim = spawn(binary("HALVORAN_SIM_BIN"), ["--link", this.link, "--control", this.control, "--no-com2", "--world", world, "--trace", path.join(this.dir, "trace.txt")], {
      stdio: ["ignore", "pipe", "inherit"],
    });
    await lineMatching(this.sim, /^ready$/, 10000);
    await this.startHalvoran();
    this.bridge = spawn(
      binary("HALVORAN_BRIDGE_BIN"),
      ["--halvoran", "127.0.0.1", "--listen", "127.0.0.1:0", "--http", "off", "--token-file", this.driver.file,
        "--viewer-token-file", this.viewer.file],
      { stdio: ["ignore", "pipe", "inherit"] },
    );
    const m = await lineMatching(this.bridge, /^listening: ws:\/\/127\.0\.0\.1:(\d+)/, 10000);
    this.plainUrl = `ws://127.0.0.1:${m[1]}`;
    this.url = `${this.plainUrl}/?token=${this.driver.token}`;
    this.viewerUrl = `${this.plainUrl}/?token=${this.viewer.token}`;
  }

  async startHalvoran() {
    this.halvoran = spawn(binary("HALVORAN_BIN"), [], {
      // Its own runtime folder: the single-instance lock of a Halvoran elsewhere on the machine is not ours.
      env: { ...process.env, HALVORAN_COM1: this.link, HALVORAN_HEADLESS: "1", XDG_RUNTIME_DIR: this.dir },
      stdio: ["ignore", "ignore", "inherit"],
    });
  }

  async stopHalvoran() {
    this.halvoran.kill("SIGTERM");
    await ended(this.halvoran, 5000);
  }

  // The simulator's state, from its control socket.
  state() {
    return new Promise((resolve, reject) => {
      const socket = net.connect(this.control);
      let text = "";
      socket.on("data", (chunk) => {
        text += chunk.toString();
        const end = text.indexOf("\n");
        if (end >= 0) {
          socket.end();
          try {
            resolve(JSON.parse(text.slice(0, end)));
          } catch (e) {
            reject(e);
          }
        }
      });
      socket.on("error", reject);
      socket.write("state\n");
    });
  }

  // Ends everything; the bridge's exit status (0 unless it failed, a sanitizer's report included).
  async stop() {
    for (const child of [this.bridge, this.halvoran, this.sim]) {
      if (child) {
        child.kill("SIGTERM");
        await ended(child, 10000);
      }
    }
    if (this.dir) rmSync(this.dir, { recursive: true, force: true });
    return this.bridge?.exitCode;
  }
}

const decoder = new TextDecoder();
const encoder = new TextEncoder();

// A Foxglove protocol client that remembers everything the bridge sent it.
export class Viewer {
  // options go to the ws package's WebSocket (headers, a certificate authority).
  constructor(url, options = {}) {
    this.client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], options) });
    this.serverInfo = null;
    this.channels = new Map(); // topic -> channel
    this.statuses = [];
    this.messages = new Map(); // topic -> [decoded JSON]
    this.subscriptions = new Map(); // subscription id -> topic
    this.publishers = new Map(); // topic -> client channel id
    this.closed = false;
    this.client.on("serverInfo", (info) => (this.serverInfo = info));
    this.client.on("status", (status) => this.statuses.push(status));
    this.client.on("advertise", (channels) => {
      for (const c of channels) this.channels.set(c.topic, c);
    });
    this.client.on("message", ({ subscriptionId, data }) => {
      const topic = this.subscriptions.get(subscriptionId);
      const list = this.messages.get(topic) ?? [];
      list.push(JSON.parse(decoder.decode(data)));
      this.messages.set(topic, list);
    });
    this.client.on("close", () => (this.closed = true));
  }

  async ready() {
    await waitUntil("the advertisement", () => this.serverInfo && this.channels.size > 0);
    return this;
  }

  subscribe(topic) {
    const channel = this.channels.get(topic);
    if (!channel) throw new Error(`${topic} was not advertised`);
    const id = this.client.subscribe(channel.id);
    this.subscriptions.set(id, topic);
  }

  received(topic) {
    return this.messages.get(topic) ?? [];
  }

  publish(topic, message) {
    if (!this.publishers.has(topic)) {
      this.publishers.set(topic, this.client.advertise({ topic, encoding: "json", schemaName: topic }));
    }
    this.client.sendMessage(this.publishers.get(topic), encoder.encode(JSON.stringify(message)));
  }

  close() {
    this.client.close();
  }
}

// What the bridge answers to a WebSocket upgrade: { status, body } when refused, { status: 101 }
// when the connection opens (it is closed at once).
export function upgradeAnswer(url, options = {}) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL], options);
    ws.on("unexpected-response", (request, response) => {
      let body = "";
      response.on("data", (chunk) => (body += chunk));
      response.on("end", () => resolve({ status: response.statusCode, body }));
    });
    ws.on("open", () => {
      ws.close();
      resolve({ status: 101 });
    });
    ws.on("error", (e) => {
      if (!/Unexpected server response/.test(e.message)) reject(e);
    });
  });
}
