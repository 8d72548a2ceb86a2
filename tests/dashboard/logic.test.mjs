// The dashboard's own logic, without a browser: the protocol framing and subscriptions, how
// keys and the joystick become drive messages, the camera coordinates of clicks and drags, the
// reconnection's waits, the buffered-amount guard, the announcements and the playback's position.
import { test } from "node:test";
import assert from "node:assert/strict";
import { parseServerBinary, parseServerTime, encodeClientMessage, BridgeConnection } from "../../bridge/web/js/protocol.js";
import { RecentTexts, Announcer } from "../../bridge/web/js/notices.js";
import { playbackFromServerInfo, positionFromTime } from "../../bridge/web/js/panels/playback.js";
import { directionFromKeys, directionFromJoystick, driveCommand, DriveControl } from "../../bridge/web/js/drive.js";
import { rawImageToRgba, colourBounds, cameraWindow, annotationBox } from "../../bridge/web/js/camera.js";
import { TrackHistory } from "../../bridge/web/js/history.js";
import { failureText, servoModuleText } from "../../bridge/web/js/format.js";

test("binary message data: little-endian ids and time, payload after 13 bytes; short or other opcodes refused", () => {
    const frame = new Uint8Array([1, 0x04, 0x03, 0x02, 0x01, 8, 7, 6, 5, 4, 3, 2, 0x81, 0x7b, 0x7d]);
    const m = parseServerBinary(frame.buffer);
    assert.equal(m.subscriptionId, 0x01020304);
    assert.equal(m.timestampNs, 0x8102030405060708n);
    assert.deepEqual([...m.payload], [0x7b, 0x7d]);
    assert.equal(parseServerBinary(new Uint8Array([1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]).buffer), null);
    assert.equal(parseServerBinary(new Uint8Array(14).fill(2).buffer), null);

    const out = new Uint8Array(encodeClientMessage(0x0a0b0c0d, '{"a":1}'));
    assert.deepEqual([...out.subarray(0, 5)], [1, 0x0d, 0x0c, 0x0b, 0x0a]);
    assert.equal(new TextDecoder().decode(out.subarray(5)), '{"a":1}');
});

class FakeSocket {
    static last = null;
    constructor(url, protocols) {
        this.url = url;
        this.protocols = protocols;
        this.sent = [];
        FakeSocket.last = this;
    }
    send(data) {
        this.sent.push(typeof data === "string" ? JSON.parse(data) : new Uint8Array(data));
    }
    close() {}
    server(op) {
        this.onmessage({ data: JSON.stringify(op) });
    }
}

test("connection: subscribes to wanted topics once, advertises its own, routes data by subscription", () => {
    const c = new BridgeConnection("ws://x/ws", {
        subscribeTopics: ["/a", "/b"],
        publishTopics: ["/drive"],
        WebSocketImpl: FakeSocket,
    });
    const got = [];
    let clientId = null;
    c.on("message", (m) => got.push(m));
    c.on("clientId", (id) => (clientId = id));
    c.connect();
    const ws = FakeSocket.last;
    assert.deepEqual(ws.protocols, ["foxglove.websocket.v1"]);
    assert.equal(c.publish("/drive", { stop: true }), false, "nothing is published before the socket opens");
    ws.onopen();
    ws.server({ op: "serverInfo", capabilities: ["clientPublish"], supportedEncodings: ["json"] });
    ws.server({ op: "status", level: 0, id: "halvoran.client-id", message: "client 7" });
    ws.server({ op: "advertise", channels: [{ id: 10, topic: "/a" }, { id: 11, topic: "/other" }, { id: 12, topic: "/b" }] });
    ws.server({ op: "advertise", channels: [{ id: 10, topic: "/a" }] });
    assert.equal(clientId, 7);
    const advertise = ws.sent.find((m) => m.op === "advertise");
    assert.deepEqual(advertise.channels.map((ch) => [ch.topic, ch.encoding]), [["/drive", "json"]]);
    const subscribes = ws.sent.filter((m) => m.op === "subscribe");
    assert.equal(subscribes.length, 1, "a channel advertised again is not subscribed twice");
    const subs = subscribes[0].subscriptions;
    assert.deepEqual(subs.map((s) => s.channelId), [10, 12]);

    const data = (subId, json) => {
        const body = new TextEncoder().encode(json);
        const b = new Uint8Array(13 + body.length);
        b[0] = 1;
        new DataView(b.buffer).setUint32(1, subId, true);
        b.set(body, 13);
        ws.onmessage({ data: b.buffer });
    };
    data(subs[1].id, '{"v":2}');
    data(999, '{"v":3}');
    data(subs[0].id, "not json");
    assert.deepEqual(got.map((m) => [m.topic, m.data.v]), [["/b", 2]]);

    assert.equal(c.publish("/drive", { speed: 5 }), true);
    const sent = ws.sent.at(-1);
    assert.equal(new DataView(sent.buffer).getUint32(1, true), advertise.channels[0].id);
    assert.equal(c.publish("/unknown", {}), false);
});

