// The dashboard in a real browser against halvoran-bridge, Halvoran and halvoran-sim: what the
// page shows and sends is checked against what the simulated robot did.
// With HALVORAN_SCREENSHOTS=DIR the desktop and phone layouts are saved there as
// dashboard-desktop.png and dashboard-phone.png.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { join } from "node:path";
import { readFileSync, readdirSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import http from "node:http";
import { startRobot, launchBrowser, openDashboard, waitFor, DASHBOARD_URL, HTTP_PORT } from "./harness.mjs";

const screenshots = process.env.HALVORAN_SCREENSHOTS;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Well below the drive timeout of one second that the bridge sets: a stop that comes within this
// time was sent, not timed out.
const STOP_WITHIN_MS = 800;

let robot;
let browser;
let page;

before(async () => {
    robot = await startRobot();
    browser = await launchBrowser();
    page = await openDashboard(browser);
});

after(async () => {
    if (browser) await browser.close();
    if (!robot) return;
    // The bridge and the simulator end cleanly: a sanitizer's report would make them end with 1.
    const codes = await robot.stop();
    assert.deepEqual({ bridge: codes.bridge, sim: codes.sim }, { bridge: 0, sim: 0 }, robot.output.join(""));
});

const running = async () => (await robot.state()).drive.running;
const text = (sel) => page.$eval(sel, (e) => e.textContent);
const messages = () => page.$$eval("#messages li span", (els) => els.map((e) => e.textContent));

test("the page loads without console errors and shows Halvoran connected", async () => {
    await waitFor('"connected"', async () => (await text("#connection")) === "connected");
    assert.equal(await page.$eval("#banner", (e) => e.hidden), true);
    assert.deepEqual(page.errors, []);
});

test("holding ArrowUp drives forward until it is released", async () => {
    // Speed 60, the page's default top speed, as the drive module's value.
    const forward60 = -500 + Math.trunc(2.34375 * 60);
    await page.keyboard.down("ArrowUp");
    await waitFor("the drive to run at speed 60", async () => {
        const { drive } = await robot.state();
        return drive.running && drive.value === forward60;
    }, 3000);
    // Held longer than the drive timeout: the page keeps sending, so the drive keeps running.
    await sleep(2000);
    assert.equal(await running(), true, "the drive stopped while the key was still held");
    await page.keyboard.up("ArrowUp");
    await waitFor("the drive to stop", async () => !(await running()), STOP_WITHIN_MS, 50);
    assert.equal(await text("#drive-state"), "standing");
});

test("STOP stops a running drive, by click, by Escape and from the Tab order, and is a button by that name", async () => {
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
        await waitFor(`the drive to run (${how})`, running, 3000);
        await press();
        await waitFor(`STOP by ${how} to stop the drive`, async () => !(await running()), STOP_WITHIN_MS, 50);
        // The key is still down and repeats, but STOP let it go: nothing starts the drive again.
        await page.keyboard.down("KeyW"); // a repeat of the held key
        await sleep(1200);
        assert.equal(await running(), false, `the drive ran again after STOP by ${how}`);
        await page.keyboard.up("KeyW");
    }
});

