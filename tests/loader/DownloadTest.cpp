// The download procedure against the simulated converter on a pseudo-terminal: what ends up in
// flash and in which order it is sent, how every failure of the device ends, and the whole road
// of an update (identify, activate, download, start, record) without a window.
#include "converter/Converter.h"
#include "loader/Loader.h"
#include "tests/loader/MessageRecorder.h"
#include "tests/support/LinkOnPty.h"
#include "tests/support/SimOnPty.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Long enough for a reply from the simulator on a busy machine, short enough that a failing
// exchange does not wait out the line's real timeout.
constexpr std::chrono::milliseconds FastTimeout{250};

constexpr std::uint16_t MainFlash = 0x4000;
constexpr std::size_t MainFlashWords = 0xC000 / 2;

const std::string SectionOne = "Starting download of memory section 1....";
const std::string SectionTwo = "Starting download of memory section 2....";
const std::string Completed = "Completed download successfully!";
const std::string Aborted = "Download aborted!";

class TProgressRecorder : public TProgressBar {
public:
    void SetRange(int minimum, int maximum) override {
        Calls.push_back("range " + std::to_string(minimum) + " " + std::to_string(maximum));
    }
    void SetPosition(int position) override { Calls.push_back(std::to_string(position)); }
    std::vector<std::string> Calls;
};

class TStepRecorder : public TDownloadSteps {
public:
    struct TStep {
        TDownloadStep Kind;
        std::int32_t Address;
        std::int32_t Words;
        bool operator==(const TStep&) const = default;
    };
    void Step(TDownloadStep kind, std::int32_t address, std::int32_t words) override {
        Steps.push_back({kind, address, words});
    }
    std::vector<TStep> Steps;
};

// The bar's calls for sections of the given numbers of sectors.
std::vector<std::string> BarRun(std::initializer_list<int> sections) {
    std::vector<std::string> calls;
    for (const int sectors : sections) {
        calls.push_back("range 0 " + std::to_string(sectors));
        for (int position = 0; position <= sectors; ++position) {
            calls.push_back(std::to_string(position));
        }
    }
    return calls;
}

// Processor 0 has a main flash of 96 sectors and an information memory of 2.
const std::vector<std::string> FullBar = BarRun({96, 2});
const std::vector<std::string> BothSections{SectionOne, Completed, SectionTwo, Completed};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Points a port at the simulator's line as a front end maps a real device.
void Aim(TSerialPort& port, const TSimOnPty& sim, std::int32_t baudrate,
         std::chrono::milliseconds timeout) {
    MapPort(TestPortName, sim.SlavePath());
    port.SetPort(TestPortName);
    port.SetBaudrate(baudrate);
    port.SetReplyTimeout(timeout);
}

// A device fresh from production: boot loader listening, flash blank.
TSimOnPtyOptions NewDevice(sim::Fault fault = {}) {
    TSimOnPtyOptions options;
    options.Device.NewDevice = true;
    options.Device.Defect = fault;
    return options;
}

// The loader of an update: processor 0, the carried firmware read in.
class DownloadBase : public ::testing::Test {
protected:
    void SetUp() override {
        Loader.SetMessageList(&Messages);
        Loader.SetProgressBar(&Progress);
        Loader.SetDownloadSteps(&Steps);
        ASSERT_TRUE(Loader.SelectProcessor(0));
        ASSERT_TRUE(Loader.LoadHexResource("HEX_FILE"));
        Messages.Lines.clear();
    }
    void TearDown() override {
        Loader.Close();
        if (Sim) {
            Sim->Stop();
        }
    }

    void StartSim(const TSimOnPtyOptions& options,
                  std::chrono::milliseconds timeout = FastTimeout) {
        Sim = std::make_unique<TSimOnPty>(options);
        Aim(Loader, *Sim, options.Device.Baud, timeout);
        ASSERT_TRUE(Loader.Open());
    }

    // Runs another loader than the fixture's on the simulator's line.
    void OpenInstead(THexLoader& other) {
        Loader.Close();
        other.SetMessageList(&Messages);
        other.SetProgressBar(&Progress);
        Aim(other, *Sim, 19200, FastTimeout);
        ASSERT_TRUE(other.Open());
    }

    const Unsigned16Vector& Image() const { return Loader.GetSections()[0].Data; }

