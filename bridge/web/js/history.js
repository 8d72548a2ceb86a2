// The tracking reports of the last 30 seconds, for the plot of x, y and confidence.

export class TrackHistory {
    constructor(spanMs = 30000) {
        this.spanMs = spanMs;
        this.points = []; // {t, x, y, confidence}, oldest first
    }

    add(t, report) {
        this.points.push({ t, x: report.x, y: report.y, confidence: report.confidence });
        this.prune(t);
    }

    // Drops what is older than the span before time now.
    prune(now) {
        let i = 0;
        while (i < this.points.length && this.points[i].t < now - this.spanMs) i++;
        if (i) this.points.splice(0, i);
    }

    clear() {
        this.points.length = 0;
    }
}

// The three lines of the plot and the ranges they are scaled to.
export const SERIES = [
    { key: "x", label: "x", max: 80, colour: "#e4572e" },
    { key: "y", label: "y", max: 143, colour: "#2e86de" },
    { key: "confidence", label: "confidence", max: 127, colour: "#33a852" },
];

// Draws the history onto a 2D canvas context of width w and height h, now at the right edge.
export function drawHistory(ctx, history, now, w, h) {
    ctx.clearRect(0, 0, w, h);
    ctx.strokeStyle = "rgba(128,128,128,0.35)";
    ctx.lineWidth = 1;
    for (let s = 0; s <= history.spanMs; s += 5000) {
        const gx = Math.round(w - (s / history.spanMs) * w) + 0.5;
        ctx.beginPath();
        ctx.moveTo(gx, 0);
        ctx.lineTo(gx, h);
        ctx.stroke();
    }
    for (const series of SERIES) {
        ctx.strokeStyle = series.colour;
        ctx.lineWidth = 2;
        ctx.beginPath();
        let started = false;
        for (const p of history.points) {
            const px = w - ((now - p.t) / history.spanMs) * w;
            const v = Math.min(1, Math.max(0, (p[series.key] || 0) / series.max));
            const py = h - 2 - v * (h - 4);
            if (started) ctx.lineTo(px, py);
            else ctx.moveTo(px, py);
            started = true;
        }
        ctx.stroke();
    }
}
