// halvoran-bridge with halvoran-sim and Halvoran behind it, seen through the Foxglove protocol
// client of the @foxglove/ws-protocol package. The tests run in order on one robot: the later
// ones take the drive that the earlier ones leave, and restart Halvoran last.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { after, before, describe, test } from "node:test";
import { Bridge, Viewer, ended, lineMatching, program, selfSignedCertificate, startRobot, upgradeAnswer, waitFor } from "../robot.mjs";

const TOPICS = [
  "/halvoran/connection",
  "/halvoran/tracking",
  "/halvoran/drive_status",
  "/halvoran/camera/image",
  "/halvoran/camera/annotations",
  "/halvoran/frame_progress",
  "/halvoran/reply",
];
// The simulator's green target, as the tour of run.sh tracks it.
const TARGET_BOUNDS = [30, 90, 170, 230, 50, 110];

describe("halvoran-bridge", () => {
  let robot;
  const viewers = [];
  const viewer = async () => {
    const v = await new Viewer(robot.url).ready();
    viewers.push(v);
    return v;
  };

  before(async () => {
    robot = await startRobot({ world: "circle 0 0 10 4" });
    // Every test starts with Halvoran's session up, whichever of them runs first or alone.
    const watcher = await viewer();
    watcher.subscribe("/halvoran/connection");
    await waitFor("Halvoran connected", () => watcher.received("/halvoran/connection").some((c) => c.connected), 15000);
  });
  after(async () => {
    for (const v of viewers) v.close();
    assert.equal((await robot.stop()).bridge, 0, "halvoran-bridge ends cleanly on SIGTERM");
  });

  test("serverInfo offers client publishing and every channel is advertised with its JSON schema", async () => {
    const v = await viewer();
    assert.ok(v.serverInfo.capabilities.includes("clientPublish"));
    assert.deepEqual(v.serverInfo.supportedEncodings, ["json"]);
    for (const topic of TOPICS) {
      const channel = v.channels.get(topic);
      assert.ok(channel, `${topic} advertised`);
      assert.equal(channel.encoding, "json");
      assert.equal(channel.schemaEncoding, "jsonschema");
      assert.equal(JSON.parse(channel.schema).type, "object");
    }
    assert.equal(v.channels.get("/halvoran/camera/image").schemaName, "foxglove.RawImage");
    assert.equal(v.channels.get("/halvoran/camera/annotations").schemaName, "foxglove.ImageAnnotations");
    assert.ok(v.statuses.some((s) => s.level === 0 && /^client \d+$/.test(s.message)), "client id told");
  });

  test("without the token, or with a wrong one, the WebSocket is refused with 401 and a reason", async () => {
    for (const [what, url, options] of [
      ["no token", robot.plainUrl, {}],
      ["a wrong token", `${robot.plainUrl}/?token=${"0".repeat(64)}`, {}],
      ["a wrong bearer token", robot.plainUrl, { headers: { Authorization: `Bearer ${"1".repeat(64)}` } }],
      ["a wrong cookie", robot.plainUrl, { headers: { Cookie: `halvoran_token=${"2".repeat(64)}` } }],
      ["the token's first half", `${robot.plainUrl}/?token=${robot.driver.token.slice(0, 32)}`, {}],
    ]) {
      const answer = await upgradeAnswer(url, options);
      assert.equal(answer.status, 401, what);
      assert.match(answer.body, /token/, what);
    }
    for (const [what, url, options] of [
      ["the token on the URL", robot.url, {}],
      ["the token as a bearer", robot.plainUrl, { headers: { Authorization: `Bearer ${robot.driver.token}` } }],
      ["the token in the login cookie", robot.plainUrl, { headers: { Cookie: `halvoran_token=${robot.driver.token}` } }],
      ["the viewer token", robot.viewerUrl, {}],
    ]) {
      assert.equal((await upgradeAnswer(url, options)).status, 101, what);
    }
  });

  test("a page of another site cannot open the WebSocket, a foreign Host name is refused", async () => {
    const foreign = await upgradeAnswer(robot.url, { headers: { Origin: "http://evil.example" } });
    assert.equal(foreign.status, 403);
    assert.match(foreign.body, /evil\.example/);
    const rebound = await upgradeAnswer(robot.url, { headers: { Host: "evil.example" } });
    assert.equal(rebound.status, 403);
    const port = new URL(robot.plainUrl).port;
    assert.equal((await upgradeAnswer(robot.url, { headers: { Origin: `http://127.0.0.1:${port}` } })).status, 101);
  });

  test("the viewer token watches but cannot drive: no clientPublish, its drive refused", async () => {
    const v = await new Viewer(robot.viewerUrl).ready();
    viewers.push(v);
    assert.ok(!v.serverInfo.capabilities.includes("clientPublish"));
    v.subscribe("/halvoran/connection");
    await waitFor("Halvoran's connection state", () => v.received("/halvoran/connection").length > 0, 15000);
    v.publish("/halvoran/drive", { speed: 40 });
    await waitFor("the refusal", () => v.statuses.some((s) => s.id === "halvoran.bad-message.not-permitted"), 5000);
    // The hub refuses before anything is queued for Halvoran: once the refusal is in, the drive
    // either ran already or never will.
    assert.equal((await robot.state()).drive.running, false);
    assert.equal(v.closed, false);
  });

  test("a subscriber receives tracking reports and boxes that follow the moving target", async () => {
    const watcher = await viewer();
    watcher.subscribe("/halvoran/connection");
    watcher.subscribe("/halvoran/tracking");
    watcher.subscribe("/halvoran/camera/annotations");
    watcher.subscribe("/halvoran/reply");
    await waitFor("Halvoran connected", () => watcher.received("/halvoran/connection").some((c) => c.connected), 15000);

    const starter = await viewer();
    starter.publish("/halvoran/track", { action: "start", kind: "colour", mode: "report", bounds: TARGET_BOUNDS });
    const seen = await waitFor(
      "tracking reports of the seen target at more than one place",
      () => {
        const reports = watcher.received("/halvoran/tracking").filter((r) => r.confidence > 0 && r.pixels > 0);
        const places = new Set(reports.map((r) => `${r.x},${r.y}`));
        return places.size >= 3 ? reports : null;
      },
      15000,
    );
    for (const r of seen) {
      assert.equal(r.kind, "colour");
      assert.equal(r.mode, "report");
      assert.ok(r.x >= 1 && r.x <= 80 && r.y >= 1 && r.y <= 143);
    }
    const reply = watcher.received("/halvoran/reply").find((r) => r.topic === "/halvoran/track");
    assert.equal(reply.ok, true);
    const box = watcher.received("/halvoran/camera/annotations").find((a) => a.points.length === 1);
    assert.ok(box, "a box drawn");
    assert.equal(box.points[0].type, 2);
    assert.equal(box.points[0].points.length, 4);
    for (const p of box.points[0].points) assert.ok(p.x >= -80 && p.x <= 240 && p.y >= -72 && p.y <= 215);

    starter.publish("/halvoran/track", { action: "stop" });
    await waitFor("the camera stops tracking", async () => !(await robot.state()).camera.tracking, 5000);
  });

  // The simulator's trace, on its own clock: [microseconds, text] of each drive event.
  const driveEvents = () =>
    robot.traceLines().map((l) => l.match(/^(\d+) event \S+ (drive .*)$/)).filter(Boolean).map((m) => [Number(m[1]), m[2]]);
  const driveValue = (speed) => -500 + Math.trunc(2.34375 * speed);

  test("one driver at a time, and the driver's leaving stops the drive at once, before its silence could have", async () => {
    const driver = await viewer();
    driver.subscribe("/halvoran/drive_status");
    driver.publish("/halvoran/drive", { speed: 40 });
    // The driver keeps publishing, as a tool held open does.
    const keepDriving = setInterval(() => driver.publish("/halvoran/drive", { speed: 40 }), 300);
    try {
      await waitFor("the simulator's drive runs at speed 40", async () => {
        const s = await robot.state();
        return s.drive.running && s.drive.value === driveValue(40);
      });
      await waitFor("a drive status", () => driver.received("/halvoran/drive_status").some((d) => d.running && d.speed === 40));
      const other = await viewer();
      other.publish("/halvoran/drive", { speed: -60 });
      await waitFor("the refusal", () => other.statuses.find((s) => s.level === 1 && /held by client/.test(s.message)));
    } finally {
      clearInterval(keepDriving);
    }
    // The driver's last word, after the refusal: once it reached the drive, so did anything of
    // the other client's that went the same way before it.
    driver.publish("/halvoran/drive", { speed: 41 });
    await waitFor("speed 41 at the drive", async () => (await robot.state()).drive.value === driveValue(41));
    driver.close();
    await waitFor("the drive stops", async () => !(await robot.state()).drive.running);

    const events = driveEvents();
    assert.ok(!events.some(([, text]) => text.includes(`drive value ${driveValue(-60)}`)), "the second client's speed reached the drive");
    const last = events.find(([, text]) => text.includes(`drive value ${driveValue(41)}`))[0];
    const stop = events.find(([t, text]) => t >= last && text.endsWith("(stop)"))[0];
    // The silence stop comes a second after the last speed; the disconnect stop long before.
    assert.ok(stop - last < 900000, `the stop came ${(stop - last) / 1000} ms after the last speed, as the silence stop does`);
  });

  test("a drive without fresh messages is repeated, then stopped, although the driver stays connected", async () => {
    const driver = await viewer();
    driver.publish("/halvoran/drive", { speed: 30 });
    await waitFor("the drive runs", async () => (await robot.state()).drive.running);
    const since = driveEvents().length;
    await waitFor("the drive stops", async () => !(await robot.state()).drive.running);
    // The bridge sends the speed again while the driver's message is fresh, and only then stops.
    const events = driveEvents().slice(since);
    const stop = events.findIndex(([, text]) => text.endsWith("(stop)"));
    const repeats = events.slice(0, stop).filter(([, text]) => text.includes(`drive value ${driveValue(30)}`));
    assert.ok(repeats.length >= 2, `the speed was not sent again before the stop: ${events.map(([, t]) => t).join("; ")}`);
    assert.equal(driver.closed, false);
  });

  test("Halvoran restarted under the bridge is picked up again while the viewers stay", async () => {
    const watcher = await viewer();
    watcher.subscribe("/halvoran/connection");
    watcher.subscribe("/halvoran/reply");
    await waitFor("connected", () => watcher.received("/halvoran/connection").at(-1)?.connected === true, 5000);

    await robot.holdHalvoran();
    await waitFor("told of the lost session", () => watcher.received("/halvoran/connection").at(-1)?.connected === false, 5000);
    watcher.publish("/halvoran/camera_line", { line: "gv" });
    const refused = await waitFor("the refusal while away", () =>
      watcher.received("/halvoran/reply").find((r) => r.topic === "/halvoran/camera_line"),
    );
    assert.equal(refused.ok, false);
    assert.equal(refused.error, "Halvoran is not connected");

    await robot.resumeHalvoran();
    await waitFor("connected again", () => watcher.received("/halvoran/connection").at(-1)?.connected === true, 10000);
    assert.equal(watcher.closed, false);
    watcher.publish("/halvoran/camera_line", { line: "gv" });
    const answer = await waitFor("the camera's answer", () =>
      watcher.received("/halvoran/reply").find((r) => r.topic === "/halvoran/camera_line" && r.ok),
    );
    assert.ok(answer.answer.length > 0);
  });
});

