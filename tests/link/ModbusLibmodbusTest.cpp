// The Modbus master against libmodbus as the slave: another implementation's framing,
// CRC and exception replies.

#include "link/Modbus.h"

#include "tests/support/LibmodbusSlave.h"
#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr int SlaveAddress = TLibmodbusSlave::Address;
constexpr int FirstRegister = 65000; // the slave holds 65000..65535
constexpr int RegisterCount = 536;

class ModbusLibmodbusTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenOnPty(Bus, Pty, TSerialPort::ReplyTimeout)); }
    void TearDown() override { ClearPortMap(); }

    Unsigned16Vector Expected(int address, int count) const {
        Unsigned16Vector values;
        for (int i = 0; i < count; ++i) {
            values.push_back(static_cast<std::uint16_t>(0x4000 + address - FirstRegister + i));
        }
        return values;
    }

    TPtyPair Pty;
    TLibmodbusSlave Slave{Pty.Master(), FirstRegister, RegisterCount};
    TModbus Bus;
};

TEST_F(ModbusLibmodbusTest, ReadsTheIdentificationRegisters) {
    Unsigned16Vector values;
    EXPECT_TRUE(Bus.ReadRegisters(SlaveAddress, 65200, 3, values));
    EXPECT_EQ(values, Expected(65200, 3));
    EXPECT_EQ(Slave.Functions(), std::vector<int>{3});
}

TEST_F(ModbusLibmodbusTest, Reads128RegistersInThreeRequests) {
    Unsigned16Vector values;
    EXPECT_TRUE(Bus.ReadRegisters(SlaveAddress, 65300, 128, values));
    EXPECT_EQ(values, Expected(65300, 128));
    EXPECT_EQ(Slave.Functions(), std::vector<int>(3, 3));
}

TEST_F(ModbusLibmodbusTest, WritesOneEightAnd51Registers) {
    Unsigned16Vector one{0xBEEF};
    EXPECT_TRUE(Bus.WriteRegisters(SlaveAddress, 65010, one));
    EXPECT_EQ(Slave.Register(65010), 0xBEEF);

    Unsigned16Vector eight{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(Bus.WriteRegisters(SlaveAddress, 65300 + 8 * 3, eight));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Slave.Register(65324 + i), i + 1);
    }

    Unsigned16Vector many;
    for (int i = 0; i < 51; ++i) {
        many.push_back(static_cast<std::uint16_t>(0xA000 + i));
    }
    EXPECT_TRUE(Bus.WriteRegisters(SlaveAddress, 65100, many));
    EXPECT_TRUE(many.empty());
    for (int i = 0; i < 51; ++i) {
        EXPECT_EQ(Slave.Register(65100 + i), 0xA000 + i);
    }
    EXPECT_EQ(Slave.Register(65151), 0x4000 + 151); // untouched beyond the block
    EXPECT_EQ(Slave.Functions(), (std::vector<int>{6, 16, 16, 16}));
}

// An exception is an answer: each try takes it as soon as its five bytes are in, instead of
// waiting out a timeout (here far longer than both tries may take) for bytes that never come.
TEST_F(ModbusLibmodbusTest, ExceptionAnswerIsToldAtOnceAndFailsBothTries) {
    constexpr auto LongTimeout = std::chrono::seconds(20);
    Bus.SetReplyTimeout(LongTimeout);
    Unsigned16Vector values;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Bus.ReadRegisters(SlaveAddress, 100, 3, values)); // outside the slave's map
    EXPECT_LT(std::chrono::steady_clock::now() - start, LongTimeout / 2);
    EXPECT_EQ(Bus.LastException(), 2);
    EXPECT_STREQ(ExceptionName(Bus.LastException()), "illegal data address");
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(Slave.Functions(), std::vector<int>(TModbus::Tries, 3));
    // The line is fine afterwards, and a normal reply is no exception.
    EXPECT_TRUE(Bus.ReadRegisters(SlaveAddress, 65200, 3, values));
    EXPECT_EQ(Bus.LastException(), 0);
}

} // namespace
