// Camera pictures, the clicked colour and the dragged window, and the tracking box.
// The bridge sends the camera's 80 x 143 picture as a 160 x 143 image (each camera pixel twice,
// side by side, since the camera's pixels are twice as wide as tall); the camera's own
// coordinates run 1..80 left to right and 1..143 top to bottom.

export const CAMERA_WIDTH = 80;
export const CAMERA_HEIGHT = 143;

const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));

function base64Bytes(text) {
    const binary = atob(text);
    const out = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) out[i] = binary.charCodeAt(i);
    return out;
}

// RGBA pixels (for an ImageData) from a RawImage message in rgb8, bgr8 or mono8. Rows shorter
// than step says are cut off at what arrived; missing pixels stay black. Returns null for an
// encoding it does not know or impossible sizes.
export function rawImageToRgba(image) {
    const width = image.width | 0;
    const height = image.height | 0;
    const channels = { rgb8: 3, bgr8: 3, mono8: 1 }[image.encoding];
    if (!channels || width <= 0 || height <= 0 || width > 4096 || height > 4096) return null;
    const step = image.step || width * channels;
    const data = typeof image.data === "string" ? base64Bytes(image.data) : Uint8Array.from(image.data || []);
    const rgba = new Uint8ClampedArray(width * height * 4);
    for (let y = 0; y < height; y++) {
        for (let x = 0; x < width; x++) {
            const src = y * step + x * channels;
            const dst = (y * width + x) * 4;
            rgba[dst + 3] = 255;
            if (src + channels > data.length) continue;
            if (channels === 1) {
                rgba[dst] = rgba[dst + 1] = rgba[dst + 2] = data[src];
            } else if (image.encoding === "bgr8") {
                rgba[dst] = data[src + 2];
                rgba[dst + 1] = data[src + 1];
                rgba[dst + 2] = data[src];
            } else {
                rgba[dst] = data[src];
                rgba[dst + 1] = data[src + 1];
                rgba[dst + 2] = data[src + 2];
            }
        }
    }
    return { width, height, rgba };
}

// The six colour-tracking bounds [rmin, rmax, gmin, gmax, bmin, bmax] around one colour.
export function colourBounds([r, g, b], tolerance) {
    const t = clamp(Math.round(tolerance), 0, 255);
    const out = [];
    for (const v of [r, g, b]) out.push(clamp(v - t, 0, 255), clamp(v + t, 0, 255));
    return out;
}

// The camera pixel (1-based) under a point of the shown image of imageWidth x imageHeight.
export function cameraPoint(ix, iy, imageWidth, imageHeight) {
    const x = clamp(Math.floor((ix / imageWidth) * CAMERA_WIDTH) + 1, 1, CAMERA_WIDTH);
    const y = clamp(Math.floor((iy / imageHeight) * CAMERA_HEIGHT) + 1, 1, CAMERA_HEIGHT);
    return { x, y };
}

// The camera window [x1, y1, x2, y2] covering a rectangle dragged from (ax, ay) to (bx, by) on the
// shown image, in either direction.
export function cameraWindow(ax, ay, bx, by, imageWidth, imageHeight) {
    const a = cameraPoint(Math.min(ax, bx), Math.min(ay, by), imageWidth, imageHeight);
    const b = cameraPoint(Math.max(ax, bx), Math.max(ay, by), imageWidth, imageHeight);
    return [a.x, a.y, b.x, b.y];
}

// The tracking box in image coordinates {x, y, width, height} from an ImageAnnotations message,
// or null when it has no box (the target is not seen).
export function annotationBox(annotations) {
    const shape = (annotations && annotations.points || []).find((p) => (p.points || []).length >= 2);
    if (!shape) return null;
    const xs = shape.points.map((p) => p.x);
    const ys = shape.points.map((p) => p.y);
    const x = Math.min(...xs);
    const y = Math.min(...ys);
    return { x, y, width: Math.max(...xs) - x, height: Math.max(...ys) - y };
}
