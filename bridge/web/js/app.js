// The dashboard: one connection to halvoran-bridge, the robot's state at a glance, driving,
// the camera head, frames, tracking and the camera line.
import { BridgeConnection } from "./protocol.js";
import { DriveControl, directionFromJoystick, KEY_DIRECTIONS } from "./drive.js";
import { rawImageToRgba, colourBounds, cameraPoint, cameraWindow, annotationBox } from "./camera.js";
import { TrackHistory, drawHistory } from "./history.js";
import { failureText, servoModuleText, driveStatusText, driverText, topicName } from "./format.js";

const $ = (id) => document.getElementById(id);

const T = {
    connection: "/halvoran/connection",
    tracking: "/halvoran/tracking",
    driveStatus: "/halvoran/drive_status",
    image: "/halvoran/camera/image",
    annotations: "/halvoran/camera/annotations",
    progress: "/halvoran/frame_progress",
    reply: "/halvoran/reply",
    drive: "/halvoran/drive",
    track: "/halvoran/track",
    capture: "/halvoran/capture",
    cameraLine: "/halvoran/camera_line",
};

// The bridge's WebSocket: /ws on the server that served this page, or ?ws=URL.
function bridgeUrl() {
    const given = new URLSearchParams(location.search).get("ws");
    if (given) return given;
    const scheme = location.protocol === "https:" ? "wss:" : "ws:";
    return `${scheme}//${location.host}/ws`;
}

const state = {
    bridgeOpen: false,
    bridgeLost: false, // the connection to the bridge failed or ended at least once
    connected: null, // Halvoran's connection as the bridge last said; null before it said
    clientId: null,
    driver: null,
    capturing: false,
    hasFrame: false,
    lastTrackAt: 0,
    trackAction: null,
};

const bridge = new BridgeConnection(bridgeUrl(), {
    subscribeTopics: [T.connection, T.tracking, T.driveStatus, T.image, T.annotations, T.progress, T.reply],
    publishTopics: [T.drive, T.track, T.capture, T.cameraLine],
});

// ---- messages -------------------------------------------------------------------------------

const recentMessages = new Map(); // text -> time shown, to keep a repeated failure to one line

function say(text, level = "error") {
    const now = Date.now();
    if (now - (recentMessages.get(text) || 0) < 3000) return;
    recentMessages.set(text, now);
    const list = $("messages");
    const li = document.createElement("li");
    li.className = level;
    const span = document.createElement("span");
    span.textContent = text;
    const close = document.createElement("button");
    close.type = "button";
    close.textContent = "Dismiss";
    close.setAttribute("aria-label", `Dismiss: ${text}`);
    close.addEventListener("click", () => li.remove());
    li.append(span, close);
    list.append(li);
    while (list.children.length > 4) list.firstElementChild.remove();
    setTimeout(() => li.remove(), 15000);
}

function publish(topic, value) {
    if (bridge.publish(topic, value)) return true;
    say(`${topicName(topic)} not sent: no connection to halvoran-bridge`);
    return false;
}

// ---- status at a glance ----------------------------------------------------------------------

function showConnection() {
    const pill = $("connection");
    const banner = $("banner");
    let text;
    let cls;
    if (!state.bridgeOpen && !state.bridgeLost) {
        text = "connecting…";
        cls = "pill-unknown";
        banner.hidden = true;
    } else if (!state.bridgeOpen) {
        text = "no bridge";
        cls = "pill-bad";
        banner.textContent = `No connection to halvoran-bridge (${bridge.url}); trying again…`;
        banner.hidden = false;
    } else if (state.connected === false) {
        text = "not connected";
        cls = "pill-bad";
        banner.textContent = "Halvoran is not connected. The bridge keeps trying; commands fail until it is back.";
        banner.hidden = false;
    } else if (state.connected === true) {
        text = "connected";
        cls = "pill-ok";
        banner.hidden = true;
    } else {
        text = "connecting…";
        cls = "pill-unknown";
        banner.hidden = true;
    }
    pill.textContent = text;
    pill.className = `pill ${cls}`;
    $("driver").textContent = driverText(state.driver, state.clientId);
}

