// The Win32 serial back end: its driver settings, and the port under Wine with the simulated
// converter behind it.
#include "converter/Converter.h"
#include "link/Modbus.h"
#include "link/SerialWin32.h"
#include "link/Serialport.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The converter on FWL_SIM_PORT, as the fixture starts it.
constexpr std::uint8_t SimAddress = FWL_SIM_ADDRESS;
constexpr std::uint16_t SimVersion = FWL_SIM_VERSION;
constexpr std::int32_t IdentRegister = 65200;
constexpr std::int32_t IdentWords = 3;
constexpr std::int32_t IdentReplyLength = 3 + 2 * IdentWords + 2;
constexpr std::uint8_t ReadHolding = 3;

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool OpenSim(TSerialPort& port, std::chrono::milliseconds timeout = TSerialPort::ReplyTimeout) {
    port.SetPort(FWL_SIM_PORT);
    port.SetReplyTimeout(timeout);
    return port.Open();
}

// Asks for the identification words; the reply is 11 bytes.
bool AskIdentification(TModbus& port) {
    return port.SendRequest(SimAddress, ReadHolding, IdentRegister,
                            {static_cast<std::uint16_t>(IdentWords)});
}

// A DCB as a driver might report it, every byte set, so that a field left alone shows.
DCB DriverDcb() {
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return dcb;
}

DCB Applied(const TLineSettings& settings) {
    DCB dcb = DriverDcb();
    ApplyLineSettings(dcb, settings);
    return dcb;
}

TEST(SerialWin32Settings, LineFormatOfTheWindow) {
    const DCB dcb = Applied({19200, 8, 1, 0, 0});
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);

    // What the settings do not decide stays as the driver had it.
    const DCB driver = DriverDcb();
    EXPECT_EQ(dcb.XonLim, driver.XonLim);
    EXPECT_EQ(dcb.XoffLim, driver.XoffLim);
    EXPECT_EQ(dcb.ErrorChar, driver.ErrorChar);
    EXPECT_EQ(dcb.EofChar, driver.EofChar);
    EXPECT_EQ(dcb.EvtChar, driver.EvtChar);
    EXPECT_EQ(dcb.fDummy2, driver.fDummy2);
}

TEST(SerialWin32Settings, ParityStopBitsAndCharacterSize) {
    const struct {
        std::uint8_t Code;
        BYTE Parity;
    } parities[] = {{0, NOPARITY},   {1, ODDPARITY},   {2, EVENPARITY},
                    {3, MARKPARITY}, {4, SPACEPARITY}, {5, NOPARITY}};
    for (const auto& p : parities) {
        const DCB dcb = Applied({9600, 7, 1, p.Code, 0});
        EXPECT_EQ(dcb.Parity, p.Parity) << int(p.Code);
        EXPECT_EQ(dcb.fParity, p.Parity != NOPARITY ? 1u : 0u) << int(p.Code);
        EXPECT_EQ(dcb.BaudRate, 9600u);
        EXPECT_EQ(dcb.ByteSize, 7);
    }
    EXPECT_EQ(Applied({19200, 8, 2, 0, 0}).StopBits, TWOSTOPBITS);
    EXPECT_EQ(Applied({19200, 8, 0, 0, 0}).StopBits, ONESTOPBIT);
    EXPECT_EQ(Applied({19200, 8, 3, 0, 0}).StopBits, ONESTOPBIT);
}

TEST(SerialWin32Settings, FlowControl) {
    const DCB xonXoff = Applied({19200, 8, 1, 0, 1});
    EXPECT_EQ(xonXoff.fOutX, 1u);
    EXPECT_EQ(xonXoff.fInX, 1u);
    EXPECT_EQ(xonXoff.fOutxCtsFlow, 0u);
    EXPECT_EQ(xonXoff.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    const DCB hardware = Applied({19200, 8, 1, 0, 2});
    EXPECT_EQ(hardware.fOutX, 0u);
    EXPECT_EQ(hardware.fInX, 0u);
    EXPECT_EQ(hardware.fOutxCtsFlow, 1u);
    EXPECT_EQ(hardware.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(hardware.fOutxDsrFlow, 0u);
    EXPECT_EQ(hardware.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));

    const DCB unknown = Applied({19200, 8, 1, 0, 3});
    EXPECT_EQ(unknown.fOutX | unknown.fInX | unknown.fOutxCtsFlow, 0u);
    EXPECT_EQ(unknown.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST(SerialWin32Settings, ReadsReturnAtOnceWritesNeverTimeOut) {
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ApplyTimeouts(timeouts);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST(SerialportWin32, NamesAreRefusedBeforeAnyDevice) {
    for (const char* name : {"com5", "COM", "COMX", FWL_SIM_PORT "x", " " FWL_SIM_PORT}) {
        TSerialPort port;
        port.SetPort(name);
        EXPECT_FALSE(port.Open()) << name;
        EXPECT_FALSE(port.IsOpen()) << name;
    }
}

TEST(SerialportWin32, PortWithoutDeviceDoesNotOpen) {
    TSerialPort port;
    port.SetPort("COM200");
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialportWin32, ConverterAnswersThroughTheComPort) {
    TConverter converter;
    converter.SetPort(FWL_SIM_PORT);
    converter.SetAddress(SimAddress);
    ASSERT_TRUE(converter.Connect());
    EXPECT_EQ(converter.GetType(), 0);
    EXPECT_EQ(converter.GetSubType(), 0);
    EXPECT_EQ(converter.GetVersion(), SimVersion);
    converter.Close();
    EXPECT_FALSE(converter.IsOpen());
}

TEST(SerialportWin32, OpenIsExclusive) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine lets a second handle open a serial port opened without sharing";
    }
    TModbus first;
    ASSERT_TRUE(OpenSim(first));
    TModbus second;
    EXPECT_FALSE(OpenSim(second)) << "a second handle on an open port";
    EXPECT_FALSE(first.Open()) << "a second Open of the same object";
    ASSERT_TRUE(first.IsOpen());

    Unsigned16Vector words;
    EXPECT_TRUE(first.ReadRegisters(SimAddress, IdentRegister, IdentWords, words));
    EXPECT_EQ(words, (Unsigned16Vector{0, 0, SimVersion}));

    first.Close();
    EXPECT_TRUE(second.Open()) << "the port is free again";
}

TEST(SerialportWin32, ReadEndsAtTheTimeoutWithWhatHasCome) {
    TModbus port;
    ASSERT_TRUE(OpenSim(port, 300ms));
    ASSERT_TRUE(AskIdentification(port));
    char buffer[2 * IdentReplyLength];
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), IdentReplyLength);
    EXPECT_GE(Clock::now() - start, 300ms);
}

TEST(SerialportWin32, PurgeInputDropsAReplyAlreadyReceived) {
    TModbus port;
    ASSERT_TRUE(OpenSim(port, 200ms));
    // The request's own pause after sending covers the reply's way back.
    ASSERT_TRUE(AskIdentification(port));
    char buffer[IdentReplyLength];
    ASSERT_EQ(port.Read(buffer, 1), 1); // the reply is there
    EXPECT_TRUE(port.PurgeInput());
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);

    ASSERT_TRUE(AskIdentification(port));
    EXPECT_EQ(port.Read(buffer, sizeof buffer), IdentReplyLength) << "the line still works";
}

} // namespace
