// Starts and stops what the dashboard's browser tests need: halvoran-sim, Halvoran on its link
// (started again whenever a session ends, as run.sh does), halvoran-bridge serving the page, and
// a headless Chromium. Talks to the simulator over its control socket and reads its trace.
//
// The programs come from HALVORAN_BIN, HALVORAN_SIM_BIN, HALVORAN_BRIDGE_BIN and the page from
// HALVORAN_WEB; by default from build/ and bridge/web/ of this checkout.
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, existsSync, writeFileSync } from "node:fs";
import { randomBytes } from "node:crypto";
import { tmpdir } from "node:os";
import { join, resolve, dirname } from "node:path";
import { fileURLToPath } from "node:url";
import net from "node:net";
import http from "node:http";

const top = resolve(dirname(fileURLToPath(import.meta.url)), "../..");
const bin = (env, rel) => process.env[env] || join(top, rel);

export const HTTP_PORT = 8080;
export const DASHBOARD_URL = `http://127.0.0.1:${HTTP_PORT}/`;
// The driver's token of the bridge that startRobot started last.
let currentToken = null;

// Waits until check() gives a truthy value, for at most ms; returns that value or throws with
// what the last look found.
export async function waitFor(what, check, ms = 10000, everyMs = 100) {
    const until = Date.now() + ms;
    let last;
    for (;;) {
        try {
            last = await check();
            if (last) return last;
        } catch (e) {
            last = e;
        }
        if (Date.now() > until) throw new Error(`timed out waiting for ${what} (last: ${last instanceof Error ? last.message : JSON.stringify(last)})`);
        await new Promise((r) => setTimeout(r, everyMs));
    }
}

function started(child, name, output) {
    child.stdout.on("data", (d) => output.push(`${name}: ${d}`));
    child.stderr.on("data", (d) => output.push(`${name}: ${d}`));
    return child;
}

function httpStatus(url) {
    return new Promise((res) => {
        const req = http.get(url, (r) => {
            r.resume();
            res(r.statusCode);
        });
        req.on("error", () => res(0));
        req.setTimeout(1000, () => req.destroy());
    });
}

async function ends(child, ms) {
    if (child.exitCode !== null || child.signalCode !== null) return true;
    return new Promise((res) => {
        const t = setTimeout(() => res(false), ms);
        child.once("exit", () => {
            clearTimeout(t);
            res(true);
        });
    });
}

// Ends a child with SIGTERM (SIGKILL after 5 s); its exit code, or the signal that ended it.
async function terminate(child) {
    if (!child) return null;
    if (child.exitCode === null && child.signalCode === null) child.kill("SIGTERM");
    if (!(await ends(child, 5000))) {
        child.kill("SIGKILL");
        await ends(child, 2000);
    }
    return child.exitCode ?? child.signalCode;
}