bridge.on("open", () => {
    state.bridgeOpen = true;
    showConnection();
});
bridge.on("close", () => {
    // Whatever was held stays let go: after a reconnection the drive starts only on a new press.
    drive.releaseAll();
    releaseKnob();
    showDriveState();
    state.bridgeOpen = false;
    state.bridgeLost = true;
    state.connected = null;
    state.capturing = false;
    showCapture(null);
    showConnection();
});
bridge.on("clientId", (id) => {
    state.clientId = id;
    showConnection();
});
bridge.on("status", (message) => {
    if (message.level >= 1) say(message.message, message.level >= 2 ? "error" : "warning");
});

// ---- driving --------------------------------------------------------------------------------

const drive = new DriveControl((message) => bridge.publish(T.drive, message), {
    settings: () => ({ maxSpeed: Number($("max-speed").value) }),
});

function showDriveState() {
    const d = drive.last;
    $("drive-state").textContent = drive.active && d ? `driving: speed ${d.speed}, steering ${d.servo0}` : "standing";
}

const typing = (el) => el && (el.tagName === "INPUT" && el.type !== "range" || el.tagName === "TEXTAREA" || el.tagName === "SELECT" || el.isContentEditable);

window.addEventListener("keydown", (e) => {
    if (e.key === "Escape") {
        stopEverything();
        e.preventDefault();
        return;
    }
    if (typing(e.target) || e.ctrlKey || e.metaKey || e.altKey) return;
    // A key held down repeats its keydown; after STOP only a fresh press drives again.
    if (e.repeat) {
        if (e.code in KEY_DIRECTIONS) e.preventDefault();
        return;
    }
    if (e.target && e.target.type === "range" && e.code.startsWith("Arrow")) return; // a focused slider keeps its arrows
    if (drive.keyDown(e.code)) {
        e.preventDefault();
        showDriveState();
    }
});
window.addEventListener("keyup", (e) => {
    if (drive.keyUp(e.code)) showDriveState();
});
window.addEventListener("blur", () => {
    drive.releaseAll();
    showDriveState();
});
document.addEventListener("visibilitychange", () => {
    if (document.hidden) {
        drive.releaseAll();
        showDriveState();
    }
});

// The hold on the drive as the bridge tells it. Someone else's STOP ends this page's hold while
// it drives: the page lets go of what is held, so that only a fresh press drives again. And
// should a message that was on its way give this page the hold back after that, it gives it up.
function followHold(before, now) {
    const mine = (d) => d !== null && state.clientId !== null && d.id === state.clientId;
    if (mine(before) && !mine(now) && drive.active) {
        drive.releaseAll();
        releaseKnob();
        showDriveState();
        say("The drive was stopped from elsewhere; press again to drive.", "warning");
    } else if (!mine(before) && mine(now) && !drive.active) {
        bridge.publish(T.drive, { stop: true });
    }
}

function stopEverything() {
    drive.stop();
    releaseKnob();
    showDriveState();
    if (!bridge.canPublish(T.drive)) say("STOP not sent: no connection to halvoran-bridge");
}
$("stop").addEventListener("click", stopEverything);

// The joystick follows one pointer (finger or mouse) from press to release.
const pad = $("joystick");
const knob = $("knob");
let joystickPointer = null;

function moveKnob(e) {
    const r = pad.getBoundingClientRect();
    const radius = r.width / 2;
    let dx = e.clientX - (r.left + radius);
    let dy = e.clientY - (r.top + radius);
    const len = Math.hypot(dx, dy);
    if (len > radius) {
        dx = (dx / len) * radius;
        dy = (dy / len) * radius;
    }
    knob.style.transform = `translate(${dx}px, ${dy}px)`;
    drive.setJoystick(directionFromJoystick(dx, dy, radius));
    showDriveState();
}

