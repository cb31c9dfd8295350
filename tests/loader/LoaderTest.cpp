#include "loader/Loader.h"

#include "tests/loader/MessageRecorder.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int32_t MainFlash = 0x4000;
constexpr std::int32_t InfoMemory = 0x1000;

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override { Loader.SetMessageList(&Messages); }

    // The word of the byte address in the first section that holds it.
    std::uint16_t WordAt(std::int32_t address) {
        const TMemory* section = Loader.FindSection(address);
        EXPECT_NE(section, nullptr);
        return section->Data.at(static_cast<std::size_t>((address - section->Start) / 2));
    }

    THexLoader Loader;
    TMessageRecorder Messages;
};

void ExpectSection(const TMemory& section, std::int32_t start, std::int32_t size,
                   std::size_t sectors, std::size_t pagesPerSector) {
    EXPECT_EQ(section.Start, start);
    EXPECT_EQ(section.Size, size);
    EXPECT_EQ(section.Data, Unsigned16Vector(static_cast<std::size_t>(size / 2), 0xFFFF));
    ASSERT_EQ(section.Sectors.size(), sectors);
    for (const TMemSector& sector : section.Sectors) {
        EXPECT_FALSE(sector.Used);
        EXPECT_EQ(sector.Pages.size(), pagesPerSector);
    }
}

TEST_F(LoaderTest, ProcessorsGetTheirSectionsInTableOrder) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    ASSERT_EQ(Loader.GetSections().size(), 2u);
    ExpectSection(Loader.GetSections()[0], MainFlash, 0xC000, 96, 8);
    ExpectSection(Loader.GetSections()[1], InfoMemory, 0x100, 2, 2);

    THexLoader other;
    ASSERT_TRUE(other.SelectProcessor(1));
    ASSERT_EQ(other.GetSections().size(), 2u);
    ExpectSection(other.GetSections()[0], 0xE000, 0x2000, 16, 8);
    ExpectSection(other.GetSections()[1], InfoMemory, 0x100, 2, 2);
}

TEST_F(LoaderTest, UnknownProcessorAddsNothing) {
    EXPECT_FALSE(Loader.SelectProcessor(2));
    EXPECT_FALSE(Loader.SelectProcessor(-1));
    EXPECT_TRUE(Loader.GetSections().empty());
}

TEST_F(LoaderTest, SecondSelectionAppendsAndTheFirstMatchIsFilled) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    ASSERT_TRUE(Loader.SelectProcessor(0));
    ASSERT_EQ(Loader.GetSections().size(), 4u);
    ASSERT_TRUE(Loader.ParseHexLine(":02100000A55AEF"));
    EXPECT_TRUE(Loader.GetSections()[1].Sectors[0].Used);
    EXPECT_FALSE(Loader.GetSections()[3].Sectors[0].Used);
}

TEST_F(LoaderTest, ProcessorNamesReplaceTheList) {
    std::vector<std::string> list{"old", "entries", "here"};
    Loader.GetProcessorNames(list);
    EXPECT_EQ(list, (std::vector<std::string>{"MSP430F1611", "MSP430F133"}));
}

TEST_F(LoaderTest, LayoutsThatDoNotDivideAreRefused) {
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, 0x100, 128, 64}), 0);
    EXPECT_EQ(Loader.AddMemorySection({0, 0x2000, 0x100, 128, 64}), 1);
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, 0x100, 100, 64}), -1);
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, 0x100, 128, 48}), -1);
    // Sizes that would divide by zero or lay out no whole words are refused as well.
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, 0x100, 0, 64}), -1);
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, 0x100, 128, 0}), -1);
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, -128, 128, 64}), -1);
    EXPECT_EQ(Loader.AddMemorySection({0, 0x1000, 3, 1, 1}), -1);
    ASSERT_EQ(Loader.GetSections().size(), 2u);
    ExpectSection(Loader.GetSections()[0], 0x1000, 0x100, 2, 2);
}