test("a second viewer sees who drives, and its STOP stops a drive that the first one holds", async () => {
    const other = await openDashboard(browser);
    try {
        await waitFor('"connected" on the second page', async () => (await other.$eval("#connection", (e) => e.textContent)) === "connected");
        await page.keyboard.down("KeyW");
        await waitFor("the drive to run", running, 3000);
        await waitFor("the first page to say it drives", async () => /^you \(client \d+/.test(await text("#driver")), 3000);
        const holder = (await text("#driver")).match(/client (\d+)/)[1];
        let shown;
        await waitFor(`the second page to name client ${holder} as the driver`, async () => {
            shown = await other.$eval("#driver", (e) => e.textContent);
            return shown === `client ${holder}` || shown.startsWith(`client ${holder} (`);
        }, 3000).catch((e) => {
            throw new Error(`${e.message}; it shows "${shown}"`);
        });
        await other.click("#stop");
        await waitFor("the other viewer's STOP to stop the drive", async () => !(await running()), STOP_WITHIN_MS, 50);
        // The first page still holds its key, which repeats; it lets go instead of driving on.
        await page.keyboard.down("KeyW");
        await sleep(1200);
        assert.equal(await running(), false, "the first page drove again after the other viewer's STOP");
        assert.equal(await text("#drive-state"), "standing");
        assert.deepEqual(other.errors, []);
    } finally {
        await page.keyboard.up("KeyW");
        await other.close();
    }
});

test("a captured frame shows the simulator's pixels, scaled without blur, with progress on the way", async () => {
    // Halvoran gives a frame up when the camera falls silent for half a second, which a loaded
    // machine can make the simulator do; the page then says so, and a second capture is taken.
    for (let attempt = 1; ; attempt++) {
        await page.click("#capture");
        await waitFor("the progress bar to move", () =>
            page.$eval("#capture-progress", (p) => p.value > 0 && p.value < p.max), 10000, 50);
        const outcome = await waitFor("the frame", async () => {
            if (await page.$eval("#save", (b) => !b.disabled)) return "frame";
            return (await messages()).some((m) => m.startsWith("Capture failed")) && "failed";
        }, 30000);
        if (outcome === "frame") break;
        assert.ok(attempt < 2, "two captures failed");
        await page.$$eval("#messages li", (items) => items.forEach((li) => li.remove()));
    }
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
    const sent = robot.lastFrame();
    let wrong = 0;
    let first = null;
    for (let y = 0; y < 143; y++) {
        for (let x = 0; x < 160; x++) {
            const s = (y * 80 + (x >> 1)) * 3;
            const d = (y * 160 + x) * 4;
            for (let c = 0; c < 3; c++) {
                if (shown.data[d + c] !== sent.rgb[s + c]) {
                    wrong++;
                    first ??= `(${x}, ${y}) shows ${shown.data.slice(d, d + 3)} for ${Array.from(sent.rgb.slice(s, s + 3))}`;
                }
            }
        }
    }
    assert.equal(wrong, 0, `${wrong} colour values differ, first at ${first}`);

    // Save PNG downloads the picture as it came: a PNG of 160 x 143.
    const downloads = mkdtempSync(join(tmpdir(), "halvoran-download-"));
    try {
        const cdp = await page.createCDPSession();
        await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
        await page.click("#save");
        const file = await waitFor("the saved PNG", () => readdirSync(downloads).find((n) => /^halvoran-frame-.*\.png$/.test(n)), 5000);
        const png = readFileSync(join(downloads, file));
        assert.deepEqual([...png.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
        assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20)], [160, 143]);
    } finally {
        rmSync(downloads, { recursive: true, force: true });
    }
});

test("the pan and tilt sliders move servos 1 and 2", async () => {
    // ... and back to the middle, where the camera looked for the frame the next test tracks in.
    for (const [id, servo, value] of [["pan", 1, 200], ["tilt", 2, 60], ["pan", 1, 127], ["tilt", 2, 127]]) {
        await page.$eval(`#${id}`, (e, v) => {
            e.value = String(v);
            e.dispatchEvent(new Event("input", { bubbles: true }));
        }, value);
        await waitFor(`servo ${servo} at ${value}`, async () => (await robot.state()).servos[servo].position === value, 3000);
    }
});

// The middle of the tracking box in camera coordinates (1..80 x 1..143), or null while hidden.
const boxMiddle = () =>
    page.evaluate(() => {
        const box = document.getElementById("track-box");
        if (box.hidden) return null;
        const b = box.getBoundingClientRect();
        const f = document.getElementById("frame-wrap").getBoundingClientRect();
        return { x: ((b.left + b.width / 2 - f.left) / f.width) * 80, y: ((b.top + b.height / 2 - f.top) / f.height) * 143 };
    });

async function boxNearTarget() {
    const [box, state] = await Promise.all([boxMiddle(), robot.state()]);
    if (!box) return false;
    const target = state.world.image;
    return Math.abs(box.x - target.x) <= 4 && Math.abs(box.y - target.y) <= 4 ? { box, target } : false;
}