function releaseKnob() {
    joystickPointer = null;
    knob.style.transform = "";
    pad.classList.remove("held");
}

pad.addEventListener("pointerdown", (e) => {
    joystickPointer = e.pointerId;
    pad.setPointerCapture(e.pointerId);
    pad.classList.add("held");
    moveKnob(e);
    e.preventDefault();
});
pad.addEventListener("contextmenu", (e) => e.preventDefault());
pad.addEventListener("pointermove", (e) => {
    if (e.pointerId === joystickPointer) moveKnob(e);
});
for (const type of ["pointerup", "pointercancel", "lostpointercapture"]) {
    pad.addEventListener(type, (e) => {
        if (e.pointerId !== joystickPointer) return;
        releaseKnob();
        drive.releaseJoystick();
        showDriveState();
    });
}

for (const id of ["max-speed", "tolerance"]) {
    $(id).addEventListener("input", () => {
        $(`${id}-value`).textContent = $(id).value;
    });
}

// ---- pan and tilt ---------------------------------------------------------------------------

// A slider sends its position at most every 100 ms while it moves, and its last one at the end.
function servoSlider(id, key) {
    const input = $(id);
    let timer = null;
    let pending = false;
    const send = () => {
        pending = false;
        publish(T.drive, { [key]: Number(input.value) });
    };
    input.addEventListener("input", () => {
        $(`${id}-value`).textContent = input.value;
        if (timer) {
            pending = true;
            return;
        }
        send();
        timer = setInterval(() => {
            if (pending) send();
            else {
                clearInterval(timer);
                timer = null;
            }
        }, 100);
    });
}
servoSlider("pan", "servo1");
servoSlider("tilt", "servo2");

// ---- status from the bridge -----------------------------------------------------------------

const frameCanvas = $("frame");
const frameCtx = frameCanvas.getContext("2d", { willReadFrequently: true });
const history = new TrackHistory();

function showCapture(progress) {
    const bar = $("capture-progress");
    const text = $("capture-text");
    $("capture").disabled = state.capturing;
    if (!progress) {
        if (!state.capturing) bar.value = 0;
        return;
    }
    bar.max = progress.expected || 34470;
    bar.value = Math.min(progress.received, bar.max);
    if (progress.error) text.textContent = "capture failed";
    else if (progress.done) text.textContent = "frame received";
    else text.textContent = `${Math.round((100 * bar.value) / bar.max)} % (${progress.received} of ${bar.max} bytes)`;
}

function showImage(image) {
    const picture = rawImageToRgba(image);
    if (!picture) {
        say(`Capture failed: a picture in an encoding the page cannot show (${image.encoding})`);
        return;
    }
    frameCanvas.width = picture.width;
    frameCanvas.height = picture.height;
    frameCtx.putImageData(new ImageData(picture.rgba, picture.width, picture.height), 0, 0);
    state.hasFrame = true;
    $("frame-empty").hidden = true;
    $("save").disabled = false;
    const sec = image.timestamp && Number(image.timestamp.sec);
    const when = sec > 0 ? new Date(sec * 1000) : new Date();
    $("capture-text").textContent = `frame of ${when.toLocaleTimeString()}`;
}

function showTrackBox(box) {
    const el = $("track-box");
    if (!box) {
        el.hidden = true;
        return;
    }
    const w = frameCanvas.width;
    const h = frameCanvas.height;
    el.style.left = `${(box.x / w) * 100}%`;
    el.style.top = `${(box.y / h) * 100}%`;
    el.style.width = `${Math.max(box.width, 1) / w * 100}%`;
    el.style.height = `${Math.max(box.height, 1) / h * 100}%`;
    el.hidden = false;
}

