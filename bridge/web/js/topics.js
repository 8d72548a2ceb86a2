// The bridge's topics as the page uses them, and their names in words.

export const TOPICS = {
    connection: "/halvoran/connection",
    tracking: "/halvoran/tracking",
    driveStatus: "/halvoran/drive_status",
    image: "/halvoran/camera/image",
    annotations: "/halvoran/camera/annotations",
    progress: "/halvoran/frame_progress",
    reply: "/halvoran/reply",
    drive: "/halvoran/drive",
    track: "/halvoran/track",
    capture: "/halvoran/capture",
    cameraLine: "/halvoran/camera_line",
};

// What the page listens to, and what it publishes when the bridge lets it.
export const SUBSCRIBED = [TOPICS.connection, TOPICS.tracking, TOPICS.driveStatus, TOPICS.image, TOPICS.annotations, TOPICS.progress, TOPICS.reply];
export const PUBLISHED = [TOPICS.drive, TOPICS.track, TOPICS.capture, TOPICS.cameraLine];

const NAMES = {
    [TOPICS.drive]: "Drive",
    [TOPICS.track]: "Tracking",
    [TOPICS.capture]: "Capture",
    [TOPICS.cameraLine]: "Camera line",
};

export function topicName(topic) {
    return NAMES[topic] || topic;
}
