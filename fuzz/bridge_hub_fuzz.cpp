// libFuzzer target: what WebSocket clients may send to halvoran-bridge, through the hub (text
// and binary frames, subscriptions, advertisements, published commands and their parsing) and
// the queue of commands waiting for Halvoran, on a clock the input moves. Three clients: two
// drivers and a viewer. Beside not crashing, the bridge's promises are checked on every step:
// every text frame it sends is a JSON object with an "op", nothing of the viewer's reaches
// Halvoran, a speed reaches Halvoran only from the drive's holder, no client has more commands
// waiting than allowed, no speed or servo move older than the limit is handed out, and while
// someone drives no other client's command is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bridge/hub.h"

using namespace bridge;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

struct Clients : ClientSink {
    void sendText(ClientId, std::string text) override {
        static const std::string advertisement = advertiseJson();  // checked by the unit tests
        if (text == advertisement) return;
        json j = json::parse(text, nullptr, false);
        check(j.is_object() && j.contains("op"));
    }
    void sendBinary(ClientId, std::string frame) override { check(frame.size() >= 13 && frame[0] == 1); }
};

struct Queue : CommandSink {
    CommandQueue queue;
    std::vector<Command> submitted;
    void submit(Command command, bool urgent) override { trySubmit(std::move(command), urgent); }
    bool trySubmit(Command command, bool urgent) override {
        std::vector<Command> overtaken;
        bool stop = command.kind == Command::Kind::Drive && command.stop;
        submitted.push_back(command);
        bool queued = queue.push(std::move(command), urgent, overtaken) == CommandQueue::Push::Queued;
        check(queued || !stop);
        return queued;
    }
};

// Bytes of the input, taken from the front.
struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    std::string bytes(size_t n) {
        n = std::min(n, size);
        std::string out(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        return out;
    }
    // A length-prefixed piece (up to 65535 bytes).
    std::string piece() {
        size_t n = byte();
        if (n == 255) n = size_t(byte()) << 8 | byte();
        return bytes(n);
    }
};

std::string clientData(uint32_t channel, const std::string& payload) {
    std::string frame(1, '\x01');
    for (int i = 0; i < 4; ++i) frame += static_cast<char>((channel >> (8 * i)) & 0xFF);
    return frame + payload;
}

const std::string_view TOPICS[] = {DRIVE_TOPIC, TRACK_TOPIC, CAPTURE_TOPIC, CAMERA_LINE_TOPIC, "/elsewhere"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    Clients clients;
    Queue commands;
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
    Hub hub(
        clients, commands, "halvoran-bridge fuzz", "127.0.0.1", [&now] { return now; }, [](const std::string&) {});
    hub.setConnected(true);
    const ClientId VIEWER = 3;
    hub.open(1, "one", Role::Driver);
    hub.open(2, "two", Role::Driver);
    hub.open(VIEWER, "viewer", Role::Viewer);
    for (ClientId c : {1u, 2u, VIEWER}) {
        hub.handleText(c, R"({"op":"advertise","channels":[
            {"id":10,"topic":"/halvoran/drive","encoding":"json"},
            {"id":11,"topic":"/halvoran/track","encoding":"json"},
            {"id":12,"topic":"/halvoran/capture","encoding":"json"},
            {"id":13,"topic":"/halvoran/camera_line","encoding":"json"}]})");
        hub.handleText(c, R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":1},{"id":2,"channelId":7}]})");
    }

    while (in.size > 0) {
        uint8_t op = in.byte();
        ClientId client = 1 + (op >> 4) % 3;
        size_t before = commands.submitted.size();
        switch (op & 0x0F) {
            case 0: hub.handleText(client, in.piece()); break;
            case 1: hub.handleBinary(client, in.piece()); break;
            case 2:
            case 3: hub.handleBinary(client, clientData(10 + in.byte() % 4, in.piece())); break;
            case 4: now += std::chrono::milliseconds(10 * in.byte()); break;
            case 5: hub.driveDue(); break;
            case 6: {
                std::vector<Command> stale;
                auto driving = hub.driving();
                auto next = commands.queue.next(now, stale, driving);
                // While someone drives, nobody else's camera line, capture or tracking goes.
                if (next && driving && next->kind != Command::Kind::Drive) check(next->client == *driving);
                for (const Command& c : stale) check(c.kind == Command::Kind::Drive && !c.stop);
                if (next && next->kind == Command::Kind::Drive && !next->stop &&
                    (next->speed || next->servo0 || next->servo1 || next->servo2)) {
                    check(now - next->received <= CommandQueue::DRIVE_MAX_AGE);
                }
                if (next) hub.refusalWhileDriving(*next);
                break;
            }
            case 7: hub.close(client); break;
            case 8: hub.open(client, "again", client == VIEWER ? Role::Viewer : Role::Driver); break;
            case 9: hub.setConnected(in.byte() & 1); break;
            case 10: {
                Command command;
                std::string why;
                parseCommand(TOPICS[in.byte() % 5], in.piece(), command, why);
                break;
            }
            default:
                hub.handleText(client, R"({"op":"subscribe","subscriptions":[{"id":)" + std::to_string(in.byte()) +
                                           R"(,"channelId":)" + std::to_string(in.byte() % 9) + "}]}");
        }
        for (size_t i = before; i < commands.submitted.size(); ++i) {
            const Command& c = commands.submitted[i];
            check(c.client != VIEWER);
            if (c.kind == Command::Kind::Drive && c.speed) check(hub.driveHolder() == c.client);
        }
        for (ClientId c : {1u, 2u, VIEWER}) check(commands.queue.waiting(c) <= CommandQueue::PER_CLIENT);
    }
    return 0;
}
