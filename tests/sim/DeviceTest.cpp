// The application side of the simulated converter, driven over its pty with frames built by
// the test.
#include "tests/sim/SimFixture.h"

#include <modbus.h>

namespace {

constexpr std::uint8_t Slave = 1;
const Bytes IdentRead = ReadRequest(Slave, 65200, 3);
const Bytes IdentReply = ReadReply(Slave, {0, 0, 0x2105});

class DeviceTest : public SimFixture {};

TEST_F(DeviceTest, IdentificationCommandAndRecordCount) {
    Start();
    EXPECT_EQ(Line->Exchange(IdentRead, IdentReply.size()), IdentReply);
    const Bytes command = WriteOneRequest(Slave, 6000, 1);
    EXPECT_EQ(Line->Exchange(command, 8), command);
    const Bytes count = WriteOneRequest(Slave, 60128, 3);
    EXPECT_EQ(Line->Exchange(count, 8), count);
    const auto counters = Sim->Counters();
    EXPECT_EQ(counters.CommandWrites, 1u);
    EXPECT_EQ(counters.LastCommand, 1u);
    EXPECT_EQ(Sim->RecordCount(), 3u);
}

TEST_F(DeviceTest, UnservedRequestsGetTheExceptionsOfAModbusSlave) {
    Start();
    const auto exchange = [this](const Bytes& request) { return Line->Exchange(request, 5); };
    EXPECT_EQ(exchange(ReadRequest(Slave, 100, 1)), ExceptionReply(Slave, 3, 2));
    EXPECT_EQ(exchange(ReadRequest(Slave, 65199, 4)), ExceptionReply(Slave, 3, 2));
    EXPECT_EQ(exchange(ReadRequest(Slave, 65200, 0)), ExceptionReply(Slave, 3, 3));
    EXPECT_EQ(exchange(WriteOneRequest(Slave, 65200, 7)), ExceptionReply(Slave, 6, 2));
    EXPECT_EQ(exchange(WriteManyRequest(Slave, 6000, {1, 1})), ExceptionReply(Slave, 16, 2));
    EXPECT_EQ(exchange(WriteOneRequest(Slave, 60128, 17)), ExceptionReply(Slave, 6, 3));
    EXPECT_EQ(exchange(WriteOneRequest(Slave, 65500, 0x4F4B)), ExceptionReply(Slave, 6, 2));
    EXPECT_EQ(exchange(Rtu({Slave, 4, 0, 0, 0, 1})), ExceptionReply(Slave, 4, 1));
    EXPECT_EQ(Sim->Counters().CommandWrites, 0u) << "refused writes change nothing";
    EXPECT_EQ(Sim->Counters().Exceptions, 8u);
}

TEST_F(DeviceTest, OtherSlavesBadChecksumsAndBroadcastsGetNoReply) {
    Start();
    ExpectIgnored(ReadRequest(2, 65200, 3), IdentRead, IdentReply);
    Bytes spoilt = IdentRead;
    spoilt[3] ^= 0x10;
    ExpectIgnored(spoilt, IdentRead, IdentReply);
    ExpectIgnored(WriteOneRequest(0, 6000, 9), IdentRead, IdentReply);
    const auto counters = Sim->Counters();
    EXPECT_EQ(counters.OtherAddress, 1u);
    EXPECT_EQ(counters.Rejected, 1u);
    EXPECT_EQ(counters.LastCommand, 9u) << "a broadcast write is carried out";
}

TEST_F(DeviceTest, OldGenerationMap) {
    Start({.Device = {.Gen = sim::Generation::Old, .Version = 0x1F03}});
    EXPECT_EQ(Line->Exchange(IdentRead, 11), ReadReply(Slave, {0, 0, 0}));
    EXPECT_EQ(Line->Exchange(ReadRequest(Slave, 300, 1), 7), ReadReply(Slave, {0x1F03}));
    const Bytes command = WriteOneRequest(Slave, 205, 1);
    EXPECT_EQ(Line->Exchange(command, 8), command);
    const Bytes record = WriteManyRequest(Slave, 60000 + 8 * 15, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(Line->Exchange(record, 8), Rtu(Head(record)));
    const Bytes count = WriteOneRequest(Slave, 60128, 16);
    EXPECT_EQ(Line->Exchange(count, 8), count);
    // The record area and the count register behind it read as one block.
    EXPECT_EQ(Line->Exchange(ReadRequest(Slave, 60120, 9), 23),
              ReadReply(Slave, {1, 2, 3, 4, 5, 6, 7, 8, 16}));
    EXPECT_EQ(Line->Exchange(WriteManyRequest(Slave, 65500, Activation), 5),
              ExceptionReply(Slave, 16, 2));
    Line->Send(WriteManyRequest(Slave, 65000, Activation));
    EXPECT_EQ(Line->Exchange(Dl(3, 0x4000), 72).size(), 72u);
}

TEST_F(DeviceTest, TypeFiveHasItsCommandRegisterAt46000) {
    Start({.Device = {.Type = 5, .SubType = 2}});
    EXPECT_EQ(Line->Exchange(IdentRead, 11), ReadReply(Slave, {5, 2, 0x2105}));
    const Bytes command = WriteOneRequest(Slave, 46000, 1);
    EXPECT_EQ(Line->Exchange(command, 8), command);
    EXPECT_EQ(Line->Exchange(WriteOneRequest(Slave, 6000, 1), 5), ExceptionReply(Slave, 6, 2));
}

TEST_F(DeviceTest, ActivationStartsTheBootLoaderWithoutReply) {
    Start();
    const Bytes read = Dl(3, 0x4000);
    Line->Send(WriteManyRequest(Slave, 65500, Activation));
    const Bytes reply = Line->Exchange(read, 72);
    ASSERT_EQ(reply.size(), 72u) << "the first bytes after the activation answer the loader";
    EXPECT_EQ(Head(reply), Head(read));
    EXPECT_EQ(Sim->Mode(), sim::Mode::Loader);
    EXPECT_EQ(Sim->Counters().Activations, 1u);
}

TEST_F(DeviceTest, ActivationWithAnotherTextIsRefused) {
    Start();
    std::vector<std::uint16_t> wrong = Activation;
    wrong[3] = 0x4C54; // "TL" instead of "SL"
    EXPECT_EQ(Line->Exchange(WriteManyRequest(Slave, 65500, wrong), 5),
              ExceptionReply(Slave, 16, 3));
    EXPECT_EQ(Sim->Mode(), sim::Mode::Application);
}

// libmodbus, a Modbus master nobody here wrote, reads the record area in the system's chunks.
TEST_F(DeviceTest, LibmodbusReadsPresetRecordsAndAWrittenOne) {
    Start({.Device = {.PresetRecords = 2}});
    modbus_t* ctx = modbus_new_rtu(Sim->SlavePath().c_str(), 19200, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    modbus_set_slave(ctx, Slave);
    ASSERT_EQ(modbus_connect(ctx), 0);
    const std::uint16_t record[8] = {0x4449, 0x2620, 0x0803, 0x4241, 0x04D2, 0xDDD5, 0, 0x2105};
    EXPECT_EQ(modbus_write_registers(ctx, 65300 + 8 * 2, 8, record), 8);
    EXPECT_EQ(modbus_write_register(ctx, 60128, 3), 1);
    std::uint16_t all[128];
    for (int first = 0; first < 128; first += 50) {
        const int n = std::min(50, 128 - first);
        ASSERT_EQ(modbus_read_registers(ctx, 65300 + first, n, all + first), n);
    }
    std::uint16_t ident[3];
    EXPECT_EQ(modbus_read_registers(ctx, 100, 1, ident), -1);
    EXPECT_EQ(errno, EMBXILADD);
    modbus_close(ctx);
    modbus_free(ctx);

    // Preset record 1: 2024-03-02, "SI", 1001, 50001, the device's version.
    EXPECT_EQ(std::vector<std::uint16_t>(all + 8, all + 16),
              (std::vector<std::uint16_t>{0x4449, 0x2420, 0x0203, 0x4953, 1001, 50001, 0, 0x2105}));
    EXPECT_EQ(std::vector<std::uint16_t>(all + 16, all + 24),
              std::vector<std::uint16_t>(record, record + 8));
    EXPECT_EQ(all[24], 0xFFFF);
    EXPECT_EQ(Sim->RecordCount(), 3u);
    EXPECT_EQ(Sim->Counters().RecordWrites, 1u);
}

TEST_F(DeviceTest, RecordsAndFlashSurviveApplicationRestarts) {
    Start();
    Line->Exchange(WriteManyRequest(Slave, 65300, {0x4449, 1, 2, 3, 4, 5, 6, 7}), 8);
    Line->Send(WriteManyRequest(Slave, 65500, Activation));
    EXPECT_EQ(Line->Exchange(Dl(1, 0x4000), 8), Dl(1, 0x4000));
    EXPECT_EQ(Line->Exchange(Dl(2, 0x4000, {0xCAFE}), 8), Dl(2, 0x4000));
    EXPECT_EQ(Line->Exchange(Dl(0, 0), 8), Dl(0, 0));
    EXPECT_EQ(Line->Exchange(ReadRequest(Slave, 65300, 8), 21),
              ReadReply(Slave, {0x4449, 1, 2, 3, 4, 5, 6, 7}));
    Line->Send(WriteManyRequest(Slave, 65500, Activation));
    const Bytes page = Line->Exchange(Dl(3, 0x4000), 72);
    ASSERT_EQ(page.size(), 72u);
    EXPECT_EQ(WordsOf(page)[0], 0xCAFE);
    EXPECT_EQ(WordsOf(page)[1], 0xFFFF);
    EXPECT_EQ(Sim->Counters().Starts, 1u);
}

} // namespace
