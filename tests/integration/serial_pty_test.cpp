// The serial port on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "link/serial_port.h"
#include "tests/support/test_support.h"

using testing_support::waitUntil;

namespace {

class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        slavePath = name;
        close(slave);  // the port opens the device by its path
        setenv("HALVORAN_COM1", slavePath.c_str(), 1);
    }
    void TearDown() override {
        if (master >= 0) close(master);
        unsetenv("HALVORAN_COM1");
    }
    std::vector<uint8_t> readMaster(size_t count) {
        std::vector<uint8_t> got;
        waitUntil([&] {
            uint8_t buffer[64];
            pollfd in{master, POLLIN, 0};
            if (poll(&in, 1, 10) == 1) {
                ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) got.insert(got.end(), buffer, buffer + n);
            }
            return got.size() >= count;
        });
        return got;
    }
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

TEST_F(SerialPtyTest, OpensRawAt115200AndCarriesBytesBothWays) {
    SerialPort port("COM1:");
    ASSERT_TRUE(port.isOpen);
    // The line's settings, read through the master side: the port holds the device
    // exclusively, and only root may open it a second time.
    termios settings{};
    ASSERT_EQ(tcgetattr(master, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), B115200);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL), 0u);

    port.writeByte(0x5C);
    port.writeByte(0x0D);
    port.writeByte(0xFF);
    EXPECT_EQ(readMaster(3), (std::vector<uint8_t>{0x5C, 0x0D, 0xFF}));

    const uint8_t reply[] = {0x0D, 0x0A, 0xFF, 0x11, 0x13, 0x3A};  // no byte is changed on the way
    ASSERT_EQ(write(master, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    std::vector<uint8_t> got;
    waitUntil([&] {
        uint8_t b;
        while (port.readByte(b)) got.push_back(b);
        return got.size() >= sizeof reply;
    });
    EXPECT_EQ(got, std::vector<uint8_t>(reply, reply + sizeof reply));
}

TEST_F(SerialPtyTest, ASecondOpenOfAHeldDeviceFails) {
    SerialPort first("COM1:");
    ASSERT_TRUE(first.isOpen);
    testing::internal::CaptureStderr();
    SerialPort second("COM1:");
    std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(second.isOpen);
    EXPECT_EQ(shown, "Error: Unable to open the port\n");
    first.close();
    SerialPort third("COM1:");  // released by close
    EXPECT_TRUE(third.isOpen);
}

TEST_F(SerialPtyTest, ADeviceThatIsNoSerialLineCannotBeConfigured) {
    setenv("HALVORAN_COM1", "/dev/null", 1);
    testing::internal::CaptureStderr();
    SerialPort port("COM1:");
    std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(port.isOpen);
    EXPECT_EQ(shown, "Error: Unable to configure the serial port\n");
    port.close();
    port.close();
}

TEST_F(SerialPtyTest, AHungUpDeviceDoesNotMakeTheReaderSpin) {
    SerialPort port("COM1:");
    ASSERT_TRUE(port.isOpen);
    close(master);  // the far end goes away: the device hangs up
    master = -1;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    getrusage(RUSAGE_SELF, &after);
    auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    // A spinning reader would use the whole 600 ms of a core.
    EXPECT_LT(cpuUs(after) - cpuUs(before), 200000L);
    port.close();  // ends the reader's wait
    uint8_t b;
    EXPECT_FALSE(port.readByte(b));
}

}  // namespace
