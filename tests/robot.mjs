// The robot for the Node tests of the bridge, the dashboard and the recorder: halvoran-sim,
// Halvoran on its link and halvoran-bridge in front, as processes; a Foxglove protocol client
// (the @foxglove/ws-protocol package) that records what the bridge sends; and headless Chromium
// (puppeteer-core) on the dashboard. Every wait is bounded. The programs come from HALVORAN_BIN,
// HALVORAN_SIM_BIN, HALVORAN_BRIDGE_BIN, the page from HALVORAN_WEB; by default from this checkout.
import { execFileSync, spawn } from "node:child_process";
import { randomBytes } from "node:crypto";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import net from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import wsProtocol from "@foxglove/ws-protocol";
import WebSocket from "ws";

const { FoxgloveClient } = wsProtocol;
const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");

export function program(env) {
  const built = { HALVORAN_BIN: "build/app/halvoran", HALVORAN_SIM_BIN: "build/sim/halvoran-sim", HALVORAN_BRIDGE_BIN: "build/bridge/halvoran-bridge" };
  const file = process.env[env] || path.join(top, built[env]);
  if (!existsSync(file)) throw new Error(`${file} is missing: build it first (or set ${env})`);
  return file;
}

// Waits until check() gives a truthy value, for at most timeoutMs; returns that value or throws
// with what the last look found.
export async function waitFor(what, check, timeoutMs = 10000, everyMs = 50) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${last instanceof Error ? last.message : JSON.stringify(last)})`);
    await new Promise((r) => setTimeout(r, everyMs));
  }
}

// Resolves with the first line of the process's output that matches, or rejects after timeoutMs.
// The output goes on being read (into output), so that the program never blocks on it.
export function lineMatching(child, pattern, timeoutMs, output = []) {
  child.stdout.on("data", (chunk) => output.push(chunk.toString()));
  return waitFor(`a line matching ${pattern}`, () => output.join("").split("\n").map((line) => line.match(pattern)).find(Boolean), timeoutMs, 20);
}

// Ends a child with SIGTERM (SIGKILL after timeoutMs); its exit code, or the signal that ended it.
export async function ended(child, timeoutMs = 10000) {
  if (!child) return null;
  if (child.exitCode === null && child.signalCode === null) {
    child.kill("SIGTERM");
    await new Promise((resolve) => {
      const timer = setTimeout(() => child.kill("SIGKILL"), timeoutMs);
      child.once("exit", () => {
        clearTimeout(timer);
        resolve();
      });
    });
  }
  return child.exitCode ?? child.signalCode;
}

// A token file of its own for a role, readable by the owner only.
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

// halvoran-bridge with a driver and a viewer token, its protocol on a port the system chooses
// and, with http, the dashboard on another. extraArgs go to the bridge as they are.
export class Bridge {
  constructor({ dir = mkdtempSync(path.join(tmpdir(), "halvoran-bridge-")), http = false } = {}) {
    this.dir = dir;
    this.http = http;
    this.output = [];
    this.driver = tokenFile(dir, "token");
    this.viewer = tokenFile(dir, "viewer-token");
  }

  async start(extraArgs = []) {
    const args = typeof extraArgs === "function" ? extraArgs(this.dir) : extraArgs;
    const http = this.http ? `127.0.0.1:${this.httpPort ?? 0}` : "off";
    this.process = spawn(program("HALVORAN_BRIDGE_BIN"),
      ["--halvoran", "127.0.0.1", "--listen", "127.0.0.1:0", "--http", http, "--web", process.env.HALVORAN_WEB || path.join(top, "bridge/web"),
        "--token-file", this.driver.file, "--viewer-token-file", this.viewer.file, ...args],
      { stdio: ["ignore", "pipe", "pipe"] });
    const from = this.output.length; // a restarted bridge's lines come after the last one's
    for (const stream of [this.process.stdout, this.process.stderr]) stream.on("data", (d) => this.output.push(String(d)));
    const listening = (kind) => waitFor(`the bridge's ${kind} address`, () => {
      if (this.process.exitCode !== null) throw new Error(`halvoran-bridge ended: ${this.output.join("")}`);
      return this.output.slice(from).join("").match(new RegExp(`^listening: (\\w+)://127\\.0\\.0\\.1:(\\d+) \\(${kind}`, "m"));
    });
    const ws = await listening("Foxglove");
    this.url = `${ws[1]}://127.0.0.1:${ws[2]}`;
    if (this.http) {
      this.httpPort = Number((await listening("dashboard"))[2]);
      this.dashboardUrl = `http://127.0.0.1:${this.httpPort}/`;
    }
    return this;
  }

  async stop() {
    const code = await ended(this.process);
    if (!this.keepDir) rmSync(this.dir, { recursive: true, force: true });
    return code;
  }
}