describe("halvoran-bridge over TLS", () => {
  const bridge = new Bridge();
  let certificate;
  before(async () => {
    await bridge.start((dir) => {
      certificate = selfSignedCertificate(dir);
      return ["--tls-cert", certificate.cert, "--tls-key", certificate.key];
    });
  });
  after(async () => {
    assert.equal(await bridge.stop(), 0, "halvoran-bridge ends cleanly on SIGTERM");
  });

  test("wss with the token serves the protocol; without the token it is refused", async () => {
    assert.match(bridge.url, /^wss:/);
    const v = await new Viewer(`${bridge.url}/?token=${bridge.driver.token}`, { ca: certificate.pem }).ready();
    assert.ok(v.serverInfo.capabilities.includes("clientPublish"));
    v.close();
    assert.equal((await upgradeAnswer(bridge.url, { ca: certificate.pem })).status, 401);
    // The certificate is the one given: a client that does not trust it does not connect.
    await assert.rejects(upgradeAnswer(`${bridge.url}/?token=${bridge.driver.token}`), /self[- ]signed|certificate/i);
    // Plain ws on the TLS port gets no WebSocket.
    await assert.rejects(upgradeAnswer(`${bridge.url.replace("wss:", "ws:")}/?token=${bridge.driver.token}`));
  });
});

