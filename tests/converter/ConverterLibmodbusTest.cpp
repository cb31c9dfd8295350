// The converter's identification and history against libmodbus as the converter's application:
// both register maps, read from a Modbus implementation nobody here wrote.

#include "converter/Converter.h"
#include "tests/support/LibmodbusSlave.h"
#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

namespace {

constexpr int RecordCount = 60128;

// 8 March 2026, "AB", 1234, 56789, version 0x2105.
const Unsigned16Vector Example{0x4449, 0x2620, 0x0803, 0x4241, 0x04D2, 0xDDD5, 0x0000, 0x2105};

TEST(ConverterLibmodbus, IdentifiesBothGenerationsAndReadsTheirRecords) {
    struct TGeneration {
        bool Old;
        int Records;
        std::uint16_t Version;
    };
    for (const TGeneration generation :
         {TGeneration{false, 65300, 0x2105}, TGeneration{true, 60000, 0x2103}}) {
        SCOPED_TRACE(generation.Old ? "old" : "new");
        TPtyPair pty;
        TLibmodbusSlave slave(pty.Master(), 0, 65536);
        slave.SetRegister(65200, 0);
        slave.SetRegister(65201, 0);
        // The old generation answers 0, 0, 0 and keeps its version at 300.
        slave.SetRegister(65202, generation.Old ? 0 : generation.Version);
        slave.SetRegister(300, generation.Version);
        for (int i = 0; i < 8; ++i) {
            slave.SetRegister(generation.Records + i, Example[static_cast<std::size_t>(i)]);
        }
        slave.SetRegister(RecordCount, 1);

        TConverter converter;
        ASSERT_TRUE(OpenOnPty(converter, pty, TSerialPort::ReplyTimeout));
        converter.SetAddress(TLibmodbusSlave::Address);
        ASSERT_TRUE(converter.Identify());
        EXPECT_EQ(converter.OldGeneration(), generation.Old);
        EXPECT_EQ(converter.GetType(), 0);
        EXPECT_EQ(converter.GetVersion(), generation.Version);
        ASSERT_TRUE(converter.ReadRecords());
        EXPECT_EQ(converter.RecordCount(), 1);
        EXPECT_EQ(converter.Record(0).User, "AB");
        EXPECT_EQ(converter.Record(0).Id2, 56789);
        converter.Close();
        ClearPortMap();
    }
}

} // namespace