const MODE_NAMES = { both: "pan and tilt follow", pan: "pan follows", tilt: "tilt follows", report: "report only" };

function showReport(r) {
    state.lastTrackAt = performance.now();
    history.add(state.lastTrackAt, r);
    const seen = r.confidence > 0 && r.pixels > 0;
    $("tracking-state").textContent =
        `tracking ${r.kind === "window" ? "the window's colour" : "a colour"} (${MODE_NAMES[r.mode] || r.mode}): ` +
        (seen ? `x ${r.x}, y ${r.y}, ${r.width}×${r.height}, ${r.pixels} pixels, confidence ${r.confidence}` : "target not seen") +
        ` · pan ${r.servo1}, tilt ${r.servo2}`;
    drawPlot();
}

const plot = $("plot");
function drawPlot() {
    const ratio = window.devicePixelRatio || 1;
    const w = Math.max(1, Math.round(plot.clientWidth * ratio));
    const h = Math.max(1, Math.round(plot.clientHeight * ratio));
    if (plot.width !== w || plot.height !== h) {
        plot.width = w;
        plot.height = h;
    }
    const now = performance.now();
    history.prune(now);
    drawHistory(plot.getContext("2d"), history, now, w, h);
}
setInterval(() => {
    if (history.points.length) drawPlot();
    // No report for two seconds: the box is stale.
    if (state.lastTrackAt && performance.now() - state.lastTrackAt > 2000) {
        showTrackBox(null);
        state.lastTrackAt = 0;
        if (state.trackAction !== "start") $("tracking-state").textContent = "not tracking";
    }
}, 500);

function handleReply(reply) {
    if (state.clientId !== null && reply.clientId !== state.clientId) return;
    if (!reply.ok) {
        say(failureText(reply));
        if (reply.topic === T.capture) {
            state.capturing = false;
            showCapture(null);
            $("capture-text").textContent = "capture failed";
        }
        if (reply.topic === T.cameraLine) $("line-answer").textContent = "";
        if (reply.topic === T.track && state.trackAction === "start") state.trackAction = null;
        return;
    }
    if (reply.topic === T.cameraLine) $("line-answer").textContent = (reply.answer ?? "").replace(/\r\n?/g, "\n");
    if (reply.topic === T.track && state.trackAction === "stop") {
        $("tracking-state").textContent = "not tracking";
        showTrackBox(null);
    }
    // Started or stopped: from now on the reports (or their absence) say whether it tracks.
    if (reply.topic === T.track) state.trackAction = null;
}

bridge.on("message", ({ topic, data }) => {
    switch (topic) {
        case T.connection: {
            const before = state.driver;
            state.connected = !!data.connected;
            state.driver = data.driver || null;
            showConnection();
            followHold(before, state.driver);
            break;
        }
        case T.driveStatus:
            $("drive-status").textContent = driveStatusText(data);
            $("servo-module").textContent = data.result === 0 ? servoModuleText(data.servoModule) : "no answer";
            break;
        case T.progress:
            state.capturing = !data.done;
            showCapture(data);
            if (data.error) say(`Capture failed: ${data.error}`);
            break;
        case T.image:
            showImage(data);
            break;
        case T.tracking:
            showReport(data);
            break;
        case T.annotations:
            showTrackBox(annotationBox(data));
            break;
        case T.reply:
            handleReply(data);
            break;
        default:
            break;
    }
});

// ---- capture and save -----------------------------------------------------------------------

$("capture").addEventListener("click", () => {
    if (!publish(T.capture, {})) return;
    state.capturing = true;
    showCapture({ received: 0, expected: Number($("capture-progress").max), done: false, error: null });
    $("capture-text").textContent = "asking the camera…";
});