describe("halvoran-bridge without a token", () => {
  const bin = () => program("HALVORAN_BRIDGE_BIN");
  test("refuses to listen on every address, naming --token-file", () => {
    const refused = spawnSync(bin(), ["--listen", "0.0.0.0:0", "--http", "off"], { encoding: "utf8", timeout: 10000 });
    assert.equal(refused.status, 2);
    assert.match(refused.stderr, /--token-file/);
  });
  test("with --no-auth it listens on every address and warns at start", async () => {
    const child = spawn(bin(), ["--listen", "0.0.0.0:0", "--http", "off", "--no-auth"], { stdio: ["ignore", "pipe", "inherit"] });
    try {
      await lineMatching(child, /^WARNING: --no-auth/, 10000);
    } finally {
      child.kill("SIGTERM");
      await ended(child, 10000);
    }
    assert.equal(child.exitCode, 0);
  });
  test("with no token and no address given it listens on loopback only and says so", async () => {
    const child = spawn(bin(), ["--http", "off"], { stdio: ["ignore", "pipe", "inherit"] });
    let output = "";
    child.stdout.on("data", (chunk) => (output += chunk));
    try {
      await waitFor("the start-up lines", () => /only this machine/.test(output), 10000);
      assert.match(output, /^listening: ws:\/\/127\.0\.0\.1:8765 /m);
    } finally {
      child.kill("SIGTERM");
      await ended(child, 10000);
    }
  });
});
