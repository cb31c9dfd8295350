// The Modbus master against libmodbus as the slave: another implementation's framing,
// CRC and exception replies.

#include "link/Modbus.h"

#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr int SlaveAddress = 1;
constexpr int FirstRegister = 65000; // the slave holds 65000..65535
constexpr int RegisterCount = 536;

// A libmodbus RTU slave on the master side of a pty, answering in its own thread.
class TLibmodbusSlave {
public:
    explicit TLibmodbusSlave(int fd) {
        Context = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1); // the path is never opened
        Map = modbus_mapping_new_start_address(0, 0, 0, 0, FirstRegister, RegisterCount, 0, 0);
        if (!Context || !Map || modbus_set_slave(Context, SlaveAddress) != 0 ||
            modbus_set_socket(Context, fd) != 0 ||
            modbus_set_indication_timeout(Context, 0, 50000) != 0) {
            Free();
            throw std::runtime_error("libmodbus slave setup failed");
        }
        for (int i = 0; i < RegisterCount; ++i) {
            Map->tab_registers[i] = static_cast<std::uint16_t>(0x4000 + i);
        }
        Worker = std::thread([this] { Serve(); });
    }

    // Stops before the pty goes: libmodbus spins once the other end is gone.
    ~TLibmodbusSlave() {
        Stop = true;
        Worker.join();
        Free();
    }

    TLibmodbusSlave(const TLibmodbusSlave&) = delete;
    TLibmodbusSlave& operator=(const TLibmodbusSlave&) = delete;

    std::uint16_t Register(int address) const {
        std::lock_guard guard(Lock);
        return Map->tab_registers[address - FirstRegister];
    }

    // Function codes of the requests that reached the slave, in order.
    std::vector<int> Functions() const {
        std::lock_guard guard(Lock);
        return Seen;
    }

private:
    void Serve() {
        std::vector<std::uint8_t> request(MODBUS_RTU_MAX_ADU_LENGTH);
        while (!Stop) {
            const int length = modbus_receive(Context, request.data());
            if (length <= 0) {
                continue; // quiet line (indication timeout) or a frame for another slave
            }
            std::lock_guard guard(Lock);
            Seen.push_back(request[1]);
            modbus_reply(Context, request.data(), length, Map);
        }
    }

    void Free() {
        if (Map) {
            modbus_mapping_free(Map);
        }
        if (Context) {
            modbus_free(Context); // not modbus_close: the pty belongs to the test
        }
    }

    modbus_t* Context = nullptr;
    modbus_mapping_t* Map = nullptr;
    mutable std::mutex Lock;
    std::vector<int> Seen;
    std::atomic<bool> Stop = false;
    std::thread Worker;
};

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
    TLibmodbusSlave Slave{Pty.Master()};
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
