#include "converter/Converter.h"

#include "sim/Crc.h"
#include "tests/support/LinkOnPty.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SimOnPty.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

using namespace std::chrono;

// 8 March 2026, "AB", 1234, 56789, version 0x2105.
const Unsigned16Vector Example{0x4449, 0x2620, 0x0803, 0x4241, 0x04D2, 0xDDD5, 0x0000, 0x2105};

// The example record with other date registers.
Unsigned16Vector Dated(std::uint16_t century, std::uint16_t monthDay) {
    Unsigned16Vector block = Example;
    block[1] = century;
    block[2] = monthDay;
    return block;
}

// Two packed decimal digits.
std::uint16_t Bcd(unsigned value) {
    return static_cast<std::uint16_t>((value / 10 << 4) | value % 10);
}

TEST(ConvInfoItem, DecodesTheRegisterExample) {
    TConvInfoItem item;
    EXPECT_TRUE(item.Decode(Example, 0));
    EXPECT_EQ(item.Flags, 15);
    EXPECT_EQ(item.Date, year_month_day(2026y, March, 8d));
    EXPECT_EQ(item.User, "AB");
    EXPECT_EQ(item.Id1, 1234);
    EXPECT_EQ(item.Id2, 56789);
    EXPECT_EQ(item.GetVersion(), 0x2105);
}

TEST(ConvInfoItem, EncodesTheExampleDatedToday) {
    TConvInfoItem item;
    item.SetDate(year_month_day(2026y, March, 8d));
    item.SetUser("AB");
    item.SetId1(1234);
    item.SetId2(56789);
    item.SetVersion(0x2105);
    Unsigned16Vector block{0x1111};
    item.Encode(block);

    const year_month_day today = Today();
    const auto year = static_cast<unsigned>(static_cast<int>(today.year()));
    Unsigned16Vector expected = Example;
    expected[1] = static_cast<std::uint16_t>(Bcd(year / 100) | Bcd(year % 100) << 8);
    expected[2] = static_cast<std::uint16_t>(Bcd(static_cast<unsigned>(today.month())) |
                                             Bcd(static_cast<unsigned>(today.day())) << 8);
    expected.insert(expected.begin(), 0x1111);
    EXPECT_EQ(block, expected);

    TConvInfoItem back;
    EXPECT_FALSE(back.Decode(block, 0)); // the record was appended behind the 0x1111
    block.erase(block.begin());
    EXPECT_TRUE(back.Decode(block, 0));
    EXPECT_EQ(back.Date, today);
    EXPECT_EQ(back.User, "AB");
}

TEST(ConvInfoItem, ErasedRegistersGiveAnEmptyEntry) {
    TConvInfoItem item;
    item.SetUser("XY");
    EXPECT_FALSE(item.Decode(Unsigned16Vector(16, 0xFFFF), 1));
    EXPECT_EQ(item.Flags, 0);
    EXPECT_EQ(item.Date, Today());
    EXPECT_EQ(item.User, "");
    EXPECT_EQ(item.Id1, 0);
    EXPECT_EQ(item.Id2, 0);
    EXPECT_EQ(item.Version, 0);
}

TEST(ConvInfoItem, ImpossibleDateLeavesEverythingElse) {
    TConvInfoItem item;
    EXPECT_FALSE(item.Decode(Dated(0x0000, 0x0000), 0));
    EXPECT_EQ(item.Flags, 14);
    EXPECT_EQ(item.Date, Today());
    EXPECT_EQ(item.User, "AB");
    EXPECT_EQ(item.Id2, 56789);
    EXPECT_EQ(item.Version, 0x2105);

    EXPECT_TRUE(item.Decode(Dated(0x2420, 0x2902), 0));  // 29 February 2024
    EXPECT_FALSE(item.Decode(Dated(0x2520, 0x2902), 0)); // 2025 has no 29 February
    EXPECT_FALSE(item.Decode(Dated(0x2620, 0x0813), 0)); // month 13
    EXPECT_FALSE(item.Decode(Dated(0x2620, 0x0003), 0)); // day 0
    EXPECT_TRUE(item.Decode(Dated(0x9999, 0x3112), 0));  // 31 December 9999
    EXPECT_TRUE(item.Decode(Dated(0x0100, 0x0101), 0));  // 1 January of year 1
}

TEST(ConvInfoItem, NibbleAboveNineIsNoDate) {
    TConvInfoItem item;
    for (const Unsigned16Vector& block : {Dated(0x2A20, 0x0803), Dated(0x26A0, 0x0803),
                                          Dated(0x2620, 0x080A), Dated(0x2620, 0xF803)}) {
        EXPECT_NO_THROW(EXPECT_FALSE(item.Decode(block, 0)));
        EXPECT_EQ(item.Flags, 14);
    }
}