    void ExpectFlashHoldsTheImage() {
        const auto flash = Sim->FlashWords(MainFlash, MainFlashWords);
        ASSERT_EQ(flash.size(), Image().size());
        for (std::size_t i = 0; i < flash.size(); ++i) {
            ASSERT_EQ(flash[i], Image()[i]) << "word at 0x" << std::hex << MainFlash + 2 * i;
        }
        EXPECT_EQ(Sim->FlashWords(0x1000, 128), Unsigned16Vector(128, 0xFFFF));
    }

    THexLoader Loader;
    TMessageRecorder Messages;
    TProgressRecorder Progress;
    TStepRecorder Steps;
    std::unique_ptr<TSimOnPty> Sim;
};

using Download = DownloadBase;

TEST_F(Download, CarriedFirmwareGoesIntoFlashWordForWord) {
    const std::string flashFile =
        ::testing::TempDir() + "download-flash-" + std::to_string(getpid()) + ".bin";
    TSimOnPtyOptions options = NewDevice();
    options.FlashOut = flashFile;
    options.FlashOrder = sim::ByteOrder::Image;
    StartSim(options);

    EXPECT_TRUE(Loader.Download());
    EXPECT_EQ(Messages.Lines, BothSections);
    EXPECT_EQ(Progress.Calls, FullBar);

    // Every touched sector erased before its pages; every touched page checked, written and
    // verified; nothing else sent.
    const sim::Counters counters = Sim->Counters();
    EXPECT_EQ(counters.Erases, 36u);
    EXPECT_EQ(counters.PagesWritten, 275u);
    EXPECT_EQ(counters.WordsWritten, 275u * 32);
    EXPECT_EQ(counters.Reads, 2u * 275);
    const std::vector<sim::LoaderCommand> log = Sim->LoaderLog();
    ASSERT_EQ(log.size(), 36u + 3 * 275);
    std::vector<std::uint16_t> erased;
    std::uint16_t sector = 0;
    for (std::size_t i = 0; i < log.size();) {
        if (log[i].Code == THexLoader::CmdErase) {
            sector = log[i].Address;
            erased.push_back(sector);
            ++i;
            continue;
        }
        const std::uint16_t page = log[i].Address;
        ASSERT_LE(i + 3, log.size());
        EXPECT_EQ(log[i], (sim::LoaderCommand{THexLoader::CmdRead, page, 0}));
        EXPECT_EQ(log[i + 1], (sim::LoaderCommand{THexLoader::CmdWrite, page, 32}));
        EXPECT_EQ(log[i + 2], (sim::LoaderCommand{THexLoader::CmdRead, page, 0}));
        EXPECT_EQ(page / 512 * 512, sector) << "page 0x" << std::hex << page;
        i += 3;
    }
    std::vector<std::uint16_t> sectors;
    for (std::uint16_t address = 0x5000; address <= 0x9400; address += 512) {
        sectors.push_back(address);
    }
    sectors.push_back(0xFE00);
    EXPECT_EQ(erased, sectors);
    EXPECT_EQ(log.back().Address, 0xFFC0);

    // Each exchange is reported once answered, in the order sent: a read before its page's
    // write checks it blank, the one after verifies it.
    ASSERT_EQ(Steps.Steps.size(), log.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        const std::uint16_t code = log[i].Code;
        const bool beforeWrite = i + 1 < log.size() && log[i + 1].Code == THexLoader::CmdWrite;
        const TDownloadStep kind = code == THexLoader::CmdErase   ? TDownloadStep::Erase
                                   : code == THexLoader::CmdWrite ? TDownloadStep::Write
                                   : beforeWrite                  ? TDownloadStep::BlankCheck
                                                                  : TDownloadStep::Verify;
        EXPECT_EQ(Steps.Steps[i], (TStepRecorder::TStep{kind, log[i].Address,
                                                        code == THexLoader::CmdErase ? 0 : 32}))
            << "exchange " << i;
    }

    ExpectFlashHoldsTheImage();
    // The link sends a word low byte first (3140 goes out as 40 31); the device gives it back
    // as the same word, so read in the image's pair order its flash is the HEX text's bytes.
    EXPECT_EQ(Sim->FlashWords(0x5000, 1), Unsigned16Vector{0x3140});

    EXPECT_TRUE(Loader.StartApplication());
    EXPECT_EQ(Messages.Lines.back(), "Started application successfully!");
    EXPECT_EQ(Messages.Lines.end()[-2], "Starting application...");
    EXPECT_EQ(Sim->Mode(), sim::Mode::Application);

    // srec_cat's reading of the same HEX file, gaps filled with 0xFF.
    Loader.Close();
    Sim->Stop();
    const std::string flash = ReadFile(flashFile);
    const std::string image = ReadFile(FWL_FIRMWARE_IMAGE);
    std::filesystem::remove(flashFile);
    ASSERT_EQ(flash.size(), 0x10000u);
    ASSERT_EQ(image.size(), 0xC000u);
    EXPECT_TRUE(flash.compare(MainFlash, image.size(), image) == 0);
}

