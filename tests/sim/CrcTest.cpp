// Both sides' checksums against values nobody here computed: the published check values of
// CRC-16/MODBUS and CRC-16/CCITT-FALSE, the textbook Modbus request "01 03 00 00 00 01", and
// "DL" frames whose CRC came from python3's binascii.crc_hqx(body, 0xFFFF).
#include "sim/Crc.h"

#include "tests/sim/TestLine.h"

#include <string_view>

namespace {

Bytes Ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

const Bytes CheckInput = Ascii("123456789");

TEST(CrcTest, ModbusCheckValueAndTextbookFrame) {
    EXPECT_EQ(sim::CrcModbus(CheckInput), 0x4B37);
    EXPECT_EQ(sim::CrcModbus({}), 0xFFFF);
    EXPECT_EQ(TestCrcModbus(CheckInput), 0x4B37);
    EXPECT_EQ(ReadRequest(1, 0, 1), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
}

TEST(CrcTest, CcittCheckValueAndLoaderFrames) {
    EXPECT_EQ(sim::CrcCcitt(CheckInput), 0x29B1);
    EXPECT_EQ(sim::CrcCcitt({}), 0xFFFF);
    EXPECT_EQ(TestCrcCcitt(CheckInput), 0x29B1);
    EXPECT_EQ(Dl(2, 0x1234, {0xABCD}),
              (Bytes{0x44, 0x4C, 0x02, 0x00, 0x34, 0x12, 0xCD, 0xAB, 0xC2, 0x2A}));
    EXPECT_EQ(Dl(0, 0), (Bytes{0x44, 0x4C, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x84}));
    EXPECT_EQ(Dl(3, 0xFFC0), (Bytes{0x44, 0x4C, 0x03, 0x00, 0xC0, 0xFF, 0xB8, 0x17}));
}

} // namespace