TEST(ConvInfoItem, ZeroUserBytesStillCountAsAUser) {
    TConvInfoItem item;
    Unsigned16Vector block = Example;
    block[3] = 0x0000;
    EXPECT_TRUE(item.Decode(block, 0));
    EXPECT_EQ(item.User, std::string(2, '\0'));
}

TEST(ConvInfoItem, ShortBlocksAndWrongMarkersAreRefused) {
    TConvInfoItem item;
    Unsigned16Vector block(127, 0);
    EXPECT_FALSE(item.Decode(block, 15));
    EXPECT_FALSE(item.Decode(block, SIZE_MAX / 4)); // no overflow in the size check
    block.insert(block.end(), Example.begin(), Example.end());
    EXPECT_FALSE(item.Decode(block, 15)); // record 15 is registers 120 to 127
    block.erase(block.begin(), block.begin() + 7);
    EXPECT_TRUE(item.Decode(block, 15));

    block = Example;
    block[0] = 0x4944; // "D" "I": bytes the wrong way round
    EXPECT_FALSE(item.Decode(block, 0));
    EXPECT_EQ(item.Flags, 0);
}

TEST(ConvInfoItem, InvalidEntryThrowsAndAppendsNothing) {
    TConvInfoItem item;
    item.SetDate(year_month_day(2026y, March, 8d));
    item.SetUser("A");
    item.SetId1(1);
    item.SetId2(2);
    EXPECT_EQ(item.User, "");
    EXPECT_EQ(item.Flags, 13);
    Unsigned16Vector block{1, 2, 3};
    try {
        item.Encode(block);
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "TConvInfoItem: Record invalid!");
    }
    EXPECT_EQ(block, (Unsigned16Vector{1, 2, 3}));
}

TEST(ConvInfoItem, EncodeKeepsTwoUserCharactersAndAllOfTheId) {
    TConvInfoItem item;
    item.SetDate(Today());
    item.SetUser("XYZ");
    item.SetId1(0xFFFF);
    item.SetId2(99999999);
    Unsigned16Vector block;
    item.Encode(block);
    ASSERT_EQ(block.size(), 8u);
    EXPECT_EQ(block[3], 0x5958);
    EXPECT_EQ(block[4], 0xFFFF);
    EXPECT_EQ(block[5], 0xE0FF);
    EXPECT_EQ(block[6], 0x05F5);
    EXPECT_EQ(block[7], 0x0000);

    item.SetId2(-2);
    block.clear();
    item.Encode(block);
    EXPECT_EQ(block[5], 0xFFFE);
    EXPECT_EQ(block[6], 0xFFFF);
    TConvInfoItem back;
    EXPECT_TRUE(back.Decode(block, 0));
    EXPECT_EQ(back.Id2, -2);
}

// ---- TConverter against the simulated converter ---------------------------------------------

// Long enough for the simulator's reply on a busy machine; a silent request costs little.
constexpr milliseconds FastTimeout{250};

// A record as the update stores it.
void Fill(TConvInfoItem& record) {
    record.SetDate(Today());
    record.SetUser("AB");
    record.SetId1(1234);
    record.SetId2(56789);
    record.SetVersion(0x2105);
}

class ConverterOnSim : public ::testing::Test {
protected:
    void TearDown() override {
        Converter.Close();
        if (Sim) {
            Sim->Stop();
        }
    }

    void Start(const sim::DeviceOptions& device) {
        Sim = std::make_unique<TSimOnPty>(TSimOnPtyOptions{.Device = device});
        MapPort(TestPortName, Sim->SlavePath());
        Converter.SetPort(TestPortName);
        Converter.SetBaudrate(device.Baud);
        Converter.SetReplyTimeout(FastTimeout);
        Converter.SetAddress(device.Address);
    }

    TConverter Converter;
    std::unique_ptr<TSimOnPty> Sim;
};

