#include "sim/Flash.h"

#include "tests/sim/TestLine.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

namespace {

using sim::Flash;
using sim::Segment;

TEST(FlashTest, SegmentsOfMainAndInformationMemory) {
    EXPECT_EQ(sim::SegmentAt(0x5000), (Segment{0x5000, 512}));
    EXPECT_EQ(sim::SegmentAt(0x51FE), (Segment{0x5000, 512}));
    EXPECT_EQ(sim::SegmentAt(0xFE00), (Segment{0xFE00, 512}));
    EXPECT_EQ(sim::SegmentAt(0xE000), (Segment{0xE000, 512}));
    EXPECT_EQ(sim::SegmentAt(0x1000), (Segment{0x1000, 128}));
    EXPECT_EQ(sim::SegmentAt(0x10C0), (Segment{0x1080, 128}));
    // The half segment behind the information memory does not reach into it.
    EXPECT_EQ(sim::SegmentAt(0x1100), (Segment{0x1100, 256}));
}

TEST(FlashTest, EraseBlanksOneSegmentAndProgrammingOnlyClearsBits) {
    Flash flash;
    const std::uint16_t pattern[] = {0x1234, 0x5678};
    flash.Load(0x41FE, pattern); // last word of one segment, first of the next
    EXPECT_EQ(flash.Erase(0x4010), (Segment{0x4000, 512}));
    EXPECT_EQ(flash.Read(0x41FE), 0xFFFF);
    EXPECT_EQ(flash.Read(0x4200), 0x5678);

    flash.Program(0x4000, 0x0F0F);
    EXPECT_EQ(flash.Read(0x4000), 0x0F0F);
    flash.Program(0x4000, 0xF0FF); // cannot set bits back to 1
    EXPECT_EQ(flash.Read(0x4000), 0x000F);
    EXPECT_EQ(flash.Read(0x4001), 0x000F); // word access ignores the lowest address bit
}

TEST(FlashTest, DefectiveCells) {
    Flash flash;
    flash.SetStuckAtZero(0x5004);
    flash.SetUnprogrammable(0x5008);
    flash.Erase(0x5000);
    EXPECT_EQ(flash.Read(0x5004), 0x0000);
    EXPECT_FALSE(flash.IsBlank(0x5000, 64));
    EXPECT_TRUE(flash.IsBlank(0x5040, 64));
    flash.Program(0x5008, 0x1234);
    flash.Program(0x500A, 0x1234);
    EXPECT_EQ(flash.Read(0x5008), 0xFFFF);
    EXPECT_EQ(flash.Read(0x500A), 0x1234);
}

TEST(FlashTest, ByteOrderOfTheFiles) {
    Flash flash;
    const std::uint16_t word[] = {0x3140};
    flash.Load(0x4000, word);
    const auto memory = sim::ToBinary(flash, sim::ByteOrder::Memory);
    const auto image = sim::ToBinary(flash, sim::ByteOrder::Image);
    ASSERT_EQ(memory.size(), 0x10000u);
    EXPECT_EQ(memory[0x4000], 0x40);
    EXPECT_EQ(memory[0x4001], 0x31);
    EXPECT_EQ(image[0x4000], 0x31);
    EXPECT_EQ(image[0x4001], 0x40);
}

// srec_cat reads the Intel HEX back; filled with blank bytes it must equal the binary image.
TEST(FlashTest, IntelHexReadBySrecCat) {
    Flash flash;
    const std::uint16_t start[] = {0x3140, 0x0A00, 0xB240};
    const std::uint16_t vectors[] = {0x1234, 0x4000};
    const std::uint16_t info[] = {0x00AA};
    flash.Load(0x4000, start);
    flash.Load(0xFFFC, vectors);
    flash.Load(0x1082, info);

    const TempDir dir("fwl-flash");
    const auto hex = dir / "flash.hex";
    const auto bin = dir / "flash.bin";
    std::string error;
    ASSERT_TRUE(
        sim::WriteFlashFile(flash, hex, sim::FileFormat::IntelHex, sim::ByteOrder::Image, error))
        << error;
    const std::string command = std::string(SREC_CAT) + " " + hex.string() +
                                " -Intel -fill 0xFF 0 0x10000 -o " + bin.string() + " -Binary";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(bin, std::ios::binary);
    const std::vector<std::uint8_t> read{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(read, sim::ToBinary(flash, sim::ByteOrder::Image));

    std::ifstream text(hex);
    const std::string all{std::istreambuf_iterator<char>(text), {}};
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 4) << "three rows and the end record";
}

} // namespace