TEST_F(Download, SecondDownloadAfterAFailureErasesAgainAndSucceeds) {
    // The write of the first page lands, but its acknowledgements come back spoilt.
    StartSim(NewDevice({.Kind = sim::FaultKind::BadCrc, .Nth = 3, .Times = 3}));
    EXPECT_FALSE(Loader.Download());
    EXPECT_EQ(Messages.Lines,
              (std::vector<std::string>{SectionOne, "Failed to write page at 0x5000!", Aborted}));
    // The eight unused sectors below 0x5000 moved the bar; the failing one did not.
    EXPECT_EQ(Progress.Calls, (std::vector<std::string>{"range 0 96", "0", "1", "2", "3", "4", "5",
                                                        "6", "7", "8"}));
    // The write that was never acknowledged is no step done.
    EXPECT_EQ(Steps.Steps,
              (std::vector<TStepRecorder::TStep>{{TDownloadStep::Erase, 0x5000, 0},
                                                 {TDownloadStep::BlankCheck, 0x5000, 32}}));

    Messages.Lines.clear();
    EXPECT_TRUE(Loader.Download());
    EXPECT_EQ(Messages.Lines, BothSections);
    EXPECT_EQ(Sim->Counters().Erases, 1u + 36);
    ExpectFlashHoldsTheImage();
}

TEST_F(Download, ClosedPortSendsNothing) {
    StartSim(NewDevice());
    Loader.Close();
    EXPECT_FALSE(Loader.Download());
    EXPECT_FALSE(Loader.StartApplication());
    EXPECT_EQ(Messages.Lines,
              (std::vector<std::string>{"Serial port not opended!", "Serial port not opended!"}));
    EXPECT_TRUE(Progress.Calls.empty());
    EXPECT_EQ(Sim->Counters().Handled, 0u);
}

// A read always brings 32 words, so pages of another size never verify.
TEST_F(Download, PagesOtherThanSixtyFourBytesNeverVerify) {
    THexLoader odd;
    ASSERT_EQ(odd.AddMemorySection({0, 0x1000, 0x100, 128, 128}), 0);
    ASSERT_TRUE(odd.ParseHexLine(":021000001234A8"));
    StartSim(NewDevice());
    OpenInstead(odd);
    EXPECT_FALSE(odd.Download());
    odd.Close();
    EXPECT_EQ(Messages.Lines,
              (std::vector<std::string>{SectionOne, "Page at 0x1000 different than in hexfile!",
                                        Aborted}));
}

TEST_F(Download, StartNotAcknowledged) {
    StartSim(NewDevice({.Kind = sim::FaultKind::SilentLoader}));
    EXPECT_FALSE(Loader.StartApplication());
    EXPECT_EQ(Messages.Lines, (std::vector<std::string>{"Starting application...",
                                                        "Could not start application!"}));
}

// One fault of the device per case, and where the download ends.
struct TFaultCase {
    const char* Name;
    sim::Fault Fault;
    std::string Failure; // the message before "Download aborted!"
    std::uint64_t Erases;
    std::uint64_t PagesWritten;
};

using sim::FaultKind;