TEST(HexToInt, ReadsHexDigitsInEitherCase) {
    EXPECT_EQ(THexLoader::HexToInt(""), 0);
    EXPECT_EQ(THexLoader::HexToInt("1F"), 31);
    EXPECT_EQ(THexLoader::HexToInt("aBcD"), 0xABCD);
    EXPECT_EQ(THexLoader::HexToInt("7FFFFFFF"), 0x7FFFFFFF);
    EXPECT_EQ(THexLoader::HexToInt("100000001"), 1); // wraps at 32 bits
}

TEST(HexToInt, AnyOtherCharacterGivesMinusOne) {
    EXPECT_EQ(THexLoader::HexToInt("G1"), -1);
    EXPECT_EQ(THexLoader::HexToInt("1 "), -1);
    EXPECT_EQ(THexLoader::HexToInt("-1"), -1);
    EXPECT_EQ(THexLoader::HexToInt(std::string("1\0", 2)), -1);
}

TEST_F(LoaderTest, DataRecordStoresWordsFirstByteHigh) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_TRUE(Loader.ParseHexLine(":045000003140003902"));
    EXPECT_EQ(WordAt(0x5000), 0x3140);
    EXPECT_EQ(WordAt(0x5002), 0x0039);
    EXPECT_EQ(WordAt(0x5004), 0xFFFF);
    EXPECT_EQ(Loader.GetWordCount(), 2);
    EXPECT_EQ(Loader.GetSectorCount(), 1);
    EXPECT_EQ(Loader.GetPageCount(), 1);
    EXPECT_TRUE(Loader.GetSections()[0].Sectors[8].Pages[0].Used);

    EXPECT_TRUE(Loader.ParseHexLine(":045000003140003902 trailing text is ignored"));
    EXPECT_TRUE(Loader.ParseHexLine(":04500000ab12cd34ee"));
    EXPECT_EQ(WordAt(0x5000), 0xAB12);
    EXPECT_EQ(Loader.GetWordCount(), 6);
    EXPECT_EQ(Loader.GetPageCount(), 1);
}

TEST_F(LoaderTest, RefusedRecordsStoreNothing) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_FALSE(Loader.ParseHexLine(""));
    EXPECT_FALSE(Loader.ParseHexLine(" :045000003140003902"));
    EXPECT_FALSE(Loader.ParseHexLine(":045000003140003903")); // checksum off by one
    EXPECT_FALSE(Loader.ParseHexLine(":020000040000FA"));     // extended linear address
    EXPECT_FALSE(Loader.ParseHexLine(":0400000300005000A9")); // start segment address
    EXPECT_FALSE(Loader.ParseHexLine(":20500000"));           // data missing
    EXPECT_FALSE(Loader.ParseHexLine(":045000003140" + std::string(100000, '0')));
    EXPECT_EQ(Loader.GetWordCount(), 0);
    EXPECT_EQ(WordAt(0x5000), 0xFFFF);
}

// Both lines sum to 0 only because their missing digits would read as 0.
TEST_F(LoaderTest, TruncatedRecordIsRefusedEvenWhenItsSumIsZero) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_FALSE(Loader.ParseHexLine(":04500000AC"));    // second word and checksum missing
    EXPECT_FALSE(Loader.ParseHexLine(":0250000000AE0")); // checksum cut to one digit
    EXPECT_EQ(Loader.GetWordCount(), 0);
    EXPECT_EQ(WordAt(0x5000), 0xFFFF);
    EXPECT_TRUE(Loader.ParseHexLine(":0250000000AE00")); // the same record complete
    EXPECT_EQ(WordAt(0x5000), 0x00AE);
}

TEST_F(LoaderTest, EndOfFileStoresNothingAndReadingGoesOn) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_TRUE(Loader.ParseHexLines({":00000001FF", ":045000003140003902"}));
    EXPECT_EQ(Loader.GetWordCount(), 2);
    EXPECT_EQ(Messages.Lines.back(), "Done reading hexfile (1 sectors, 1 pages, 4 bytes)!");
}

