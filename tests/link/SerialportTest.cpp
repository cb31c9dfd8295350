#include "link/Serialport.h"

#include "link/SerialTermios.h"
#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto ShortTimeout = 200ms;
constexpr auto Wait = 10s; // readiness waits; never reached when things work
// A read loop that never busy-waits makes at most one pass per ReadPass, plus the first.
constexpr int MaxPasses(std::chrono::milliseconds timeout) {
    return static_cast<int>(timeout / TSerialPort::ReadPass) + 2;
}

class SerialportTest : public ::testing::Test {
protected:
    void TearDown() override { ClearPortMap(); }

    termios Line() const {
        termios tio{};
        EXPECT_EQ(::tcgetattr(Pty.Slave(), &tio), 0);
        return tio;
    }

    TPtyPair Pty;
    TSerialPort Port;
    THookCounter Passes;
};

TEST_F(SerialportTest, RefusesNamesThatAreNotComAndAWholeNumber) {
    for (const char* name : {"com5", "COM", "COMX", "COM5X", "Com5", " COM5", "COM 5", "COM5 ",
                             "COM5.0", "COM99999999999"}) {
        // Even with a device behind the name, the name alone decides.
        MapPort(name, Pty.SlavePath());
        Port.SetPort(name);
        EXPECT_FALSE(Port.Open()) << '"' << name << '"';
        EXPECT_FALSE(Port.IsOpen());
    }
    MapPort("COM12", Pty.SlavePath());
    Port.SetPort("COM12");
    EXPECT_TRUE(Port.Open());
}

TEST_F(SerialportTest, MapsComNamesToDevicePaths) {
    EXPECT_EQ(DevicePathOf("COM1"), "/dev/ttyS0");
    EXPECT_EQ(DevicePathOf("COM12"), "/dev/ttyS11");
    EXPECT_EQ(DevicePathOf("COMX"), "");
    EXPECT_EQ(DevicePathOf("COM0"), "");
    MapPort("COM3", "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathOf("COM3"), "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathOf("COM4"), "/dev/ttyS3");
    ClearPortMap();
    EXPECT_EQ(DevicePathOf("COM3"), "/dev/ttyS2");
}

TEST_F(SerialportTest, RefusesMissingDevicesAndFilesThatAreNoSerialLine) {
    MapPort("COM7", "/dev/fwl-no-such-device");
    Port.SetPort("COM7");
    EXPECT_FALSE(Port.Open());

    char path[] = "/tmp/fwl-not-a-tty-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    MapPort("COM7", path);
    EXPECT_FALSE(Port.Open());
    EXPECT_FALSE(Port.IsOpen());
    ::close(fd);
    ::unlink(path);
}

TEST_F(SerialportTest, SecondOpenFailsAndLeavesThePortUsable) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    EXPECT_FALSE(Port.Open());
    EXPECT_TRUE(Port.IsOpen());
    EXPECT_EQ(Port.Write("\x55\xAA\x00", 3), 0);
    EXPECT_EQ(Pty.ReadMaster(3, 1s), std::string("\x55\xAA\x00", 3));
    Port.Close();
    EXPECT_FALSE(Port.IsOpen());
    Port.Close();
    EXPECT_TRUE(Port.Open()); // can be opened again after Close
}

TEST_F(SerialportTest, OpensExclusivelyEvenForRoot) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    TSerialPort other;
    other.SetPort(TestPortName);
    EXPECT_FALSE(other.Open());
    Port.Close();
    EXPECT_TRUE(other.Open());
    other.Close();

    // Another program holding the device keeps the system out too.
    const int holder = ::open(Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(Port.Open());
    ::close(holder);
    EXPECT_TRUE(Port.Open());
}

struct TLineCase {
    std::uint8_t Parity;
    std::int32_t StopBits;
    std::uint8_t FlowControl;
    std::int32_t DataBits;
    tcflag_t CflagSet;   // must be set
    tcflag_t CflagClear; // must be clear
    bool ParityCheck;
    bool XonXoff;
};

