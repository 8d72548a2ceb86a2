// The page's side of the Foxglove WebSocket protocol (subprotocol foxglove.websocket.v1) as
// halvoran-bridge speaks it: JSON text operations, binary message data (opcode 1) and time
// (opcode 2), parameters, and the client's own published channels.

export const SUBPROTOCOL = "foxglove.websocket.v1";
export const OP_MESSAGE_DATA = 0x01;
export const OP_TIME = 0x02;

const decoder = new TextDecoder();
const encoder = new TextEncoder();

// A server's binary message: opcode 1, subscription id (u32 LE), receive time in ns (u64 LE),
// payload. Returns null for anything that is not complete message data.
export function parseServerBinary(buffer) {
    const bytes = buffer instanceof ArrayBuffer ? new Uint8Array(buffer) : new Uint8Array(buffer.buffer, buffer.byteOffset, buffer.byteLength);
    if (bytes.length < 13 || bytes[0] !== OP_MESSAGE_DATA) return null;
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    return {
        subscriptionId: view.getUint32(1, true),
        timestampNs: view.getBigUint64(5, true),
        payload: bytes.subarray(13),
    };
}

// A server's time: opcode 2, nanoseconds (u64 LE). Returns the time as a BigInt, or null.
export function parseServerTime(buffer) {
    const bytes = new Uint8Array(buffer);
    if (bytes.length < 9 || bytes[0] !== OP_TIME) return null;
    return new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength).getBigUint64(1, true);
}

// The wait before each new attempt to connect: firstMs, doubling after each failed attempt up to
// maxMs, and firstMs again once a connection opened.
export class Backoff {
    constructor(firstMs = 250, maxMs = 5000) {
        this.firstMs = firstMs;
        this.maxMs = maxMs;
        this.reset();
    }

    reset() {
        this.nextMs = this.firstMs;
    }

    next() {
        const ms = this.nextMs;
        this.nextMs = Math.min(this.maxMs, ms * 2);
        return ms;
    }
}

// A client's binary message: opcode 1, the client channel id (u32 LE), the payload.
export function encodeClientMessage(channelId, payload) {
    const body = typeof payload === "string" ? encoder.encode(payload) : payload;
    const out = new Uint8Array(5 + body.length);
    out[0] = OP_MESSAGE_DATA;
    new DataView(out.buffer).setUint32(1, channelId >>> 0, true);
    out.set(body, 5);
    return out.buffer;
}

// The client id the bridge tells each connection in its "halvoran.client-id" status.
export function clientIdFromStatus(message) {
    if (!message || message.id !== "halvoran.client-id") return null;
    const m = /^client (\d+)$/.exec(String(message.message));
    return m ? Number(m[1]) : null;
}

// One connection to the bridge, reopened after it closes with a growing wait (Backoff). Events,
// each with one argument:
//   open(), close(wasOpen), reconnecting({delayMs, attempt}), serverInfo(info),
//   status(statusMessage), clientId(n), message({topic, data, timestampNs}), time(ns as BigInt),
//   parameters(parameterValues message), held(true while a wish waits for the socket to drain)
// subscribeTopics: the server topics to subscribe to as they are advertised.
// publishTopics: the client topics to advertise (all JSON) once the server allows publishing.
// bufferLimit: above this many bytes waiting in the socket, publishLatest holds its wishes back.
export class BridgeConnection {
    constructor(url, { subscribeTopics, publishTopics, WebSocketImpl = globalThis.WebSocket, backoff = new Backoff(), bufferLimit = 1024, drainCheckMs = 50, timers = globalThis } = {}) {
        this.url = url;
        this.subscribeTopics = new Set(subscribeTopics || []);
        this.publishTopics = publishTopics || [];
        this.WebSocketImpl = WebSocketImpl;
        this.backoff = backoff;
        this.bufferLimit = bufferLimit;
        this.drainCheckMs = drainCheckMs;
        this.timers = timers;
        this.listeners = new Map();
        this.ws = null;
        this.stopped = false;
        this.attempt = 0; // failed attempts since the last open connection
        this.heldBack = new Map(); // slot -> {topic, value}: the latest wish while the socket is full
        this.drainTimer = null;
        this.reset();
    }

    reset() {
        this.channelsById = new Map();
        this.subscriptions = new Map(); // subscription id -> topic
        this.nextSubscriptionId = 1;
        this.clientChannels = new Map(); // topic -> client channel id
        this.isOpen = false;
        this.serverInfo = null;
        this.dropHeld();
    }

    on(event, fn) {
        if (!this.listeners.has(event)) this.listeners.set(event, []);
        this.listeners.get(event).push(fn);
        return this;
    }

    emit(event, arg) {
        for (const fn of this.listeners.get(event) || []) fn(arg);
    }

    connect() {
        this.stopped = false;
        const ws = new this.WebSocketImpl(this.url, [SUBPROTOCOL]);
        ws.binaryType = "arraybuffer";
        this.ws = ws;
        ws.onopen = () => {
            this.isOpen = true;
            this.attempt = 0;
            this.backoff.reset();
            this.emit("open");
        };
        ws.onclose = () => {
            if (this.ws !== ws) return;
            const wasOpen = this.isOpen;
            this.reset();
            this.ws = null;
            this.emit("close", wasOpen);
            if (this.stopped) return;
            const delayMs = this.backoff.next();
            this.attempt++;
            this.emit("reconnecting", { delayMs, attempt: this.attempt });
            this.retryTimer = this.timers.setTimeout(() => this.connect(), delayMs);
        };
        ws.onerror = () => {}; // followed by close
        ws.onmessage = (event) => this.receive(event.data);
    }

