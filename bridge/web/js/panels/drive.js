// The drive panel: keys, the joystick (a slider-like control for assistive technology), STOP and
// the top speed. The drive goes out through the socket's buffered-amount guard: while the
// connection is slow, only the latest wish waits, and a stop goes at once.
import { DriveControl, directionFromJoystick, KEY_DIRECTIONS, STEER_CENTRE } from "../drive.js";
import { TOPICS } from "../topics.js";

const $ = (id) => document.getElementById(id);

// The drive in words, for the panel and for screen readers.
export function driveWords(command) {
    if (!command) return "standing";
    const way = command.speed > 0 ? "forward" : command.speed < 0 ? "backward" : "turning";
    const steer = command.servo0 - STEER_CENTRE;
    const side = steer > 0 ? `, steering right ${steer}` : steer < 0 ? `, steering left ${-steer}` : "";
    return `driving ${way}: speed ${command.speed}${side}`;
}

// Whether a key press belongs to a field that takes typing rather than to the drive.
function typingInto(el) {
    if (!el) return false;
    return (el.tagName === "INPUT" && el.type !== "range") || el.tagName === "TEXTAREA" || el.tagName === "SELECT" || el.isContentEditable;
}

export function drivePanel({ store, bridge, say, announce }) {
    const drive = new DriveControl(
        (message) => bridge.publishLatest("drive", TOPICS.drive, message, { urgent: !!message.stop }),
        { settings: () => ({ maxSpeed: Number($("max-speed").value) }) },
    );
    const pad = $("joystick");
    const knob = $("knob");
    let joystickPointer = null;

    const showDrive = () => store.set({ driving: drive.active && drive.last ? { ...drive.last } : null });

    function releaseKnob() {
        joystickPointer = null;
        knob.style.transform = "";
        pad.classList.remove("held");
    }

    // Lets go of everything held; only a fresh press drives again.
    function letGo() {
        drive.releaseAll();
        releaseKnob();
        showDrive();
    }

    function stopEverything() {
        if (store.state.playback) return;
        drive.stop();
        releaseKnob();
        showDrive();
        if (!bridge.canPublish(TOPICS.drive)) say("STOP not sent: no connection to halvoran-bridge");
    }

    window.addEventListener("keydown", (e) => {
        if (e.key === "Escape") {
            stopEverything();
            e.preventDefault();
            return;
        }
        if (store.state.playback || typingInto(e.target) || e.ctrlKey || e.metaKey || e.altKey) return;
        if (e.target && e.target.closest && e.target.closest("#frame-wrap")) return; // the frame's cross takes its arrows
        // A key held down repeats its keydown; after STOP only a fresh press drives again.
        if (e.repeat) {
            if (e.code in KEY_DIRECTIONS) e.preventDefault();
            return;
        }
        if (e.target && e.target.type === "range" && e.code.startsWith("Arrow")) return; // a focused slider keeps its arrows
        if (drive.keyDown(e.code)) {
            e.preventDefault();
            showDrive();
        }
    });
    window.addEventListener("keyup", (e) => {
        if (drive.keyUp(e.code)) showDrive();
    });
    window.addEventListener("blur", letGo);
    document.addEventListener("visibilitychange", () => {
        if (document.hidden) letGo();
    });
    $("stop").addEventListener("click", stopEverything);

    // The joystick follows one pointer (finger or mouse) from press to release.
    function moveKnob(e) {
        const r = pad.getBoundingClientRect();
        const radius = r.width / 2;
        let dx = e.clientX - (r.left + radius);
        let dy = e.clientY - (r.top + radius);
        const length = Math.hypot(dx, dy);
        if (length > radius) {
            dx = (dx / length) * radius;
            dy = (dy / length) * radius;
        }
        knob.style.transform = `translate(${dx}px, ${dy}px)`;
        drive.setJoystick(directionFromJoystick(dx, dy, radius));
        showDrive();
    }
    pad.addEventListener("pointerdown", (e) => {
        if (store.state.playback) return;
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
            showDrive();
        });
    }
    $("max-speed").addEventListener("input", () => {
        $("max-speed-value").textContent = $("max-speed").value;
    });

    store.watch((state) => {
        const words = driveWords(state.driving);
        const held = state.driving && state.driveHeld ? " (waiting for a slow connection)" : "";
        $("drive-state").textContent = words + held;
        pad.setAttribute("aria-valuenow", String(state.driving ? state.driving.speed : 0));
        pad.setAttribute("aria-valuetext", words);
        pad.setAttribute("aria-disabled", String(!!state.playback));
        $("stop").disabled = !!state.playback;
        $("max-speed").disabled = !!state.playback;
        announce("drive", state.driving ? "driving" : "standing");
    });

    // The hold on the drive as the bridge tells it. Someone else's STOP ends this page's hold while
    // it drives: the page lets go of what is held, so that only a fresh press drives again. And
    // should a message that was on its way give this page the hold back after that, it gives it up.
    function followHold(before, now) {
        const mine = (d) => d !== null && store.state.clientId !== null && d.id === store.state.clientId;
        if (drive.holdChanged(mine(before), mine(now))) {
            letGo();
            say("The drive was stopped from elsewhere; press again to drive.", "warning");
        } else if (!mine(before) && mine(now) && !drive.active) {
            bridge.publish(TOPICS.drive, { stop: true });
        }
    }

    return { letGo, followHold };
}
