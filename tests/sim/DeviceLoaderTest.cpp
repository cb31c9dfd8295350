// The boot loader side of the simulated converter, driven over its pty with "DL" frames built
// by the test.
#include "tests/sim/SimFixture.h"

namespace {

const std::vector<std::uint16_t> Blank32(32, 0xFFFF);

std::vector<std::uint16_t> Page(std::uint16_t seed) {
    std::vector<std::uint16_t> words;
    for (std::uint16_t i = 0; i < 32; ++i) {
        words.push_back(static_cast<std::uint16_t>(seed + i * 0x0101));
    }
    return words;
}

class DeviceLoaderTest : public SimFixture {
protected:
    std::vector<std::uint16_t> ReadPage(std::uint16_t address) {
        const Bytes request = Dl(3, address);
        const Bytes reply = Line->Exchange(request, 72);
        EXPECT_EQ(reply.size(), 72u);
        EXPECT_EQ(Head(reply), Head(request));
        return WordsOf(reply);
    }
    bool Acknowledged(const Bytes& request) {
        return Line->Exchange(request, 8) ==
               Dl(static_cast<std::uint16_t>(request[2] | request[3] << 8),
                  static_cast<std::uint16_t>(request[4] | request[5] << 8));
    }
};

TEST_F(DeviceLoaderTest, NewDeviceStartsInTheLoaderWithBlankFlash) {
    Start({.Device = {.NewDevice = true}});
    EXPECT_EQ(ReadPage(0x4000), Blank32);
    EXPECT_EQ(ReadPage(0xFFC0), Blank32);
    EXPECT_EQ(Sim->Mode(), sim::Mode::Loader);
}

TEST_F(DeviceLoaderTest, WriteReadAndEraseBehaveLikeFlash) {
    Start({.Device = {.NewDevice = true}});
    const auto page = Page(0x3140);
    EXPECT_TRUE(Acknowledged(Dl(2, 0x5000, page)));
    EXPECT_EQ(ReadPage(0x5000), page);

    // Programming again only clears bits.
    EXPECT_TRUE(Acknowledged(Dl(2, 0x5040, {0x0F0F})));
    EXPECT_TRUE(Acknowledged(Dl(2, 0x5040, {0xF0FF})));
    EXPECT_EQ(ReadPage(0x5040)[0], 0x000F);

    // An erase takes the whole 512-byte segment and nothing beyond it.
    EXPECT_TRUE(Acknowledged(Dl(2, 0x5200, {0x1234})));
    EXPECT_TRUE(Acknowledged(Dl(1, 0x5000)));
    for (std::uint16_t a = 0x5000; a < 0x5200; a += 64) {
        EXPECT_EQ(ReadPage(a), Blank32) << std::hex << a;
    }
    EXPECT_EQ(ReadPage(0x5200)[0], 0x1234);

    const auto counters = Sim->Counters();
    EXPECT_EQ(counters.Erases, 1u);
    EXPECT_EQ(counters.PagesWritten, 4u);
    EXPECT_EQ(counters.WordsWritten, 35u);
    EXPECT_EQ(Sim->LoaderLog().front(), (sim::LoaderCommand{2, 0x5000, 32}));
    EXPECT_EQ(Sim->FlashWords(0x5200, 1)[0], 0x1234);
}

TEST_F(DeviceLoaderTest, InformationMemoryErasesIn128ByteSegments) {
    Start({.Device = {.NewDevice = true}});
    Sim->WithDevice([](sim::Device& device) {
        const std::vector<std::uint16_t> calibration(128, 0x5A5A);
        device.Memory().Load(0x1000, calibration);
    });
    EXPECT_TRUE(Acknowledged(Dl(1, 0x1080)));
    EXPECT_EQ(ReadPage(0x1080), Blank32);
    EXPECT_EQ(ReadPage(0x10C0), Blank32);
    EXPECT_EQ(ReadPage(0x1040), std::vector<std::uint16_t>(32, 0x5A5A));
}

TEST_F(DeviceLoaderTest, OldFirmwareIsThereUntilErased) {
    Start();
    Line->Send(WriteManyRequest(1, 65500, Activation));
    EXPECT_NE(ReadPage(0x4000), Blank32);
    EXPECT_TRUE(Acknowledged(Dl(1, 0x4000)));
    EXPECT_EQ(ReadPage(0x4000), Blank32);
}

TEST_F(DeviceLoaderTest, BadChecksumsAndUnknownCommandsGetNoReply) {
    Start({.Device = {.NewDevice = true}});
    const Bytes probe = Dl(1, 0x6000);
    Bytes spoilt = Dl(1, 0x4000);
    spoilt[6] ^= 0x01;
    ExpectIgnored(spoilt, probe, probe);
    ExpectIgnored(Dl(7, 0x4000), probe, probe);
    EXPECT_EQ(Sim->Counters().Erases, 2u) << "only the probes erased";
}

// A first-time download ends with the application at 255 and 19200 baud, whatever speed the
// boot loader was addressed at.
TEST_F(DeviceLoaderTest, StartAfterFirstTimeDownloadListensAtFactorySettings) {
    Start(
        {.Device = {.Address = 7, .Baud = 57600, .NewDevice = true}, .Line = {.CheckSpeed = true}});
    EXPECT_TRUE(Acknowledged(Dl(0, 0)));
    EXPECT_EQ(Sim->Mode(), sim::Mode::Application);

    Line->Send(ReadRequest(255, 65200, 3)); // still at 57600: not understood
    EXPECT_TRUE(Eventually([&] { return Sim->Counters().WrongSpeedBytes == 8; }));
    Line->SetBaud(19200);
    EXPECT_EQ(Line->Exchange(ReadRequest(255, 65200, 3), 11), ReadReply(255, {0, 0, 0x2105}));
}

// As a broken-off download leaves the device: the boot loader waits at the device's speed, and
// the application it starts is at the device's own address, not the factory's.
TEST_F(DeviceLoaderTest, DeviceLeftInTheLoaderStartsItsApplicationWithItsOwnSettings) {
    Start(
        {.Device = {.Address = 7, .Baud = 38400, .InLoader = true}, .Line = {.CheckSpeed = true}});
    EXPECT_EQ(Sim->Mode(), sim::Mode::Loader);
    EXPECT_NE(ReadPage(0x4000), Blank32); // the old firmware is still there
    EXPECT_TRUE(Acknowledged(Dl(0, 0)));
    EXPECT_EQ(Line->Exchange(ReadRequest(7, 65200, 3), 11), ReadReply(7, {0, 0, 0x2105}));
}

TEST_F(DeviceLoaderTest, StartAfterUpdateKeepsTheApplicationsSettings) {
    Start({.Device = {.Address = 7, .Baud = 38400}});
    Line->Send(WriteManyRequest(7, 65500, Activation));
    EXPECT_TRUE(Acknowledged(Dl(0, 0)));
    EXPECT_EQ(Line->Exchange(ReadRequest(7, 65200, 3), 11), ReadReply(7, {0, 0, 0x2105}));
}

} // namespace