test("clicking the target's colour starts tracking and the box follows the target; a dragged window is tracked too", async () => {
    await page.select("#mode", "report");
    // The target's middle: the middle of the pixels nearest its colour in the shown frame.
    const { colour } = (await robot.state()).world;
    const spot = await page.$eval("#frame", (c, [r, g, b]) => {
        const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
        let sx = 0;
        let sy = 0;
        let n = 0;
        for (let i = 0; i < d.length; i += 4) {
            if (Math.abs(d[i] - r) + Math.abs(d[i + 1] - g) + Math.abs(d[i + 2] - b) < 30) {
                sx += (i / 4) % c.width;
                sy += Math.floor(i / 4 / c.width);
                n++;
            }
        }
        const rect = c.getBoundingClientRect();
        return n && { x: rect.left + ((sx / n + 0.5) / c.width) * rect.width, y: rect.top + ((sy / n + 0.5) / c.height) * rect.height };
    }, colour);
    assert.ok(spot, "the target's colour is nowhere in the frame");
    await page.mouse.click(spot.x, spot.y);

    const state = await waitFor("the camera to track", async () => {
        const s = await robot.state();
        return s.camera.tracking && s;
    }, 5000);
    const r = state.camera.ranges;
    colour.forEach((v, i) => assert.ok(r[2 * i] <= v && v <= r[2 * i + 1], `the range ${r} leaves out the target's colour ${colour}`));
    await waitFor("the box over the target", boxNearTarget, 5000);
    if (screenshots) {
        await sleep(4000); // some of the plot
        const bottom = await page.$eval("main", (m) => m.getBoundingClientRect().bottom);
        await page.screenshot({ path: join(screenshots, "dashboard-desktop.png"), clip: { x: 0, y: 0, width: 1280, height: Math.ceil(bottom) } });
    }

    for (const [az, el] of [[9, 6], [-8, -7]]) {
        assert.equal(await robot.command(`world target ${az} ${el}`), "ok");
        await waitFor(`the box over the target moved to ${az} ${el}`, boxNearTarget, 5000);
    }
    assert.match(await text("#tracking-state"), /confidence \d+/);
    const plotted = await page.$eval("#plot", (c) => {
        const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
        for (let i = 3; i < d.length; i += 4) if (d[i]) return true;
        return false;
    });
    assert.ok(plotted, "the plot is empty");

    // Stopped: the camera no longer streams, the page says so, the box goes, and no report comes
    // any more to say otherwise.
    await page.click("#track-stop");
    await waitFor("the camera to stop tracking", async () => !(await robot.state()).camera.tracking, 5000);
    await waitFor("the page to say the tracking ended", async () => (await text("#tracking-state")) === "not tracking", 5000);
    assert.equal(await page.$eval("#track-box", (e) => e.hidden), true);
    await sleep(1500);
    assert.equal(await text("#tracking-state"), "not tracking", "reports came after the stop");

    // A window dragged from lower right to upper left over the picture, from (100.5, 90.5) to
    // (60.5, 50.5) of the 160 x 143 image: the camera gets it in its own coordinates, x 31..51 and
    // y 51..91, and tracks what is inside.
    const f = await page.$eval("#frame", (c) => {
        const r = c.getBoundingClientRect();
        return { left: r.left, top: r.top, width: r.width, height: r.height };
    });
    const at = (ix, iy) => [f.left + (ix / 160) * f.width, f.top + (iy / 143) * f.height];
    await page.mouse.move(...at(100.5, 90.5));
    await page.mouse.down();
    await page.mouse.move(...at(60.5, 50.5), { steps: 5 });
    await page.mouse.up();
    await waitFor("window tracking", async () => (await robot.state()).camera.mode === "window tracking", 5000);
    assert.match(readFileSync(robot.trace, "utf8"), /event camera line: sw 31 51 51 91\n/);
    await page.click("#track-stop");
    await waitFor("the window tracking to end", async () => !(await robot.state()).camera.tracking, 5000);
    assert.deepEqual(page.errors, []);
});

