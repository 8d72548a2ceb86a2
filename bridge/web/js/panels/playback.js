// Playback of a recording (halvoran-bridge --play): the banner with the file's name, the position
// bar that moves with the server's time and seeks when moved, pause and play, and the speed. The
// server says it plays back in its serverInfo metadata; nothing can drive then.
const $ = (id) => document.getElementById(id);

export const PLAYBACK_PARAMETERS = ["playback.paused", "playback.rate", "playback.position"];

// The playback described by a serverInfo, or null when the server is live.
export function playbackFromServerInfo(info) {
    const meta = (info && info.metadata) || {};
    if (meta["halvoran.mode"] !== "playback") return null;
    let startNs = 0n;
    let endNs = 0n;
    try {
        startNs = BigInt(meta["halvoran.start"] ?? 0);
        endNs = BigInt(meta["halvoran.end"] ?? 0);
    } catch {
        // A start or end that is not a number: the bar then has no length.
    }
    const durationS = endNs > startNs ? Number(endNs - startNs) / 1e9 : 0;
    return { file: meta["halvoran.file"] || "", startNs, durationS, positionS: 0, paused: false, rate: 1 };
}

// The seconds from the start for a Time message's nanoseconds, kept within the recording.
export function positionFromTime(playback, ns) {
    const seconds = Number(ns - playback.startNs) / 1e9;
    return Math.min(playback.durationS, Math.max(0, seconds));
}

const secondsText = (s) => `${s.toFixed(1)} s`;

export function playbackPanel({ store, bridge }) {
    const bar = $("playback-position");
    let seeking = false; // the user is moving the bar: the server's time does not move it meanwhile

    const update = (patch) => store.state.playback && store.set({ playback: { ...store.state.playback, ...patch } });

    bridge.on("serverInfo", (info) => {
        const playback = playbackFromServerInfo(info);
        store.set({ playback });
        if (!playback) return;
        bridge.subscribeParameters(PLAYBACK_PARAMETERS);
        bridge.getParameters(PLAYBACK_PARAMETERS, "playback");
    });
    bridge.on("time", (ns) => {
        if (store.state.playback) update({ positionS: positionFromTime(store.state.playback, ns) });
    });
    bridge.on("parameters", (message) => {
        const patch = {};
        for (const { name, value } of message.parameters || []) {
            if (name === "playback.paused" && typeof value === "boolean") patch.paused = value;
            else if (name === "playback.rate" && typeof value === "number") patch.rate = value;
            else if (name === "playback.position" && typeof value === "number" && !seeking) patch.positionS = value;
        }
        update(patch);
    });

    $("playback-pause").addEventListener("click", () => {
        if (store.state.playback) bridge.setParameters([{ name: "playback.paused", value: !store.state.playback.paused }], "pause");
    });
    bar.addEventListener("input", () => {
        seeking = true;
        $("playback-time").textContent = `${secondsText(Number(bar.value))} of ${secondsText(store.state.playback.durationS)}`;
    });
    bar.addEventListener("change", () => {
        seeking = false;
        bridge.setParameters([{ name: "playback.position", value: Number(bar.value) }], "seek");
    });
    $("playback-rate").addEventListener("change", () => {
        bridge.setParameters([{ name: "playback.rate", value: Number($("playback-rate").value) }], "rate");
    });

    store.watch((state) => {
        const playback = state.playback;
        document.body.classList.toggle("in-playback", !!playback);
        $("playback").hidden = !playback;
        if (!playback) return;
        $("playback-file").textContent = playback.file;
        bar.max = String(playback.durationS);
        if (!seeking) {
            bar.value = String(playback.positionS);
            $("playback-time").textContent = `${secondsText(playback.positionS)} of ${secondsText(playback.durationS)}`;
        }
        bar.setAttribute("aria-valuetext", `${secondsText(playback.positionS)} of ${secondsText(playback.durationS)}`);
        $("playback-pause").textContent = playback.paused ? "Play" : "Pause";
        $("playback-rate").value = String(playback.rate);
    });
}
