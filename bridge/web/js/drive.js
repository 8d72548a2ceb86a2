// Driving from the keyboard and the on-screen joystick: both give a direction (x right, y
// forward, each -1..1), which becomes a speed and a steering position of servo 0. While an input
// is held the command is sent again every periodMs, so that the bridge keeps the drive running,
// and a change goes out at once, but never sooner than minGapMs after the one before (a finger
// on the joystick changes it many times a second, more than the serial link could carry);
// when the last input is let go the drive is stopped at once.

export const KEY_DIRECTIONS = {
    ArrowUp: [0, 1], KeyW: [0, 1],
    ArrowDown: [0, -1], KeyS: [0, -1],
    ArrowLeft: [-1, 0], KeyA: [-1, 0],
    ArrowRight: [1, 0], KeyD: [1, 0],
};

export const STEER_CENTRE = 127;

const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));

// The direction of the keys held now (opposite keys cancel out).
export function directionFromKeys(codes) {
    let x = 0;
    let y = 0;
    for (const code of codes) {
        const d = KEY_DIRECTIONS[code];
        if (d) {
            x += d[0];
            y += d[1];
        }
    }
    return { x: clamp(x, -1, 1), y: clamp(y, -1, 1) };
}

// The joystick's direction from the knob's offset (dx right, dy down, in pixels) on a pad of
// the given radius; the knob's travel is limited to the pad, and a small dead zone keeps a
// resting thumb from creeping.
export function directionFromJoystick(dx, dy, radius, deadZone = 0.12) {
    if (!(radius > 0)) return { x: 0, y: 0 };
    let x = dx / radius;
    let y = -dy / radius;
    const len = Math.hypot(x, y);
    if (len > 1) {
        x /= len;
        y /= len;
    }
    const dz = (v) => (Math.abs(v) < deadZone ? 0 : v);
    return { x: dz(x), y: dz(y) };
}

// The drive message for a direction: speed -128..127 and servo 0 around its centre.
export function driveCommand(direction, { maxSpeed = 60, steerSpan = 70 } = {}) {
    const limit = clamp(Math.round(maxSpeed), 0, 127);
    const speed = clamp(Math.round(direction.y * limit), -128, 127);
    const servo0 = clamp(Math.round(STEER_CENTRE + direction.x * steerSpan), 0, 255);
    return { speed, servo0 };
}

export class DriveControl {
    // send(message) publishes one drive message; settings() gives {maxSpeed, steerSpan}.
    constructor(send, { periodMs = 200, minGapMs = 100, settings = () => ({}), timers = globalThis, now = () => Date.now() } = {}) {
        this.send = (message) => {
            if (message.stop) this.ownStopSent = true;
            send(message);
        };
        this.ownStopSent = false; // a stop went out since this page last took the hold
        this.periodMs = periodMs;
        this.minGapMs = minGapMs;
        this.settings = settings;
        this.timers = timers;
        this.now = now;
        this.keys = new Set();
        this.joystick = null; // {x, y} while the joystick is held
        this.timer = null;
        this.active = false;
        this.last = null; // the command for what is held now
        this.pending = false; // a change not sent yet
        this.lastSentAt = 0;
    }

    // Returns true when the key is one of the drive keys.
    keyDown(code) {
        if (!(code in KEY_DIRECTIONS)) return false;
        if (!this.keys.has(code)) {
            this.keys.add(code);
            this.update();
        }
        return true;
    }

    keyUp(code) {
        if (!this.keys.delete(code)) return code in KEY_DIRECTIONS;
        this.update();
        return true;
    }

    setJoystick(direction) {
        this.joystick = direction;
        this.update();
    }

    releaseJoystick() {
        if (this.joystick === null) return;
        this.joystick = null;
        this.update();
    }

    // Everything let go (the window lost the focus, the page was hidden).
    releaseAll() {
        this.keys.clear();
        this.joystick = null;
        this.update();
    }

    // The STOP button: lets everything go and stops the drive, whatever was held.
    stop() {
        this.keys.clear();
        this.joystick = null;
        this.halt();
        this.send({ stop: true });
    }

    direction() {
        if (this.joystick) return this.joystick;
        return directionFromKeys(this.keys);
    }

    update() {
        const held = this.keys.size > 0 || this.joystick !== null;
        if (!held) {
            if (this.active) {
                this.halt();
                this.send({ stop: true });
            }
            return;
        }
        const command = driveCommand(this.direction(), this.settings());
        const changed = !this.last || this.last.speed !== command.speed || this.last.servo0 !== command.servo0;
        this.last = command;
        if (!this.active) {
            this.active = true;
            this.timer = this.timers.setInterval(() => this.tick(), this.minGapMs);
            this.sendLast();
        } else if (changed) {
            if (this.now() - this.lastSentAt >= this.minGapMs) this.sendLast();
            else this.pending = true;
        }
    }

    // Every minGapMs while held: a change that had to wait, or the command again once periodMs
    // (less half a tick, for the timer's jitter) went by without one.
    tick() {
        if (this.pending || this.now() - this.lastSentAt >= this.periodMs - this.minGapMs / 2) this.sendLast();
    }

    sendLast() {
        this.pending = false;
        this.lastSentAt = this.now();
        this.send({ ...this.last });
    }

    // The bridge said whether this page holds the drive. True when the page must let go: its hold
    // ended by another's hand while it drives. A hold its own stop ended is not that, even when the
    // bridge's word of it comes after a fresh press has begun.
    holdChanged(wasMine, isMine) {
        if (!wasMine && isMine) this.ownStopSent = false;
        if (!wasMine || isMine) return false;
        const own = this.ownStopSent;
        this.ownStopSent = false;
        return this.active && !own;
    }

    halt() {
        if (this.timer !== null) this.timers.clearInterval(this.timer);
        this.timer = null;
        this.active = false;
        this.last = null;
        this.pending = false;
    }
}