    close() {
        this.stopped = true;
        this.timers.clearTimeout(this.retryTimer);
        if (this.ws) this.ws.close();
    }

    receive(data) {
        if (typeof data === "string") {
            let message;
            try {
                message = JSON.parse(data);
            } catch {
                return;
            }
            this.receiveOp(message);
            return;
        }
        const time = parseServerTime(data);
        if (time !== null) {
            this.emit("time", time);
            return;
        }
        const m = parseServerBinary(data);
        if (!m) return;
        const topic = this.subscriptions.get(m.subscriptionId);
        if (topic === undefined) return;
        let value;
        try {
            value = JSON.parse(decoder.decode(m.payload));
        } catch {
            return;
        }
        this.emit("message", { topic, data: value, timestampNs: m.timestampNs });
    }

    receiveOp(message) {
        switch (message.op) {
            case "serverInfo":
                this.serverInfo = message;
                this.emit("serverInfo", message);
                if ((message.capabilities || []).includes("clientPublish")) this.advertiseOwn();
                break;
            case "status": {
                const id = clientIdFromStatus(message);
                if (id !== null) this.emit("clientId", id);
                else this.emit("status", message);
                break;
            }
            case "advertise": {
                const wanted = [];
                for (const ch of message.channels || []) {
                    this.channelsById.set(ch.id, ch);
                    if (this.subscribeTopics.has(ch.topic) && ![...this.subscriptions.values()].includes(ch.topic)) {
                        const id = this.nextSubscriptionId++;
                        this.subscriptions.set(id, ch.topic);
                        wanted.push({ id, channelId: ch.id });
                    }
                }
                if (wanted.length) this.sendJson({ op: "subscribe", subscriptions: wanted });
                break;
            }
            case "unadvertise":
                for (const channelId of message.channelIds || []) {
                    const ch = this.channelsById.get(channelId);
                    this.channelsById.delete(channelId);
                    if (!ch) continue;
                    for (const [sid, topic] of this.subscriptions) if (topic === ch.topic) this.subscriptions.delete(sid);
                }
                break;
            case "parameterValues":
                this.emit("parameters", message);
                break;
            default:
                break;
        }
    }

    advertiseOwn() {
        const channels = this.publishTopics.map((topic, i) => {
            this.clientChannels.set(topic, i + 1);
            return { id: i + 1, topic, encoding: "json", schemaName: "" };
        });
        if (channels.length) this.sendJson({ op: "advertise", channels });
    }

    sendJson(message) {
        if (this.ws && this.isOpen) this.ws.send(JSON.stringify(message));
    }

    // Publishes a JSON value on one of the client's topics; false when it could not be sent.
    publish(topic, value) {
        const id = this.clientChannels.get(topic);
        if (!this.ws || !this.isOpen || id === undefined) return false;
        this.ws.send(encodeClientMessage(id, JSON.stringify(value)));
        return true;
    }

    // Publishes like publish(), but not while more than bufferLimit bytes wait in the socket: then
    // the value is kept as the slot's latest wish (replacing an older one) and sent once the socket
    // drained, so that a slow connection does not fill with stale commands. An urgent value (a
    // stop) goes out at once and drops what its slot held back, which would be staler still.
    // Returns false when there is no connection to publish on.
    publishLatest(slot, topic, value, { urgent = false } = {}) {
        if (!this.canPublish(topic)) return false;
        if (urgent || (!this.heldBack.size && this.ws.bufferedAmount <= this.bufferLimit)) {
            if (this.heldBack.delete(slot) && !this.heldBack.size) this.stopDrainCheck();
            return this.publish(topic, value);
        }
        this.heldBack.set(slot, { topic, value });
        if (this.drainTimer === null) {
            this.drainTimer = this.timers.setInterval(() => this.sendWhenDrained(), this.drainCheckMs);
            this.emit("held", true);
        }
        return true;
    }

    sendWhenDrained() {
        if (!this.ws || this.ws.bufferedAmount > this.bufferLimit) return;
        const wishes = [...this.heldBack.values()];
        this.heldBack.clear();
        this.stopDrainCheck();
        for (const { topic, value } of wishes) this.publish(topic, value);
    }

    stopDrainCheck() {
        if (this.drainTimer === null) return;
        this.timers.clearInterval(this.drainTimer);
        this.drainTimer = null;
        this.emit("held", false);
    }

    dropHeld() {
        if (!this.heldBack) return;
        this.heldBack.clear();
        this.stopDrainCheck();
    }

    // Parameters (playback's position, pause and rate).
    getParameters(names, id) {
        this.sendJson({ op: "getParameters", parameterNames: names, id });
    }

    setParameters(parameters, id) {
        this.sendJson(id === undefined ? { op: "setParameters", parameters } : { op: "setParameters", parameters, id });
    }

    subscribeParameters(names) {
        this.sendJson({ op: "subscribeParameterUpdates", parameterNames: names });
    }

    canPublish(topic) {
        return this.isOpen && this.clientChannels.has(topic);
    }
}