test("keys and joystick give a direction; the drive message scales and clamps it", () => {
    const rows = [
        // keys, settings, expected {speed, servo0}
        [["ArrowUp"], { maxSpeed: 60 }, { speed: 60, servo0: 127 }],
        [["KeyS"], { maxSpeed: 60 }, { speed: -60, servo0: 127 }],
        [["ArrowUp", "ArrowDown"], { maxSpeed: 60 }, { speed: 0, servo0: 127 }],
        [["KeyW", "ArrowUp"], { maxSpeed: 60 }, { speed: 60, servo0: 127 }],
        [["ArrowLeft"], { steerSpan: 70 }, { speed: 0, servo0: 57 }],
        [["KeyD", "KeyW"], { maxSpeed: 127, steerSpan: 70 }, { speed: 127, servo0: 197 }],
        [["ArrowDown"], { maxSpeed: 200 }, { speed: -127, servo0: 127 }],
        [["ArrowRight"], { steerSpan: 300 }, { speed: 0, servo0: 255 }],
        [["ArrowLeft"], { steerSpan: 300 }, { speed: 0, servo0: 0 }],
        [["KeyQ", "Space"], {}, { speed: 0, servo0: 127 }],
    ];
    for (const [keys, settings, expected] of rows) {
        assert.deepEqual(driveCommand(directionFromKeys(keys), settings), expected, keys.join("+"));
    }
    // Joystick: up on the screen is forward, the travel ends at the rim, a resting thumb is still.
    const j = (dx, dy) => directionFromJoystick(dx, dy, 100);
    assert.deepEqual(j(0, -100), { x: 0, y: 1 });
    assert.deepEqual(j(0, 300), { x: 0, y: -1 });
    assert.deepEqual(j(5, -8), { x: 0, y: 0 });
    const diag = j(300, -300);
    assert.ok(Math.abs(Math.hypot(diag.x, diag.y) - 1) < 1e-9 && diag.x > 0 && diag.y > 0);
});

test("drive control: sends a change at once but not too often, repeats while held, stops at once on release", () => {
    const sent = [];
    let tick = null;
    let cleared = 0;
    let t = 0;
    const timers = {
        setInterval: (fn) => ((tick = fn), 1),
        clearInterval: () => ((tick = null), cleared++),
    };
    const d = new DriveControl((m) => sent.push(m), { timers, now: () => t, periodMs: 200, minGapMs: 100, settings: () => ({ maxSpeed: 40 }) });
    assert.equal(d.keyDown("KeyX"), false);
    assert.equal(sent.length, 0);
    d.keyDown("ArrowUp");
    d.keyDown("ArrowUp"); // held: no second press
    assert.deepEqual(sent, [{ speed: 40, servo0: 127 }]);
    t = 100;
    tick();
    assert.equal(sent.length, 1, "nothing new and the last one is young: nothing sent");
    t = 200;
    tick();
    assert.deepEqual(sent.at(-1), { speed: 40, servo0: 127 }, "the held key is sent again");
    assert.equal(sent.length, 2);
    t = 220;
    d.keyDown("ArrowLeft");
    assert.equal(sent.length, 2, "a change 20 ms after the last message waits");
    t = 300;
    tick();
    assert.deepEqual(sent.at(-1), { speed: 40, servo0: 57 });
    t = 450;
    d.keyUp("ArrowUp");
    assert.deepEqual(sent.at(-1), { speed: 0, servo0: 57 }, "still held: steering only, sent at once");
    t = 460;
    d.keyDown("ArrowDown");
    assert.deepEqual(sent.at(-1), { speed: 0, servo0: 57 }, "the change waits");
    t = 470;
    d.keyUp("ArrowDown");
    d.keyUp("ArrowLeft");
    assert.deepEqual(sent.at(-1), { stop: true }, "the release stops at once, whatever waited");
    assert.equal(tick, null, "no repeats after the release");
    const before = sent.length;
    d.keyUp("ArrowLeft");
    assert.equal(sent.length, before, "a second release sends nothing");

    t = 1000;
    d.setJoystick({ x: 0, y: -0.5 });
    assert.deepEqual(sent.at(-1), { speed: -20, servo0: 127 });
    d.stop();
    assert.deepEqual(sent.at(-1), { stop: true });
    assert.equal(tick, null);
    d.releaseJoystick();
    const n = sent.length;
    d.stop();
    assert.equal(sent.length, n + 1, "STOP sends even when nothing is held");
    assert.ok(cleared >= 2);
});

