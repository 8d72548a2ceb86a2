// What the page tells the user: dismissable messages (a repeated one shown once within a few
// seconds) and the announcements for screen readers (at most one a second, only on change).

// Remembers which texts were shown lately, to keep a repeated failure to one line; forgets them
// after repeatMs, and never holds more than `limit` of them.
export class RecentTexts {
    constructor(repeatMs = 3000, limit = 50) {
        this.repeatMs = repeatMs;
        this.limit = limit;
        this.shownAt = new Map(); // text -> time shown, oldest first
    }

    // True when text was not shown within repeatMs before now (and it counts as shown now).
    fresh(text, now) {
        for (const [old, at] of this.shownAt) {
            if (now - at < this.repeatMs && this.shownAt.size < this.limit) break;
            this.shownAt.delete(old);
        }
        if (this.shownAt.has(text)) return false;
        this.shownAt.set(text, now);
        return true;
    }
}

// Puts text into a live region no more often than every intervalMs and only when it changed; a
// text that comes sooner waits for its turn, and only the latest waiting one is said.
export class Announcer {
    constructor(say, { intervalMs = 1000, timers = globalThis, now = () => Date.now() } = {}) {
        this.say = say;
        this.intervalMs = intervalMs;
        this.timers = timers;
        this.now = now;
        this.said = null;
        this.saidAt = -Infinity;
        this.waiting = null;
        this.timer = null;
    }

    announce(text) {
        this.waiting = text;
        if (this.timer !== null) return;
        const wait = this.saidAt + this.intervalMs - this.now();
        if (wait <= 0) this.flush();
        else this.timer = this.timers.setTimeout(() => this.flush(), wait);
    }

    flush() {
        this.timer = null;
        const text = this.waiting;
        this.waiting = null;
        if (text === null || text === this.said) return;
        this.said = text;
        this.saidAt = this.now();
        this.say(text);
    }
}

const recent = new RecentTexts();

// A message in the list under the header, dismissable, gone by itself after 15 s.
export function say(text, level = "error") {
    if (!recent.fresh(text, Date.now())) return;
    const list = document.getElementById("messages");
    const item = document.createElement("li");
    item.className = level;
    const span = document.createElement("span");
    span.textContent = text;
    const close = document.createElement("button");
    close.type = "button";
    close.textContent = "Dismiss";
    close.setAttribute("aria-label", `Dismiss: ${text}`);
    close.addEventListener("click", () => item.remove());
    item.append(span, close);
    list.append(item);
    while (list.children.length > 4) list.firstElementChild.remove();
    setTimeout(() => item.remove(), 15000);
}
