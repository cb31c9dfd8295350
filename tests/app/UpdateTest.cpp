// The whole update against the simulated converter on a pseudo-terminal, through the
// toolkit-free code and a front end that writes down what it is asked to show.
#include "app/Update.h"

#include "link/Serialport.h"
#include "loader/Resource.h"
#include "tests/app/RecordingUi.h"
#include "tests/support/SimOnPty.h"
#include "tests/support/TodayText.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Row = std::vector<std::string>;
using Texts = std::vector<std::string>;

const std::string Port = "COM7";

// Three pages in two sectors, of the carried firmware's form: a quick download.
constexpr const char* SmallFirmware = ":08500000314000390450B240B8\r\n"
                                      ":0450400080005A0191\r\n"
                                      ":02FFFE000050B1\r\n"
                                      ":00000001FF\r\n";

// Registers 0, 3, 4, 5, 6 and 7 of a record slot: marker, user, Id1, Id2 low/high, version.
std::array<std::uint16_t, 6> StoredRecord(TSimOnPty& sim, int slot) {
    const auto area = sim.Records();
    const auto* r = &area[static_cast<std::size_t>(8 * slot)];
    return {r[0], r[3], r[4], r[5], r[6], r[7]};
}

void SetStoredVersion(TSimOnPty& sim, int slot, std::uint16_t version) {
    sim.WithDevice([&](sim::Device& device) {
        device.Records()[static_cast<std::size_t>(8 * slot + 7)] = version;
    });
}

constexpr std::uint16_t UserQX = 'Q' | ('X' << 8);

class UpdateOnSim : public ::testing::Test {
protected:
    UpdateOnSim() {
        Converter.SetDataBits(8);
        Converter.SetStopBits(1);
        Converter.SetParity(0);
        Converter.SetFlowControl(0);
        Loader.SetDataBits(8);
        Loader.SetStopBits(1);
        Loader.SetParity(0);
        Loader.SetFlowControl(0);
    }

    void TearDown() override {
        if (Sim) {
            Sim->Stop();
        }
        ClearPortMap();
        RegisterResource(FirmwareResource, CarriedFirmware);
    }

    // The simulator as `describe` sets it up, checking the speed of everything it is sent.
    template <class Describe>
    TSimOnPty& Start(Describe describe) {
        TSimOnPtyOptions options;
        options.Line.CheckSpeed = true;
        describe(options.Device);
        Sim = std::make_unique<TSimOnPty>(options);
        MapPort(Port, Sim->SlavePath());
        return *Sim;
    }

    static void UseSmallFirmware() { RegisterResource(FirmwareResource, SmallFirmware); }

    static TUpdateInputs Inputs(int addressIndex, const std::string& baud = "19200") {
        TUpdateInputs inputs;
        inputs.PortName = Port;
        inputs.BaudText = baud;
        inputs.ModbusAddressIndex = addressIndex;
        return inputs;
    }

    static TUpdateInputs FirstTimeInputs(const std::string& baud, const std::string& id1,
                                         const std::string& id2) {
        TUpdateInputs inputs = Inputs(-1, baud);
        inputs.FirstTime = true;
        inputs.Id1Text = id1;
        inputs.Id2Text = id2;
        return inputs;
    }

    // Another opener gets the port: the update has let go of it.
    static bool PortIsFree() {
        TSerialPort other;
        other.SetPort(Port);
        const bool opened = other.Open();
        other.Close();
        return opened;
    }

    // Activated, erased, written, started, commanded once; the line given back.
    void ExpectCompleteRun(TSimOnPty& sim, std::uint64_t erases, std::uint64_t pages) {
        const sim::Counters count = sim.Counters();
        EXPECT_EQ(count.Activations, 1u);
        EXPECT_EQ(count.Erases, erases);
        EXPECT_EQ(count.PagesWritten, pages);
        EXPECT_EQ(count.Starts, 1u);
        EXPECT_EQ(count.CommandWrites, 1u);
        EXPECT_EQ(count.LastCommand, 1u);
        EXPECT_EQ(count.WrongSpeedBytes, 0u);
        EXPECT_EQ(sim.Mode(), sim::Mode::Application);
        EXPECT_TRUE(Ui.Messages.empty());
        EXPECT_EQ(Ui.Terminated, 0);
        EXPECT_FALSE(Converter.IsOpen());
        EXPECT_FALSE(Loader.IsOpen());
        EXPECT_TRUE(PortIsFree());
    }

