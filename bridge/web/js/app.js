// The dashboard: one connection to halvoran-bridge, the page's state in one store, and the
// panels that draw it and act on it (connection, drive, camera head, camera, tracking, camera
// line, playback).
import { BridgeConnection } from "./protocol.js";
import { TOPICS, SUBSCRIBED, PUBLISHED, topicName } from "./topics.js";
import { failureText } from "./format.js";
import { createStore } from "./store.js";
import { Announcer, say } from "./notices.js";
import { connectionPanel } from "./panels/connection.js";
import { drivePanel } from "./panels/drive.js";
import { cameraHeadPanel } from "./panels/camera-head.js";
import { cameraPanel } from "./panels/camera.js";
import { trackingPanel } from "./panels/tracking.js";
import { cameraLinePanel } from "./panels/line.js";
import { playbackPanel } from "./panels/playback.js";

// The bridge's WebSocket: /ws on the server that served this page, or ?ws=URL.
function bridgeUrl() {
    const given = new URLSearchParams(location.search).get("ws");
    if (given) return given;
    const scheme = location.protocol === "https:" ? "wss:" : "ws:";
    return `${scheme}//${location.host}/ws`;
}

const store = createStore({
    bridge: "connecting", // "connecting", "open" or "reconnecting"
    retryInMs: 0, // while reconnecting: the wait before the next attempt
    connected: null, // Halvoran's connection as the bridge last said; null before it said
    clientId: null,
    driver: null,
    driveStatus: null, // the last drive status from the bridge
    playback: null, // the recording played back, or null when live
    driving: null, // the drive command held now, or null when standing
    driveHeld: false, // a drive wish waits for the socket to drain
    capture: { busy: false, received: 0, expected: 0, text: "no frame yet" },
    hasFrame: false,
    trackAction: null, // "start" or "stop" while the bridge has not answered it
    trackingText: "not tracking",
});

const bridge = new BridgeConnection(bridgeUrl(), { subscribeTopics: SUBSCRIBED, publishTopics: PUBLISHED });

// Screen readers hear each kind of state at most once a second, and only when it changed.
const announcers = new Map();
function announce(kind, text) {
    if (!announcers.has(kind)) {
        announcers.set(kind, new Announcer((words) => {
            document.getElementById("announcer").textContent = words;
        }));
    }
    announcers.get(kind).announce(text);
}

function publish(topic, value) {
    if (bridge.publish(topic, value)) return true;
    say(`${topicName(topic)} not sent: no connection to halvoran-bridge`);
    return false;
}

const context = { store, bridge, say, announce, publish };
connectionPanel(context);
const drive = drivePanel(context);
cameraHeadPanel(context);
const tracking = trackingPanel(context);
const camera = cameraPanel({ ...context, tracking });
const line = cameraLinePanel(context);
playbackPanel(context);

bridge.on("open", () => store.set({ bridge: "open" }));
bridge.on("close", () => {
    // Whatever was held stays let go: after a reconnection the drive starts only on a new press.
    drive.letGo();
    camera.connectionLost();
    store.set({ connected: null, playback: null });
});
bridge.on("reconnecting", ({ delayMs }) => store.set({ bridge: "reconnecting", retryInMs: delayMs }));
bridge.on("held", (held) => store.set({ driveHeld: held }));
bridge.on("clientId", (id) => store.set({ clientId: id }));
bridge.on("status", (message) => {
    if (message.level >= 1) say(message.message, message.level >= 2 ? "error" : "warning");
});

function handleReply(reply) {
    if (store.state.clientId !== null && reply.clientId !== store.state.clientId) return;
    if (!reply.ok) say(failureText(reply));
    if (reply.topic === TOPICS.capture) camera.reply(reply);
    else if (reply.topic === TOPICS.cameraLine) line.reply(reply);
    else if (reply.topic === TOPICS.track) tracking.reply(reply);
}

bridge.on("message", ({ topic, data }) => {
    switch (topic) {
        case TOPICS.connection: {
            const before = store.state.driver;
            store.set({ connected: !!data.connected, driver: data.driver || null });
            drive.followHold(before, store.state.driver);
            break;
        }
        case TOPICS.driveStatus:
            store.set({ driveStatus: data });
            break;
        case TOPICS.progress:
            camera.progress(data);
            break;
        case TOPICS.image:
            camera.image(data);
            break;
        case TOPICS.tracking:
            tracking.report(data);
            break;
        case TOPICS.annotations:
            tracking.annotations(data);
            break;
        case TOPICS.reply:
            handleReply(data);
            break;
        default:
            break;
    }
});

bridge.connect();
