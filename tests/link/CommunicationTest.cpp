#include "link/Communication.h"

#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Frame checksums below come from python3: binascii.crc_hqx(bytes 2.., 0xFFFF), the
// CRC-16/CCITT-FALSE of the command, address and data, written low byte first.

namespace {

constexpr auto Timeout = 150ms;
constexpr auto Wait = 10s; // readiness waits; never reached when things work

std::string LittleEndian(const Unsigned16Vector& words) {
    std::string bytes;
    for (const std::uint16_t word : words) {
        bytes += static_cast<char>(word & 0xFF);
        bytes += static_cast<char>(word >> 8);
    }
    return bytes;
}

// The read-back used below: code 3 at 0xE000, 32 words 0xA500, 0xA601, ...
const std::string ReadRequest = Hex("44 4C 03 00 00 E0 32 E2");
const Unsigned16Vector ReadWords = Ramp(0xA500, 32, 0x0101);
const std::string ReadReply = Hex("44 4C 03 00 00 E0") + LittleEndian(ReadWords) + Hex("6B 4D");
const std::string EraseRequest = Hex("44 4C 01 00 00 40 B0 BA"); // code 1 at 0x4000

class CommunicationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenOnPty(Link, Pty, Timeout)); }
    void TearDown() override { ClearPortMap(); }

    TPtyPair Pty;
    TScriptedPeer Peer{Pty};
    TCommunication Link;
    THookCounter Passes;
};

TEST(CommunicationCrc, IsCcittFalse) {
    EXPECT_EQ(TCommunication::CrcCcitt("123456789", 9), 0x29B1);
    EXPECT_EQ(TCommunication::CrcCcitt("", 0), 0xFFFF);
    EXPECT_EQ(TCommunication::CrcCcitt(Hex("02 00 34 12 CD AB").data(), 6), 0x2AC2);
}

TEST_F(CommunicationTest, SendFrameWritesTheFrameLowBytesFirst) {
    const Unsigned16Vector words{0xABCD};
    EXPECT_TRUE(Link.SendFrame(2, 0x1234, words));
    ASSERT_TRUE(Peer.WaitForRequests(1, Wait));
    EXPECT_EQ(ToHex(Peer.Requests().at(0)), "44 4C 02 00 34 12 CD AB C2 2A");
    EXPECT_EQ(words, Unsigned16Vector{0xABCD});
}

TEST_F(CommunicationTest, SendFrameCarriesAtMostMaxWords) {
    ASSERT_EQ(Link.GetMaxWords(), 32u);
    const Unsigned16Vector words = Ramp(0x1100, 40);
    EXPECT_TRUE(Link.SendFrame(2, 0x4000, words));
    ASSERT_TRUE(Peer.WaitForRequests(1, Wait));
    const std::string expected =
        Hex("44 4C 02 00 00 40") + LittleEndian(Ramp(0x1100, 32)) + Hex("76 07");
    EXPECT_EQ(ToHex(Peer.Requests().at(0)), ToHex(expected));
    EXPECT_EQ(words.size(), 40u);
}

TEST_F(CommunicationTest, CommandWithoutWordsIsOneShortFrame) {
    Peer.Answer(EraseRequest); // the boot loader echoes code and address
    EXPECT_TRUE(Link.SendCommand(1, 0x4000, {}));
    EXPECT_EQ(Peer.Requests(), std::vector<std::string>{EraseRequest});
}

// Each frame's words go to the bytes right behind the previous frame's (64 bytes on).
TEST_F(CommunicationTest, CommandIsSplitIntoFramesOf32Words) {
    Peer.Answer(Hex("44 4C 02 00 00 40 6C 21"));
    Peer.Answer(Hex("44 4C 02 00 40 40 A0 2C"));
    Peer.Answer(Hex("44 4C 02 00 80 40 F4 3A"));
    const Unsigned16Vector words = Ramp(0x2000, 70);
    EXPECT_TRUE(Link.SendCommand(2, 0x4000, words));
    const std::vector<std::string> requests = Peer.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(ToHex(requests[0]),
              ToHex(Hex("44 4C 02 00 00 40") + LittleEndian(Ramp(0x2000, 32)) + Hex("0E A7")));
    EXPECT_EQ(ToHex(requests[1]),
              ToHex(Hex("44 4C 02 00 40 40") + LittleEndian(Ramp(0x2020, 32)) + Hex("22 80")));
    EXPECT_EQ(ToHex(requests[2]),
              ToHex(Hex("44 4C 02 00 80 40") + LittleEndian(Ramp(0x2040, 6)) + Hex("60 A5")));
}

TEST_F(CommunicationTest, QueryReturnsTheWordsOfTheReply) {
    Peer.Answer(ReadReply);
    Unsigned16Vector words{1, 2, 3};
    EXPECT_TRUE(Link.Query(3, 0xE000, words));
    EXPECT_EQ(words, ReadWords);
    EXPECT_EQ(Peer.Requests(), std::vector<std::string>{ReadRequest});
}