const std::vector<TFaultCase> FaultCases{
    {"SilentBootLoader",
     {.Kind = FaultKind::SilentLoader},
     "Failed to erase sector at 0x5000!",
     0,
     0},
    // Replies: 1 erase 5000, 2 blank check 5000, 3 write 5000, 4 verify 5000, 5 check 5040 ...
    {"BadChecksumsOnTheBlankCheck",
     {.Kind = FaultKind::BadCrc, .Nth = 2, .Times = 3},
     "Failed to check page at 0x5000!",
     1,
     0},
    {"WrongEchoesOnTheWrite",
     {.Kind = FaultKind::BadEcho, .Nth = 3, .Times = 3},
     "Failed to write page at 0x5000!",
     1,
     3},
    {"BytesLostOnTheVerify",
     {.Kind = FaultKind::DropBytes, .Nth = 4, .Times = 3},
     "Failed to verify page at 0x5000!",
     1,
     1},
    {"PageNotBlank",
     {.Kind = FaultKind::NotBlank, .Address = 0x5000},
     "Page at 0x5000 is not blank!",
     1,
     0},
    {"WordThatDoesNotProgram",
     {.Kind = FaultKind::StuckWord, .Address = 0x7A3E},
     "Page at 0x7A00 different than in hexfile!",
     22,
     8 * 21 + 1},
    // Frame 10 is the verify of 5080; the line goes with it, before its reply.
    {"LineVanishes",
     {.Kind = FaultKind::LineVanishes, .Nth = 10},
     "Failed to verify page at 0x5080!",
     1,
     3},
};

class DeviceFault : public DownloadBase, public ::testing::WithParamInterface<TFaultCase> {};

TEST_P(DeviceFault, EndsTheDownload) {
    const TFaultCase& fault = GetParam();
    StartSim(NewDevice(fault.Fault));
    EXPECT_FALSE(Loader.Download());
    EXPECT_EQ(Messages.Lines, (std::vector<std::string>{SectionOne, fault.Failure, Aborted}));
    const sim::Counters counters = Sim->Counters();
    EXPECT_EQ(counters.Erases, fault.Erases);
    EXPECT_EQ(counters.PagesWritten, fault.PagesWritten);
}

INSTANTIATE_TEST_SUITE_P(Download, DeviceFault, ::testing::ValuesIn(FaultCases),
                         [](const ::testing::TestParamInfo<TFaultCase>& info) {
                             return std::string(info.param.Name);
                         });

// Faults that last fewer replies than the link's three tries cost time, not the download.
TEST_F(Download, RetriesRideOutShortFaults) {
    // Reply 1 is the first erase, retried twice; replies 300 and 800 end a sector (25 frames).
    const std::vector<std::pair<sim::Fault, std::uint64_t>> faults{
        {{.Kind = FaultKind::BadCrc, .Nth = 1, .Times = 2}, 38},
        {{.Kind = FaultKind::BadEcho, .Nth = 300, .Times = 2}, 36},
        {{.Kind = FaultKind::DropBytes, .Nth = 800, .Times = 2}, 36},
    };
    for (const auto& [fault, erases] : faults) {
        SCOPED_TRACE(static_cast<int>(fault.Kind));
        Messages.Lines.clear();
        Loader.Close();
        StartSim(NewDevice(fault));
        EXPECT_TRUE(Loader.Download());
        EXPECT_EQ(Messages.Lines, BothSections);
        ExpectFlashHoldsTheImage();
        EXPECT_EQ(Sim->Counters().Erases, erases);
        Sim->Stop();
    }
}

// ---- the road of an update ----------------------------------------------------------------

class Update : public DownloadBase {
protected:
    void TearDown() override {
        Converter.Close();
        DownloadBase::TearDown();
    }

    void Begin(const TSimOnPtyOptions& options) {
        Sim = std::make_unique<TSimOnPty>(options);
        Aim(Converter, *Sim, options.Device.Baud, FastTimeout);
        Converter.SetAddress(options.Device.Address);
        Aim(Loader, *Sim, options.Device.Baud, FastTimeout);
    }

    // Identification, activation, download and start, as the update sequence runs them.
    void RunToTheNewApplication() {
        ASSERT_TRUE(Converter.Connect());
        EXPECT_TRUE(Converter.ActivateLoader());
        Converter.Close();
        ASSERT_EQ(Sim->Mode(), sim::Mode::Loader);
        ASSERT_TRUE(Loader.Open());
        EXPECT_TRUE(Loader.Download());
        EXPECT_TRUE(Loader.StartApplication());
        Loader.Close();
    }

    TConverter Converter;
};

