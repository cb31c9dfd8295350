// converter-sim's command line, the program itself as a child process, and mbpoll (a Modbus
// master nobody here wrote) against it.
#include "sim/CommandLine.h"

#include "tests/sim/TestLine.h"
#include "tests/support/SimOnPty.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

struct Parsed {
    std::optional<int> Status;
    sim::ProgramOptions Options;
    std::string Text;
    bool IsError = false;
};

Parsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "converter-sim");
    std::vector<const char*> argv;
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    Parsed parsed;
    parsed.Status = sim::ParseCommandLine(static_cast<int>(argv.size()), argv.data(),
                                          parsed.Options, parsed.Text, parsed.IsError);
    return parsed;
}

TEST(CommandLineTest, DefaultsAndShorthands) {
    const Parsed plain = Parse({});
    EXPECT_FALSE(plain.Status.has_value());
    EXPECT_EQ(plain.Options, sim::ProgramOptions{});

    const Parsed realistic = Parse({"--realistic", "--fw-version", "0x2200", "-v"});
    ASSERT_FALSE(realistic.Status.has_value()) << realistic.Text;
    EXPECT_TRUE(realistic.Options.Line.WireTime);
    EXPECT_TRUE(realistic.Options.Line.CheckSpeed);
    EXPECT_TRUE(realistic.Options.Verbose);
    EXPECT_EQ(realistic.Options.Device.Version, 0x2200);
}

TEST(CommandLineTest, ArgumentsReadBackIntoTheSameOptions) {
    sim::ProgramOptions options;
    options.Device = {.Gen = sim::Generation::Old,
                      .Type = 5,
                      .SubType = 3,
                      .Version = 0x1F00,
                      .Address = 17,
                      .Baud = 57600,
                      .NewDevice = true,
                      .BlankFlash = true,
                      .PresetRecords = 4,
                      .EraseTime = 16000us,
                      .WordWriteTime = 70us,
                      .Defect = {.Kind = sim::FaultKind::StuckWord,
                                 .Nth = 3,
                                 .Times = 0,
                                 .Where = sim::Side::Loader,
                                 .Address = 0xFE02}};
    options.Line = {.WireTime = true, .CheckSpeed = true};
    options.Verbose = true;
    options.FlashOut = "/tmp/x.img";
    options.FlashFormat = sim::FileFormat::IntelHex;
    options.FlashOrder = sim::ByteOrder::Memory;
    options.Link = "/tmp/fwl-sim";
    const Parsed parsed = Parse(sim::ToArguments(options));
    ASSERT_FALSE(parsed.Status.has_value()) << parsed.Text;
    EXPECT_EQ(parsed.Options, options);

    sim::ProgramOptions bus;
    bus.Bus = {options.Device,
               {.Address = 7, .Baud = 57600, .InLoader = true, .Foreign = true},
               {.Address = 7, .Baud = 57600, .Defect = {.Kind = sim::FaultKind::BadCrc}}};
    bus.BusFlashOut = {"", "/tmp/seven.hex", ""};
    bus.Line = options.Line;
    bus.FlashOrder = sim::ByteOrder::Memory;
    bus.Link = options.Link;
    const Parsed busParsed = Parse(sim::ToArguments(bus));
    ASSERT_FALSE(busParsed.Status.has_value()) << busParsed.Text;
    EXPECT_EQ(busParsed.Options, bus);
}

// Items as a person writes them: the line's speed for all, 0x numbers, flags, a flash file.
TEST(CommandLineTest, BusOfDevicesFromItems) {
    const Parsed parsed =
        Parse({"--bus", "--baud", "38400", "--device", "address=3,fw-version=0x2200,in-loader",
               "--device", "address=11,foreign,fault=not-blank,at=0x5004,flash-out=/tmp/b.bin"});
    ASSERT_FALSE(parsed.Status.has_value()) << parsed.Text;
    const sim::ProgramOptions& options = parsed.Options;
    ASSERT_EQ(options.Bus.size(), 2u);
    EXPECT_EQ(
        options.Bus[0],
        (sim::DeviceOptions{.Version = 0x2200, .Address = 3, .Baud = 38400, .InLoader = true}));
    EXPECT_EQ(options.Bus[1], (sim::DeviceOptions{.Address = 11,
                                                  .Baud = 38400,
                                                  .Foreign = true,
                                                  .Defect = {.Kind = sim::FaultKind::NotBlank,
                                                             .Address = 0x5004}}));
    EXPECT_EQ(options.BusFlashOut, (std::vector<std::string>{"", "/tmp/b.bin"}));
    EXPECT_EQ(options.Device, sim::DeviceOptions{});

    // Each refusal names what is wrong.
    const std::string second = "--device=address=4";
    for (const auto& [args, named] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--device", "address=3"}, "--bus"},
             {{"--bus", "--device", "address=3"}, "two --device"},
             {{"--bus", "--device", "address=3,colour=red", second}, "colour=red"},
             {{"--bus", "--device", "address=256", second}, "address=256"},
             {{"--bus", "--device", "address=3,old=1", second}, "old=1"},
             {{"--bus", "--device", "type=5", second}, "address=N"},
             {{"--bus", "--device", "address=3,fault=stuck-word", second}, "at=N"},
             {{"--bus", "--fault", "bad-crc", "--device", "address=3", second}, "--fault"}}) {
        const Parsed refused = Parse(args);
        EXPECT_NE(refused.Status.value_or(0), 0) << named;
        EXPECT_TRUE(refused.IsError) << named;
        EXPECT_NE(refused.Text.find(named), std::string::npos) << refused.Text;
    }
}

