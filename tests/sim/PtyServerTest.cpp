// The simulator's line: wire time, line speed, a line the system closes and opens again, and
// the flash file at the end of a run.
#include "tests/sim/SimFixture.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using Clock = std::chrono::steady_clock;

class PtyServerTest : public SimFixture {};

// The reply may not come before a real line could have carried request and reply (10 bit
// times per byte) plus the flash's working time; only that lower bound is a fact to test.
TEST_F(PtyServerTest, WireTimeAndFlashTimeDelayTheReply) {
    Start({.Device = {.Baud = 9600, .NewDevice = true, .EraseTime = 30ms},
           .Line = {.WireTime = true}});
    auto begin = Clock::now();
    EXPECT_EQ(Line->Exchange(Dl(3, 0x4000), 72).size(), 72u);
    EXPECT_GE(Clock::now() - begin, std::chrono::microseconds((8 + 72) * 10 * 1000000LL / 9600));

    begin = Clock::now();
    EXPECT_EQ(Line->Exchange(Dl(1, 0x4000), 8), Dl(1, 0x4000));
    EXPECT_GE(Clock::now() - begin,
              30ms + std::chrono::microseconds((8 + 8) * 10 * 1000000LL / 9600));
}

TEST_F(PtyServerTest, TrafficAtAnotherSpeedIsLostAsOnARealLine) {
    Start();
    const Bytes request = ReadRequest(1, 65200, 3);
    Line->SetBaud(9600);
    Line->Send(request);
    EXPECT_TRUE(Eventually([&] { return Sim->Counters().WrongSpeedBytes == request.size(); }));
    EXPECT_EQ(Sim->Counters().Handled, 0u);
    Line->SetBaud(19200);
    EXPECT_EQ(Line->Exchange(request, 11), ReadReply(1, {0, 0, 0x2105}));
}

// For programs linked by a pty pair, which carries no speed.
TEST_F(PtyServerTest, AnySpeedWhenTheCheckIsOff) {
    Start({.Line = {.CheckSpeed = false}});
    Line->SetBaud(57600);
    EXPECT_EQ(Line->Exchange(ReadRequest(1, 65200, 3), 11), ReadReply(1, {0, 0, 0x2105}));
}

// The system opens the port for each step and closes it after; the device keeps serving.
TEST_F(PtyServerTest, SystemClosesAndReopensTheLine) {
    Start();
    for (int round = 0; round < 3; ++round) {
        Line.reset();
        Line.emplace(Sim->SlavePath(), 19200);
        EXPECT_EQ(Line->Exchange(ReadRequest(1, 65200, 3), 11), ReadReply(1, {0, 0, 0x2105}));
    }
}

TEST_F(PtyServerTest, FlashFileAndLinkOfAnInProcessRun) {
    const TempDir dir("fwl-sim");
    const auto file = dir / "flash.bin";
    const auto link = dir / "line";
    Start({.Device = {.NewDevice = true}, .FlashOut = file, .Link = link});
    EXPECT_EQ(std::filesystem::read_symlink(link), Sim->SlavePath());
    EXPECT_EQ(Line->Exchange(Dl(2, 0xFFFE, {0x4000}), 8), Dl(2, 0xFFFE));
    Line.reset();
    Sim->Stop();
    EXPECT_FALSE(std::filesystem::exists(link));
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size(), 0x10000u);
    EXPECT_EQ(bytes[0xFFFE], 0x40); // high byte first, as in the firmware's HEX text
    EXPECT_EQ(bytes[0xFFFF], 0x00);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xFF), 0x10000 - 2);
}

} // namespace
