// The serial port's receive ring, its reader thread and its failures, in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "link/serial_port.h"
#include "platform/virtual/virtual_time.h"
#include "tests/support/scripted_device.h"
#include "tests/support/test_support.h"

using testing_support::ScriptedDevice;

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        vt::reset();
        vt::attach("COM1:", &device);
    }
    // Bytes that the device sends, stored by the reader thread when the next pause ends.
    void arrive(const std::vector<uint8_t>& bytes) {
        device.sendAt(vt::nowUs(), bytes);
        vt::advanceMs(1);
    }
    ScriptedDevice device;
};

TEST_F(SerialPortTest, EmptyRingReadsNothingAndMovesNothing) {
    SerialPort port("COM1:");
    ASSERT_TRUE(port.isOpen);
    uint8_t out = 0;
    EXPECT_FALSE(port.readByte(out));
    EXPECT_EQ(out, '*');
    int32_t before = port.readIndex.load();
    port.nextByte();
    port.nextByte();
    port.flush();
    port.drain();
    EXPECT_EQ(port.readIndex.load(), before);
    EXPECT_EQ(port.writeIndex.load(), before);
}

TEST_F(SerialPortTest, BytesArriveInOrderAndFFComesOutUnchanged) {
    SerialPort port("COM1:");
    arrive({0x41, 0xFF, 0x00, 0x42});
    uint8_t out = 0;
    ASSERT_TRUE(port.readByte(out));
    EXPECT_EQ(out, 0x41);
    EXPECT_EQ(port.nextByte(), -1);  // 0xFF as a signed byte
    ASSERT_TRUE(port.readByte(out));
    EXPECT_EQ(out, 0x00);
    EXPECT_EQ(port.nextByte(), 0x42);
    // Empty now: nextByte keeps returning the byte at the read position without moving.
    int32_t r = port.readIndex.load();
    port.nextByte();
    EXPECT_EQ(port.readIndex.load(), r);
}