    void ExpectFailure(TUpdateResult result, TUpdateResult expected, const std::string& text) {
        EXPECT_EQ(result, expected);
        EXPECT_EQ(Ui.Messages, Texts{text});
        EXPECT_EQ(Ui.Terminated, 1);
        ASSERT_GE(Ui.Events.size(), 2u);
        EXPECT_EQ(Ui.Events[Ui.Events.size() - 2], "message");
        EXPECT_EQ(Ui.Events.back(), "terminate");
        EXPECT_TRUE(Ui.Rows.empty());
        EXPECT_FALSE(Converter.IsOpen());
        EXPECT_FALSE(Loader.IsOpen());
        EXPECT_TRUE(PortIsFree());
    }

    std::string CarriedFirmware{FindResource(FirmwareResource)};
    std::unique_ptr<TSimOnPty> Sim;
    TConverter Converter;
    THexLoader Loader;
    TRecordingUi Ui;
    TUpdate Update{Converter, Loader, Ui};
};

} // namespace

TEST_F(UpdateOnSim, NewGenerationConverterTakesTheCarriedFirmware) {
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Version = 0x2105;
        d.Address = 7;
        d.Baud = 38400;
        d.PresetRecords = 3;
    });
    SetStoredVersion(sim, 2, 0x2100);
    Texts holders; // who holds the port while each step is shown
    Ui.OnActivity = [&](const std::string& text) {
        holders.push_back(text + (Converter.IsOpen() ? " converter" : "") +
                          (Loader.IsOpen() ? " loader" : ""));
    };

    ASSERT_EQ(Update.Run(Inputs(6, "38400")), TUpdateResult::Success);

    EXPECT_EQ(holders, (Texts{"Activating Loader...", "Loading Firmware...",
                              "Starting Application... loader", "Firmware loaded successfully!"}));
    EXPECT_EQ(Ui.Events,
              (Texts{"buttons --", "activity Activating Loader...", "process",
                     "activity Loading Firmware...", "process", "activity Starting Application...",
                     "process", "suspend", "row", "row", "row", "row", "resume", "process",
                     "buttons -E", "activity Firmware loaded successfully!", "process"}));
    EXPECT_EQ(Ui.Rows, (std::vector<Row>{{"1", "01.03.2024", "SI", "1000-50000", "2.1.5"},
                                         {"2", "02.03.2024", "SI", "1001-50001", "2.1.5"},
                                         {"3", "03.03.2024", "SI", "1002-50002", "2.1.0"},
                                         {"4", TodayText(), "QX", "1002-50002", "2.1.5"}}));

    ExpectCompleteRun(sim, 36, 275);
    EXPECT_EQ(sim.Counters().RecordWrites, 1u);
    EXPECT_EQ(sim.RecordCount(), 4u);
    EXPECT_EQ(StoredRecord(sim, 3),
              (std::array<std::uint16_t, 6>{0x4449, UserQX, 1002, 50002, 0, 0x2105}));
}

TEST_F(UpdateOnSim, OldGenerationConverterAtTheLowestAcceptedVersion) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Gen = sim::Generation::Old;
        d.Version = 0x2100;
        d.Baud = 9600;
    });

    ASSERT_EQ(Update.Run(Inputs(0, "9600")), TUpdateResult::Success);

    // An empty log: the record before slot 0 is the empty record 15, so the ID is 0 and 0.
    EXPECT_EQ(Ui.Rows, (std::vector<Row>{{"1", TodayText(), "QX", "0-0", "2.1.0"}}));
    EXPECT_EQ(Converter.GetCommandRegister(), 205);
    ExpectCompleteRun(sim, 2, 3);
    EXPECT_EQ(sim.RecordCount(), 1u);
    EXPECT_EQ(StoredRecord(sim, 0),
              (std::array<std::uint16_t, 6>{0x4449, UserQX, 0, 0, 0, 0x2100}));
}

