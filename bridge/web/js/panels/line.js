// The camera line (advanced): one line to the camera, its answer shown as it came.
import { TOPICS } from "../topics.js";

const $ = (id) => document.getElementById(id);

export function cameraLinePanel({ store, publish }) {
    $("line-form").addEventListener("submit", (e) => {
        e.preventDefault();
        if (store.state.playback) return;
        if (publish(TOPICS.cameraLine, { line: $("line").value })) $("line-answer").textContent = "…";
    });
    store.watch((state) => {
        for (const el of $("line-form").elements) el.disabled = !!state.playback;
    });
    return {
        reply(reply) {
            $("line-answer").textContent = reply.ok ? (reply.answer ?? "").replace(/\r\n?/g, "\n") : "";
        },
    };
}