test("on a 360 x 640 phone the joystick and STOP fit the first screen, and the joystick drives by touch", async () => {
    const phone = await openDashboard(browser, { width: 360, height: 640, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    try {
        await waitFor('"connected"', async () => (await phone.$eval("#connection", (e) => e.textContent)) === "connected");
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
        await phone.touchscreen.touchStart(pad.x, pad.y);
        await phone.touchscreen.touchMove(pad.x, pad.y - pad.radius * 0.8);
        // Pushed up: forward, a drive value above the standing -500.
        await waitFor("the drive to run forward", async () => {
            const { drive } = await robot.state();
            return drive.running && drive.value > -500;
        }, 3000);
        await phone.touchscreen.touchEnd();
        await waitFor("the drive to stop when the finger lifts", async () => !(await running()), STOP_WITHIN_MS, 50);
        assert.deepEqual(phone.errors, []);
    } finally {
        await phone.close();
    }
});


test("the camera line panel shows the camera's answer, and a failed line its result code in words", async () => {
    await page.click("#line-title");
    const send = async (line) => {
        await page.$eval("#line", (e) => (e.value = ""));
        await page.type("#line", line);
        await page.keyboard.press("Enter");
    };
    await send("gv");
    const answer = await waitFor("the camera's answer", async () => {
        const t = await text("#line-answer");
        return t !== "" && t !== "…" && t;
    }, 5000);
    assert.match(answer, /^ACK\n.*camera/, "the camera's acknowledgement and its version, a line each");
    assert.equal(await running(), false, "typing W or S into the line drove the robot");

    assert.equal(await robot.command("fault camera silent on"), "ok");
    try {
        await send("gv");
        await waitFor("the failure in words", async () => (await messages()).find((m) => /^Camera line failed: .*\(result 10\)$/.test(m)), 10000);
    } finally {
        await robot.command("fault camera clear");
    }
});

test("a banner says when Halvoran is not connected, and a command then fails in words", async () => {
    await robot.holdHalvoran();
    try {
        await waitFor("the banner", () => page.$eval("#banner", (e) => !e.hidden && e.textContent), 5000)
            .then((t) => assert.match(t, /Halvoran is not connected/));
        assert.equal(await text("#connection"), "not connected");
        await page.click("#capture");
        await waitFor("the failed capture", async () => (await messages()).find((m) => /^Capture failed: .*not connected/.test(m)), 5000);
        assert.equal(await page.$eval("#capture", (b) => b.disabled), false, "the capture button stays disabled after the failure");
    } finally {
        robot.resumeHalvoran();
    }
    await waitFor("Halvoran back", async () => (await text("#connection")) === "connected", 10000);
    assert.equal(await page.$eval("#banner", (e) => e.hidden), true);
});

test("without the token the login page shows; it takes the token, hides it, and the dashboard connects", async () => {
    // A browser profile of its own: no cookie yet.
    const context = await browser.createBrowserContext();
    try {
        const visitor = await context.newPage();
        const first = await visitor.goto(DASHBOARD_URL, { waitUntil: "load" });
        assert.equal(first.status(), 401);
        assert.ok(await visitor.$("#login input#token"), "no token field on the page");
        assert.equal(await visitor.$("#connection"), null, "the dashboard showed without the token");

        // A wrong token is refused in words.
        await visitor.type("#token", "0".repeat(64));
        const [wrong] = await Promise.all([visitor.waitForNavigation(), visitor.click("#submit")]);
        assert.equal(wrong.status(), 401);
        assert.match(await visitor.evaluate(() => document.body.textContent), /wrong token/);

        await visitor.goto(DASHBOARD_URL, { waitUntil: "load" });
        await visitor.type("#token", robot.token);
        await Promise.all([visitor.waitForNavigation(), visitor.click("#submit")]);
        assert.equal(new URL(visitor.url()).pathname, "/");
        assert.equal(visitor.url().includes(robot.token), false, "the token stays in the address");
        await waitFor('"connected" after the login', async () => (await visitor.$eval("#connection", (e) => e.textContent)) === "connected");
        // The cookie is out of the page's scripts' reach.
        assert.equal(await visitor.evaluate(() => document.cookie.includes("halvoran_token")), false);
        const [cookie] = (await context.cookies(DASHBOARD_URL)).filter((c) => c.name === "halvoran_token");
        assert.equal(cookie.httpOnly, true);
        assert.equal(cookie.sameSite, "Strict");
    } finally {
        await context.close();
    }
});

test("the link with the token logs in and leaves the address without it", async () => {
    const context = await browser.createBrowserContext();
    try {
        const visitor = await context.newPage();
        const response = await visitor.goto(`${DASHBOARD_URL}?token=${robot.token}`, { waitUntil: "load" });
        assert.equal(response.status(), 200);
        assert.equal(visitor.url(), DASHBOARD_URL);
        await waitFor('"connected" after the link', async () => (await visitor.$eval("#connection", (e) => e.textContent)) === "connected");
    } finally {
        await context.close();
    }
});

test("a page from another origin cannot open the WebSocket, and the dashboard keeps working", async () => {
    // Another site on the same machine (so the browser even sends the login cookie along).
    const tryWebSocket = `<!doctype html><title>elsewhere</title><script>
        window.outcome = new Promise((resolve) => {
            const ws = new WebSocket("ws://127.0.0.1:${HTTP_PORT}/ws", "foxglove.websocket.v1");
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
        assert.ok(robot.output.some((l) => /refused .*Origin "http:\/\/127\.0\.0\.1:\d+" is not allowed/.test(l)), "the refusal is logged");
        // The dashboard (the same browser, logged in) still talks to the bridge.
        assert.equal(await text("#connection"), "connected");
        await page.keyboard.down("KeyW");
        await waitFor("the drive to run", running, 3000);
        await page.keyboard.up("KeyW");
        await waitFor("the drive to stop", async () => !(await running()), STOP_WITHIN_MS, 50);
    } finally {
        await foreign.close();
        server.closeAllConnections();
        await new Promise((r) => server.close(r));
    }
});