TEST(CommandLineTest, HelpAndRefusedArguments) {
    const Parsed help = Parse({"--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_FALSE(help.IsError);
    for (const char* name :
         {"--address", "--baud", "--old", "--new-device", "--wire-time", "--check-speed",
          "--erase-us", "--fault", "--nth", "--at", "--flash-out", "--link", "--verbose",
          "line-vanishes", "--bus", "--device", "flash-out=PATH"}) {
        EXPECT_NE(help.Text.find(name), std::string::npos) << name;
    }
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--baud", "12345"},
                                                                 {"--fault", "not-blank"},
                                                                 {"--fault", "gremlins"},
                                                                 {"--address", "0"},
                                                                 {"--records", "17"}}) {
        const Parsed refused = Parse(bad);
        EXPECT_NE(refused.Status.value_or(0), 0) << bad[0] << " " << bad[1];
        EXPECT_TRUE(refused.IsError);
    }
}

TEST(CommandLineTest, ChildProcessServesAndWritesItsFlashOnSigterm) {
    const TempDir dir("fwl-sim-child");
    const auto hex = dir / "flash.hex";
    const auto link = dir / "line";
    TSimOnPty sim(
        {.Device = {.NewDevice = true}, .ChildProcess = true, .FlashOut = hex, .Link = link});
    EXPECT_FALSE(sim.InProcess());
    EXPECT_EQ(std::filesystem::read_symlink(link), sim.SlavePath());
    {
        TestLine line(link, 19200);
        EXPECT_EQ(line.Exchange(Dl(2, 0x4000, {0x3140}), 8), Dl(2, 0x4000));
    }
    sim.Stop();
    EXPECT_EQ(sim.ExitStatus(), 0);
    EXPECT_FALSE(std::filesystem::exists(link));
    std::ifstream in(hex);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    // The one non-blank row, high byte first as in the image, and the end record (checksum by
    // hand).
    EXPECT_EQ(text, ":104000003140FFFFFFFFFFFFFFFFFFFFFFFFFFFF4D\n:00000001FF\n");
}

// converter-sim serves a bus and writes each device's flash to its own file.
TEST(CommandLineTest, ChildProcessServesABusAndWritesEachFlash) {
    const TempDir dir("fwl-sim-bus");
    const auto loader = dir / "loader.hex";
    const auto application = dir / "application.hex";
    TSimOnPty sim({.Bus = {{.Address = 3, .InLoader = true, .BlankFlash = true}, {.Address = 7}},
                   .ChildProcess = true,
                   .BusFlashOut = {loader, application}});
    {
        TestLine line(sim.SlavePath(), 19200);
        EXPECT_EQ(line.Exchange(Dl(2, 0x4000, {0x3140}), 8), Dl(2, 0x4000));
        EXPECT_EQ(line.Exchange(ReadRequest(7, 65200, 3), 11), ReadReply(7, {0, 0, 0x2105}));
    }
    sim.Stop();
    EXPECT_EQ(sim.ExitStatus(), 0);
    std::ifstream in(loader);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text, ":104000003140FFFFFFFFFFFFFFFFFFFFFFFFFFFF4D\n:00000001FF\n");
    EXPECT_GT(std::filesystem::file_size(application), text.size()) << "the old firmware";
}

std::string Output(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return output;
    }
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr) {
        output += chunk;
    }
    return output;
}

TEST(CommandLineTest, MbpollReadsIdentificationAndWritesTheCommandRegister) {
    TSimOnPty sim({.Device = {.Type = 5, .Version = 0x2105}, .ChildProcess = true});
    const std::string mbpoll = std::string(MBPOLL) + " -m rtu -b 19200 -P none -0 -1 -a 1 ";
    const std::string ident = Output(mbpoll + "-t 4:hex -r 65200 -c 3 " + sim.SlavePath());
    EXPECT_NE(ident.find("[65200]: \t0x0005"), std::string::npos) << ident;
    EXPECT_NE(ident.find("[65201]: \t0x0000"), std::string::npos) << ident;
    EXPECT_NE(ident.find("[65202]: \t0x2105"), std::string::npos) << ident;

    const std::string write = Output(mbpoll + "-r 46000 " + sim.SlavePath() + " 1");
    EXPECT_NE(write.find("Written 1 references."), std::string::npos) << write;
    const std::string readBack = Output(mbpoll + "-r 46000 " + sim.SlavePath());
    EXPECT_NE(readBack.find("[46000]: \t1"), std::string::npos) << readBack;

    const std::string refused = Output(mbpoll + "-r 6000 " + sim.SlavePath() + " 1 2>&1");
    EXPECT_NE(refused.find("Illegal data address"), std::string::npos) << refused;
}

} // namespace