TEST_F(Update, ConverterWithOldFirmwareGetsTheNewOneAndARecord) {
    TSimOnPtyOptions options;
    options.Device.Baud = 57600;
    options.Device.Address = 7;
    options.Device.PresetRecords = 3;
    options.Line.CheckSpeed = true; // the device ignores a line at any other speed
    Begin(options);
    RunToTheNewApplication();

    // The touched sectors hold the image, the untouched ones the old firmware.
    const auto flash = Sim->FlashWords(MainFlash, MainFlashWords);
    for (const std::uint16_t address : {0x5000, 0x7A3E, 0x9476, 0xFE00, 0xFFFE}) {
        const std::size_t word = (address - MainFlash) / 2u;
        EXPECT_EQ(flash[word], Image()[word]) << std::hex << address;
    }
    const auto keepsOldFirmware = [&](std::uint16_t from, std::uint16_t to) {
        return std::count(flash.begin() + (from - MainFlash) / 2,
                          flash.begin() + (to - MainFlash) / 2,
                          std::uint16_t{0xFFFF}) < (to - from) / 2;
    };
    EXPECT_TRUE(keepsOldFirmware(0x4000, 0x5000));
    EXPECT_TRUE(keepsOldFirmware(0x9600, 0xFE00));

    ASSERT_TRUE(Converter.Connect());
    ASSERT_TRUE(Converter.ReadRecords());
    ASSERT_EQ(Converter.RecordCount(), 3);
    TConvInfoItem& record = Converter.Record(3);
    record.SetDate(Today());
    record.SetUser("AB");
    record.SetId1(1234);
    record.SetId2(56789);
    record.SetVersion(static_cast<std::uint16_t>(Converter.GetVersion()));
    EXPECT_TRUE(Converter.WriteRecord(3));
    EXPECT_TRUE(Converter.WriteCommand());
    Converter.Close();

    EXPECT_EQ(Sim->RecordCount(), 4);
    const auto records = Sim->Records();
    EXPECT_EQ(records[24], 0x4449);
    EXPECT_EQ(records[27], 0x4241);
    EXPECT_EQ(records[28], 1234);
    EXPECT_EQ(records[29], 0xDDD5);
    EXPECT_EQ(records[31], 0x2105);
    const sim::Counters counters = Sim->Counters();
    EXPECT_EQ(counters.CommandWrites, 1u);
    EXPECT_EQ(counters.LastCommand, 1);
    EXPECT_EQ(counters.WrongSpeedBytes, 0u);
}

TEST_F(Update, ApplicationSilentAfterTheStart) {
    TSimOnPtyOptions options;
    options.Device.Defect.Kind = sim::FaultKind::SilentApplication;
    Begin(options);
    RunToTheNewApplication();
    EXPECT_FALSE(Converter.Connect());
    EXPECT_FALSE(Converter.IsOpen());
}

// ---- cases that wait out the line's own timeout and pauses ----------------------------------

class RealTimeout : public Update {};

TEST_F(RealTimeout, SilentBootLoaderCostsThreeTimeoutsAndPauses) {
    StartSim(NewDevice({.Kind = FaultKind::SilentLoader}), TSerialPort::ReplyTimeout);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(Loader.Download());
    const auto spent = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(Messages.Lines,
              (std::vector<std::string>{SectionOne, "Failed to erase sector at 0x5000!", Aborted}));
    // The system's own timeout and pauses were waited out, not cut short.
    EXPECT_GE(spent, 3 * (TSerialPort::ReplyTimeout + TCommunication::RetryPause));
}

TEST_F(RealTimeout, LostByteIsWaitedOutAndTheTryRepeated) {
    StartSim(NewDevice({.Kind = FaultKind::DropBytes, .Nth = 2, .Times = 1}),
             TSerialPort::ReplyTimeout);
    EXPECT_TRUE(Loader.Download());
    ExpectFlashHoldsTheImage();
}

TEST_F(RealTimeout, ActivationSucceedsByTheMissingReply) {
    TSimOnPtyOptions options;
    Begin(options);
    Converter.SetPort(TestPortName); // back to the line's own timeout
    ASSERT_TRUE(Converter.Connect());
    EXPECT_TRUE(Converter.ActivateLoader());
    EXPECT_EQ(Sim->Mode(), sim::Mode::Loader);
    EXPECT_EQ(Sim->Counters().Activations, 1u);
}

} // namespace
