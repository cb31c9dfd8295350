// Each fault of the simulated converter, one at a time, and what the line shows of it.
#include "tests/sim/SimFixture.h"

namespace {

using sim::FaultKind;

constexpr std::uint8_t Slave = 1;
const Bytes IdentRead = ReadRequest(Slave, 65200, 3);
const Bytes IdentReply = ReadReply(Slave, {0, 0, 0x2105});

TSimOnPtyOptions WithFault(sim::Fault fault, bool newDevice = false) {
    TSimOnPtyOptions options;
    options.Device.Defect = fault;
    options.Device.NewDevice = newDevice;
    return options;
}

class FaultTest : public SimFixture {
protected:
    void Activate() { Line->Send(WriteManyRequest(Slave, 65500, Activation)); }
};

TEST_F(FaultTest, SilentLoader) {
    Start(WithFault({.Kind = FaultKind::SilentLoader}));
    Activate();
    Line->Send(Dl(3, 0x4000));
    EXPECT_TRUE(Line->StaysSilent());
    EXPECT_EQ(Sim->Mode(), sim::Mode::Loader);
}

TEST_F(FaultTest, SilentApplicationAfterTheStart) {
    Start(WithFault({.Kind = FaultKind::SilentApplication}));
    EXPECT_EQ(Line->Exchange(IdentRead, 11), IdentReply) << "the first application answers";
    Activate();
    EXPECT_EQ(Line->Exchange(Dl(0, 0), 8), Dl(0, 0));
    Line->Send(IdentRead);
    EXPECT_TRUE(Line->StaysSilent());
    EXPECT_EQ(Sim->Mode(), sim::Mode::Application);
}

TEST_F(FaultTest, ApplicationConfirmsTheActivationAndStays) {
    Start(WithFault({.Kind = FaultKind::ConfirmActivation}));
    const Bytes activation = WriteManyRequest(Slave, 65500, Activation);
    EXPECT_EQ(Line->Exchange(activation, 8), Rtu(Head(activation)));
    EXPECT_EQ(Line->Exchange(IdentRead, 11), IdentReply);
    EXPECT_EQ(Sim->Mode(), sim::Mode::Application);
}

TEST_F(FaultTest, BadCrcOnTheSecondAndThirdLoaderReply) {
    Start(WithFault({.Kind = FaultKind::BadCrc, .Nth = 2, .Times = 2, .Where = sim::Side::Loader},
                    true));
    EXPECT_EQ(Line->Exchange(Dl(1, 0x4000), 8), Dl(1, 0x4000));
    for (int i = 0; i < 2; ++i) {
        const Bytes reply = Line->Exchange(Dl(1, 0x4000), 8);
        ASSERT_EQ(reply.size(), 8u);
        EXPECT_EQ(Head(reply), Head(Dl(1, 0x4000)));
        EXPECT_NE(reply, Dl(1, 0x4000));
    }
    EXPECT_EQ(Line->Exchange(Dl(1, 0x4000), 8), Dl(1, 0x4000));
}

TEST_F(FaultTest, WrongEchoIsAConsistentFrameForAnotherAddress) {
    Start(WithFault({.Kind = FaultKind::BadEcho, .Nth = 1, .Times = 0}, true));
    const Bytes reply = Line->Exchange(Dl(3, 0x4000), 72);
    ASSERT_EQ(reply.size(), 72u);
    EXPECT_EQ(reply[4] | reply[5] << 8, 0x4002);
    EXPECT_EQ(reply, Dl(3, 0x4002, std::vector<std::uint16_t>(32, 0xFFFF)));
}

TEST_F(FaultTest, DroppedByteShortensTheReply) {
    Start(WithFault({.Kind = FaultKind::DropBytes, .Nth = 1}));
    const Bytes shortened = Line->Exchange(IdentRead, IdentReply.size() - 1);
    EXPECT_NE(shortened, Bytes(IdentReply.begin(), IdentReply.end() - 1)) << "a middle byte";
    // Nothing more of it comes: the next bytes are the whole next reply.
    EXPECT_EQ(Line->Exchange(IdentRead, IdentReply.size()), IdentReply);
}

TEST_F(FaultTest, PageThatNeverReadsBlank) {
    Start(WithFault({.Kind = FaultKind::NotBlank, .Address = 0x5004}));
    Activate();
    EXPECT_EQ(Line->Exchange(Dl(1, 0x5000), 8), Dl(1, 0x5000));
    const auto words = WordsOf(Line->Exchange(Dl(3, 0x5000), 72));
    ASSERT_EQ(words.size(), 32u);
    EXPECT_EQ(words[2], 0x0000);
    EXPECT_EQ(std::count(words.begin(), words.end(), 0xFFFF), 31);
}

TEST_F(FaultTest, WordThatFailsToProgram) {
    Start(WithFault({.Kind = FaultKind::StuckWord, .Address = 0x5002}, true));
    EXPECT_EQ(Line->Exchange(Dl(2, 0x5000, {0x1111, 0x2222, 0x3333}), 8), Dl(2, 0x5000));
    const auto words = WordsOf(Line->Exchange(Dl(3, 0x5000), 72));
    ASSERT_EQ(words.size(), 32u);
    EXPECT_EQ(words[0], 0x1111);
    EXPECT_EQ(words[1], 0xFFFF);
    EXPECT_EQ(words[2], 0x3333);
}

TEST_F(FaultTest, LineVanishesWithTheNthFrame) {
    Start(WithFault({.Kind = FaultKind::LineVanishes, .Nth = 2}));
    EXPECT_EQ(Line->Exchange(IdentRead, 11), IdentReply);
    const Bytes command = WriteOneRequest(Slave, 6000, 1);
    EXPECT_TRUE(Line->Exchange(command, 8).empty());
    EXPECT_TRUE(Sim->LineVanished());
    EXPECT_EQ(Sim->Counters().CommandWrites, 1u) << "the device took the last frame";
    pollfd p{Line->Handle(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_NE(p.revents & POLLHUP, 0) << "the system's side sees the hang-up";
}

} // namespace