// halvoran-sim with Halvoran on its link (env, or env(dir) of the robot's folder, added to its environment), and a bridge in front
// unless bridge is false. Halvoran is started again whenever its session ends (as run.sh does),
// except while held (holdHalvoran) or with once. world goes to halvoran-sim; with dashboard, the
// bridge also serves the dashboard.
export async function startRobot({ world, dashboard = false, bridge = true, env = {}, once = false } = {}) {
  const dir = mkdtempSync(path.join(tmpdir(), "halvoran-robot-"));
  const robot = { dir, output: [], held: false, stopping: false };
  robot.link = path.join(dir, "com1");
  robot.control = path.join(dir, "control.sock");
  robot.trace = path.join(dir, "trace.txt");
  robot.sim = spawn(program("HALVORAN_SIM_BIN"),
    ["--link", robot.link, "--control", robot.control, "--no-com2", "--trace", robot.trace, ...(world ? ["--world", world] : [])],
    { stdio: ["ignore", "pipe", "inherit"] });
  await lineMatching(robot.sim, /^ready$/, 10000, robot.output);

  const startHalvoran = () => {
    // Its own runtime folder: the single-instance lock of a Halvoran elsewhere on the machine is not ours.
    const halvoran = spawn(program("HALVORAN_BIN"), [], {
      env: { ...process.env, HALVORAN_COM1: robot.link, HALVORAN_HEADLESS: "1", XDG_RUNTIME_DIR: dir, ...(typeof env === "function" ? env(dir) : env) },
      stdio: ["ignore", "ignore", "inherit"],
    });
    robot.halvoran = halvoran;
    halvoran.once("exit", () => {
      if (!robot.stopping && !robot.held && !once && robot.halvoran === halvoran) startHalvoran();
    });
  };
  startHalvoran();
  // Ends Halvoran and keeps it down until resumeHalvoran(), as when it fails on the robot.
  robot.holdHalvoran = async () => {
    robot.held = true;
    await ended(robot.halvoran, 5000);
  };
  robot.resumeHalvoran = () => {
    robot.held = false;
    startHalvoran();
  };

  if (bridge) {
    robot.bridge = new Bridge({ dir, http: dashboard });
    robot.bridge.keepDir = true;
    await robot.bridge.start();
    robot.driver = robot.bridge.driver;
    robot.plainUrl = robot.bridge.url;
    robot.url = `${robot.plainUrl}/?token=${robot.driver.token}`;
    robot.viewerUrl = `${robot.plainUrl}/?token=${robot.bridge.viewer.token}`;
    robot.dashboardUrl = robot.bridge.dashboardUrl;
  }

  // One command on the simulator's control socket; its one reply line.
  robot.command = (line) =>
    new Promise((resolve, reject) => {
      const socket = net.createConnection(robot.control);
      let got = "";
      socket.setTimeout(5000, () => socket.destroy(new Error(`no answer to "${line}"`)));
      socket.on("connect", () => socket.write(`${line}\n`));
      socket.on("data", (d) => {
        got += d;
        const end = got.indexOf("\n");
        if (end < 0) return;
        socket.end();
        resolve(got.slice(0, end));
      });
      socket.on("error", reject);
    });
  robot.state = async () => JSON.parse(await robot.command("state"));
  robot.traceLines = () => readFileSync(robot.trace, "utf8").split("\n");

  // Ends everything; the exit codes (0 for a clean end, also under a sanitizer).
  robot.stop = async () => {
    robot.stopping = true;
    const codes = { bridge: await ended(robot.bridge?.process), halvoran: await ended(robot.halvoran), sim: await ended(robot.sim) };
    rmSync(dir, { recursive: true, force: true });
    return codes;
  };
  return robot;
}

// A connection to one of Halvoran's ports on this machine, once it listens.
export function connectTo(port) {
  return waitFor(`port ${port}`, () => new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1");
    socket.once("connect", () => resolve(socket));
    socket.once("error", () => resolve(null));
  }));
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
    await waitFor("the advertisement", () => this.serverInfo && this.channels.size > 0);
    return this;
  }

  subscribe(topic) {
    const channel = this.channels.get(topic);
    if (!channel) throw new Error(`${topic} was not advertised`);
    this.subscriptions.set(this.client.subscribe(channel.id), topic);
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

// Headless Chromium through puppeteer-core, with a profile of its own.
export async function launchBrowser() {
  const { default: puppeteer } = await import("puppeteer-core");
  const profile = mkdtempSync(path.join(tmpdir(), "halvoran-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", `--user-data-dir=${profile}`],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

// A page on the robot's dashboard that records console errors and uncaught exceptions in
// page.errors. It comes in through the link with the token, which logs the browser in; query
// adds to the address. beforeLoad(page) runs before the page's scripts.
export async function openDashboard(browser, robot, { viewport = { width: 1280, height: 900 }, query = "", beforeLoad } = {}) {
  const page = await browser.newPage();
  page.errors = [];
  page.on("console", (m) => m.type() === "error" && page.errors.push(m.text()));
  page.on("pageerror", (e) => page.errors.push(String(e)));
  await page.setViewport(viewport);
  if (beforeLoad) await beforeLoad(page);
  await page.goto(`${robot.dashboardUrl}?token=${robot.driver.token}${query}`, { waitUntil: "load" });
  return page;
}