TEST_F(UpdateOnSim, FirstTimeDownloadGoesStraightToTheBootLoader) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Version = 0x2105;
        d.Baud = 38400;
        d.NewDevice = true;
    });

    ASSERT_EQ(Update.Run(FirstTimeInputs("38400", "123456", " 87654321 ")), TUpdateResult::Success);

    EXPECT_EQ(Ui.Activities, (Texts{"Loading Firmware...", "Starting Application...",
                                    "Firmware loaded successfully!"}));
    const sim::Counters count = sim.Counters();
    // Nothing reached the boot loader that it could not read (a Modbus request would have),
    // nothing at another speed, and the first thing it got was an erase.
    EXPECT_EQ(count.Activations, 0u);
    EXPECT_EQ(count.Rejected, 0u);
    EXPECT_EQ(count.WrongSpeedBytes, 0u);
    EXPECT_EQ(count.OtherAddress, 0u);
    const auto log = sim.LoaderLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), (sim::LoaderCommand{1, 0x5000, 0}));
    EXPECT_EQ(Loader.GetBaudrate(), 38400);
    EXPECT_EQ(Converter.GetBaudrate(), 19200);
    EXPECT_EQ(Converter.GetAddress(), 255);

    // The ID comes from the two lines; the first keeps its low 16 bits.
    EXPECT_EQ(Ui.Rows, (std::vector<Row>{{"1", TodayText(), "QX", "57920-87654321", "2.1.5"}}));
    EXPECT_EQ(StoredRecord(sim, 0),
              (std::array<std::uint16_t, 6>{0x4449, UserQX, 57920, 87654321 & 0xFFFF,
                                            87654321 >> 16, 0x2105}));
    EXPECT_EQ(count.CommandWrites, 1u);
}

TEST_F(UpdateOnSim, FirstTimeOnAConverterWithRecordsTakesTheIdOfTheRecordBefore) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Version = 0x2105;
        d.NewDevice = true;
        d.PresetRecords = 2;
    });
    SetStoredVersion(sim, 1, 0x2000);

    ASSERT_EQ(Update.Run(FirstTimeInputs("19200", "4711", "815")), TUpdateResult::Success);

    ASSERT_EQ(Ui.Rows.size(), 3u);
    EXPECT_EQ(Ui.Rows[2], (Row{"3", TodayText(), "QX", "1001-50001", "2.1.5"}));
    EXPECT_EQ(sim.RecordCount(), 3u);
}

TEST_F(UpdateOnSim, SameVersionAsTheNewestRecordWritesNothing) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Version = 0x2105;
        d.NewDevice = true;
        d.PresetRecords = 3;
    });
    const auto before = sim.Records();

    ASSERT_EQ(Update.Run(FirstTimeInputs("19200", "4711", "815")), TUpdateResult::Success);

    EXPECT_EQ(Ui.Rows, (std::vector<Row>{{"1", "01.03.2024", "SI", "1000-50000", "2.1.5"},
                                         {"2", "02.03.2024", "SI", "1001-50001", "2.1.5"},
                                         {"3", "03.03.2024", "SI", "1002-50002", "2.1.5"}}));
    const sim::Counters count = sim.Counters();
    EXPECT_EQ(count.RecordWrites, 0u);
    EXPECT_EQ(count.RecordCountWrites, 0u);
    EXPECT_EQ(count.CommandWrites, 1u);
    EXPECT_EQ(sim.Records(), before);
}

TEST_F(UpdateOnSim, FullLogWritesSlotZeroWithTheIdOfRecordFifteen) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Version = 0x2105;
        d.Address = 3;
        d.PresetRecords = 16;
    });
    SetStoredVersion(sim, 15, 0x2000);

    ASSERT_EQ(Update.Run(Inputs(2)), TUpdateResult::Success);

    ASSERT_EQ(Ui.Rows.size(), 16u);
    EXPECT_EQ(Ui.Rows[0], (Row{"1", TodayText(), "QX", "1015-50015", "2.1.5"}));
    EXPECT_EQ(Ui.Rows[15], (Row{"16", "16.03.2024", "SI", "1015-50015", "2.0.0"}));
    EXPECT_EQ(StoredRecord(sim, 0),
              (std::array<std::uint16_t, 6>{0x4449, UserQX, 1015, 50015, 0, 0x2105}));
    EXPECT_EQ(sim.RecordCount(), 1u);
}

