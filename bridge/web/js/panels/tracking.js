// Tracking: how the servos follow, the colour range, starting and stopping, the latest report in
// words, the box over the frame and the plot of the last 30 seconds.
import { TrackHistory, drawHistory } from "../history.js";
import { annotationBox } from "../camera.js";
import { TOPICS } from "../topics.js";

const $ = (id) => document.getElementById(id);

const MODE_NAMES = { both: "pan and tilt follow", pan: "pan follows", tilt: "tilt follows", report: "report only" };

// A tracking report in words.
export function reportWords(report) {
    const seen = report.confidence > 0 && report.pixels > 0;
    return `tracking ${report.kind === "window" ? "the window's colour" : "a colour"} (${MODE_NAMES[report.mode] || report.mode}): ` +
        (seen ? `x ${report.x}, y ${report.y}, ${report.width}×${report.height}, ${report.pixels} pixels, confidence ${report.confidence}` : "target not seen") +
        ` · pan ${report.servo1}, tilt ${report.servo2}`;
}

// No report for this long: the box and the words are stale.
const STALE_MS = 2000;

export function trackingPanel({ store, publish, announce }) {
    const history = new TrackHistory();
    const plot = $("plot");
    const frame = $("frame");
    let lastReportAt = 0;

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

    function showBox(box) {
        const el = $("track-box");
        el.hidden = !box;
        if (!box) return;
        el.style.left = `${(box.x / frame.width) * 100}%`;
        el.style.top = `${(box.y / frame.height) * 100}%`;
        el.style.width = `${(Math.max(box.width, 1) / frame.width) * 100}%`;
        el.style.height = `${(Math.max(box.height, 1) / frame.height) * 100}%`;
    }

    setInterval(() => {
        if (history.points.length) drawPlot();
        if (lastReportAt && performance.now() - lastReportAt > STALE_MS) {
            lastReportAt = 0;
            showBox(null);
            if (store.state.trackAction !== "start") store.set({ trackingText: "not tracking" });
        }
    }, 500);

    // Starts tracking with a track message; words: what the panel says until the first report.
    function start(message, words = "starting tracking…") {
        if (store.state.playback || !publish(TOPICS.track, message)) return;
        history.clear();
        store.set({ trackAction: "start", trackingText: words });
    }

    $("track-window").addEventListener("click", () => start({ action: "start", kind: "window", mode: $("mode").value }));
    $("track-stop").addEventListener("click", () => {
        if (!store.state.playback && publish(TOPICS.track, { action: "stop" })) store.set({ trackAction: "stop" });
    });
    $("tolerance").addEventListener("input", () => {
        $("tolerance-value").textContent = $("tolerance").value;
    });

    store.watch((state) => {
        $("tracking-state").textContent = state.trackingText;
        for (const id of ["mode", "tolerance", "track-window", "track-stop"]) $(id).disabled = !!state.playback;
        const seen = state.trackingText.startsWith("tracking") ? (/target not seen/.test(state.trackingText) ? "tracking: target not seen" : "tracking: target seen") : state.trackingText;
        announce("tracking", seen);
    });

    return {
        start,
        report(report) {
            lastReportAt = performance.now();
            history.add(lastReportAt, report);
            store.set({ trackingText: reportWords(report) });
            drawPlot();
        },
        annotations(message) {
            showBox(annotationBox(message));
        },
        reply(reply) {
            const action = store.state.trackAction;
            // Started or stopped: from now on the reports (or their absence) say whether it tracks.
            if (!reply.ok) {
                if (action === "start") store.set({ trackAction: null });
                return;
            }
            if (action === "stop") {
                showBox(null);
                store.set({ trackAction: null, trackingText: "not tracking" });
            } else {
                store.set({ trackAction: null });
            }
        },
    };
}
