// The camera: capturing a frame with its progress, showing and saving it, and starting tracking
// from the frame: a click (or Enter on the keyboard's cross) tracks the colour under it, a drag
// tracks the window it covers.
import { rawImageToRgba, colourBounds, cameraPoint, cameraWindow } from "../camera.js";
import { TOPICS } from "../topics.js";

const $ = (id) => document.getElementById(id);
const FRAME_BYTES = 34470;

// Where the keyboard's cross goes for an arrow key, in image pixels of a width x height frame:
// one camera pixel a press (two image pixels across), eight with Shift; it stays on the frame.
export function moveCross(cross, key, shift, width, height) {
    const step = shift ? 8 : 1;
    const moves = { ArrowLeft: [-2, 0], ArrowRight: [2, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
    const [dx, dy] = moves[key] || [0, 0];
    return {
        x: Math.min(width - 1, Math.max(0, cross.x + dx * step)),
        y: Math.min(height - 1, Math.max(0, cross.y + dy * step)),
    };
}

export function cameraPanel({ store, publish, say, tracking }) {
    const frame = $("frame");
    const frameContext = frame.getContext("2d", { willReadFrequently: true });
    const wrap = $("frame-wrap");
    const dragBox = $("drag-box");
    const crossMark = $("cross");
    let press = null; // {id, x, y, clientX, clientY, dragging}: where the pointer went down, in image pixels
    let cross = { x: frame.width / 2, y: Math.floor(frame.height / 2) };

    function imagePoint(e) {
        const r = wrap.getBoundingClientRect();
        const x = ((e.clientX - r.left) / r.width) * frame.width;
        const y = ((e.clientY - r.top) / r.height) * frame.height;
        return { x: Math.min(frame.width - 0.001, Math.max(0, x)), y: Math.min(frame.height - 0.001, Math.max(0, y)), clientX: e.clientX, clientY: e.clientY };
    }

    function trackColourAt(x, y) {
        const [r, g, b] = frameContext.getImageData(Math.floor(x), Math.floor(y), 1, 1).data;
        const bounds = colourBounds([r, g, b], Number($("tolerance").value));
        const at = cameraPoint(x, y, frame.width, frame.height);
        tracking.start({ action: "start", kind: "colour", mode: $("mode").value, bounds }, `starting to track rgb(${r}, ${g}, ${b}) from x ${at.x}, y ${at.y}…`);
    }

    function showCross() {
        crossMark.style.left = `${((cross.x + 0.5) / frame.width) * 100}%`;
        crossMark.style.top = `${((cross.y + 0.5) / frame.height) * 100}%`;
        const at = cameraPoint(cross.x, cross.y, frame.width, frame.height);
        wrap.setAttribute("aria-description", `cross at x ${at.x}, y ${at.y}`);
    }

    $("capture").addEventListener("click", () => {
        if (store.state.playback || !publish(TOPICS.capture, {})) return;
        store.set({ capture: { busy: true, received: 0, expected: FRAME_BYTES, text: "asking the camera…" } });
    });

    $("save").addEventListener("click", () => {
        if (!store.state.hasFrame) return;
        frame.toBlob((blob) => {
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

    const tracksFromFrame = () => store.state.hasFrame && !store.state.playback;
    wrap.addEventListener("pointerdown", (e) => {
        if (!tracksFromFrame()) return;
        press = { id: e.pointerId, ...imagePoint(e), dragging: false };
        wrap.setPointerCapture(e.pointerId);
        e.preventDefault();
    });
    wrap.addEventListener("pointermove", (e) => {
        if (!press || e.pointerId !== press.id) return;
        const p = imagePoint(e);
        if (!press.dragging && Math.hypot(p.clientX - press.clientX, p.clientY - press.clientY) < 6) return;
        press.dragging = true;
        dragBox.style.left = `${(Math.min(p.x, press.x) / frame.width) * 100}%`;
        dragBox.style.top = `${(Math.min(p.y, press.y) / frame.height) * 100}%`;
        dragBox.style.width = `${(Math.abs(p.x - press.x) / frame.width) * 100}%`;
        dragBox.style.height = `${(Math.abs(p.y - press.y) / frame.height) * 100}%`;
        dragBox.hidden = false;
    });
    wrap.addEventListener("pointerup", (e) => {
        if (!press || e.pointerId !== press.id) return;
        const p = imagePoint(e);
        if (press.dragging) {
            dragBox.hidden = true;
            const area = cameraWindow(press.x, press.y, p.x, p.y, frame.width, frame.height);
            tracking.start({ action: "start", kind: "window", mode: $("mode").value, window: area });
        } else {
            trackColourAt(p.x, p.y);
        }
        press = null;
    });
    wrap.addEventListener("pointercancel", () => {
        press = null;
        dragBox.hidden = true;
    });
    // From the keyboard: the arrows move a cross over the frame, Enter or Space tracks its colour.
    wrap.addEventListener("keydown", (e) => {
        if (!tracksFromFrame() || e.ctrlKey || e.metaKey || e.altKey) return;
        if (e.key.startsWith("Arrow")) {
            cross = moveCross(cross, e.key, e.shiftKey, frame.width, frame.height);
            showCross();
        } else if (e.key === "Enter" || e.key === " ") {
            trackColourAt(cross.x, cross.y);
        } else {
            return;
        }
        e.preventDefault();
    });
    wrap.addEventListener("focus", showCross);

    store.watch((state) => {
        const capture = state.capture;
        const bar = $("capture-progress");
        bar.max = capture.expected || FRAME_BYTES;
        bar.value = Math.min(capture.received, bar.max);
        $("capture-text").textContent = capture.text;
        $("capture").disabled = capture.busy || !!state.playback;
        $("save").disabled = !state.hasFrame;
        $("frame-empty").hidden = state.hasFrame;
        crossMark.hidden = !state.hasFrame || !!state.playback;
        wrap.tabIndex = state.hasFrame && !state.playback ? 0 : -1;
    });

    return {
        progress(progress) {
            const expected = progress.expected || FRAME_BYTES;
            const received = Math.min(progress.received, expected);
            // The picture may come before the end of the transfer is told: its words then stay.
            const shown = store.state.capture.text;
            const text = progress.error ? "capture failed" : progress.done ? (shown.startsWith("frame of") ? shown : "frame received")
                : `${Math.round((100 * received) / expected)} % (${progress.received} of ${expected} bytes)`;
            store.set({ capture: { busy: !progress.done, received, expected, text } });
            if (progress.error) say(`Capture failed: ${progress.error}`);
        },
        image(image) {
            const picture = rawImageToRgba(image);
            if (!picture) {
                say(`Capture failed: a picture in an encoding the page cannot show (${image.encoding})`);
                return;
            }
            frame.width = picture.width;
            frame.height = picture.height;
            frameContext.putImageData(new ImageData(picture.rgba, picture.width, picture.height), 0, 0);
            cross = { x: Math.min(cross.x, picture.width - 1), y: Math.min(cross.y, picture.height - 1) };
            const seconds = image.timestamp && Number(image.timestamp.sec);
            const when = seconds > 0 ? new Date(seconds * 1000) : new Date();
            store.set({ hasFrame: true, capture: { ...store.state.capture, text: `frame of ${when.toLocaleTimeString()}` } });
        },
        reply(reply) {
            if (reply.ok) return;
            store.set({ capture: { busy: false, received: 0, expected: FRAME_BYTES, text: "capture failed" } });
        },
        // The connection ended: a capture on its way will not finish.
        connectionLost() {
            const capture = store.state.capture;
            store.set({ capture: { ...capture, busy: false, received: capture.busy ? 0 : capture.received } });
        },
    };
}