constexpr tcflag_t ParityBits = PARENB | PARODD | CMSPAR;
const TLineCase LineCases[] = {
    {0, 1, 0, 8, CS8, ParityBits | CSTOPB | CRTSCTS, false, false},
    {1, 1, 0, 8, PARENB | PARODD, CMSPAR, true, false},
    {2, 1, 0, 8, PARENB, PARODD | CMSPAR, true, false},
    {3, 1, 0, 8, PARENB | PARODD | CMSPAR, 0, true, false},
    {4, 1, 0, 8, PARENB | CMSPAR, PARODD, true, false},
    {5, 1, 0, 8, 0, ParityBits, false, false},
    {0, 2, 0, 8, CSTOPB, 0, false, false},
    {0, 0, 0, 8, 0, CSTOPB, false, false},
    {0, 3, 0, 8, 0, CSTOPB, false, false},
    {0, 1, 1, 8, 0, CRTSCTS, false, true},
    {0, 1, 2, 8, CRTSCTS, 0, false, false},
    {0, 1, 3, 8, 0, CRTSCTS, false, false},
    {0, 1, 0, 7, CS7, 0, false, false},
    {0, 1, 0, 9, CS8, 0, false, false},
};

// Checks tio against a case, leaving out the flags in ignored.
void ExpectLine(const termios& tio, const TLineCase& c, tcflag_t ignored) {
    SCOPED_TRACE(::testing::Message() << "parity " << int{c.Parity} << " stop " << c.StopBits
                                      << " flow " << int{c.FlowControl} << " data " << c.DataBits);
    EXPECT_EQ(tio.c_cflag & c.CflagSet & ~ignored, c.CflagSet & ~ignored);
    EXPECT_EQ(tio.c_cflag & c.CflagClear & ~ignored, 0u);
    if (!(ignored & CSIZE)) {
        EXPECT_EQ(tio.c_cflag & CSIZE, c.DataBits == 7 ? CS7 : CS8);
    }
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.ParityCheck);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), c.XonXoff ? IXON | IXOFF : 0u);
    if (c.XonXoff) {
        EXPECT_EQ(tio.c_cc[VSTART], 0x11);
        EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    }
    // Raw 8-bit transfer: no line editing, echo, signals, translation or output processing;
    // reads take what is there.
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | IXANY), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&tio), B19200);
    EXPECT_EQ(cfgetospeed(&tio), B19200);
}

TEST(SerialportLineFormat, TurnsEverySettingIntoTermios) {
    for (const TLineCase& c : LineCases) {
        termios tio{};
        tio.c_lflag = ICANON | ECHO | ISIG;
        tio.c_iflag = ICRNL | IXANY | IXON;
        tio.c_oflag = OPOST;
        tio.c_cflag = CSTOPB | PARENB | CRTSCTS;
        ASSERT_TRUE(
            ApplyLineSettings(tio, {19200, c.DataBits, c.StopBits, c.Parity, c.FlowControl}));
        ExpectLine(tio, c, 0);
    }
    termios tio{};
    EXPECT_FALSE(ApplyLineSettings(tio, {12345, 8, 1, 0, 0}));
}

TEST_F(SerialportTest, OpenGivesTheDeviceItsLineFormat) {
    for (const TLineCase& c : LineCases) {
        Port.SetParity(c.Parity);
        Port.SetStopBits(c.StopBits);
        Port.SetFlowControl(c.FlowControl);
        Port.SetDataBits(c.DataBits);
        ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
        const termios tio = Line();
        Port.Close();
        // A pseudo-terminal always runs 8 bits without parity, whatever it is told.
        ExpectLine(tio, c, CSIZE | PARENB);
    }
}

