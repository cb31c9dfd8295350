// The simulator's line: wire time, line speed, a line the system closes and opens again, the
// flash file at the end of a run, and several devices on one bus.
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

// Every device hears every frame; only the one at the frame's address answers.
TEST_F(PtyServerTest, EachDeviceOnTheBusAnswersItsOwnAddress) {
    Start({.Bus = {{.Version = 0x2103, .Address = 3},
                   {.Type = 5, .Version = 0x2207, .Address = 7},
                   {.Address = 11, .Foreign = true}}});
    ASSERT_EQ(Sim->DeviceCount(), 3u);
    EXPECT_EQ(Line->Exchange(ReadRequest(7, 65200, 3), 11), ReadReply(7, {5, 0, 0x2207}));
    EXPECT_TRUE(Eventually([&] { return FramesTaken(0) == 1 && FramesTaken(2) == 1; }));
    EXPECT_EQ(Sim->Counters(0).OtherAddress, 1u);
    EXPECT_EQ(Sim->Counters(2).OtherAddress, 1u);
    EXPECT_EQ(Line->Exchange(ReadRequest(11, 65200, 3), 5), ExceptionReply(11, 3, 2));
    EXPECT_TRUE(Eventually([&] { return FramesTaken(0) == 2 && FramesTaken(1) == 2; }));
    EXPECT_EQ(Sim->Counters(0).Handled, 0u);
    EXPECT_EQ(Sim->Counters(1).Handled, 1u);
    EXPECT_EQ(Sim->Counters(1).OtherAddress, 1u);
    EXPECT_EQ(Sim->Counters(2).Exceptions, 1u);
    for (std::size_t device = 0; device < 3; ++device) {
        EXPECT_EQ(Sim->Counters(device).Collisions, 0u) << device;
    }
}

// Two answers to one frame never line up on a real line, not even equal ones: the master gets
// bytes that fail their checksum, once with wire time (overlap in time) and once without (one
// frame's replies).
TEST_F(PtyServerTest, RepliesThatMeetOnTheBusCollide) {
    const auto countedOnBoth = [&] {
        for (std::size_t device = 0; device < 2; ++device) {
            EXPECT_EQ(Sim->Counters(device).Collisions, 1u) << device;
        }
    };
    const sim::DeviceOptions loader{.InLoader = true, .BlankFlash = true};
    Start({.Device = loader, .Line = {.WireTime = true}});
    const Bytes alone = Line->Exchange(Dl(3, 0x4000), 72);
    ASSERT_EQ(alone, Dl(3, 0x4000, std::vector<std::uint16_t>(32, 0xFFFF)));
    Start({.Bus = {loader, loader}, .Line = {.WireTime = true}});
    Bytes got = Line->Exchange(Dl(3, 0x4000), alone.size());
    ASSERT_EQ(got.size(), alone.size());
    EXPECT_NE(got, alone);
    EXPECT_NE(TestCrcCcitt(Bytes(got.begin(), got.end() - 2), 2), got[70] | got[71] << 8);
    countedOnBoth();

    Start({.Bus = {{.Address = 5}, {.Address = 5}}});
    const Bytes reply = ReadReply(5, {0, 0, 0x2105});
    got = Line->Exchange(ReadRequest(5, 65200, 3), reply.size());
    ASSERT_EQ(got.size(), reply.size());
    EXPECT_NE(got, reply);
    EXPECT_NE(TestCrcModbus(Bytes(got.begin(), got.end() - 2)), got[9] | got[10] << 8);
    countedOnBoth();
}

// Even where the mix of the drivers would leave one reply standing (the other sends only
// idle bits), the master gets no frame that passes its checksum.
TEST(CollideTest, NoMixPassesForAFrame) {
    const Bytes reply = ReadReply(5, {0, 0, 0x2105});
    const Bytes got = sim::Collide({reply, Bytes(reply.size(), 0xFF)});
    ASSERT_EQ(got.size(), reply.size());
    EXPECT_NE(TestCrcModbus(Bytes(got.begin(), got.end() - 2)), got[9] | got[10] << 8);
}

} // namespace
