// The page's side of the Foxglove WebSocket protocol (subprotocol foxglove.websocket.v1) as
// halvoran-bridge speaks it: JSON text operations, binary message data (opcode 1), and the
// client's own published channels.

export const SUBPROTOCOL = "foxglove.websocket.v1";
export const OP_MESSAGE_DATA = 0x01;

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

// One connection to the bridge, reopened after it closes. Events, each with one argument:
//   open(), close(), serverInfo(info), status(statusMessage), clientId(n),
//   message({topic, data, timestampNs})
// subscribeTopics: the server topics to subscribe to as they are advertised.
// publishTopics: the client topics to advertise (all JSON) once the server allows publishing.
export class BridgeConnection {
    constructor(url, { subscribeTopics, publishTopics, WebSocketImpl = globalThis.WebSocket, retryMs = 1000 } = {}) {
        this.url = url;
        this.subscribeTopics = new Set(subscribeTopics || []);
        this.publishTopics = publishTopics || [];
        this.WebSocketImpl = WebSocketImpl;
        this.retryMs = retryMs;
        this.listeners = new Map();
        this.ws = null;
        this.stopped = false;
        this.reset();
    }

    reset() {
        this.channelsById = new Map();
        this.subscriptions = new Map(); // subscription id -> topic
        this.nextSubscriptionId = 1;
        this.clientChannels = new Map(); // topic -> client channel id
        this.isOpen = false;
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
            this.emit("open");
        };
        ws.onclose = () => {
            if (this.ws !== ws) return;
            const wasOpen = this.isOpen;
            this.reset();
            this.ws = null;
            this.emit("close", wasOpen);
            if (!this.stopped) this.retryTimer = setTimeout(() => this.connect(), this.retryMs);
        };
        ws.onerror = () => {}; // followed by close
        ws.onmessage = (event) => this.receive(event.data);
    }

    close() {
        this.stopped = true;
        clearTimeout(this.retryTimer);
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

    canPublish(topic) {
        return this.isOpen && this.clientChannels.has(topic);
    }
}