TEST_F(SerialportTest, SetsTheBaudRateOrRefusesToOpen) {
    const std::array<std::pair<std::int32_t, speed_t>, 4> speeds{
        {{9600, B9600}, {38400, B38400}, {57600, B57600}, {115200, B115200}}};
    for (const auto& [baudrate, code] : speeds) {
        Port.SetBaudrate(baudrate);
        ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
        const termios tio = Line();
        EXPECT_EQ(cfgetospeed(&tio), code) << baudrate;
        Port.Close();
    }
    for (const std::int32_t baudrate : {12345, 0, -9600}) {
        Port.SetBaudrate(baudrate);
        EXPECT_FALSE(OpenOnPty(Port, Pty, ShortTimeout)) << baudrate;
        EXPECT_FALSE(Port.IsOpen());
    }
    // The refused open let go of the device.
    Port.SetBaudrate(19200);
    EXPECT_TRUE(Port.Open());
}

TEST_F(SerialportTest, SettersDoNothingOnAnOpenPort) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    Port.SetBaudrate(57600);
    Port.SetPort("COM7");
    Port.SetParity(2);
    Port.SetStopBits(2);
    Port.SetDataBits(7);
    Port.SetFlowControl(2);
    Port.Close();
    EXPECT_EQ(Port.GetBaudrate(), 19200);
    EXPECT_EQ(Port.GetPort(), TestPortName);
    EXPECT_EQ(Port.GetParity(), 0);
    EXPECT_EQ(Port.GetStopBits(), 1);
    EXPECT_EQ(Port.GetDataBits(), 8);
    EXPECT_EQ(Port.GetFlowControl(), 0);
    ASSERT_TRUE(Port.Open());
    const termios tio = Line();
    EXPECT_EQ(cfgetospeed(&tio), B19200);
}

TEST_F(SerialportTest, ReadReturnsAsSoonAsTheCountIsComplete) {
    constexpr auto LongTimeout = 30s;
    ASSERT_TRUE(OpenOnPty(Port, Pty, LongTimeout));
    WriteAll(Pty.Master(), "abc");
    ASSERT_TRUE(Pty.WaitForSlaveInput(Wait));
    // The rest comes once the read has taken the first piece.
    Passes.AtNextPass([&] { WriteAll(Pty.Master(), "defgh"); });
    char buffer[8] = {};
    const auto start = Clock::now();
    EXPECT_EQ(Port.Read(buffer, 8), 8);
    EXPECT_LT(Clock::now() - start, LongTimeout / 2);
    EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
    EXPECT_GE(Passes.Calls, 2); // the front end ran between the two pieces
}

TEST_F(SerialportTest, ReadMakesOnePassForNothingOrNoTime) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    char buffer[4] = {};
    EXPECT_EQ(Port.Read(buffer, 0), 0);
    EXPECT_EQ(Passes.Calls, 1);

    Port.SetReplyTimeout(0ms);
    Passes.Calls = 0;
    EXPECT_EQ(Port.Read(buffer, 4), 0);
    EXPECT_EQ(Passes.Calls, 1);
}

TEST_F(SerialportTest, ShortReplyEndsAtTheTimeoutWithoutSpinning) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    WriteAll(Pty.Master(), "12345");
    char buffer[8] = {};
    const auto start = Clock::now();
    EXPECT_EQ(Port.Read(buffer, 8), 5);
    EXPECT_GE(Clock::now() - start, ShortTimeout);
    EXPECT_EQ(std::string(buffer, 5), "12345");
    EXPECT_LE(Passes.Calls, MaxPasses(ShortTimeout));
}

TEST_F(SerialportTest, FarEndHangingUpEndsTheReadAtTheTimeout) {
    constexpr auto Timeout = 300ms;
    ASSERT_TRUE(OpenOnPty(Port, Pty, Timeout));
    WriteAll(Pty.Master(), "123");
    ASSERT_TRUE(Pty.WaitForSlaveInput(Wait));
    // The far end goes once the read has taken what it sent.
    Passes.AtNextPass([&] { Pty.CloseMaster(); });
    char buffer[8] = {};
    const auto start = Clock::now();
    EXPECT_LT(Port.Read(buffer, 8), 8);
    EXPECT_GE(Clock::now() - start, Timeout);
    EXPECT_LE(Passes.Calls, MaxPasses(Timeout));

    // Reading and writing on the dead line neither hangs nor spins.
    Passes.Calls = 0;
    EXPECT_EQ(Port.Read(buffer, 8), 0);
    EXPECT_LE(Passes.Calls, MaxPasses(Timeout));
    EXPECT_GT(Port.Write("x", 1), 0);
    Port.Close();
}