// Records that would put into flash what the file does not hold are refused, whatever their
// sum: an odd count (its last byte has no word to go to) and a digit that is not hexadecimal.
TEST_F(LoaderTest, RecordsThatCannotBeStoredFaithfullyAreRefused) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_FALSE(Loader.ParseHexLine(":035000001122"
                                     "7A"
                                     "00")); // 11 22 7A, checksum 00
    EXPECT_FALSE(Loader.ParseHexLine(":03500000112233"
                                     "47"));              // 11 22 33, its proper checksum
    EXPECT_FALSE(Loader.ParseHexLine(":02500000GGGGB0")); // GGGG would read as FFFF
    EXPECT_FALSE(Loader.ParseHexLine(":0250000011 2 B9"));
    EXPECT_FALSE(Loader.ParseHexLine(":ZZ500000"));
    EXPECT_EQ(Loader.GetWordCount(), 0);
    // Lower-case digits are digits; what follows the checksum is not looked at.
    EXPECT_TRUE(Loader.ParseHexLine(":02500000abcd36 trailing"));
    EXPECT_EQ(WordAt(0x5000), 0xABCD);
}

TEST_F(LoaderTest, RecordAcrossSectionsStoresEachWordInItsOwn) {
    ASSERT_EQ(Loader.AddMemorySection({0, 0x1000, 0x80, 64, 64}), 0);
    ASSERT_EQ(Loader.AddMemorySection({0, 0x1080, 0x80, 64, 64}), 1);
    EXPECT_TRUE(Loader.ParseHexLine(":08107C00010203040506070848"));
    EXPECT_EQ(Loader.GetSections()[0].Data[0x3F], 0x0304);
    EXPECT_EQ(Loader.GetSections()[1].Data[0], 0x0506);
    EXPECT_EQ(Loader.GetSectorCount(), 2);
}

TEST_F(LoaderTest, RecordRunningOutOfEverySectionKeepsWhatCameBefore) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_FALSE(Loader.ParseHexLine(":0810FC000102030405060708C8"));
    EXPECT_EQ(WordAt(0x10FE), 0x0304);
    EXPECT_EQ(Loader.GetWordCount(), 2);
    // A record at the top of memory does not wrap round to address 0.
    EXPECT_FALSE(Loader.ParseHexLine(":04FFFE0012345678EB"));
    EXPECT_EQ(WordAt(0xFFFE), 0x1234);
}

TEST_F(LoaderTest, OddAddressLandsOnTheEvenWordBelow) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_TRUE(Loader.ParseHexLine(":02503F00ABCDF7"));
    EXPECT_EQ(WordAt(0x503E), 0xABCD);
    EXPECT_TRUE(Loader.GetSections()[0].Sectors[8].Pages[0].Used);
    EXPECT_FALSE(Loader.GetSections()[0].Sectors[8].Pages[1].Used);
}

TEST_F(LoaderTest, ReadingTwiceDoublesOnlyTheBytes) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    const std::vector<std::string> text{":045000003140003902", ":02100000A55AEF", ":00000001FF"};
    EXPECT_TRUE(Loader.ParseHexLines(text));
    EXPECT_TRUE(Loader.ParseHexLines(text));
    EXPECT_EQ(Messages.Lines,
              (std::vector<std::string>{"Done reading hexfile (2 sectors, 2 pages, 6 bytes)!",
                                        "Done reading hexfile (2 sectors, 2 pages, 12 bytes)!"}));
}

TEST_F(LoaderTest, FirstRefusedLineEndsTheReading) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    EXPECT_FALSE(Loader.ParseHexLines({":00000001FF", "", ":045000003140003902"}));
    EXPECT_EQ(Messages.Lines, std::vector<std::string>{"error while reading line 2 of hexfile!"});
    EXPECT_EQ(Loader.GetWordCount(), 0);

    EXPECT_TRUE(Loader.ParseHexLines({}));
    EXPECT_EQ(Messages.Lines.back(), "Done reading hexfile (0 sectors, 0 pages, 0 bytes)!");
}

TEST_F(LoaderTest, StoreWordOutsideItsSectionIsAFault) {
    ASSERT_TRUE(Loader.SelectProcessor(0));
    TMemory* info = Loader.FindSection(0x1000);
    ASSERT_NE(info, nullptr);
    EXPECT_THROW(Loader.StoreWord(*info, 0x1100, 0), std::out_of_range);
    EXPECT_EQ(Loader.GetWordCount(), 0);
}

} // namespace
