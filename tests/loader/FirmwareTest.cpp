// The carried firmware: its form, the reader's verdict on it, and the image it gives compared
// with srecord's reading of the same file.
#include "loader/Loader.h"
#include "loader/Resource.h"
#include "tests/loader/MessageRecorder.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string SourceFile(const std::string& relative) {
    const char* root = std::getenv("FWL_SOURCE_DIR");
    return std::string(root != nullptr ? root : ".") + "/" + relative;
}

TEST(Firmware, BuiltInBlockIsTheFileByteForByte) {
    EXPECT_EQ(FindResource("HEX_FILE"), ReadFile(SourceFile("resources/firmware.hex")));
}

TEST(Firmware, HasTheFormOfTheApplicationImage) {
    const std::string text(FindResource("HEX_FILE"));
    EXPECT_EQ(text.size(), 42308u);

    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        lines.push_back(text.substr(begin, end - begin));
    }
    EXPECT_EQ(begin, text.size()) << "last line without CR LF";
    ASSERT_EQ(lines.size(), 556u);
    EXPECT_EQ(lines.back(), ":00000001FF");

    std::map<int, int> recordsBySize;
    for (std::size_t n = 0; n + 1 < lines.size(); ++n) {
        const std::string& line = lines[n];
        ASSERT_GE(line.size(), 11u) << n + 1;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << n + 1;
        EXPECT_EQ(line.substr(7, 2), "00") << n + 1;
        const int count = std::stoi(line.substr(1, 2), nullptr, 16);
        const int address = std::stoi(line.substr(3, 4), nullptr, 16);
        EXPECT_EQ(count % 2, 0) << n + 1;
        EXPECT_EQ(address % 2, 0) << n + 1;
        ++recordsBySize[count];
    }
    EXPECT_EQ(recordsBySize, (std::map<int, int>{{2, 6}, {4, 1}, {22, 1}, {30, 1}, {32, 546}}));
}

// Read again for the next converter, the image replaces itself: the counts stay the same.
TEST(Firmware, FitsProcessorZeroOnlyAndReadsTheSameEachTime) {
    TMessageRecorder messages;
    THexLoader first;
    first.SetMessageList(&messages);
    ASSERT_TRUE(first.SelectProcessor(0));
    EXPECT_TRUE(first.LoadHexResource("HEX_FILE"));
    EXPECT_TRUE(first.LoadHexResource("HEX_FILE"));

    THexLoader second;
    second.SetMessageList(&messages);
    ASSERT_TRUE(second.SelectProcessor(1));
    EXPECT_FALSE(second.LoadHexResource("HEX_FILE"));

    EXPECT_EQ(messages.Lines, (std::vector<std::string>{
                                  "Reading hexfile....",
                                  "Done reading hexfile (36 sectors, 275 pages, 17540 bytes)!",
                                  "Reading hexfile....",
                                  "Done reading hexfile (36 sectors, 275 pages, 17540 bytes)!",
                                  "Reading hexfile....",
                                  "error while reading line 1 of hexfile!",
                              }));
}

class FirmwareImage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Loader.SelectProcessor(0));
        ASSERT_TRUE(Loader.LoadHexResource("HEX_FILE"));
    }
    const TMemory& MainFlash() const { return Loader.GetSections()[0]; }

    THexLoader Loader;
};

// srec_cat's binary of 0x4000 to 0xFFFF, gaps filled with 0xFF (made by the build).
TEST_F(FirmwareImage, MatchesWhatSrecordReads) {
    const std::string bytes = ReadFile(FWL_FIRMWARE_IMAGE);
    ASSERT_EQ(bytes.size(), 0xC000u);
    const TMemory& flash = MainFlash();
    for (std::size_t i = 0; i < flash.Data.size(); ++i) {
        const auto high = static_cast<unsigned char>(bytes[2 * i]);
        const auto low = static_cast<unsigned char>(bytes[2 * i + 1]);
        ASSERT_EQ(flash.Data[i], (high << 8) | low) << "word at 0x" << std::hex << 0x4000 + 2 * i;
    }
    EXPECT_EQ(Loader.GetSections()[1].Data, Unsigned16Vector(128, 0xFFFF));
}

TEST_F(FirmwareImage, ResetVectorHoldsTheEntryPointInMemoryOrder) {
    EXPECT_EQ(MainFlash().Data[(0xFFFE - 0x4000) / 2], 0x0050);
}

// A page written to the wrong place or with its bytes swapped must not pass a verify.
TEST_F(FirmwareImage, EveryUsedPageHoldsItsOwnWords) {
    const TMemory& flash = MainFlash();
    const std::size_t wordsPerPage = static_cast<std::size_t>(flash.PageSize / 2);
    std::set<Unsigned16Vector> pages;
    std::size_t swappable = 0;
    for (std::size_t first = 0; first < flash.Data.size(); first += wordsPerPage) {
        const auto begin = flash.Data.begin() + static_cast<std::ptrdiff_t>(first);
        const Unsigned16Vector page(begin, begin + static_cast<std::ptrdiff_t>(wordsPerPage));
        if (page != Unsigned16Vector(wordsPerPage, 0xFFFF)) {
            pages.insert(page);
        }
        for (const std::uint16_t word : page) {
            swappable += (word >> 8) != (word & 0xFF) ? 1 : 0;
        }
    }
    EXPECT_EQ(static_cast<std::int32_t>(pages.size()), Loader.GetPageCount());
    EXPECT_GT(swappable, 8000u);
}

} // namespace