TEST_F(SerialPortTest, FullRingDropsTheOldestUnreadByte) {
    SerialPort port("COM1:");
    std::vector<uint8_t> bytes(RING_SIZE);
    for (int i = 0; i < RING_SIZE; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    std::vector<uint8_t> first(bytes.begin(), bytes.end() - 1);
    arrive(first);  // 39999 unread bytes: the ring is full
    EXPECT_EQ((port.writeIndex.load() - port.readIndex.load() + RING_SIZE) % RING_SIZE, RING_SIZE - 1);
    arrive({bytes.back()});
    EXPECT_EQ((port.writeIndex.load() - port.readIndex.load() + RING_SIZE) % RING_SIZE, RING_SIZE - 1);
    uint8_t out = 0;
    ASSERT_TRUE(port.readByte(out));
    EXPECT_EQ(out, bytes[1]);  // the second-oldest: the oldest was lost
    int count = 1;
    uint8_t last = out;
    while (port.readByte(out)) {
        ++count;
        last = out;
    }
    EXPECT_EQ(count, RING_SIZE - 1);
    EXPECT_EQ(last, bytes.back());
}

int32_t unread(const SerialPort& port) {
    return (port.writeIndex.load() - port.readIndex.load() + RING_SIZE) % RING_SIZE;
}

// The reader thread's store rule and the consumer race on a full ring. Stores never lower the
// number of unread bytes and each take lowers it by one, so after a round of `kTakes` takes
// beside `kStores` stores the full ring holds at least 39999 - kTakes bytes, whatever the
// interleaving. A consumer that wrote back a read index loaded before the reader's drops would
// leave almost nothing unread.
TEST_F(SerialPortTest, AnOverflowRacingTheConsumerOnlyEverDropsTheOldestByte) {
    struct Case {
        const char* name;
        std::function<void(SerialPort&)> take;
    };
    const Case cases[] = {
        {"readByte",
         [](SerialPort& port) {
             uint8_t out = 0;
             port.readByte(out);
         }},
        {"nextByte", [](SerialPort& port) { port.nextByte(); }},
    };
    constexpr int kRounds = 100;
    constexpr int kStores = 3000;
    constexpr int kTakes = 3000;
    for (const Case& c : cases) {
        SerialPort port("COM1:");  // its own reader thread has nothing to read: this test stores
        std::atomic<int> round{-1};
        std::atomic<int> producerStarted{-1};
        std::atomic<int> producerDone{-1};
        std::thread producer([&] {
            for (int r = 0; r < kRounds; ++r) {
                while (round.load() < r) {
                }
                producerStarted.store(r);
                for (int i = 0; i < kStores; ++i) port.storeByte(static_cast<uint8_t>(i));
                producerDone.store(r);
            }
        });
        int worst = RING_SIZE;
        for (int r = 0; r < kRounds; ++r) {
            while (unread(port) < RING_SIZE - 1) port.storeByte(0xAA);  // full, while nobody races
            round.store(r);
            while (producerStarted.load() < r) {  // the takes race the stores
            }
            for (int i = 0; i < kTakes; ++i) c.take(port);
            while (producerDone.load() < r) std::this_thread::yield();
            worst = std::min(worst, unread(port));
        }
        producer.join();
        EXPECT_GE(worst, RING_SIZE - 1 - kTakes) << c.name;
    }
}

TEST_F(SerialPortTest, IndicesWrapAroundTheEnd) {
    SerialPort port("COM1:");
    arrive(std::vector<uint8_t>(RING_SIZE - 3, 0x11));
    port.drain();
    arrive({1, 2, 3, 4, 5, 6});
    EXPECT_LT(port.writeIndex.load(), 10);  // wrapped
    std::vector<uint8_t> got;
    uint8_t out = 0;
    while (port.readByte(out)) got.push_back(out);
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(port.readIndex.load(), 3);
}

TEST_F(SerialPortTest, FlushDropsWhatIsThereAndLaterBytesStillCome) {
    SerialPort port("COM1:");
    arrive({1, 2, 3});
    port.flush();
    uint8_t out = 0;
    EXPECT_FALSE(port.readByte(out));
    arrive({4});
    ASSERT_TRUE(port.readByte(out));
    EXPECT_EQ(out, 4);
}

TEST_F(SerialPortTest, WritesGoOutOneByteEachWithTheLowEightBits) {
    SerialPort port("COM1:");
    port.writeByte(0x15C);
    port.writeByte('2');
    EXPECT_EQ(device.received(), (std::vector<uint8_t>{0x5C, 0x32}));
    EXPECT_EQ(vt::traceText(), "5C 32");
}

TEST_F(SerialPortTest, OpenFailuresAreShownAndLeaveThePortNotOpen) {
    {
        SerialPort held("COM1:");
        SerialPort second("COM1:");  // exclusive: the first holds the device
        EXPECT_TRUE(held.isOpen);
        EXPECT_FALSE(second.isOpen);
        EXPECT_EQ(second.handle.load(), nullptr);
    }
    {
        SerialPort missing("COM7:");
        EXPECT_FALSE(missing.isOpen);
    }
    vt::failNext(vt::Failure::SerialConfigure);
    SerialPort unconfigured("COM1:");
    EXPECT_FALSE(unconfigured.isOpen);
    EXPECT_NE(unconfigured.handle.load(), nullptr);  // stays open until close
    unconfigured.close();
    EXPECT_EQ(unconfigured.handle.load(), nullptr);

    vt::failNext(vt::Failure::SerialTimeouts);
    SerialPort noTimeouts("COM1:");
    EXPECT_FALSE(noTimeouts.isOpen);
    noTimeouts.close();

    EXPECT_EQ(vt::messages(), (std::vector<std::string>{
                                  "Error: Unable to open the port",
                                  "Error: Unable to open the port",
                                  "Error: Unable to configure the serial port",
                                  "Error: Unable to set the time-out parameters",
                              }));
}

TEST_F(SerialPortTest, WithoutAReaderThreadWritesWorkAndNothingIsEverRead) {
    vt::failNext(vt::Failure::ThreadStart);
    SerialPort port("COM1:");
    EXPECT_TRUE(port.isOpen);
    EXPECT_EQ(vt::messages(), std::vector<std::string>{"Error: Unable to create the read thread"});
    port.writeByte(0x33);
    EXPECT_EQ(device.received(), std::vector<uint8_t>{0x33});
    arrive({1, 2});
    uint8_t out = 0;
    EXPECT_FALSE(port.readByte(out));
}

TEST_F(SerialPortTest, ALineEventWakesTheReaderWhichReadsNothingAndWaitsAgain) {
    SerialPort port("COM1:");
    vt::raiseLineEvents("COM1:", platform::EV_CTS | platform::EV_DSR | platform::EV_RING);
    uint8_t out = 0;
    EXPECT_FALSE(port.readByte(out));
    arrive({9});
    ASSERT_TRUE(port.readByte(out));
    EXPECT_EQ(out, 9);
}

TEST_F(SerialPortTest, CloseTwiceAndAfterwardsNothingHappens) {
    SerialPort port("COM1:");
    port.close();
    port.close();
    EXPECT_TRUE(port.isOpen);  // close does not change it
    EXPECT_FALSE(port.writeByte(1));
    EXPECT_TRUE(device.received().empty());
}

}  // namespace