// Each bad reply fails its try; the retry, with the line purged, gets the good one.
TEST_F(CommunicationTest, BadRepliesFailTheTryAndTheRetryRecovers) {
    std::string corrupted = ReadReply;
    corrupted[20] ^= 0x01;
    std::string otherHeader = ReadReply;
    otherHeader[1] = 'X';
    const std::string wrongCode =
        Hex("44 4C 02 00 00 E0") + LittleEndian(ReadWords) + Hex("9C 77"); // CRC right
    const std::string otherAddress =
        Hex("44 4C 03 00 00 E1") + LittleEndian(ReadWords) + Hex("D8 35"); // CRC right
    const std::pair<const char*, TReply> cases[] = {
        {"short", TReply{ReadReply.substr(0, 71)}},
        // Midway through the pause before the retry, which purges the line: as far from the
        // end of the read as from the retry.
        {"late", TReply{ReadReply, Timeout + TCommunication::RetryPause / 2}},
        {"corrupted", TReply{corrupted}},
        {"header", TReply{otherHeader}},
        {"code", TReply{wrongCode}},
        {"address", TReply{otherAddress}},
        {"stale byte first", TReply{std::string(1, '\0') + ReadReply}},
    };
    std::size_t requests = 0;
    for (const auto& [name, bad] : cases) {
        SCOPED_TRACE(name);
        Peer.Answer(bad);
        Peer.Answer(ReadReply);
        Unsigned16Vector words;
        EXPECT_TRUE(Link.Query(3, 0xE000, words));
        EXPECT_EQ(words, ReadWords); // the bad reply added nothing
        requests += 2;
        ASSERT_TRUE(Peer.WaitForRequests(requests, Wait));
        EXPECT_EQ(Peer.RequestCount(), requests);
        for (const std::string& request : Peer.Requests()) {
            EXPECT_EQ(request, ReadRequest);
        }
    }
}

TEST_F(CommunicationTest, NoiseAfterAReplyDoesNotSpoilTheNext) {
    Peer.Answer(ReadReply + Hex("FF 00 FF"));
    Peer.Answer(ReadReply);
    Unsigned16Vector words;
    EXPECT_TRUE(Link.Query(3, 0xE000, words));
    EXPECT_TRUE(Link.Query(3, 0xE000, words));
    EXPECT_EQ(words, ReadWords);
    EXPECT_EQ(Peer.RequestCount(), 2u);
}

TEST_F(CommunicationTest, SilentBootLoaderCostsThreeTriesAndThreePauses) {
    Unsigned16Vector words{7};
    const auto start = Clock::now();
    EXPECT_FALSE(Link.Query(3, 0xE000, words));
    EXPECT_GE(Clock::now() - start, 3 * (TCommunication::RetryPause + Timeout));
    EXPECT_TRUE(words.empty());
    ASSERT_TRUE(Peer.WaitForRequests(3, Wait));
    EXPECT_EQ(Peer.RequestCount(), 3u);
}

TEST_F(CommunicationTest, FailedFrameStopsTheCommand) {
    Peer.Answer(Hex("44 4C 02 00 00 40 6C 21")); // first frame acknowledged, then silence
    EXPECT_FALSE(Link.SendCommand(2, 0x4000, Ramp(0x2000, 70)));
    ASSERT_TRUE(Peer.WaitForRequests(4, Wait));
    const std::vector<std::string> requests = Peer.Requests();
    ASSERT_EQ(requests.size(), 4u); // the third frame is never sent
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i], requests[1]); // each retry is the same frame
        EXPECT_EQ(ToHex(requests[i].substr(0, 6)), "44 4C 02 00 40 40");
    }
}

TEST_F(CommunicationTest, AddressBeyond16BitsIsNeverAcknowledged) {
    for (int i = 0; i < TCommunication::Tries; ++i) {
        Peer.Answer(EraseRequest);
    }
    EXPECT_FALSE(Link.SendCommand(1, 0x14000, {}));
    EXPECT_EQ(Peer.Requests(), std::vector<std::string>(TCommunication::Tries, EraseRequest));
}

TEST_F(CommunicationTest, BootLoaderVanishingMidReplyFailsAtTheTimeout) {
    Peer.Answer(TReply{.Bytes = ReadReply.substr(0, 30), .CloseAfter = true});
    Unsigned16Vector words;
    EXPECT_FALSE(Link.Query(3, 0xE000, words));
    EXPECT_TRUE(words.empty());
    // Three reads on a dead line, none of them spinning.
    EXPECT_LE(Passes.Calls, TCommunication::Tries * (Timeout / TSerialPort::ReadPass + 2));
}

TEST(CommunicationClosed, FailsWithoutTouchingTheLine) {
    TCommunication link;
    Unsigned16Vector words{1};
    EXPECT_FALSE(link.SendFrame(1, 0x4000, words));
    EXPECT_FALSE(link.ReceiveFrame(3, 0x4000, words));
    EXPECT_EQ(words, Unsigned16Vector{1});
    const auto start = Clock::now();
    EXPECT_FALSE(link.Query(3, 0x4000, words));
    EXPECT_GE(Clock::now() - start, TCommunication::Tries * TCommunication::RetryPause);
    EXPECT_TRUE(words.empty());
}

} // namespace
