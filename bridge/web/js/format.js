// How the page says things in words.
import { topicName } from "./topics.js";

export { topicName };

// A result code in words: the bridge's text, which names the code ("... (result 10)"), or the
// code itself when the text does not.
export function resultWords(result, text) {
    if (result === null || result === undefined) return text || "";
    if (!text) return `result ${result}`;
    return text.includes(`result ${result}`) ? text : `${text} (result ${result})`;
}

// A failed command's reply in words, with its result code named.
export function failureText(reply) {
    const parts = [];
    if (reply.error) parts.push(reply.error);
    const words = resultWords(reply.result, reply.resultText);
    if (words && words !== reply.error) parts.push(words);
    return `${topicName(reply.topic)} failed: ${parts.join("; ") || "no reason given"}`;
}

export function hexByte(v) {
    return (v & 0xff).toString(16).toUpperCase().padStart(2, "0");
}

// The servo module's read value: bit n is set while servo n is on.
export function servoModuleText(value) {
    if (value === null || value === undefined) return "–";
    const on = [];
    for (let n = 0; n < 8; n++) if (value & (1 << n)) on.push(n);
    const which = on.length === 0 ? "all servos off" : `servo${on.length > 1 ? "s" : ""} ${on.join(", ")} on`;
    return `0x${hexByte(value)} · ${which}`;
}

export function driveStatusText(status) {
    const code = status.result === 0 ? "ok" : resultWords(status.result, status.resultText);
    const bytes = (status.drive || []).map(hexByte).join(" ");
    const state = status.running === true ? "running" : status.running === false ? "stopped" : "";
    return [code, bytes && `drive ${bytes}`, state, status.speed !== null && status.speed !== undefined && status.running ? `speed ${status.speed}` : ""]
        .filter(Boolean)
        .join(" · ");
}

export function driverText(driver, ownId) {
    if (!driver) return "nobody";
    const who = driver.name ? `client ${driver.id} (${driver.name})` : `client ${driver.id}`;
    return driver.id === ownId ? `you (${who})` : who;
}
