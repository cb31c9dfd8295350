#include "link/Modbus.h"

#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Frame checksums below come from python3's crcmod (Debian python3-crcmod), predefined
// 'modbus' CRC, written low byte first as the frames carry it.

namespace {

constexpr auto Timeout = 150ms;
constexpr auto Wait = 10s; // readiness waits; never reached when things work
// Post-send pause of an 8-byte request at 19200 baud: 12 bit times for 12 bytes + 100 ms.
constexpr auto RequestPause = 107ms;

std::string BigEndian(const Unsigned16Vector& values) {
    std::string bytes;
    for (const std::uint16_t value : values) {
        bytes += static_cast<char>(value >> 8);
        bytes += static_cast<char>(value & 0xFF);
    }
    return bytes;
}

// Reading type, subtype and version at 65200 from slave 1.
const std::string IdentRequest = Hex("01 03 FE B0 00 03 35 C4");
const std::string IdentResponse = Hex("01 03 06 00 05 00 02 21 00 54 E5");
const Unsigned16Vector IdentValues{5, 2, 0x2100};

class ModbusTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenOnPty(Bus, Pty, Timeout)); }
    void TearDown() override { ClearPortMap(); }

    // Reads the identification; true when it succeeded with the expected values.
    bool ReadIdent() {
        Unsigned16Vector values;
        return Bus.ReadRegisters(1, 65200, 3, values) && values == IdentValues;
    }

    TPtyPair Pty;
    TScriptedPeer Peer{Pty, TScriptedPeer::ModbusRequestLength};
    TModbus Bus;
    THookCounter Passes;
};

TEST(ModbusCrc, IsTheModbusCrcWithItsBytesSwapped) {
    EXPECT_EQ(TModbus::CrcModbus("123456789", 9), 0x374B);
    EXPECT_EQ(TModbus::CrcModbus("", 0), 0xFFFF);
    EXPECT_EQ(TModbus::CrcModbus(IdentRequest.data(), 6), 0x35C4);
    // A frame with its CRC checks to zero.
    EXPECT_EQ(TModbus::CrcModbus(IdentResponse.data(), IdentResponse.size()), 0);
}

TEST_F(ModbusTest, ReadsRegistersWithFunction3) {
    Peer.Answer(IdentResponse);
    // A long timeout: the read must end when the 11 bytes are in, not wait it out.
    constexpr auto LongTimeout = 60s;
    Bus.SetReplyTimeout(LongTimeout);
    Unsigned16Vector values{9, 9};
    const auto start = Clock::now();
    EXPECT_TRUE(Bus.ReadRegisters(1, 65200, 3, values));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, RequestPause);
    EXPECT_LT(took, LongTimeout / 2);
    EXPECT_EQ(values, IdentValues);
    EXPECT_EQ(Peer.Requests(), std::vector<std::string>{IdentRequest});
}

TEST_F(ModbusTest, ReadsLongBlocksInRequestsOf50) {
    const Unsigned16Vector all = Ramp(0x1000, 128);
    Peer.Answer(Hex("01 03 64") + BigEndian(Ramp(0x1000, 50)) + Hex("1A 63"));
    Peer.Answer(Hex("01 03 64") + BigEndian(Ramp(0x1032, 50)) + Hex("B4 70"));
    Peer.Answer(Hex("01 03 38") + BigEndian(Ramp(0x1064, 28)) + Hex("5C 99"));
    Unsigned16Vector values;
    EXPECT_TRUE(Bus.ReadRegisters(1, 65300, 128, values));
    EXPECT_EQ(values, all);
    const std::vector<std::string> requests = Peer.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(ToHex(requests[0]), "01 03 FF 14 00 32 B4 0F");
    EXPECT_EQ(ToHex(requests[1]), "01 03 FF 46 00 32 15 DE");
    EXPECT_EQ(ToHex(requests[2]), "01 03 FF 78 00 1C F4 0E");
}

TEST_F(ModbusTest, WritesOneValueWithFunction6) {
    Peer.Answer(Hex("01 06 EA E0 00 03 FC 25"));
    Unsigned16Vector values{3};
    EXPECT_TRUE(Bus.WriteRegisters(1, 60128, values));
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(ToHex(Peer.Requests().at(0)), "01 06 EA E0 00 03 FC 25");
}

