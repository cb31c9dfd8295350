#include "converter/Converter.h"

#include <gtest/gtest.h>

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

} // namespace
