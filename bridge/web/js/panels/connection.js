// The connection at a glance: the bridge's socket, Halvoran behind it, who drives, and the banner
// that says what does not work and why.
import { driverText, driveStatusText, servoModuleText } from "../format.js";

const $ = (id) => document.getElementById(id);

// The pill's text and colour and the banner's text (null: no banner) for a state.
export function connectionView(state, url) {
    if (state.playback) return { text: "playback", pill: "pill-playback", banner: null };
    switch (state.bridge) {
        case "connecting":
            return { text: "connecting…", pill: "pill-unknown", banner: null };
        case "reconnecting": {
            const seconds = (state.retryInMs / 1000).toLocaleString("en", { maximumFractionDigits: 2 });
            return { text: "reconnecting…", pill: "pill-bad", banner: `No connection to halvoran-bridge (${url}); trying again in ${seconds} s…` };
        }
        default:
            break;
    }
    if (state.connected === false) {
        return { text: "not connected", pill: "pill-bad", banner: "Halvoran is not connected. The bridge keeps trying; commands fail until it is back." };
    }
    if (state.connected === true) return { text: "connected", pill: "pill-ok", banner: null };
    return { text: "connecting…", pill: "pill-unknown", banner: null };
}

export function connectionPanel({ store, bridge }) {
    store.watch((state) => {
        const view = connectionView(state, bridge.url);
        const pill = $("connection");
        pill.textContent = view.text;
        pill.className = `pill ${view.pill}`;
        const banner = $("banner");
        banner.hidden = view.banner === null;
        if (view.banner !== null) banner.textContent = view.banner;
        $("driver").textContent = driverText(state.driver, state.clientId);
        const status = state.driveStatus;
        $("drive-status").textContent = status ? driveStatusText(status) : "–";
        $("servo-module").textContent = !status ? "–" : status.result === 0 ? servoModuleText(status.servoModule) : "no answer";
    });
}
