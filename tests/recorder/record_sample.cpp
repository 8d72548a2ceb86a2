// Records a known session through the recorder's hooks and writes what it recorded as JSON, for
// the tests that read the file back with a reader we did not write.
//
//   record_sample DIR MANIFEST [ROUNDS [overflow]]
//
// With "overflow" the main thread's queue is filled before the writer starts and 25 records more
// are offered: those are dropped, and the file must say so.
//
// The main thread writes serial bytes (switching the channel now and then), takes commands and
// sends replies, tracking reports and image bytes on the ports, and marks events; a second
// thread, as the serial reader, stores bytes at the same time. The recorder writes small chunks
// so that a file holds many of them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/lib/requests.h"
#include "client/lib/session.h"
#include "record/hooks.h"
#include "record/recorder.h"
#include "record/topics.h"
#include "sim/frame_format.h"

namespace {

record::Queues queues;

std::string b64(const std::vector<uint8_t>& v) { return topics::base64(v.data(), v.size()); }

// Waits until the writer thread has taken everything out of the main thread's queue. The queue
// has no way to signal that, so this looks every millisecond, for at most kDrainBoundMs (far
// beyond what a loaded machine needs); false, with the reason on standard error, when the
// writer ended on an error or the bound passed.
constexpr int kDrainBoundMs = 60000;
bool writerEmptiedMainQueue(const record::Recorder& recorder) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainBoundMs);
    while (queues.main.size() > 0) {
        if (recorder.failed()) {
            std::fprintf(stderr, "record_sample: the recorder ended on an error with the main queue still full\n");
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "record_sample: the writer left %zu records in the main queue after %d ms\n",
                         queues.main.size(), kDrainBoundMs);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: record_sample DIR MANIFEST [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 200;
    record::Settings settings;
    settings.directory = argv[1];
    settings.syncChunks = false;
    settings.chunkBytes = 16 * 1024;
    record::Recorder recorder(settings, queues);
    std::vector<uint8_t> tx;
    std::vector<uint8_t> byChannel[3];
    const bool overflow = argc > 4 && std::string(argv[4]) == "overflow";
    constexpr int kOverflow = 25;
    if (overflow) {
        record::activate(&queues);
        for (size_t i = 0; i < record::MAIN_QUEUE + kOverflow; ++i) {
            record::serialWritten("COM1:", 0x11);
            if (i < record::MAIN_QUEUE) tx.push_back(0x11), byChannel[0].push_back(0x11);
        }
    }
    if (!recorder.start()) return 1;
    // The writer empties the full queue before the session goes on, so that nothing else is lost.
    if (overflow && !writerEmptiedMainQueue(recorder)) return 1;

    std::vector<uint8_t> rx;
    std::thread reader([&] {
        for (int i = 0; i < rounds * 40; ++i) {
            uint8_t b = static_cast<uint8_t>(i * 7 + 3);
            record::serialRead("COM1:", b);
            rx.push_back(b);
            if (i % 64 == 0) std::this_thread::yield();
        }
    });

    nlohmann::json m;
    int channel = 0;
    std::vector<uint8_t> commandRx, replyTx, trackingTx, imageTx;
    std::vector<std::string> events;
    nlohmann::json reports = nlohmann::json::array();
    int commands = 0, driveStatuses = 0;
    record::event(record::Event::SessionStart);
    events.push_back("session_start");
    for (int round = 0; round < rounds; ++round) {
        // The switch: 0x5C and the digit go with the old channel.
        const int next = round % 3 == 0 ? 1 : 2;
        for (uint8_t b : {uint8_t(0x5C), uint8_t('0' + next)}) {
            record::serialWritten("COM1:", b);
            tx.push_back(b);
            byChannel[channel].push_back(b);
        }
        channel = next;
        for (int i = 0; i < 30; ++i) {
            uint8_t b = static_cast<uint8_t>(round + i * 13);
            if (b == 0x5C) b = 0x5D;
            record::serialWritten("COM1:", b);
            tx.push_back(b);
            byChannel[channel].push_back(b);
        }
        // A drive command in two receives, and its 12-byte status.
        halvoran_client::DriveRequest request;
        request.speed = round % 100;
        std::vector<uint8_t> packet;
        std::string error;
        halvoran_client::drivePacket(request, packet, error);
        std::vector<uint8_t> frame = halvoran_client::frameCommand(packet);
        size_t half = frame.size() / 2;
        record::portReceived(5000, frame.data(), static_cast<int>(half));
        record::portReceived(5000, frame.data() + half, static_cast<int>(frame.size() - half));
        commandRx.insert(commandRx.end(), frame.begin(), frame.end());
        ++commands;
        std::vector<uint8_t> status = {0, 58, uint8_t(round), 0, 0xFF, 1, 0, 0, 0, 0, 0, 0};
        std::vector<uint8_t> reply = halvoran_client::frameReply(status);
        record::portSent(5000, reply.data(), static_cast<int>(reply.size()));
        replyTx.insert(replyTx.end(), reply.begin(), reply.end());
        ++driveStatuses;
        // A tracking report.
        std::vector<uint8_t> report = {uint8_t(100 + round % 50), 120, uint8_t(1 + round % 80), 72, 12, 10, 64, 50};
        std::vector<uint8_t> tframe = halvoran_client::frameReply(report);
        record::portSent(5002, tframe.data(), static_cast<int>(tframe.size()));
        trackingTx.insert(trackingTx.end(), tframe.begin(), tframe.end());
        reports.push_back({{"servo1", report[0]}, {"x", report[2]}});
        // Image bytes every tenth round, larger than one record.
        if (round % 10 == 0) {
            std::vector<uint8_t> image(1000 + round);
            for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ round);
            record::portSent(5001, image.data(), static_cast<int>(image.size()));
            imageTx.insert(imageTx.end(), image.begin(), image.end());
        }
        if (round % 50 == 49) {
            record::event(record::Event::TimeoutFired, record::TIMEOUT_DRIVE);
            record::event(record::Event::StopSent);
            events.push_back("timeout_fired");
            events.push_back("stop_sent");
        }
        if (round % 20 == 0) std::this_thread::yield();
    }
    // A frame dump: the 'D', then the camera's output on the image port in pieces.
    {
        std::vector<uint8_t> dump = halvoran_client::frameCommand({'D'});
        record::portReceived(5000, dump.data(), static_cast<int>(dump.size()));
        commandRx.insert(commandRx.end(), dump.begin(), dump.end());
        ++commands;
        sim::frame::Image picture;
        for (int y = 0; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x)
                for (int c = 0; c < 3; ++c) picture.at(x, y)[c] = sim::frame::pixelByte(16 + x + y + 40 * c);
        std::vector<uint8_t> output = {'A', 'C', 'K', '\r'};
        std::vector<uint8_t> frame = sim::frame::encode(picture);
        output.insert(output.end(), frame.begin(), frame.end());
        for (size_t at = 0; at < output.size(); at += 1000) {
            const int n = static_cast<int>(std::min<size_t>(1000, output.size() - at));
            record::portSent(5001, output.data() + at, n);
        }
        imageTx.insert(imageTx.end(), output.begin(), output.end());
        m["image"] = {{"x0y0", {picture.at(0, 0)[0], picture.at(0, 0)[1], picture.at(0, 0)[2]}},
                      {"x5y7", {picture.at(5, 7)[0], picture.at(5, 7)[1], picture.at(5, 7)[2]}}};
    }
    record::event(record::Event::ConnectionLost, 5000);
    record::event(record::Event::SessionEnd);
    events.push_back("connection_lost");
    events.push_back("session_end");
    reader.join();
    const bool finished = recorder.stop(30000);

    m["file"] = recorder.path();
    m["finished"] = finished && !recorder.failed();
    m["dropped"] = recorder.dropped();
    m["tx"] = b64(tx);
    m["txByChannel"] = {b64(byChannel[0]), b64(byChannel[1]), b64(byChannel[2])};
    m["rx"] = b64(rx);
    m["ports"] = {{"5000", {{"rx", b64(commandRx)}, {"tx", b64(replyTx)}}},
                  {"5001", {{"rx", ""}, {"tx", b64(imageTx)}}},
                  {"5002", {{"rx", ""}, {"tx", b64(trackingTx)}}}};
    m["commands"] = commands;
    m["driveStatuses"] = driveStatuses;
    m["tracking"] = reports;
    m["events"] = events;
    std::ofstream(argv[2]) << m.dump(1) << "\n";
    return m["finished"].get<bool>() ? 0 : 1;
}