test("the hold: only a hold ended elsewhere while the page drives makes it let go, not one its own stop ended", () => {
    const timers = { setInterval: () => 1, clearInterval: () => {} };
    // Each row: what happens, in order; then whether the bridge's word that the hold ended makes
    // the page let go.
    const rows = [
        ["another's STOP while driving", ["take", "press"], true],
        ["the page's own STOP, its word coming after a fresh press", ["take", "press", "stop", "press"], false],
        ["the page's own release, its word coming after a fresh press", ["take", "press", "release", "press"], false],
        ["own STOP, a new hold taken, then another's STOP", ["take", "press", "stop", "press", "lose", "take", "press"], true],
        ["the hold ends while standing", ["take"], false],
    ];
    for (const [what, steps, letsGo] of rows) {
        const d = new DriveControl(() => {}, { timers, now: () => 0 });
        for (const step of steps) {
            if (step === "take") assert.equal(d.holdChanged(false, true), false, what);
            if (step === "lose") d.holdChanged(true, false);
            if (step === "press") d.keyDown("KeyW");
            if (step === "release") d.keyUp("KeyW");
            if (step === "stop") d.stop();
        }
        assert.equal(d.holdChanged(true, false), letsGo, what);
    }
});

test("camera coordinates: clicks and drags map onto 1..80 x 1..143, colour bounds stay in 0..255", () => {
    const rows = [
        // drag from (ax, ay) to (bx, by) on the 160 x 143 image
        [[0, 0, 159.99, 142.99], [1, 1, 80, 143]],
        [[100, 90, 20, 10], [11, 11, 51, 91]],
        [[1.9, 0.5, 2.0, 0.6], [1, 1, 2, 1]],
        [[-5, -5, 500, 500], [1, 1, 80, 143]],
    ];
    for (const [[ax, ay, bx, by], expected] of rows) assert.deepEqual(cameraWindow(ax, ay, bx, by, 160, 143), expected);

    assert.deepEqual(colourBounds([60, 200, 80], 30), [30, 90, 170, 230, 50, 110]);
    assert.deepEqual(colourBounds([10, 250, 128], 30), [0, 40, 220, 255, 98, 158]);
    assert.deepEqual(colourBounds([0, 255, 1], 0), [0, 0, 255, 255, 1, 1]);
});

test("pictures: rgb8 with row padding, bgr8, rows cut short, unknown encodings", () => {
    const b64 = (bytes) => Buffer.from(bytes).toString("base64");
    // 2 x 2 rgb8 with a step of 8 (2 padding bytes per row)
    const rgb = rawImageToRgba({ width: 2, height: 2, encoding: "rgb8", step: 8, data: b64([1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0]) });
    assert.deepEqual([...rgb.rgba], [1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 10, 11, 12, 255]);
    const bgr = rawImageToRgba({ width: 1, height: 1, encoding: "bgr8", step: 3, data: b64([1, 2, 3]) });
    assert.deepEqual([...bgr.rgba], [3, 2, 1, 255]);
    const short = rawImageToRgba({ width: 2, height: 1, encoding: "rgb8", step: 6, data: b64([9, 9, 9, 9]) });
    assert.deepEqual([...short.rgba], [9, 9, 9, 255, 0, 0, 0, 255]);
    assert.equal(rawImageToRgba({ width: 2, height: 1, encoding: "yuv422", data: "" }), null);
    assert.equal(rawImageToRgba({ width: 0, height: 1, encoding: "rgb8", data: "" }), null);
});