// The simulated robot, Halvoran and the bridge. simArgs go to halvoran-sim as they are.
export async function startRobot({ simArgs = [] } = {}) {
    const dir = mkdtempSync(join(tmpdir(), "halvoran-dashboard-"));
    const link = join(dir, "com1");
    const control = join(dir, "control.sock");
    const trace = join(dir, "trace.txt");
    const output = [];
    const robot = { dir, control, trace, output, stopping: false };

    for (const [env, rel] of [["HALVORAN_SIM_BIN", "build/sim/halvoran-sim"], ["HALVORAN_BIN", "build/app/halvoran"], ["HALVORAN_BRIDGE_BIN", "build/bridge/halvoran-bridge"]]) {
        if (!existsSync(bin(env, rel))) throw new Error(`${bin(env, rel)} is missing: build it first (or set ${env})`);
    }

    robot.sim = started(
        spawn(bin("HALVORAN_SIM_BIN", "build/sim/halvoran-sim"), ["--link", link, "--control", control, "--trace", trace, "--no-com2", ...simArgs]),
        "sim",
        output,
    );
    await waitFor("halvoran-sim to be ready", () => output.some((l) => l.includes("ready")) || (robot.sim.exitCode !== null && Promise.reject(new Error(output.join("")))));

    const startHalvoran = () => {
        robot.halvoran = started(
            spawn(bin("HALVORAN_BIN", "build/app/halvoran"), [], { env: { ...process.env, HALVORAN_COM1: link, HALVORAN_HEADLESS: "1" } }),
            "halvoran",
            output,
        );
        robot.halvoran.once("exit", () => {
            if (!robot.stopping && !robot.held) setTimeout(() => !robot.stopping && !robot.held && startHalvoran(), 200);
        });
    };
    startHalvoran();
    // Ends Halvoran and keeps it down until resumeHalvoran(), as when it fails on the robot.
    robot.holdHalvoran = async () => {
        robot.held = true;
        await terminate(robot.halvoran);
    };
    robot.resumeHalvoran = () => {
        robot.held = false;
        startHalvoran();
    };

    // Stops everything; the exit codes (0 for a clean end, also under a sanitizer).
    robot.stop = async () => {
        robot.stopping = true;
        const codes = { bridge: await terminate(robot.bridge), halvoran: await terminate(robot.halvoran), sim: await terminate(robot.sim) };
        rmSync(dir, { recursive: true, force: true });
        return codes;
    };
    const web = process.env.HALVORAN_WEB || join(top, "bridge/web");
    robot.token = randomBytes(32).toString("hex");
    currentToken = robot.token;
    const tokenFile = join(dir, "token");
    writeFileSync(tokenFile, `${robot.token}\n`, { mode: 0o600 });
    robot.bridge = started(
        spawn(bin("HALVORAN_BRIDGE_BIN", "build/bridge/halvoran-bridge"), [
            "--halvoran", "127.0.0.1",
            "--http", `127.0.0.1:${HTTP_PORT}`,
            "--listen", "127.0.0.1:8765",
            "--web", web,
            "--token-file", tokenFile,
        ]),
        "bridge",
        output,
    );
    try {
        await waitFor("the bridge's web server", async () => {
            if (robot.bridge.exitCode !== null || robot.bridge.signalCode !== null) throw new Error(`halvoran-bridge ended (${robot.bridge.exitCode ?? robot.bridge.signalCode})`);
            return (await httpStatus(`${DASHBOARD_URL}login.html`)) === 200;
        }, 15000);
    } catch (e) {
        await robot.stop();
        throw new Error(`${e.message}\n${output.join("")}`);
    }

    // One command on the simulator's control socket; its one reply line.
    robot.command = (line) =>
        new Promise((res, rej) => {
            const s = net.createConnection(control);
            let got = "";
            s.setTimeout(3000, () => s.destroy(new Error(`no answer to "${line}"`)));
            s.on("connect", () => s.write(`${line}\n`));
            s.on("data", (d) => {
                got += d;
                const nl = got.indexOf("\n");
                if (nl >= 0) {
                    s.end();
                    res(got.slice(0, nl));
                }
            });
            s.on("error", rej);
        });
    robot.state = async () => JSON.parse(await robot.command("state"));
    robot.lastFrame = () => lastFrameFromTrace(readFileSync(trace, "utf8"));
    return robot;
}

// The last frame the simulated camera sent, decoded from the trace's bytes out of the camera:
// "ACK\r", byte 1, 143 rows of byte 2 and 80 RGB pixels. Returns {width, height, rgb}.
export function lastFrameFromTrace(text) {
    const bytes = [];
    for (const line of text.split("\n")) {
        const f = line.split(" ");
        if (f.length === 4 && f[1] === "out" && f[2] === "camera") bytes.push(parseInt(f[3], 16));
    }
    const head = [0x41, 0x43, 0x4b, 0x0d, 0x01];
    let at = -1;
    for (let i = bytes.length - head.length; i >= 0 && at < 0; i--) {
        if (head.every((b, k) => bytes[i + k] === b)) at = i + head.length;
    }
    if (at < 0) throw new Error("no frame in the simulator's trace");
    const width = 80;
    const height = 143;
    const rgb = new Uint8Array(width * height * 3);
    for (let y = 0; y < height; y++) {
        const row = at + y * (1 + width * 3);
        if (bytes[row] !== 2) throw new Error(`row ${y} of the traced frame does not start with byte 2`);
        for (let i = 0; i < width * 3; i++) rgb[y * width * 3 + i] = bytes[row + 1 + i];
    }
    return { width, height, rgb };
}

// Headless Chromium through puppeteer-core, with a profile of its own.
export async function launchBrowser() {
    const { default: puppeteer } = await import("puppeteer-core");
    const profile = mkdtempSync(join(tmpdir(), "halvoran-chromium-"));
    const browser = await puppeteer.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        headless: true,
        args: [
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            `--user-data-dir=${profile}`,
        ],
    });
    const close = browser.close.bind(browser);
    browser.close = async () => {
        await close();
        rmSync(profile, { recursive: true, force: true });
    };
    return browser;
}

// A page on the dashboard that records console errors and uncaught exceptions in page.errors.
// It comes in through the link with the token, which logs the browser in.
export async function openDashboard(browser, viewport = { width: 1280, height: 900 }) {
    const page = await browser.newPage();
    page.errors = [];
    page.on("console", (m) => m.type() === "error" && page.errors.push(m.text()));
    page.on("pageerror", (e) => page.errors.push(String(e)));
    await page.setViewport(viewport);
    await page.goto(`${DASHBOARD_URL}?token=${currentToken}`, { waitUntil: "load" });
    return page;
}