TEST_F(ConverterOnSim, CurrentGenerationGetsItsRegisterMapByType) {
    // Type 3 first: a type without its own command register keeps the one it had, here the
    // one of construction.
    const std::vector<std::pair<std::uint16_t, std::int32_t>> commandByType{
        {3, 6000}, {0, 6000}, {5, 46000}};
    for (const auto& [type, command] : commandByType) {
        SCOPED_TRACE(type);
        Start({.Type = type, .SubType = 2, .Version = 0x2200, .Address = 17});
        ASSERT_TRUE(Converter.Connect());
        EXPECT_EQ(Converter.GetAddress(), 17);
        EXPECT_EQ(Converter.GetType(), type);
        EXPECT_EQ(Converter.GetSubType(), 2);
        EXPECT_EQ(Converter.GetVersion(), 0x2200);
        EXPECT_EQ(Converter.GetCommandRegister(), command);
        EXPECT_EQ(Converter.GetVersionRegister(), 65202);
        EXPECT_EQ(Converter.GetLoaderRegister(), 65500);
        EXPECT_EQ(Converter.GetRecordBase(), 65300);
        EXPECT_TRUE(Converter.WriteCommand());
        EXPECT_EQ(Sim->Counters().LastCommand, 1);
        EXPECT_EQ(Sim->Counters().Exceptions, 0u);
        Converter.Close();
        Sim->Stop();
    }
    Start({.Type = 3});
    ASSERT_TRUE(Converter.Connect());
    EXPECT_EQ(Converter.GetCommandRegister(), 46000);
}

TEST_F(ConverterOnSim, OldGenerationIsReadAndWrittenAtItsOwnRegisters) {
    Start({.Gen = sim::Generation::Old, .Version = 0x2003, .PresetRecords = 2});
    ASSERT_TRUE(Converter.Connect());
    EXPECT_EQ(Converter.GetType(), 0);
    EXPECT_EQ(Converter.GetSubType(), 0);
    EXPECT_EQ(Converter.GetVersion(), 0x2003);
    EXPECT_EQ(Converter.GetVersionRegister(), 300);
    EXPECT_EQ(Converter.GetCommandRegister(), 205);
    EXPECT_EQ(Converter.GetLoaderRegister(), 65000);
    EXPECT_EQ(Converter.GetRecordBase(), 60000);

    ASSERT_TRUE(Converter.ReadRecords());
    EXPECT_EQ(Converter.RecordCount(), 2);
    Fill(Converter.Record(2));
    EXPECT_TRUE(Converter.WriteRecord(2));
    EXPECT_EQ(Sim->Records()[16], 0x4449);
    EXPECT_EQ(Sim->RecordCount(), 3);
    EXPECT_TRUE(Converter.WriteCommand());
    EXPECT_EQ(Sim->Counters().CommandWrites, 1u);
    EXPECT_TRUE(Converter.ActivateLoader());
    EXPECT_EQ(Sim->Mode(), sim::Mode::Loader);
    EXPECT_EQ(Sim->Counters().Exceptions, 0u);
}

// Record 3 lands at RecordBase + 24; only type 0, subtype 0 also gets the count 4 at 60128.
TEST_F(ConverterOnSim, RecordWriteAndItsCountByType) {
    for (const std::uint16_t type : {0, 5}) {
        SCOPED_TRACE(type);
        Start({.Type = type});
        ASSERT_TRUE(Converter.Connect());
        Fill(Converter.Record(3));
        EXPECT_TRUE(Converter.WriteRecord(3));
        const auto records = Sim->Records();
        const std::vector<std::uint16_t> written(records.begin() + 24, records.begin() + 32);
        EXPECT_EQ(written[0], 0x4449);
        EXPECT_EQ(std::vector<std::uint16_t>(written.begin() + 3, written.end()),
                  (std::vector<std::uint16_t>{0x4241, 0x04D2, 0xDDD5, 0x0000, 0x2105}));
        EXPECT_EQ(records[23], 0xFFFF);
        EXPECT_EQ(records[32], 0xFFFF);
        const sim::Counters counters = Sim->Counters();
        EXPECT_EQ(counters.RecordWrites, 1u);
        EXPECT_EQ(counters.RecordCountWrites, type == 0 ? 1u : 0u);
        EXPECT_EQ(Sim->RecordCount(), type == 0 ? 4 : 0);
        Converter.Close();
        Sim->Stop();
    }
}

TEST_F(ConverterOnSim, RecordCountStopsAtTheFirstInvalidRecord) {
    Start({.PresetRecords = 16});
    ASSERT_TRUE(Converter.Connect());
    ASSERT_TRUE(Converter.ReadRecords());
    EXPECT_EQ(Converter.RecordCount(), 16);

    Sim->WithDevice([](sim::Device& device) { device.Records()[8 * 5] = 0xFFFF; });
    ASSERT_TRUE(Converter.ReadRecords());
    EXPECT_EQ(Converter.RecordCount(), 5);
    EXPECT_TRUE(Converter.Record(6).IsValid());

    // A read that fails leaves the records as they were.
    Converter.Close();
    EXPECT_FALSE(Converter.ReadRecords());
    EXPECT_EQ(Converter.RecordCount(), 5);
}