TEST_F(UpdateOnSim, ImageThatDoesNotFitStopsBeforeAnyPortIsOpened) {
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) { d.Address = 1; });
    TUpdateInputs inputs = Inputs(0);
    inputs.ProcessorIndex = 1; // the carried firmware fits processor 0 only

    ExpectFailure(Update.Run(inputs), TUpdateResult::HexFile,
                  "Error in hex file.\nProgramm terminated!");
    EXPECT_EQ(Ui.Events, (Texts{"buttons --", "message", "terminate"}));
    EXPECT_EQ(sim.Counters().Handled, 0u);
    EXPECT_EQ(sim.Counters().Rejected, 0u);
}

TEST_F(UpdateOnSim, ConverterThatDoesNotAnswerIsReportedWithThePortName) {
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) { d.Address = 7; });

    // Address 3 and a baud text that is no number (19200, the device's speed).
    ExpectFailure(Update.Run(Inputs(2, "fast")), TUpdateResult::Connect,
                  "Couldn't connect to converter via COM7!\nProgram terminated!");
    EXPECT_EQ(Converter.GetBaudrate(), 19200);
    EXPECT_EQ(Loader.GetBaudrate(), 19200);
    EXPECT_GE(sim.Counters().OtherAddress, 1u);
    EXPECT_EQ(sim.Counters().Activations, 0u);
    EXPECT_EQ(Ui.Activities, Texts{"Activating Loader..."});
}

TEST_F(UpdateOnSim, PortThatDoesNotOpenIsReportedAsNoConnection) {
    MapPort("COM12", "/nonexistent/ttyFWL");
    TUpdateInputs inputs = Inputs(0);
    inputs.PortName = "COM12";

    EXPECT_EQ(Update.Run(inputs), TUpdateResult::Connect);
    EXPECT_EQ(Ui.Messages, Texts{"Couldn't connect to converter via COM12!\nProgram terminated!"});
    EXPECT_EQ(Ui.Terminated, 1);
}

struct Refusal {
    sim::Generation Gen;
    std::uint16_t Type;
    std::uint16_t SubType;
    std::uint16_t Version;
    TUpdateResult Expected;
};

// Test names and listings show the case, not the structure's bytes.
void PrintTo(const Refusal& c, std::ostream* out) {
    char text[64];
    std::snprintf(text, sizeof text, "%s_type%u_subtype%u_version%04X",
                  c.Gen == sim::Generation::Old ? "old" : "current", c.Type, c.SubType, c.Version);
    *out << text;
}

class RefusedConverter : public UpdateOnSim, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedConverter, StaysInItsApplication) {
    const Refusal& c = GetParam();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.Gen = c.Gen;
        d.Type = c.Type;
        d.SubType = c.SubType;
        d.Version = c.Version;
    });

    ExpectFailure(Update.Run(Inputs(0)), c.Expected,
                  c.Expected == TUpdateResult::VersionTooOld
                      ? "Firmware update is not possible with this converter version!\n"
                        "Application terminated!"
                      : "Application can't be loaded into this converter type!\n"
                        "Application terminated!");
    EXPECT_EQ(sim.Counters().Activations, 0u);
    EXPECT_EQ(sim.Mode(), sim::Mode::Application);
}

INSTANTIATE_TEST_SUITE_P(
    TypeAndVersionChecks, RefusedConverter,
    ::testing::Values(Refusal{sim::Generation::Current, 0, 0, 0x20FF, TUpdateResult::VersionTooOld},
                      Refusal{sim::Generation::Old, 0, 0, 0x20FF, TUpdateResult::VersionTooOld},
                      Refusal{sim::Generation::Current, 5, 0, 0x2105, TUpdateResult::WrongType},
                      Refusal{sim::Generation::Current, 5, 0, 0x1000, TUpdateResult::WrongType},
                      Refusal{sim::Generation::Current, 0, 1, 0x2105, TUpdateResult::WrongType},
                      Refusal{sim::Generation::Current, 0, 1, 0x1000, TUpdateResult::WrongType}),
    [](const ::testing::TestParamInfo<Refusal>& info) {
        return ::testing::PrintToString(info.param);
    });

