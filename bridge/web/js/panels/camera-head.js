// The camera head: pan (servo 1) and tilt (servo 2). A slider sends its position at most every
// 100 ms while it moves, and its last one at the end; through the buffered-amount guard, so that
// a slow connection gets the latest position rather than all of them.
import { TOPICS } from "../topics.js";

const $ = (id) => document.getElementById(id);

export function cameraHeadPanel({ store, bridge, say }) {
    for (const [id, servo] of [["pan", "servo1"], ["tilt", "servo2"]]) {
        const input = $(id);
        let timer = null;
        let pending = false;
        const send = () => {
            pending = false;
            if (!bridge.publishLatest(id, TOPICS.drive, { [servo]: Number(input.value) })) {
                say("Drive not sent: no connection to halvoran-bridge");
            }
        };
        input.addEventListener("input", () => {
            $(`${id}-value`).textContent = input.value;
            if (timer) {
                pending = true;
                return;
            }
            send();
            timer = setInterval(() => {
                if (pending) send();
                else {
                    clearInterval(timer);
                    timer = null;
                }
            }, 100);
        });
    }
    store.watch((state) => {
        $("pan").disabled = !!state.playback;
        $("tilt").disabled = !!state.playback;
    });
}