TEST_F(ConverterOnSim, BadIndexAndInvalidRecordSendNothing) {
    Start({});
    ASSERT_TRUE(Converter.Connect());
    const std::uint64_t handled = Sim->Counters().Handled;
    try {
        Converter.Record(16);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "TConverter: Index out of Range!");
    }
    EXPECT_FALSE(Converter.WriteRecord(16));
    try {
        Converter.WriteRecord(0);
        ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "TConvInfoItem: Record invalid!");
    }
    EXPECT_EQ(Sim->Counters().Handled, handled);
}

TEST_F(ConverterOnSim, ConfirmedActivationMeansTheApplicationStayed) {
    Start({.Defect = {.Kind = sim::FaultKind::ConfirmActivation}});
    ASSERT_TRUE(Converter.Connect());
    EXPECT_FALSE(Converter.ActivateLoader());
    EXPECT_EQ(Sim->Counters().Activations, 1u);
    EXPECT_EQ(Sim->Mode(), sim::Mode::Application);
}

TEST_F(ConverterOnSim, ConnectTwiceKeepsThePortOpen) {
    Start({});
    ASSERT_TRUE(Converter.Connect());
    EXPECT_FALSE(Converter.Connect());
    EXPECT_TRUE(Converter.IsOpen());
    EXPECT_EQ(Converter.GetVersion(), 0x2105);
}

TEST_F(ConverterOnSim, FailedIdentificationClosesAndChangesNothing) {
    Start({.Type = 5, .Address = 3});
    ASSERT_TRUE(Converter.Connect());
    Converter.Close();
    Converter.SetAddress(4); // nobody answers there
    EXPECT_FALSE(Converter.Connect());
    EXPECT_FALSE(Converter.IsOpen());
    EXPECT_EQ(Converter.GetType(), 5);
    EXPECT_EQ(Converter.GetCommandRegister(), 46000);
}

// The identification of an old converter has already set its map when its version read fails.
TEST_F(ConverterOnSim, FailedVersionReadOfAnOldConverterCloses) {
    Start({.Gen = sim::Generation::Old,
           .Defect = {.Kind = sim::FaultKind::BadCrc, .Nth = 2, .Times = 0}});
    EXPECT_FALSE(Converter.Connect());
    EXPECT_FALSE(Converter.IsOpen());
    EXPECT_EQ(Converter.GetType(), 0);
    EXPECT_EQ(Converter.GetVersionRegister(), 300);
    EXPECT_EQ(Converter.GetRecordBase(), 60000);
}

// ---- replies shorter than asked for, from a scripted peer -----------------------------------

// A Modbus frame with its CRC, as the converter's side of the line computes it.
std::string WithCrc(const std::string& bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::uint16_t crc = sim::CrcModbus({data, bytes.size()});
    return bytes + static_cast<char>(crc & 0xFF) + static_cast<char>(crc >> 8);
}

class ConverterShortReplies : public ::testing::Test {
protected:
    void SetUp() override {
        MapPort(TestPortName, Pty.SlavePath());
        Converter.SetPort(TestPortName);
        Converter.SetReplyTimeout(FastTimeout);
        Converter.SetAddress(1);
    }
    void TearDown() override { Converter.Close(); }

    TPtyPair Pty;
    TScriptedPeer Peer{Pty, TScriptedPeer::ModbusRequestLength};
    TConverter Converter;
};

// A well-formed reply with fewer values than asked for is a failed identification: no value
// beyond those that came is read.
TEST_F(ConverterShortReplies, IdentificationWithOneValueFails) {
    Peer.Answer(Hex("01 03 02 12 34 B5 33")); // byte count 2 for 3 registers
    EXPECT_FALSE(Converter.Connect());
    EXPECT_FALSE(Converter.IsOpen());
    EXPECT_EQ(Peer.RequestCount(), 1u);
    EXPECT_EQ(Converter.GetVersion(), -1);
}

TEST_F(ConverterShortReplies, OldVersionReadWithoutValueFails) {
    Peer.Answer(WithCrc(Hex("01 03 06 00 00 00 00 00 00")));
    Peer.Answer(WithCrc(Hex("01 03 00")));
    EXPECT_FALSE(Converter.Connect());
    EXPECT_FALSE(Converter.IsOpen());
    EXPECT_EQ(Peer.RequestCount(), 2u);
    EXPECT_EQ(Converter.GetVersion(), 0);
}

} // namespace
