// The history list's rows and how the update reads the texts it is given; no device needed.
#include "app/Update.h"
#include "tests/app/RecordingUi.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace std::chrono;
using Row = std::vector<std::string>;

namespace {

void Fill(TConvInfoItem& record, year_month_day date, const std::string& user, std::uint16_t id1,
          std::int32_t id2, std::uint16_t version) {
    record.SetDate(date);
    record.SetUser(user);
    record.SetId1(id1);
    record.SetId2(id2);
    record.SetVersion(version);
}

class HistoryList : public ::testing::Test {
protected:
    TConverter Converter;
    THexLoader Loader;
    TRecordingUi Ui;
    TUpdate Update{Converter, Loader, Ui};
};

} // namespace

TEST(HistoryFormat, VersionWordAsMajorMinorBuild) {
    EXPECT_EQ(FormatVersion(0x1234), "1.2.52");
    EXPECT_EQ(FormatVersion(0x2100), "2.1.0");
    EXPECT_EQ(FormatVersion(0x0000), "0.0.0");
    EXPECT_EQ(FormatVersion(0xFFFF), "15.15.255");
}

TEST(HistoryFormat, DateWithTwoDigitDayAndMonth) {
    EXPECT_EQ(FormatDate(2026y / March / 8d), "08.03.2026");
    EXPECT_EQ(FormatDate(2024y / December / 31d), "31.12.2024");
    EXPECT_EQ(FormatDate(year{987} / January / 1d), "01.01.0987");
}

TEST(HistoryFormat, RowColumnsWithUnsignedAndSignedId) {
    TConvInfoItem record;
    Fill(record, 2026y / March / 8d, "AB", 57920, 12345678, 0x1234);
    EXPECT_EQ(HistoryRow(0, record), (Row{"1", "08.03.2026", "AB", "57920-12345678", "1.2.52"}));

    TConvInfoItem negative;
    Fill(negative, 2025y / July / 14d, "QX", 65535, -2, 0x2100);
    EXPECT_EQ(HistoryRow(15, negative), (Row{"16", "14.07.2025", "QX", "65535--2", "2.1.0"}));
}

TEST(InputTexts, IdLinesTrimmedDecimalAndFirstLineCutTo16Bits) {
    EXPECT_EQ(TUpdate::Id1Of("123456"), 57920);
    EXPECT_EQ(TUpdate::Id1Of("  4711 "), 4711);
    EXPECT_EQ(TUpdate::Id1Of("65536"), 0);
    EXPECT_EQ(TUpdate::Id1Of(""), 0);
    EXPECT_EQ(TUpdate::Id1Of("12a4"), 0);
    EXPECT_EQ(TUpdate::Id1Of("0x12"), 0);
    EXPECT_EQ(TUpdate::Id2Of("99999999"), 99999999);
    EXPECT_EQ(TUpdate::Id2Of(" 00001234"), 1234);
    EXPECT_EQ(TUpdate::Id2Of("-17"), -17);
    EXPECT_EQ(TUpdate::Id2Of("        "), 0);
    EXPECT_EQ(TUpdate::Id2Of("99999999999"), 0); // more than 32 bits is no number either
}

TEST(InputTexts, BaudTextThatIsNoNumberGives19200) {
    EXPECT_EQ(TUpdate::BaudrateOf("57600"), 57600);
    EXPECT_EQ(TUpdate::BaudrateOf("9600"), 9600);
    EXPECT_EQ(TUpdate::BaudrateOf(""), 19200);
    EXPECT_EQ(TUpdate::BaudrateOf("fast"), 19200);
    EXPECT_EQ(TUpdate::BaudrateOf("38400 baud"), 19200);
}

TEST_F(HistoryList, ListsLeadingValidRecordsBetweenSuspendAndResume) {
    Fill(Converter.Record(0), 2026y / March / 8d, "AB", 1234, 56789, 0x2105);
    Fill(Converter.Record(1), 2026y / March / 9d, "CD", 1234, 56789, 0x2106);
    // Record 2 stays empty, so record 3 is not listed although it is complete.
    Fill(Converter.Record(3), 2026y / March / 10d, "EF", 1, 2, 0x2107);

    Update.FillInfoList();

    EXPECT_EQ(Ui.Rows, (std::vector<Row>{{"1", "08.03.2026", "AB", "1234-56789", "2.1.5"},
                                         {"2", "09.03.2026", "CD", "1234-56789", "2.1.6"}}));
    EXPECT_EQ(Ui.Events, (std::vector<std::string>{"suspend", "row", "row", "resume", "process"}));
}

TEST_F(HistoryList, EmptyLogGivesNoRowsAndFullLogSixteen) {
    Update.FillInfoList();
    EXPECT_TRUE(Ui.Rows.empty());
    EXPECT_EQ(Ui.Events, (std::vector<std::string>{"suspend", "resume", "process"}));

    for (std::uint16_t i = 0; i < TConverter::RecordCapacity; ++i) {
        Fill(Converter.Record(i), 2026y / January / day(i + 1), "QX", i, -i, 0x2100);
    }
    Update.FillInfoList();
    ASSERT_EQ(Ui.Rows.size(), 16u);
    EXPECT_EQ(Ui.Rows[15], (Row{"16", "16.01.2026", "QX", "15--15", "2.1.0"}));
}
