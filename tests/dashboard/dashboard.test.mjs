// The dashboard in a real browser against halvoran-bridge, Halvoran and halvoran-sim: what the
// page shows and sends is checked against what the simulated robot did. Each test opens a page
// of its own and records the messages it sends. With HALVORAN_SCREENSHOTS=DIR the desktop and
// phone layouts are saved there as dashboard-desktop.png and dashboard-phone.png.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { join } from "node:path";
import { readFileSync, readdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import http from "node:http";
import { Bridge, startRobot, launchBrowser, openDashboard, waitFor, ended } from "../robot.mjs";

const screenshots = process.env.HALVORAN_SCREENSHOTS;

let robot;
let browser;

before(async () => {
  robot = await startRobot({ dashboard: true });
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  if (!robot) return;
  // The bridge and the simulator end cleanly: a sanitizer's report would make them end with 1.
  const codes = await robot.stop();
  assert.deepEqual({ bridge: codes.bridge, sim: codes.sim }, { bridge: 0, sim: 0 }, robot.bridge.output.join(""));
});

// Before the page's scripts: every message the page publishes is kept in window.sent (decoded),
// and window.fillSocket(n) makes the socket say n bytes are waiting (null: what it says itself).
function watchSends(page) {
  return page.evaluateOnNewDocument(() => {
    window.sent = [];
    let buffered = null;
    window.fillSocket = (n) => (buffered = n);
    const send = WebSocket.prototype.send;
    WebSocket.prototype.send = function (data) {
      if (typeof data !== "string") window.sent.push(JSON.parse(new TextDecoder().decode(new Uint8Array(data).subarray(5))));
      return send.call(this, data);
    };
    const own = Object.getOwnPropertyDescriptor(WebSocket.prototype, "bufferedAmount");
    Object.defineProperty(WebSocket.prototype, "bufferedAmount", { get() { return buffered ?? own.get.call(this); } });
  });
}

// A dashboard page of its own, connected to Halvoran.
async function connectedPage(options = {}) {
  const page = await openDashboard(browser, robot, { beforeLoad: watchSends, ...options });
  await waitFor('"connected"', async () => (await text(page, "#connection")) === "connected");
  return page;
}

// A test on a connected page of its own, closed at the end.
const onPage = (body, options) => async () => {
  const page = await connectedPage(options);
  try {
    await body(page);
  } finally {
    await page.close();
  }
};

const text = (page, sel) => page.$eval(sel, (e) => e.textContent);
const messages = (page) => page.$$eval("#messages li span", (els) => els.map((e) => e.textContent));
const running = async () => (await robot.state()).drive.running;
// The drive module's value for a speed.
const driveValue = (speed) => -500 + Math.trunc(2.34375 * speed);
// The drive messages (speeds and stops) the page sent, from the index `from` on.
const drives = (page, from = 0) => page.evaluate((n) => window.sent.slice(n).filter((m) => "speed" in m || "stop" in m), from);
const sentCount = (page) => page.evaluate(() => window.sent.length);
// The speeds the page sent after its last stop (from the index `from` on). A held key's speed is
// repeated until the stop, however long the stop takes to press; after it, nothing may drive.
async function speedsAfterStop(page, from) {
  const sent = await drives(page, from);
  return sent.slice(sent.findLastIndex((m) => m.stop) + 1).filter((m) => !m.stop);
}

// The page sends a stop, and the drive stops.
async function stopsOnItsOwn(page, from, why) {
  await waitFor(`the page to send a stop (${why})`, async () => (await drives(page, from)).some((m) => m.stop));
  await waitFor(`the drive to stop (${why})`, async () => !(await running()));
}

// Sets a slider as a user does, with its input event.
const slide = (page, id, value) => page.$eval(`#${id}`, (e, v) => {
  e.value = String(v);
  e.dispatchEvent(new Event("input", { bubbles: true }));
}, value);

test("holding ArrowUp drives forward, longer than the drive timeout, until it is released", onPage(async (page) => {
  assert.equal(await page.$eval("#banner", (e) => e.hidden), true);
  const from = await sentCount(page);
  await page.keyboard.down("ArrowUp");
  await waitFor("the drive to run at speed 60", async () => {
    const { drive } = await robot.state();
    return drive.running && drive.value === driveValue(60);
  });
  // Held for two seconds on the simulator's clock, more than the drive timeout: no stop on the way.
  const driveEvents = () => robot.traceLines().map((l) => l.match(/^(\d+) event \S+ (drive .*)$/)).filter(Boolean);
  const start = Number(driveEvents().findLast((m) => m[2].endsWith("(start)"))[1]);
  await waitFor("two seconds of driving", () => {
    const since = driveEvents().filter((m) => Number(m[1]) > start);
    assert.ok(!since.some((m) => m[2].endsWith("(stop)")), "the drive stopped while the key was still held");
    return since.some((m) => Number(m[1]) - start >= 2000000);
  });
  await page.keyboard.up("ArrowUp");
  await stopsOnItsOwn(page, from, "ArrowUp released");
  assert.equal(await text(page, "#drive-state"), "standing");
  assert.deepEqual(page.errors, []);
}));

test("STOP stops a running drive, by click, by Escape and from the Tab order, and is a button by that name", onPage(async (page) => {
  assert.ok(await page.$('::-p-aria([name="STOP"][role="button"])'), "no button named STOP in the accessibility tree");
  for (const [how, press] of [
    ["click", () => page.click("#stop")],
    ["Escape", () => page.keyboard.press("Escape")],
    ["Tab and Space", async () => {
      await page.click("h1"); // Tab starts from the top of the page
      const focused = () => page.evaluate(() => document.activeElement && document.activeElement.id);
      for (let i = 0; i < 10 && (await focused()) !== "stop"; i++) await page.keyboard.press("Tab");
      assert.equal(await focused(), "stop", "STOP is not among the first ten Tab stops");
      await page.keyboard.press("Space");
    }],
  ]) {
    await page.keyboard.down("KeyW");
    await waitFor(`the drive to run (${how})`, running);
    const from = await sentCount(page);
    await press();
    await stopsOnItsOwn(page, from, `STOP by ${how}`);
    // The key is still down and repeats, but STOP let it go: nothing starts the drive again.
    await page.keyboard.down("KeyW");
    assert.deepEqual(await speedsAfterStop(page, from), [], `the page drove again after STOP by ${how}`);
    await page.keyboard.up("KeyW");
  }
}));

test("a second viewer sees who drives, and its STOP stops a drive that the first one holds", async () => {
  const page = await connectedPage();
  const other = await connectedPage();
  try {
    await page.keyboard.down("KeyW");
    await waitFor("the drive to run", running);
    await waitFor("the first page to say it drives", async () => /^you \(client \d+/.test(await text(page, "#driver")));
    const holder = (await text(page, "#driver")).match(/client (\d+)/)[1];
    await waitFor(`the second page to name client ${holder} as the driver`, async () => {
      const shown = await text(other, "#driver");
      return shown === `client ${holder}` || shown.startsWith(`client ${holder} (`);
    });
    const from = await sentCount(page);
    await other.click("#stop");
    await waitFor("the other viewer's STOP to stop the drive", async () => !(await running()));
    // The first page still holds its key, which repeats; it lets go instead of driving on.
    await waitFor("the first page to let go", async () => (await text(page, "#drive-state")) === "standing");
    await page.keyboard.down("KeyW");
    assert.deepEqual(await speedsAfterStop(page, from), [], "the first page drove again after the other viewer's STOP");
    assert.deepEqual(other.errors, []);
  } finally {
    await page.keyboard.up("KeyW");
    await other.close();
    await page.close();
  }
});

// Captures a frame. (A page may have been shown the last frame when it connected already.)
async function captureFrame(page) {
  await page.click("#capture");
  await waitFor("the progress bar to move", () => page.$eval("#capture-progress", (p) => p.value > 0 && p.value < p.max), 10000, 20);
  await waitFor("the frame", async () => {
    const failed = (await messages(page)).find((m) => m.startsWith("Capture failed"));
    if (failed) throw new Error(failed);
    return /^frame of /.test(await text(page, "#capture-text"));
  }, 30000);
}

test("a captured frame shows the simulator's pixels, scaled without blur, and saves as a PNG", onPage(async (page) => {
  await captureFrame(page);
  const shown = await page.$eval("#frame", (c) => ({
    width: c.width,
    height: c.height,
    cssWidth: c.getBoundingClientRect().width,
    rendering: getComputedStyle(c).imageRendering,
    data: Array.from(c.getContext("2d").getImageData(0, 0, c.width, c.height).data),
  }));
  assert.equal(shown.rendering, "pixelated");
  assert.ok(shown.cssWidth >= 320, `the frame is shown only ${shown.cssWidth} px wide`);
  assert.deepEqual([shown.width, shown.height], [160, 143]);
  const sent = lastFrameFromTrace(readFileSync(robot.trace, "utf8"));
  let wrong = 0;
  let first = null;
  for (let i = 0; i < 160 * 143 * 3; i++) {
    const [x, y, c] = [Math.floor(i / 3) % 160, Math.floor(i / 480), i % 3];
    const [got, want] = [shown.data[(y * 160 + x) * 4 + c], sent[(y * 80 + (x >> 1)) * 3 + c]];
    if (got !== want && wrong++ === 0) first = `(${x}, ${y}), colour ${c}: ${got} for ${want}`;
  }
  assert.equal(wrong, 0, `${wrong} colour values differ, first at ${first}`);

  // Save PNG downloads the picture as it came: a PNG of 160 x 143.
  const downloads = mkdtempSync(join(tmpdir(), "halvoran-download-"));
  try {
    const cdp = await page.createCDPSession();
    await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
    await page.click("#save");
    const file = await waitFor("the saved PNG", () => readdirSync(downloads).find((n) => /^halvoran-frame-.*\.png$/.test(n)));
    const png = readFileSync(join(downloads, file));
    assert.deepEqual([...png.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
    assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20)], [160, 143]);
  } finally {
    rmSync(downloads, { recursive: true, force: true });
  }
}));

// The last frame the simulated camera sent (80 x 143 RGB), decoded from the trace's bytes out of
// the camera: "ACK\r", byte 1, 143 rows of byte 2 and 80 RGB pixels.
function lastFrameFromTrace(trace) {
  const bytes = trace.split("\n").map((l) => l.split(" ")).filter((f) => f.length === 4 && f[1] === "out" && f[2] === "camera").map((f) => parseInt(f[3], 16));
  const at = bytes.map((_, i) => i).findLast((i) => [0x41, 0x43, 0x4b, 0x0d, 0x01].every((b, k) => bytes[i + k] === b)) + 5;
  assert.ok(at >= 5, "no frame in the simulator's trace");
  const rows = Array.from({ length: 143 }, (_, y) => bytes.slice(at + y * 241, at + (y + 1) * 241));
  assert.ok(rows.every((row) => row[0] === 2), "a row of the traced frame does not start with byte 2");
  return Uint8Array.from(rows.flatMap((row) => row.slice(1)));
}

test("the pan and tilt sliders move servos 1 and 2", onPage(async (page) => {
  // ... and back to the middle, where the camera looks for the frames that the tracking tests take.
  for (const [id, servo, value] of [["pan", 1, 200], ["tilt", 2, 60], ["pan", 1, 127], ["tilt", 2, 127]]) {
    await slide(page, id, value);
    await waitFor(`servo ${servo} at ${value}`, async () => (await robot.state()).servos[servo].position === value);
  }
}));

// The middle of the tracking box in camera coordinates (1..80 x 1..143), or null while hidden.
const boxMiddle = (page) =>
  page.evaluate(() => {
    const box = document.getElementById("track-box");
    if (box.hidden) return null;
    const b = box.getBoundingClientRect();
    const f = document.getElementById("frame-wrap").getBoundingClientRect();
    return { x: ((b.left + b.width / 2 - f.left) / f.width) * 80, y: ((b.top + b.height / 2 - f.top) / f.height) * 143 };
  });

async function boxNearTarget(page) {
  const [box, state] = await Promise.all([boxMiddle(page), robot.state()]);
  if (!box) return false;
  const target = state.world.image;
  return Math.abs(box.x - target.x) <= 4 && Math.abs(box.y - target.y) <= 4 ? { box, target } : false;
}

// A pixel of the target in the shown frame (its middle): of the pixels nearest the target's
// colour, the one nearest their middle.
async function targetInFrame(page, colour) {
  const spot = await page.$eval("#frame", (c, [r, g, b]) => {
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    const near = [];
    for (let i = 0; i < d.length; i += 4) {
      if (Math.abs(d[i] - r) + Math.abs(d[i + 1] - g) + Math.abs(d[i + 2] - b) < 30) near.push([(i / 4) % c.width, Math.floor(i / 4 / c.width)]);
    }
    const mx = near.reduce((s, p) => s + p[0], 0) / near.length;
    const my = near.reduce((s, p) => s + p[1], 0) / near.length;
    const best = near.sort((p, q) => Math.hypot(p[0] - mx, p[1] - my) - Math.hypot(q[0] - mx, q[1] - my))[0];
    return best && { x: best[0], y: best[1] };
  }, colour);
  assert.ok(spot, "the target's colour is nowhere in the frame");
  return spot;
}

async function trackingStopped(page) {
  await page.click("#track-stop");
  await waitFor("the camera to stop tracking", async () => !(await robot.state()).camera.tracking);
  await waitFor("the page to say the tracking ended", async () => (await text(page, "#tracking-state")) === "not tracking");
  assert.equal(await page.$eval("#track-box", (e) => e.hidden), true);
}

test("the target's colour is tracked by a click and from the keyboard, the box follows it, and a dragged window is tracked", onPage(async (page) => {
  await captureFrame(page);
  await page.select("#mode", "report");
  const { colour } = (await robot.state()).world;
  const spot = await targetInFrame(page, colour);
  const frame = await page.$eval("#frame", (c) => {
    const r = c.getBoundingClientRect();
    return { left: r.left, top: r.top, width: r.width, height: r.height };
  });
  const at = (ix, iy) => [frame.left + (ix / 160) * frame.width, frame.top + (iy / 143) * frame.height];
  const tracksTheColour = async (how) => {
    const state = await waitFor(`the camera to track (${how})`, async () => {
      const s = await robot.state();
      return s.camera.tracking && s;
    });
    const r = state.camera.ranges;
    colour.forEach((v, i) => assert.ok(r[2 * i] <= v && v <= r[2 * i + 1], `${how}: the range ${r} leaves out the target's colour ${colour}`));
    await waitFor(`the box over the target (${how})`, () => boxNearTarget(page));
  };

  await page.mouse.click(...at(spot.x + 0.5, spot.y + 0.5));
  await tracksTheColour("click");
  for (const [az, el] of [[9, 6], [-8, -7]]) {
    assert.equal(await robot.command(`world target ${az} ${el}`), "ok");
    await waitFor(`the box over the target moved to ${az} ${el}`, () => boxNearTarget(page));
  }
  assert.match(await text(page, "#tracking-state"), /confidence \d+/);
  const plotted = await page.$eval("#plot", (c) => c.getContext("2d").getImageData(0, 0, c.width, c.height).data.some((v, i) => i % 4 === 3 && v));
  assert.ok(plotted, "the plot is empty");
  if (screenshots) {
    const bottom = await page.$eval("main", (m) => m.getBoundingClientRect().bottom);
    await page.screenshot({ path: join(screenshots, "dashboard-desktop.png"), clip: { x: 0, y: 0, width: 1280, height: Math.ceil(bottom) } });
  }
  await trackingStopped(page);

  // From the keyboard: the frame is a Tab stop, the arrows move the cross (two image pixels
  // across, one down a press; Shift: eight presses), Enter tracks the colour under it.
  await page.focus("#frame-wrap");
  const presses = async (n, less, more) => {
    const key = n < 0 ? less : more;
    await page.keyboard.down("Shift");
    for (let i = 0; i < Math.floor(Math.abs(n) / 8); i++) await page.keyboard.press(key);
    await page.keyboard.up("Shift");
    for (let i = 0; i < Math.abs(n) % 8; i++) await page.keyboard.press(key);
  };
  await presses(Math.trunc((spot.x - 80) / 2), "ArrowLeft", "ArrowRight"); // the cross starts at (80, 71)
  await presses(spot.y - 71, "ArrowUp", "ArrowDown");
  await page.keyboard.press("Enter");
  await tracksTheColour("keyboard");
  await trackingStopped(page);

  // A window dragged from lower right to upper left over the picture, from (100.5, 90.5) to
  // (60.5, 50.5) of the 160 x 143 image: the camera gets it in its own coordinates, x 31..51 and
  // y 51..91, and tracks what is inside.
  await page.mouse.move(...at(100.5, 90.5));
  await page.mouse.down();
  await page.mouse.move(...at(60.5, 50.5), { steps: 5 });
  await page.mouse.up();
  await waitFor("window tracking", async () => (await robot.state()).camera.mode === "window tracking");
  assert.match(readFileSync(robot.trace, "utf8"), /event camera line: sw 31 51 51 91\n/);
  await trackingStopped(page);
  assert.deepEqual(page.errors, []);
}));

test("the joystick is a labelled slider that drives from the keyboard and tells its value", onPage(async (page) => {
  const sliders = await Promise.all((await page.$$('::-p-aria([role="slider"])')).map((e) => e.evaluate((el) => el.id)));
  assert.ok(sliders.includes("joystick"), `the joystick is not among the sliders of the accessibility tree: ${sliders}`);
  assert.match(await page.$eval("#joystick", (e) => e.getAttribute("aria-label")), /^Joystick/);
  await page.focus("#joystick");
  const from = await sentCount(page);
  await page.keyboard.down("ArrowUp");
  await waitFor("the drive to run", running);
  assert.deepEqual(await page.$eval("#joystick", (e) => [e.getAttribute("aria-valuenow"), e.getAttribute("aria-valuetext")]), ["60", "driving forward: speed 60"]);
  await page.keyboard.up("ArrowUp");
  await stopsOnItsOwn(page, from, "ArrowUp released on the joystick");
  assert.deepEqual(await page.$eval("#joystick", (e) => [e.getAttribute("aria-valuenow"), e.getAttribute("aria-valuetext")]), ["0", "standing"]);
}));

test("while the socket is full the drive waits: only the latest wish goes when it drains, a stop at once", onPage(async (page) => {
  const from = await sentCount(page);
  await page.evaluate(() => window.fillSocket(1 << 20));
  await slide(page, "max-speed", 40);
  await page.keyboard.down("ArrowUp");
  await waitFor("the page to say it waits", async () => /waiting for a slow connection/.test(await text(page, "#drive-state")));
  assert.deepEqual(await drives(page, from), [], "a drive went into the full socket");
  // Let go while the socket is still full: the stop goes at once.
  await page.keyboard.up("ArrowUp");
  await waitFor("the stop", async () => (await drives(page, from)).length > 0);
  // Pressed again at another speed while full, then the socket drains: that speed goes, and the
  // speed held back before the stop never does.
  await slide(page, "max-speed", 60);
  await page.keyboard.down("ArrowUp");
  await page.evaluate(() => window.fillSocket(null));
  await waitFor("the drive to run at speed 60", async () => (await robot.state()).drive.value === driveValue(60) && running());
  const sent = await drives(page, from);
  assert.deepEqual(sent.slice(0, 2), [{ stop: true }, { speed: 60, servo0: 127 }]);
  assert.ok(!sent.some((m) => m.speed === 40), "the stale speed 40 was sent");
  const released = await sentCount(page);
  await page.keyboard.up("ArrowUp");
  await stopsOnItsOwn(page, released, "released after the socket drained");
}));

test("when the bridge goes away the page says it is reconnecting, waits longer each time, and comes back", onPage(async (page) => {
  // Every text the banner shows, in order.
  await page.evaluate(() => {
    window.banners = [];
    const banner = document.getElementById("banner");
    new MutationObserver(() => window.banners.push(banner.hidden ? "" : banner.textContent)).observe(banner, { childList: true, attributes: true, characterData: true, subtree: true });
  });
  await ended(robot.bridge.process);
  await waitFor('"reconnecting…"', async () => (await text(page, "#connection")) === "reconnecting…");
  const waits = await waitFor("three attempts", async () => {
    const seen = [...new Set((await page.evaluate(() => window.banners)).map((b) => b.match(/trying again in ([\d.]+) s/)).filter(Boolean).map((m) => Number(m[1])))];
    return seen.length >= 3 && seen;
  });
  assert.deepEqual(waits.slice(0, 3), [0.25, 0.5, 1], "the waits double");
  await robot.bridge.start();
  await waitFor('"connected" again', async () => (await text(page, "#connection")) === "connected", 20000);
  assert.equal(await page.$eval("#banner", (e) => e.hidden), true);
}));

test("on a 360 x 640 phone the joystick and STOP fit the first screen, and the joystick drives by touch", onPage(async (phone) => {
  const fits = await phone.evaluate(() => {
    const inside = (id) => {
      const r = document.getElementById(id).getBoundingClientRect();
      return r.top >= 0 && r.left >= 0 && r.bottom <= innerHeight && r.right <= innerWidth && r.width > 0;
    };
    return { joystick: inside("joystick"), stop: inside("stop"), sideways: document.documentElement.scrollWidth > innerWidth };
  });
  assert.deepEqual(fits, { joystick: true, stop: true, sideways: false });
  if (screenshots) await phone.screenshot({ path: join(screenshots, "dashboard-phone.png") });

  const pad = await phone.$eval("#joystick", (e) => {
    const r = e.getBoundingClientRect();
    return { x: r.left + r.width / 2, y: r.top + r.height / 2, radius: r.width / 2 };
  });
  const from = await sentCount(phone);
  await phone.touchscreen.touchStart(pad.x, pad.y);
  await phone.touchscreen.touchMove(pad.x, pad.y - pad.radius * 0.8);
  // Pushed up: forward, a drive value above the standing -500.
  await waitFor("the drive to run forward", async () => {
    const { drive } = await robot.state();
    return drive.running && drive.value > -500;
  });
  await phone.touchscreen.touchEnd();
  await stopsOnItsOwn(phone, from, "the finger lifted");
  assert.deepEqual(phone.errors, []);
}, { viewport: { width: 360, height: 640, isMobile: true, hasTouch: true, deviceScaleFactor: 2 } }));

test("the camera line panel shows the camera's answer, and a failed line its result code in words", onPage(async (page) => {
  await page.click("#line-title");
  const send = async (line) => {
    await page.$eval("#line", (e) => (e.value = ""));
    await page.type("#line", line);
    await page.keyboard.press("Enter");
  };
  await send("gv");
  const answer = await waitFor("the camera's answer", async () => {
    const t = await text(page, "#line-answer");
    return t !== "" && t !== "…" && t;
  });
  assert.match(answer, /^ACK\n.*camera/, "the camera's acknowledgement and its version, a line each");
  assert.deepEqual(await drives(page), [], "typing W or S into the line drove the robot");

  assert.equal(await robot.command("fault camera silent on"), "ok");
  try {
    await send("gv");
    await waitFor("the failure in words", async () => (await messages(page)).find((m) => /^Camera line failed: .*\(result 10\)$/.test(m)));
  } finally {
    await robot.command("fault camera clear");
  }
}));

test("a banner says when Halvoran is not connected, and a command then fails in words", onPage(async (page) => {
  await robot.holdHalvoran();
  try {
    await waitFor("the banner", () => page.$eval("#banner", (e) => !e.hidden && e.textContent)).then((t) => assert.match(t, /Halvoran is not connected/));
    assert.equal(await text(page, "#connection"), "not connected");
    await page.click("#capture");
    await waitFor("the failed capture", async () => (await messages(page)).find((m) => /^Capture failed: .*not connected/.test(m)));
    assert.equal(await page.$eval("#capture", (b) => b.disabled), false, "the capture button stays disabled after the failure");
  } finally {
    robot.resumeHalvoran();
  }
  await waitFor("Halvoran back", async () => (await text(page, "#connection")) === "connected");
  assert.equal(await page.$eval("#banner", (e) => e.hidden), true);
}));

test("without the token the login page shows; it takes the token, hides it, and the dashboard connects; so does the link with the token", async () => {
  // A browser profile of its own: no cookie yet.
  const context = await browser.createBrowserContext();
  try {
    const visitor = await context.newPage();
    const first = await visitor.goto(robot.dashboardUrl, { waitUntil: "load" });
    assert.equal(first.status(), 401);
    assert.ok(await visitor.$("#login input#token"), "no token field on the page");
    assert.equal(await visitor.$("#connection"), null, "the dashboard showed without the token");

    // A wrong token is refused in words.
    await visitor.type("#token", "0".repeat(64));
    const [wrong] = await Promise.all([visitor.waitForNavigation(), visitor.click("#submit")]);
    assert.equal(wrong.status(), 401);
    assert.match(await visitor.evaluate(() => document.body.textContent), /wrong token/);

    await visitor.goto(robot.dashboardUrl, { waitUntil: "load" });
    await visitor.type("#token", robot.driver.token);
    await Promise.all([visitor.waitForNavigation(), visitor.click("#submit")]);
    assert.equal(new URL(visitor.url()).pathname, "/");
    assert.equal(visitor.url().includes(robot.driver.token), false, "the token stays in the address");
    await waitFor('"connected" after the login', async () => (await text(visitor, "#connection")) === "connected");
    // The cookie is out of the page's scripts' reach.
    assert.equal(await visitor.evaluate(() => document.cookie.includes("halvoran_token")), false);
    const [cookie] = (await context.cookies(robot.dashboardUrl)).filter((c) => c.name === "halvoran_token");
    assert.equal(cookie.httpOnly, true);
    assert.equal(cookie.sameSite, "Strict");
    // The link with the token logs in too, and leaves the address without it.
    const linked = await (await browser.createBrowserContext()).newPage();
    assert.equal((await linked.goto(`${robot.dashboardUrl}?token=${robot.driver.token}`, { waitUntil: "load" })).status(), 200);
    assert.equal(linked.url(), robot.dashboardUrl);
    await waitFor('"connected" after the link', async () => (await text(linked, "#connection")) === "connected");
    await linked.browserContext().close();
  } finally {
    await context.close();
  }
});

test("a page from another origin cannot open the WebSocket, and the dashboard keeps working", async () => {
  const page = await connectedPage();
  // Another site on the same machine (so the browser even sends the login cookie along).
  const tryWebSocket = `<!doctype html><title>elsewhere</title><script>
    window.outcome = new Promise((resolve) => {
      const ws = new WebSocket("ws://127.0.0.1:${robot.bridge.httpPort}/ws", "foxglove.websocket.v1");
      ws.onopen = () => resolve("open");
      ws.onerror = () => resolve("error");
    });
  </script>`;
  const server = http.createServer((req, res) => {
    res.writeHead(200, { "Content-Type": "text/html", Connection: "close" });
    res.end(tryWebSocket);
  });
  await new Promise((r) => server.listen(0, "127.0.0.1", r));
  const foreign = await browser.newPage();
  try {
    await foreign.goto(`http://127.0.0.1:${server.address().port}/`, { waitUntil: "load" });
    assert.equal(await foreign.evaluate(() => window.outcome), "error");
    await waitFor("the refusal in the log", () => robot.bridge.output.some((l) => /refused .*Origin "http:\/\/127\.0\.0\.1:\d+" is not allowed/.test(l)));
    // The dashboard (the same browser, logged in) still talks to the bridge.
    assert.equal(await text(page, "#connection"), "connected");
    await page.keyboard.down("KeyW");
    await waitFor("the drive to run", running);
    const from = await sentCount(page);
    await page.keyboard.up("KeyW");
    await stopsOnItsOwn(page, from, "KeyW released");
  } finally {
    await foreign.close();
    await page.close();
    server.closeAllConnections();
    await new Promise((r) => server.close(r));
  }
});

test("a recording played back shows the playback banner and a position bar that pauses and seeks, with every command disabled", async () => {
  const recording = new URL("../replay/tracking.mcap", import.meta.url).pathname;
  const player = await new Bridge({ http: true }).start(["--play", recording, "--loop"]);
  // The page in front (a page behind does not draw, and so cannot be clicked) and another one.
  const other = await openDashboard(browser, player);
  const page = await openDashboard(browser, player, { beforeLoad: watchSends });
  try {
    await waitFor('"playback"', async () => (await text(page, "#connection")) === "playback");
    assert.equal(await page.$eval("#playback", (e) => e.hidden), false);
    assert.equal(await text(page, "#playback-file"), "tracking.mcap");
    const disabled = await page.$$eval("#stop, #max-speed, #pan, #tilt, #capture, #mode, #tolerance, #track-window, #track-stop, #line", (els) => els.filter((e) => !e.disabled).map((e) => e.id));
    assert.deepEqual(disabled, [], "controls that command the robot are enabled");
    assert.equal(await page.$eval("#joystick", (e) => e.getAttribute("aria-disabled")), "true");

    // The position as the page shows it, and as the server last told it.
    const position = () => page.$eval("#playback-position", (e) => Number(e.value));
    const told = (p) => p.$eval("#playback-position", (e) => e.getAttribute("aria-valuetext"));
    const first = await told(page);
    await waitFor("the position to move", async () => (await told(page)) !== first);
    // Paused on this page: the other page is told too (the recording loops, so only a pause pauses it).
    await page.click("#playback-pause");
    await waitFor("paused", async () => (await text(page, "#playback-pause")) === "Play");
    await waitFor("paused on the other page", async () => (await text(other, "#playback-pause")) === "Play");
    await page.$eval("#playback-position", (e) => {
      e.value = "4";
      e.dispatchEvent(new Event("input", { bubbles: true }));
      e.dispatchEvent(new Event("change", { bubbles: true }));
    });
    await waitFor("the server's position at the seek", async () => (await told(page)) === "4.0 s of 5.8 s");
    await page.click("#playback-pause");
    await waitFor("playing on from the seek", async () => (await position()) > 4 && (await text(page, "#playback-pause")) === "Pause");
    assert.deepEqual(await page.evaluate(() => window.sent), [], "the page published in playback");
    assert.deepEqual([...page.errors, ...other.errors], []);
  } finally {
    await other.close();
    await page.close();
    assert.equal(await player.stop(), 0);
  }
});