test("tracking: box from the annotation's corners, none without points; the plot keeps 30 s", () => {
    const corners = [{ x: 40, y: 10 }, { x: 60, y: 10 }, { x: 60, y: 30 }, { x: 40, y: 30 }];
    assert.deepEqual(annotationBox({ points: [{ type: 2, points: corners }] }), { x: 40, y: 10, width: 20, height: 20 });
    assert.equal(annotationBox({ points: [] }), null);
    assert.equal(annotationBox({ points: [{ points: [] }] }), null);

    const h = new TrackHistory(30000);
    h.add(0, { x: 1, y: 1, confidence: 1 });
    h.add(10000, { x: 2, y: 2, confidence: 2 });
    h.add(30000, { x: 3, y: 3, confidence: 3 });
    assert.equal(h.points.length, 3, "a report exactly 30 s old is kept");
    h.add(30001, { x: 4, y: 4, confidence: 4 });
    assert.deepEqual(h.points.map((p) => p.x), [2, 3, 4]);
});

test("words: a failure names its result code once; the servo module's bits name the servos", () => {
    const rows = [
        [{ topic: "/halvoran/camera_line", result: 10, resultText: "no answer from the camera in time (result 10)", error: null },
            "Camera line failed: no answer from the camera in time (result 10)"],
        [{ topic: "/halvoran/drive", result: 20, resultText: "the drive status could not be read", error: null },
            "Drive failed: the drive status could not be read (result 20)"],
        [{ topic: "/halvoran/track", result: 7, resultText: "", error: null }, "Tracking failed: result 7"],
        [{ topic: "/halvoran/capture", result: null, resultText: "", error: "Halvoran is not connected" },
            "Capture failed: Halvoran is not connected"],
        [{ topic: "/halvoran/capture", result: null, resultText: "Halvoran is not connected", error: "Halvoran is not connected" },
            "Capture failed: Halvoran is not connected"],
        [{ topic: "/halvoran/camera_line", result: 10, resultText: "no answer (result 10)", error: "the line timed out" },
            "Camera line failed: the line timed out; no answer (result 10)"],
    ];
    for (const [reply, expected] of rows) assert.equal(failureText({ ok: false, ...reply }), expected);
    assert.equal(servoModuleText(0), "0x00 · all servos off");
    assert.equal(servoModuleText(0x05), "0x05 · servos 0, 2 on");
    assert.equal(servoModuleText(0x02), "0x02 · servo 1 on");
});

// Timers run by hand: run(ms) moves the clock and fires what fell due, in order.
function manualTimers() {
    const due = new Map();
    let next = 1;
    const add = (fn, ms, every) => (due.set(next, { fn, at: t.now + ms, every }), next++);
    const t = { now: 0, setTimeout: (fn, ms) => add(fn, ms), setInterval: (fn, ms) => add(fn, ms, ms), clearTimeout: (id) => due.delete(id), clearInterval: (id) => due.delete(id) };
    t.run = (ms) => {
        for (let end = t.now + ms; ; ) {
            const [id, timer] = [...due].filter(([, x]) => x.at <= end).sort((a, b) => a[1].at - b[1].at)[0] || [];
            if (!timer) return void (t.now = end);
            t.now = timer.at;
            if (timer.every) timer.at += timer.every;
            else due.delete(id);
            timer.fn();
        }
    };
    return t;
}

test("reconnection: the wait doubles from 250 ms up to 5 s after each failure, and starts over once open", () => {
    const timers = manualTimers();
    const c = new BridgeConnection("ws://x/ws", { WebSocketImpl: FakeSocket, timers });
    const waits = [];
    c.on("reconnecting", ({ delayMs }) => waits.push(delayMs));
    c.connect();
    for (let i = 0; i < 7; i++) {
        FakeSocket.last.onclose();
        timers.run(waits.at(-1)); // the next attempt
    }
    assert.deepEqual(waits, [250, 500, 1000, 2000, 4000, 5000, 5000]);
    FakeSocket.last.onopen();
    FakeSocket.last.onclose();
    assert.equal(waits.at(-1), 250);
});