TEST_F(UpdateOnSim, ConverterThatConfirmsTheActivationStaysInItsApplication) {
    TSimOnPty& sim =
        Start([&](sim::DeviceOptions& d) { d.Defect.Kind = sim::FaultKind::ConfirmActivation; });

    ExpectFailure(Update.Run(Inputs(0)), TUpdateResult::ActivateLoader,
                  "Couldn't activate loader!\nApplication terminated!");
    EXPECT_EQ(sim.Mode(), sim::Mode::Application);
    EXPECT_EQ(sim.Counters().Erases, 0u);
}

TEST_F(UpdateOnSim, PortHeldByAnotherOpenerStopsTheDownloadPhase) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) { d.NewDevice = true; });
    TSerialPort holder;
    holder.SetPort(Port);
    ASSERT_TRUE(holder.Open());

    EXPECT_EQ(Update.Run(FirstTimeInputs("19200", "4711", "815")), TUpdateResult::OpenLoaderPort);
    EXPECT_EQ(Ui.Messages, Texts{"Couldn't open COM7!\nProgram terminated!"});
    EXPECT_EQ(Ui.Terminated, 1);
    EXPECT_TRUE(holder.IsOpen());
    EXPECT_EQ(sim.Counters().Handled, 0u);
    holder.Close();
}

TEST_F(UpdateOnSim, PageThatWillNotEraseFailsTheDownload) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.NewDevice = true;
        d.Defect.Kind = sim::FaultKind::NotBlank;
        d.Defect.Address = 0x5040;
    });

    ExpectFailure(Update.Run(FirstTimeInputs("19200", "4711", "815")), TUpdateResult::Download,
                  "Download failed!\nProgram terminated!");
    EXPECT_EQ(sim.Counters().PagesWritten, 1u);
    EXPECT_EQ(sim.Counters().Starts, 0u);
}

TEST_F(UpdateOnSim, UnconfirmedStartOfTheApplication) {
    UseSmallFirmware();
    // Every loader reply from the start command on is garbled: one erase per sector and
    // three exchanges per page come first.
    THexLoader probe;
    probe.SelectProcessor(0);
    ASSERT_TRUE(probe.LoadHexResource(FirmwareResource));
    const auto start =
        static_cast<std::uint32_t>(probe.GetSectorCount() + 3 * probe.GetPageCount() + 1);
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.NewDevice = true;
        d.Defect.Kind = sim::FaultKind::BadCrc;
        d.Defect.Nth = start;
        d.Defect.Times = 0;
        d.Defect.Where = sim::Side::Loader;
    });

    ExpectFailure(Update.Run(FirstTimeInputs("19200", "4711", "815")),
                  TUpdateResult::StartApplication,
                  "Starting Application failed!\nProgram terminated!");
    EXPECT_EQ(Ui.Activities.back(), "Starting Application...");
    EXPECT_EQ(sim.Counters().PagesWritten, 3u);
    EXPECT_EQ(sim.Counters().RecordWrites, 0u);
}

TEST_F(UpdateOnSim, NewApplicationThatDoesNotAnswerFailsTheRecord) {
    UseSmallFirmware();
    TSimOnPty& sim = Start([&](sim::DeviceOptions& d) {
        d.NewDevice = true;
        d.Defect.Kind = sim::FaultKind::SilentApplication;
    });

    ExpectFailure(Update.Run(FirstTimeInputs("19200", "4711", "815")), TUpdateResult::WriteRecord,
                  "Starting Application failed!\nProgram terminated!");
    EXPECT_EQ(sim.Counters().Starts, 1u);
    EXPECT_EQ(sim.Counters().RecordWrites, 0u);
    EXPECT_EQ(sim.Mode(), sim::Mode::Application);
}

TEST(UpdateInputs, AddressIndexOutsideTheListIsAProgrammingFault) {
    TConverter converter;
    THexLoader loader;
    TRecordingUi ui;
    TUpdate update(converter, loader, ui);
    TUpdateInputs inputs;
    inputs.PortName = Port;
    for (int index : {-1, 255}) {
        inputs.ModbusAddressIndex = index;
        EXPECT_THROW(update.Run(inputs), std::out_of_range);
    }
    EXPECT_TRUE(ui.Events.empty());
}