TEST_F(ModbusTest, WritesSeveralValuesWithFunction16) {
    Peer.Answer(Hex("01 10 FF 14 00 02 31 D8"));
    Unsigned16Vector values{0x1234, 0x5678};
    EXPECT_TRUE(Bus.WriteRegisters(1, 65300, values));
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(ToHex(Peer.Requests().at(0)), "01 10 FF 14 00 02 04 12 34 56 78 CD 90");
}

TEST_F(ModbusTest, Writes51ValuesInTwoFunction16Requests) {
    const Unsigned16Vector all = Ramp(1, 51, 3);
    Peer.Answer(Hex("01 10 03 E8 00 32 C1 AC"));
    Peer.Answer(Hex("01 10 04 1A 00 01 21 3E"));
    Unsigned16Vector values = all;
    EXPECT_TRUE(Bus.WriteRegisters(1, 1000, values));
    EXPECT_TRUE(values.empty());
    const std::vector<std::string> requests = Peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(ToHex(requests[0]),
              ToHex(Hex("01 10 03 E8 00 32 64") + BigEndian(Ramp(1, 50, 3)) + Hex("A0 24")));
    EXPECT_EQ(ToHex(requests[1]), "01 10 04 1A 00 01 02 00 97 A0 04");
}

TEST_F(ModbusTest, ExceptionResponseFailsBothTries) {
    Peer.Answer(Hex("01 83 02 C0 F1"));
    Peer.Answer(Hex("01 83 02 C0 F1"));
    Unsigned16Vector values;
    EXPECT_FALSE(Bus.ReadRegisters(1, 65200, 3, values));
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(Peer.Requests(), std::vector<std::string>(2, IdentRequest));
}

// Each bad response fails its try; the retry, with the line purged, gets the good one.
TEST_F(ModbusTest, BadResponsesFailTheTryAndTheRetryRecovers) {
    std::string corrupted = IdentResponse;
    corrupted[5] ^= 0x10;
    const std::pair<const char*, std::string> cases[] = {
        {"short", IdentResponse.substr(0, 7)},
        {"corrupted", corrupted},
        {"other slave", Hex("02 03 06 00 05 00 02 21 00 40 15")},
        {"exception", Hex("01 83 02 C0 F1")},
        {"stale byte first", std::string(1, '\0') + IdentResponse},
    };
    std::size_t requests = 0;
    for (const auto& [name, bad] : cases) {
        SCOPED_TRACE(name);
        Peer.Answer(bad);
        Peer.Answer(IdentResponse);
        EXPECT_TRUE(ReadIdent());
        requests += 2;
        ASSERT_TRUE(Peer.WaitForRequests(requests, Wait));
        EXPECT_EQ(Peer.RequestCount(), requests);
    }
}

TEST_F(ModbusTest, StaleInputAndNoiseAfterAResponseAreDropped) {
    WriteAll(Pty.Master(), Hex("01 03 06 FF FF"));
    ASSERT_TRUE(Pty.WaitForSlaveInput(Wait));
    Peer.Answer(IdentResponse + Hex("FF 00 FF"));
    Peer.Answer(IdentResponse);
    EXPECT_TRUE(ReadIdent());
    EXPECT_TRUE(ReadIdent());
    EXPECT_EQ(Peer.RequestCount(), 2u);
}

TEST_F(ModbusTest, ResponseAfterBothTriesIsDroppedByTheNextRequest) {
    Peer.Silence();
    Peer.Silence();
    EXPECT_FALSE(ReadIdent());
    ASSERT_TRUE(Peer.WaitForRequests(2, Wait));
    // The response to the first request comes once both tries have given up.
    WriteAll(Pty.Master(), IdentResponse);
    ASSERT_TRUE(Pty.WaitForSlaveInput(Wait));
    Peer.Answer(Hex("01 03 06 00 06 00 01 22 00 E0 15"));
    Unsigned16Vector values;
    EXPECT_TRUE(Bus.ReadRegisters(1, 65200, 3, values));
    EXPECT_EQ(values, (Unsigned16Vector{6, 1, 0x2200}));
}

TEST_F(ModbusTest, ShorterWellFormedResponseGivesFewerValues) {
    Peer.Answer(Hex("01 03 02 12 34 B5 33")); // byte count 2 for 3 registers
    Unsigned16Vector values;
    EXPECT_TRUE(Bus.ReadRegisters(1, 65200, 3, values));
    EXPECT_EQ(values, Unsigned16Vector{0x1234});
}