$("save").addEventListener("click", () => {
    if (!state.hasFrame) return;
    frameCanvas.toBlob((blob) => {
        if (!blob) return;
        const a = document.createElement("a");
        const stamp = new Date().toISOString().replace(/[-:]/g, "").replace(/\..*/, "").replace("T", "-");
        a.download = `halvoran-frame-${stamp}.png`;
        a.href = URL.createObjectURL(blob);
        document.body.append(a);
        a.click();
        a.remove();
        setTimeout(() => URL.revokeObjectURL(a.href), 10000);
    }, "image/png");
});

// ---- tracking from the frame ----------------------------------------------------------------

const wrap = $("frame-wrap");
const dragBox = $("drag-box");
let press = null; // {id, x, y} in image pixels where the pointer went down

function imagePoint(e) {
    const r = wrap.getBoundingClientRect();
    const x = ((e.clientX - r.left) / r.width) * frameCanvas.width;
    const y = ((e.clientY - r.top) / r.height) * frameCanvas.height;
    return {
        x: Math.min(frameCanvas.width - 0.001, Math.max(0, x)),
        y: Math.min(frameCanvas.height - 0.001, Math.max(0, y)),
        cssDx: e.clientX,
        cssDy: e.clientY,
    };
}

function startTracking(message) {
    if (!publish(T.track, message)) return;
    state.trackAction = "start";
    history.clear();
    $("tracking-state").textContent = "starting tracking…";
}

wrap.addEventListener("pointerdown", (e) => {
    if (!state.hasFrame) return;
    press = { id: e.pointerId, ...imagePoint(e), dragging: false };
    wrap.setPointerCapture(e.pointerId);
    e.preventDefault();
});
wrap.addEventListener("pointermove", (e) => {
    if (!press || e.pointerId !== press.id) return;
    const p = imagePoint(e);
    if (!press.dragging && Math.hypot(p.cssDx - press.cssDx, p.cssDy - press.cssDy) < 6) return;
    press.dragging = true;
    const w = frameCanvas.width;
    const h = frameCanvas.height;
    dragBox.style.left = `${(Math.min(p.x, press.x) / w) * 100}%`;
    dragBox.style.top = `${(Math.min(p.y, press.y) / h) * 100}%`;
    dragBox.style.width = `${(Math.abs(p.x - press.x) / w) * 100}%`;
    dragBox.style.height = `${(Math.abs(p.y - press.y) / h) * 100}%`;
    dragBox.hidden = false;
});
wrap.addEventListener("pointerup", (e) => {
    if (!press || e.pointerId !== press.id) return;
    const p = imagePoint(e);
    const mode = $("mode").value;
    if (press.dragging) {
        dragBox.hidden = true;
        const area = cameraWindow(press.x, press.y, p.x, p.y, frameCanvas.width, frameCanvas.height);
        startTracking({ action: "start", kind: "window", mode, window: area });
    } else {
        const [r, g, b] = frameCtx.getImageData(Math.floor(p.x), Math.floor(p.y), 1, 1).data;
        const bounds = colourBounds([r, g, b], Number($("tolerance").value));
        const at = cameraPoint(p.x, p.y, frameCanvas.width, frameCanvas.height);
        startTracking({ action: "start", kind: "colour", mode, bounds });
        $("tracking-state").textContent = `starting to track rgb(${r}, ${g}, ${b}) from x ${at.x}, y ${at.y}…`;
    }
    press = null;
});
wrap.addEventListener("pointercancel", () => {
    press = null;
    dragBox.hidden = true;
});

$("track-window").addEventListener("click", () => startTracking({ action: "start", kind: "window", mode: $("mode").value }));
$("track-stop").addEventListener("click", () => {
    if (!publish(T.track, { action: "stop" })) return;
    state.trackAction = "stop";
});

// ---- camera line ----------------------------------------------------------------------------

$("line-form").addEventListener("submit", (e) => {
    e.preventDefault();
    const line = $("line").value;
    if (publish(T.cameraLine, { line })) $("line-answer").textContent = "…";
});

showConnection();
bridge.connect();