test("buffered-amount guard: above the bound only the latest wish waits, sent on draining; a stop goes at once and drops it", () => {
    const timers = manualTimers();
    const c = new BridgeConnection("ws://x/ws", { publishTopics: ["/drive"], WebSocketImpl: FakeSocket, timers, bufferLimit: 100, drainCheckMs: 50 });
    const held = [];
    c.on("held", (h) => held.push(h));
    c.connect();
    const ws = FakeSocket.last;
    ws.bufferedAmount = 0;
    ws.onopen();
    ws.server({ op: "serverInfo", capabilities: ["clientPublish"] });
    const drives = () => ws.sent.filter((m) => m instanceof Uint8Array).map((m) => JSON.parse(new TextDecoder().decode(m.subarray(5))));
    c.publishLatest("drive", "/drive", { speed: 1 });
    ws.bufferedAmount = 101;
    for (const speed of [2, 3]) c.publishLatest("drive", "/drive", { speed });
    c.publishLatest("pan", "/drive", { servo1: 9 });
    timers.run(200);
    assert.deepEqual(drives(), [{ speed: 1 }], "nothing goes while the socket is full");
    ws.bufferedAmount = 100;
    timers.run(50);
    assert.deepEqual(drives(), [{ speed: 1 }, { speed: 3 }, { servo1: 9 }], "the latest of each slot, in order");
    ws.bufferedAmount = 5000;
    c.publishLatest("drive", "/drive", { speed: 4 });
    assert.equal(c.publishLatest("drive", "/drive", { stop: true }, { urgent: true }), true);
    assert.deepEqual(drives().at(-1), { stop: true }, "the stop waited for the socket");
    ws.bufferedAmount = 0;
    timers.run(500);
    assert.deepEqual(drives().slice(3), [{ stop: true }], "the stop went at once and the speed before it never");
    assert.deepEqual(held, [true, false, true, false]);
});

test("messages: a repeat within 3 s is shown once, and the memory of shown texts stays bounded", () => {
    const recent = new RecentTexts(3000, 3);
    assert.deepEqual(["a", "a", "b"].map((t) => recent.fresh(t, 0)), [true, false, true]);
    assert.equal(recent.fresh("a", 3000), true, "shown again after 3 s");
    for (let i = 0; i < 100; i++) recent.fresh(`t${i}`, 4000);
    assert.ok(recent.shownAt.size <= 3, `${recent.shownAt.size} texts kept`);
});

test("announcements: at most one a second, only on change, the latest waiting one said", () => {
    const timers = manualTimers();
    const said = [];
    const a = new Announcer((t) => said.push([timers.now, t]), { timers, now: () => timers.now });
    a.announce("standing");
    a.announce("standing");
    timers.run(100);
    a.announce("driving");
    a.announce("standing");
    a.announce("driving");
    timers.run(2000);
    a.announce("driving");
    timers.run(2000);
    assert.deepEqual(said, [[0, "standing"], [1000, "driving"]]);
});

test("playback: serverInfo metadata gives the file and its length; Time gives the position within it", () => {
    assert.equal(playbackFromServerInfo({ metadata: { "halvoran.mode": "live" } }), null);
    assert.equal(playbackFromServerInfo({}), null);
    const p = playbackFromServerInfo({ metadata: { "halvoran.mode": "playback", "halvoran.file": "a.mcap", "halvoran.start": "1700000000123456789", "halvoran.end": "1700000012623456789" } });
    assert.deepEqual([p.file, p.durationS], ["a.mcap", 12.5]);
    assert.deepEqual([1700000000123456789n, 1700000003123456789n, 1800000000000000000n, 0n].map((ns) => positionFromTime(p, ns)), [0, 3, 12.5, 0]);
    assert.equal(playbackFromServerInfo({ metadata: { "halvoran.mode": "playback", "halvoran.start": "x" } }).durationS, 0);
    const time = new Uint8Array(9);
    time[0] = 2;
    new DataView(time.buffer).setBigUint64(1, 1700000003123456789n, true);
    assert.equal(parseServerTime(time.buffer), 1700000003123456789n);
    assert.equal(parseServerTime(new Uint8Array(8).fill(2).buffer), null);
});