// The byte count promises more data than the frame holds: the values would have to come from
// the CRC or beyond, so the response counts as broken.
TEST_F(ModbusTest, ByteCountBeyondTheFrameFailsTheTry) {
    for (const char* bad : {"01 03 06 12 34 F4 F2", "01 03 03 12 34 56 73 75"}) {
        SCOPED_TRACE(bad);
        Peer.Answer(Hex(bad));
        Peer.Answer(Hex(bad));
        Unsigned16Vector values;
        EXPECT_FALSE(Bus.ReadRegisters(1, 65200, 3, values));
        EXPECT_TRUE(values.empty());
    }
    EXPECT_EQ(Peer.RequestCount(), 4u);
}

TEST_F(ModbusTest, SilentSlaveCostsTwoTriesWithPauses) {
    Unsigned16Vector values{1};
    const auto start = Clock::now();
    EXPECT_FALSE(Bus.ReadRegisters(1, 65200, 3, values));
    EXPECT_GE(Clock::now() - start, 2 * (RequestPause + Timeout + TModbus::RetryPause));
    EXPECT_TRUE(values.empty());
    ASSERT_TRUE(Peer.WaitForRequests(2, Wait));
    EXPECT_EQ(Peer.RequestCount(), 2u);
}

TEST_F(ModbusTest, FailedWriteStopsTheBlockAndEmptiesTheValues) {
    Peer.Answer(Hex("01 10 03 E8 00 32 C1 AC")); // first request acknowledged, then silence
    Unsigned16Vector values = Ramp(1, 101, 3);
    EXPECT_FALSE(Bus.WriteRegisters(1, 1000, values));
    EXPECT_TRUE(values.empty());
    const std::vector<std::string> requests = Peer.Requests();
    ASSERT_EQ(requests.size(), 3u); // the third chunk is never sent
    EXPECT_EQ(requests[1], requests[2]);
    EXPECT_EQ(ToHex(requests[1].substr(0, 7)), "01 10 04 1A 00 32 64");
}

TEST_F(ModbusTest, SlaveVanishingMidResponseFailsAtTheTimeout) {
    Peer.Answer(TReply{.Bytes = IdentResponse.substr(0, 5), .CloseAfter = true});
    EXPECT_FALSE(ReadIdent());
    EXPECT_LE(Passes.Calls, TModbus::Tries * (Timeout / TSerialPort::ReadPass + 2));
}

TEST_F(ModbusTest, EmptyBlocksSendNothing) {
    Unsigned16Vector values{1, 2};
    EXPECT_TRUE(Bus.ReadRegisters(1, 65200, 0, values));
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(Bus.ReadRegisters(1, 65200, -5, values));
    EXPECT_TRUE(Bus.WriteRegisters(1, 65200, values));
    Peer.Answer(IdentResponse);
    EXPECT_TRUE(ReadIdent());
    EXPECT_EQ(Peer.Requests(), std::vector<std::string>{IdentRequest}); // the first request
}

TEST(ModbusClosed, FailsAfterTwoTries) {
    TModbus bus;
    Unsigned16Vector values{1, 2};
    EXPECT_FALSE(bus.SendRequest(1, 3, 65200, {3}));
    EXPECT_FALSE(bus.ReceiveResponse(1, 3, 65200, 3, values));
    const auto start = Clock::now();
    EXPECT_FALSE(bus.ReadRegisters(1, 65200, 3, values));
    EXPECT_GE(Clock::now() - start, TModbus::Tries * TModbus::RetryPause);
    EXPECT_TRUE(values.empty());
    values = {1, 2};
    EXPECT_FALSE(bus.WriteRegisters(1, 65200, values));
    EXPECT_TRUE(values.empty());
}

// The one test here that waits out the real reply timeout, twice.
TEST(ModbusReplyTimeout, SilentSlaveCostsAboutTwoSeconds) {
    TPtyPair pty;
    TScriptedPeer peer{pty, TScriptedPeer::ModbusRequestLength};
    TModbus bus;
    MapPort(TestPortName, pty.SlavePath());
    bus.SetPort(TestPortName);
    ASSERT_TRUE(bus.Open());
    Unsigned16Vector values;
    const auto start = Clock::now();
    EXPECT_FALSE(bus.ReadRegisters(1, 65200, 3, values));
    EXPECT_GE(Clock::now() - start,
              2 * (RequestPause + TSerialPort::ReplyTimeout + TModbus::RetryPause));
    EXPECT_EQ(peer.RequestCount(), 2u);
    ClearPortMap();
}

} // namespace