TEST_F(SerialportTest, PortClosedByAMessageHandlerEndsTheRead) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    SetMessageHook([this] { Port.Close(); });
    char buffer[4] = {};
    EXPECT_EQ(Port.Read(buffer, 4), 0);
    EXPECT_FALSE(Port.IsOpen());
}

TEST_F(SerialportTest, PurgeInputDropsWhatHasArrived) {
    ASSERT_TRUE(OpenOnPty(Port, Pty, ShortTimeout));
    WriteAll(Pty.Master(), "stale");
    ASSERT_TRUE(Pty.WaitForSlaveInput(5s));
    EXPECT_TRUE(Port.PurgeInput());
    EXPECT_EQ(Pty.SlaveInputPending(), 0);
    WriteAll(Pty.Master(), "new");
    char buffer[3] = {};
    EXPECT_EQ(Port.Read(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "new");
}

TEST_F(SerialportTest, ClosedPortDoesNothing) {
    char buffer[4] = {};
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_EQ(Port.Write("abcd", 4), 0);
    EXPECT_EQ(Port.Read(buffer, 4), 0);
    EXPECT_EQ(Passes.Calls, 0);
    EXPECT_FALSE(Port.PurgeInput());
    Port.Close();
}

TEST_F(SerialportTest, SetPortKeepsTheTimeoutOfAReadStillRunning) {
    EXPECT_EQ(Port.GetTimeout(), 0ms);
    Port.SetPort("COM3");
    EXPECT_EQ(Port.GetTimeout(), TSerialPort::ReplyTimeout);

    // A read that got everything early leaves its deadline in the future.
    constexpr auto LongTimeout = 60s;
    ASSERT_TRUE(OpenOnPty(Port, Pty, LongTimeout));
    WriteAll(Pty.Master(), "ok");
    char buffer[2] = {};
    ASSERT_EQ(Port.Read(buffer, 2), 2);
    Port.Close();
    Port.SetPort("COM6");
    EXPECT_EQ(Port.GetPort(), "COM6");
    EXPECT_EQ(Port.GetTimeout(), LongTimeout);

    // Once the deadline has passed, SetPort gives the reply timeout again.
    ASSERT_TRUE(OpenOnPty(Port, Pty, 0ms));
    Port.Read(buffer, 2);
    Port.SetPort("COM6");
    EXPECT_EQ(Port.GetTimeout(), TSerialPort::ReplyTimeout);
}

TEST(SerialportTransmitTime, CoversTwelveBitsPerCharacterAndTurnaround) {
    TSerialPort port;
    EXPECT_EQ(port.TransmitTime(12), 107);
    EXPECT_EQ(port.TransmitTime(113), 170);
    port.SetBaudrate(9600);
    EXPECT_EQ(port.TransmitTime(8), 110);
    EXPECT_EQ(port.TransmitTime(12), 115);
    EXPECT_EQ(port.TransmitTime(0), 100);
    port.SetBaudrate(0);
    EXPECT_EQ(port.TransmitTime(12), 100);
}

// The one test here that waits out the real reply timeout.
TEST(SerialportReplyTimeout, ShortReplyWaitsOutTheFullSecond) {
    TPtyPair pty;
    TSerialPort port;
    MapPort(TestPortName, pty.SlavePath());
    port.SetPort(TestPortName);
    ASSERT_TRUE(port.Open());
    WriteAll(pty.Master(), "12345");
    char buffer[8] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, 8), 5);
    EXPECT_GE(Clock::now() - start, TSerialPort::ReplyTimeout);
    ClearPortMap();
}

} // namespace
