// fwloader end to end: the program itself, run as a child process against the simulated
// converter on a pseudo-terminal.
#include "tests/support/PtyPair.h"
#include "tests/support/SimOnPty.h"
#include "tests/support/TodayText.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Far beyond the slowest run here (an update that waits out the activation write's two tries
// and a connect that waits out two more), even under the sanitizers on a busy machine.
constexpr auto RunTimeout = 120s;

struct TRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

// A copy of fwloader in a folder of its own that every user may enter: the build tree may lie
// under a folder that only its owner can reach. Removed when the tests end.
class TReachableCopy {
public:
    TReachableCopy() {
        std::string folder = std::filesystem::temp_directory_path() / "fwloader-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        Folder = folder;
        std::filesystem::permissions(
            Folder, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
        std::filesystem::copy_file(FWLOADER, Folder / "fwloader");
    }
    ~TReachableCopy() {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    TReachableCopy(const TReachableCopy&) = delete;
    TReachableCopy& operator=(const TReachableCopy&) = delete;
    std::string Program() const { return Folder / "fwloader"; }

private:
    std::filesystem::path Folder;
};

// Runs fwloader with the arguments and collects both streams until it ends. With a user id
// the child gives up its rights first, as a technician's own account would run it, and runs a
// copy that user can reach.
TRun Fwloader(const std::vector<std::string>& args, std::optional<uid_t> user = std::nullopt) {
    const auto reachable = [] {
        static const TReachableCopy copy;
        return copy.Program();
    };
    std::vector<std::string> all{user ? reachable() : std::string(FWLOADER)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (user && (setgroups(0, nullptr) != 0 || setgid(*user) != 0 || setuid(*user) != 0)) {
            _exit(126);
        }
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("cannot start " + all[0]);
    }

    TRun run;
    pollfd ends[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&run.Out, &run.Err};
    const auto deadline = std::chrono::steady_clock::now() + RunTimeout;
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(ends, 2, static_cast<int>(left.count())) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd >= 0 && ends[i].revents != 0) {
                char chunk[4096];
                const ssize_t n = read(ends[i].fd, chunk, sizeof chunk);
                if (n > 0) {
                    texts[i]->append(chunk, static_cast<std::size_t>(n));
                } else {
                    close(ends[i].fd);
                    ends[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (const pollfd& end : ends) {
        if (end.fd >= 0) {
            close(end.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The flash file a simulator wrote at its end holds, from 0x4000 on, srecord's image of the
// carried firmware; the file is removed.
bool FlashHoldsTheFirmware(const std::string& flashFile) {
    std::ifstream flashIn(flashFile, std::ios::binary);
    const std::string flash{std::istreambuf_iterator<char>(flashIn), {}};
    std::ifstream imageIn(FWL_FIRMWARE_IMAGE, std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(imageIn), {}};
    std::filesystem::remove(flashFile);
    return flash.size() == 0x10000 && image.size() == 0xC000 &&
           flash.compare(0x4000, image.size(), image) == 0;
}

std::vector<std::string> LogLines(const std::string& log) {
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(Cli, UpdateWritesTheFirmwareAndEndsWithTheHistory) {
    TSimOnPty sim({.Device = {.Version = 0x2105}});
    const TRun run = Fwloader({"update", "--port", sim.SlavePath(), "--address", "1"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    // Not a terminal: plain lines. 275 used pages of 64 bytes go over the line.
    EXPECT_NE(run.Out.find("Activating Loader...\nLoading Firmware...\n"
                           "Memory section 1: 96/96 sectors, 17600 bytes in "),
              std::string::npos)
        << run.Out;
    const std::string history = "Nr  Date        User  ID   Version\n"
                                "1   " +
                                TodayText() + "  QX    0-0  2.1.5\n";
    EXPECT_TRUE(run.Out.ends_with("Firmware loaded successfully!\n" + history)) << run.Out;

    const TRun listed = Fwloader({"history", "--port", sim.SlavePath(), "--address", "1"});
    EXPECT_EQ(listed.Code, 0) << listed.Err;
    EXPECT_EQ(listed.Out, history);

    sim.Stop();
    EXPECT_EQ(sim.Counters().Erases, 36u);
    EXPECT_EQ(sim.RecordCount(), 1u);
}

TEST(Cli, IdentifyTellsTheOldGenerationByItsRegisterMap) {
    TSimOnPty sim({.Device = {.Gen = sim::Generation::Old, .Version = 0x2013}});
    const TRun run = Fwloader({"identify", "--port", sim.SlavePath(), "--address", "1"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "Type:       0\nSubtype:    0\nVersion:    2.0.19 (0x2013)\n"
                       "Generation: old\n");
}

TEST(Cli, SilentConverterEndsWithTheConnectTextNamingThePortOfTheSettingsFile) {
    TSimOnPty sim; // listens at address 1 only
    const auto settings = std::filesystem::temp_directory_path() /
                          ("fwloader-test-" + std::to_string(getpid()) + ".ini");
    std::ofstream(settings) << "[Ports]\ncom7=" << sim.SlavePath() << "\n";
    const std::vector<std::string> line{"--port", "COM7",       "--address",
                                        "2",      "--settings", settings.string()};
    const auto with = [&line](std::vector<std::string> args) {
        args.insert(args.end(), line.begin(), line.end());
        return args;
    };
    const TRun run = Fwloader(with({"update"}));
    const TRun identify = Fwloader(with({"identify"}));
    std::filesystem::remove(settings);
    // No boot loader waits either: the search is the next thing to try.
    const std::string failed = "Couldn't connect to converter via COM7!\nProgram terminated!\n"
                               "fwloader scan --port COM7 searches every address and baud rate.\n";
    EXPECT_EQ(run.Code, 12);
    EXPECT_EQ(run.Err, failed);
    EXPECT_EQ(run.Out, "Activating Loader...\n");
    EXPECT_EQ(identify.Code, 12);
    EXPECT_EQ(identify.Err, failed);
}

// A Modbus device of another kind at the address is told as one at once; no boot loader is
// looked for there, and nothing is written to it.
TEST(Cli, DeviceThatIsNoConverterIsToldAsOne) {
    TSimOnPty foreign({.Device = {.Address = 11, .Baud = 57600, .Foreign = true}});
    const std::string port = foreign.SlavePath();
    const std::string log =
        ::testing::TempDir() + "cli-foreign-" + std::to_string(getpid()) + ".jsonl";
    const std::vector<std::string> line{"--port", port, "--address", "11", "--baud", "57600"};
    const auto with = [&line](std::vector<std::string> args) {
        args.insert(args.end(), line.begin(), line.end());
        return args;
    };
    const std::string failed = "Couldn't connect to converter via " + port +
                               "!\nProgram terminated!\nA Modbus device answers at address 11, "
                               "but it is not a converter (exception 2: illegal data address).\n";
    const TRun identify = Fwloader(with({"identify"}));
    EXPECT_EQ(identify.Code, 12);
    EXPECT_EQ(identify.Err, failed);
    const TRun update = Fwloader(with({"update", "--log", log}));
    EXPECT_EQ(update.Code, 12);
    EXPECT_EQ(update.Err,
              failed + "fwloader scan --port " + port + " searches every address and baud rate.\n");
    std::ifstream logIn(log);
    std::string entry;
    std::getline(logIn, entry);
    std::filesystem::remove(log);
    EXPECT_NE(entry.find("\"detail\":\"A Modbus device answers at address 11, but it is not a "
                         "converter (exception 2: illegal data address).\""),
              std::string::npos)
        << entry;
    EXPECT_EQ(foreign.Counters().Rejected, 0u); // no boot loader's frame so far
    // The search lists it, and never as a converter.
    const TRun scan = Fwloader({"scan", "--port", port, "--baud", "57600"});
    const TRun json = Fwloader({"scan", "--port", port, "--baud", "57600", "--json"});
    EXPECT_EQ(scan.Code, 0) << scan.Err;
    EXPECT_EQ(scan.Out, "address 11  57600 baud  a Modbus device that is not a converter "
                        "(exception 2: illegal data address)\n");
    EXPECT_EQ(json.Out, "[\n  {\"address\": 11, \"baud\": 57600, \"exception\": 2}\n]\n");
    foreign.Stop();
    const sim::Counters counters = foreign.Counters();
    EXPECT_EQ(counters.Exceptions, 6u); // two tries each, identify and update; one each scan
    EXPECT_EQ(counters.Activations + counters.RecordWrites + counters.CommandWrites, 0u);
}

// Four converters (one of the old generation) and a meter on one line: the run finds them at
// the one baud rate, updates each in address order with its own record and log line, and
// never writes to the meter.
TEST(Cli, UpdateAllUpdatesEveryConverterOnTheLine) {
    const std::string stem = ::testing::TempDir() + "cli-all-" + std::to_string(getpid());
    const std::vector<std::string> flash{stem + "-3.bin", stem + "-5.bin", stem + "-7.bin", "",
                                         stem + "-12.bin"};
    const sim::DeviceOptions converter{.Baud = 57600, .BlankFlash = true};
    const auto at = [&converter](std::uint8_t address) {
        sim::DeviceOptions device = converter;
        device.Address = address;
        return device;
    };
    sim::DeviceOptions old = at(5);
    old.Gen = sim::Generation::Old;
    TSimOnPty line(
        {.Bus = {at(3), old, at(7), {.Address = 11, .Baud = 57600, .Foreign = true}, at(12)},
         .BusFlashOut = flash});
    const std::string log = stem + ".jsonl";
    const TRun run = Fwloader({"update", "--all", "--port", line.SlavePath(), "--baud", "57600",
                               "--addresses", "12,1,3,5,7,11,3", "--log", log});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("address 11  57600 baud  a Modbus device that is not a converter "
                           "(exception 2: illegal data address)\naddress 12  57600 baud  type 0"),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find(" generation\n== address 3 (1 of 4)\n"), std::string::npos);
    EXPECT_NE(run.Out.find("== address 12 (4 of 4)\n"), std::string::npos);
    for (const char* address : {"3", "5", "7", "12"}) {
        EXPECT_NE(run.Out.find(std::string("\naddress ") + address +
                               "  2.1.5 -> 2.1.5  Firmware loaded successfully!  "),
                  std::string::npos)
            << address;
    }
    EXPECT_NE(run.Err.find("4 of 4 converters updated in "), std::string::npos) << run.Err;

    const std::vector<std::string> entries = LogLines(log);
    std::filesystem::remove(log);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_NE(entries[0].find("\"address\":3,\"mode\":\"normal\""), std::string::npos);
    EXPECT_NE(entries[3].find("\"address\":12,\"mode\":\"normal\""), std::string::npos);
    for (const std::string& entry : entries) {
        EXPECT_NE(entry.find("\"result\":0,\"message\":\"\",\"detail\":\"\","), std::string::npos);
        EXPECT_NE(entry.find(",\"bytes\":17540,"), std::string::npos) << entry;
    }
    for (const std::size_t device : {0u, 1u, 2u, 4u}) {
        EXPECT_EQ(line.RecordCount(device), 1u) << device;
    }
    line.Stop();
    const sim::Counters meter = line.Counters(3);
    EXPECT_EQ(meter.Activations + meter.RecordWrites + meter.CommandWrites, 0u);
    for (const std::size_t device : {0u, 1u, 2u, 4u}) {
        EXPECT_EQ(line.Counters(device).Collisions, 0u);
        EXPECT_TRUE(FlashHoldsTheFirmware(flash[device])) << flash[device];
    }
}

// A converter whose download fails stops the run: its boot loader waits, so nothing else on
// the line is activated until it is finished, by a later update nor by a later run; what was
// refused by its version is skipped. A meter on the same line is never offered the resume.
TEST(Cli, FailedDownloadStopsTheRunAndNoSecondBootLoaderStarts) {
    sim::DeviceOptions tooOld{.Version = 0x2000, .Address = 2, .Baud = 57600};
    sim::DeviceOptions first{.Address = 3, .Baud = 57600};
    // Three bad replies in a row to one boot loader frame break the download off midway.
    sim::DeviceOptions breaks{
        .Address = 4,
        .Baud = 57600,
        .Defect = {
            .Kind = sim::FaultKind::BadCrc, .Nth = 300, .Times = 3, .Where = sim::Side::Loader}};
    sim::DeviceOptions last{.Address = 9, .Baud = 57600};
    TSimOnPty line(
        {.Bus = {tooOld, first, breaks, last, {.Address = 11, .Baud = 57600, .Foreign = true}}});
    const std::string port = line.SlavePath();
    const std::string log =
        ::testing::TempDir() + "cli-all-broken-" + std::to_string(getpid()) + ".jsonl";
    const std::vector<std::string> all{"update", "--all", "--port", port,         "--baud",
                                       "57600",  "--log", log,      "--addresses"};
    const auto with = [](std::vector<std::string> args, const std::string& more) {
        args.push_back(more);
        return args;
    };

    const TRun run = Fwloader(with(all, "2,3,4,9"));
    EXPECT_EQ(run.Code, 22) << run.Err;
    EXPECT_NE(run.Out.find("\naddress 2  2.0.0 -> ?  skipped  "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("\naddress 4  2.1.5 -> ?  Download failed!  "), std::string::npos);
    EXPECT_NE(run.Out.find("\naddress 9  2.1.5 -> ?  not started  0.0 s\n"), std::string::npos);
    EXPECT_EQ(run.Err.substr(0, run.Err.find('\n') + 1),
              "Firmware update is not possible with this converter version! Skipped.\n");
    EXPECT_NE(run.Err.find("\nDownload failed!\n1 of 4 converters updated in "), std::string::npos)
        << run.Err;
    EXPECT_TRUE(run.Err.ends_with(
        "Not every converter was updated.\nFinish address 4 with: fwloader update --resume "
        "--port " +
        port + " --address 4 --baud 57600\nThen the rest with: fwloader update --all --port " +
        port + " --baud 57600 --addresses 9\n"))
        << run.Err;
    EXPECT_EQ(line.RecordCount(1), 1u);
    EXPECT_EQ(line.Mode(2), sim::Mode::Loader);

    const std::string waiting = "A converter's boot loader is already waiting on " + port +
                                " (its update was broken off).\n";
    const TRun one =
        Fwloader({"update", "--port", port, "--address", "9", "--baud", "57600", "--log", log});
    EXPECT_EQ(one.Code, 23);
    const std::string named = "Finish it first: fwloader update --resume --port " + port +
                              " --address 4 --baud 57600 (the service log's newest entry for " +
                              port + ": the update of address 4 failed at " + TodayIsoDate();
    EXPECT_TRUE(one.Err.starts_with(waiting + named)) << one.Err;
    const TRun rest = Fwloader(with(all, "9"));
    EXPECT_EQ(rest.Code, 23);
    EXPECT_TRUE(rest.Err.starts_with(waiting + named)) << rest.Err;
    // Without the log's word, the converter to finish is the one that no longer answers.
    const TRun unknown = Fwloader({"update", "--all", "--port", port, "--baud", "57600", "--log",
                                   log + ".none", "--addresses", "9"});
    EXPECT_EQ(unknown.Err, waiting + "Finish it first: fwloader update --resume --port " + port +
                               " --address N --baud 57600, N being the converter that no longer "
                               "answers (fwloader scan --port " +
                               port + " lists those that do).\n");
    const TRun meter =
        Fwloader({"update", "--port", port, "--address", "11", "--baud", "57600", "--no-log"});
    EXPECT_EQ(meter.Code, 12);
    EXPECT_NE(meter.Err.find("A Modbus device answers at address 11, but it is not a converter"),
              std::string::npos);
    EXPECT_EQ(meter.Err.find("--resume"), std::string::npos) << meter.Err;
    const sim::Counters untouched = line.Counters(3);
    EXPECT_EQ(untouched.Activations + untouched.Erases, 0u);

    // Finished as the hint says, the rest of the line follows.
    EXPECT_EQ(Fwloader({"update", "--resume", "--port", port, "--address", "4", "--baud", "57600",
                        "--log", log})
                  .Code,
              0);
    const TRun finished = Fwloader(with(all, "9"));
    std::filesystem::remove(log);
    EXPECT_EQ(finished.Code, 0) << finished.Err;
    EXPECT_EQ(line.RecordCount(3), 1u);
    line.Stop();
    for (std::size_t device = 0; device < 5; ++device) {
        EXPECT_EQ(line.Counters(device).Collisions, 0u) << device;
    }
}

// The search reads at each baud rate asked for, at every address, and writes nothing. Each
// simulator listens at one speed only: what is sent at another is lost.
TEST(Cli, ScanFindsBothGenerations) {
    TSimOnPty current({.Device = {.Address = 57, .Baud = 38400}});
    const TRun found =
        Fwloader({"scan", "--port", current.SlavePath(), "--baud", "19200", "--baud", "38400"});
    EXPECT_EQ(found.Code, 0) << found.Err;
    EXPECT_EQ(found.Out,
              "address 57  38400 baud  type 0  subtype 0  version 2.1.5  new generation\n");
    EXPECT_TRUE(found.Err.starts_with("Searched " + current.SlavePath() +
                                      " at every address at 19200 and 38400 baud in "))
        << found.Err;

    const TRun json =
        Fwloader({"scan", "--port", current.SlavePath(), "--baud", "38400", "--json"});
    EXPECT_EQ(json.Code, 0) << json.Err;
    EXPECT_EQ(json.Out, "[\n  {\"address\": 57, \"baud\": 38400, \"type\": 0, \"subtype\": 0, "
                        "\"version\": \"2.1.5\", \"generation\": \"new\"}\n]\n");
    current.Stop();
    const sim::Counters counters = current.Counters();
    EXPECT_EQ(counters.ApplicationReplies, 2u);
    EXPECT_GT(counters.WrongSpeedBytes, 0u);
    EXPECT_EQ(counters.Activations + counters.RecordWrites + counters.CommandWrites, 0u);

    TSimOnPty old({.Device = {.Gen = sim::Generation::Old, .Address = 3, .Baud = 9600}});
    const TRun oldFound = Fwloader({"scan", "--port", old.SlavePath(), "--baud", "9600"});
    EXPECT_EQ(oldFound.Code, 0) << oldFound.Err;
    EXPECT_EQ(oldFound.Out,
              "address 3  9600 baud  type 0  subtype 0  version 2.1.5  old generation\n");
}

TEST(Cli, ScanTellsAWaitingBootLoaderAndWhenNothingAnswers) {
    TSimOnPty loader({.Device = {.Address = 7, .Baud = 19200, .InLoader = true}});
    const std::string port = loader.SlavePath();
    const TRun waiting = Fwloader({"scan", "--port", port, "--baud", "19200"});
    EXPECT_EQ(waiting.Code, 0) << waiting.Err;
    EXPECT_EQ(waiting.Out, "boot loader waiting at 19200 baud: fwloader update --resume --port " +
                               port + " --address N --baud 19200\n");
    const TRun json = Fwloader({"scan", "--port", port, "--baud", "19200", "--json"});
    EXPECT_EQ(json.Out, "[\n  {\"bootLoader\": true, \"baud\": 19200}\n]\n");
    EXPECT_EQ(loader.Mode(), sim::Mode::Loader);
    EXPECT_EQ(loader.Counters().Erases + loader.Counters().PagesWritten, 0u);

    TSimOnPty elsewhere({.Device = {.Baud = 1200}});
    const TRun nothing = Fwloader(
        {"scan", "--port", elsewhere.SlavePath(), "--baud", "57600", "--baud", "38400", "--json"});
    EXPECT_EQ(nothing.Code, 12);
    EXPECT_EQ(nothing.Out, "[]\n");
    EXPECT_TRUE(nothing.Err.ends_with("No converter answers on " + elsewhere.SlavePath() +
                                      " at 57600 and 38400 baud.\n"))
        << nothing.Err;
}

TEST(Cli, OldVersionEndsWithItsTextAndLeavesTheFlashAlone) {
    TSimOnPty sim({.Device = {.Version = 0x20FF}});
    // A service log that cannot be written costs a warning, not the result.
    const std::string log = "/no-such-folder/firmware-loader-log.jsonl";
    const TRun run =
        Fwloader({"update", "--port", sim.SlavePath(), "--address", "1", "--log", log});
    EXPECT_EQ(run.Code, 13);
    EXPECT_EQ(run.Err, "fwloader: warning: the service log " + log +
                           " could not be written (No such file or directory)\n"
                           "Firmware update is not possible with this converter version!\n"
                           "Application terminated!\n");
    sim.Stop();
    EXPECT_EQ(sim.Counters().Activations, 0u);
    EXPECT_EQ(sim.Counters().Erases, 0u);
}

TEST(Cli, BrokenOffDownloadIsFoundAndFinishedWithResume) {
    const std::string flashFile =
        ::testing::TempDir() + "cli-resume-flash-" + std::to_string(getpid()) + ".bin";
    // Three bad replies in a row to one boot loader frame break the download off midway. The
    // flash starts blank, so that afterwards all of it can be compared with the firmware.
    TSimOnPty sim({.Device = {.Address = 7,
                              .Baud = 38400,
                              .BlankFlash = true,
                              .Defect = {.Kind = sim::FaultKind::BadCrc,
                                         .Nth = 300,
                                         .Times = 3,
                                         .Where = sim::Side::Loader}},
                   .FlashOut = flashFile});
    const std::string port = sim.SlavePath();
    const std::string log =
        ::testing::TempDir() + "cli-resume-" + std::to_string(getpid()) + ".jsonl";
    const std::vector<std::string> line{"--port", port, "--address", "7", "--baud", "38400"};
    const auto with = [&line](std::vector<std::string> args) {
        args.insert(args.end(), line.begin(), line.end());
        return args;
    };
    const TRun broken = Fwloader(with({"update", "--log", log}));
    ASSERT_EQ(broken.Code, 17) << broken.Err;
    EXPECT_EQ(broken.Err, "Download failed!\nProgram terminated!\n");

    const std::string waiting =
        "Couldn't connect to converter via " + port +
        "!\nProgram terminated!\nThe converter's boot loader is waiting (no application "
        "runs). Finish the update with: fwloader update --resume --address 7 --baud 38400\n";
    const TRun identify = Fwloader(with({"identify"}));
    EXPECT_EQ(identify.Code, 21);
    EXPECT_EQ(identify.Err, waiting);
    const TRun update = Fwloader(with({"update", "--log", log}));
    EXPECT_EQ(update.Code, 12);
    EXPECT_EQ(update.Err, waiting);

    const TRun resumed = Fwloader(with({"update", "--resume", "--log", log}));
    EXPECT_EQ(resumed.Code, 0) << resumed.Err;
    EXPECT_EQ(resumed.Out.find("Activating Loader..."), std::string::npos);
    EXPECT_TRUE(resumed.Out.ends_with("1   " + TodayText() + "  QX    0-0  2.1.5\n"))
        << resumed.Out;
    EXPECT_EQ(Fwloader({"update", "--resume", "--first-time", "--port", port}).Code, 2);

    // The record went to the application at the converter's own address and speed, and the
    // flash holds srecord's reading of the carried firmware.
    EXPECT_EQ(sim.RecordCount(), 1u);
    EXPECT_EQ(sim.Mode(), sim::Mode::Application);
    sim.Stop();
    EXPECT_TRUE(FlashHoldsTheFirmware(flashFile));

    // The service log holds every attempt of the update, the failures with their texts, each
    // line a JSON object to a reader nobody here wrote.
    EXPECT_EQ(
        std::system(
            ("python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1])]' " + log)
                .c_str()),
        0);
    const std::vector<std::string> entries = LogLines(log);
    const TRun listed = Fwloader({"log", "--log", log});
    std::filesystem::remove(log);
    ASSERT_EQ(entries.size(), 3u);
    // Read back, newest last.
    EXPECT_EQ(listed.Code, 0);
    EXPECT_NE(listed.Out.find(", normal, user QX, 2.1.5 -> ?, "), std::string::npos) << listed.Out;
    EXPECT_NE(listed.Out.find(": failed (17) Download failed! Failed to "), std::string::npos);
    const std::string last = listed.Out.substr(listed.Out.rfind('\n', listed.Out.size() - 2) + 1);
    EXPECT_NE(last.find(", resume, user QX, ? -> 2.1.5, 17540 bytes, "), std::string::npos);
    EXPECT_TRUE(last.ends_with(": success\n")) << last;
    const std::string where = "\"frontend\":\"cli\",\"port\":\"" + port + "\",\"device\":\"" +
                              port + "\",\"baud\":38400,\"address\":7,";
    EXPECT_NE(entries[0].find(where + "\"mode\":\"normal\",\"type\":0,\"subtype\":0,"
                                      "\"version_before\":\"2.1.5\",\"version_after\":null,"
                                      "\"result\":17,\"message\":\"Download failed!\\nProgram "
                                      "terminated!\",\"detail\":\"Failed to "),
              std::string::npos)
        << entries[0];
    EXPECT_NE(entries[1].find(where + "\"mode\":\"normal\",\"type\":null,\"subtype\":null,"
                                      "\"version_before\":null,\"version_after\":null,"
                                      "\"result\":12,"),
              std::string::npos)
        << entries[1];
    EXPECT_NE(entries[2].find(where + "\"mode\":\"resume\",\"type\":null,\"subtype\":null,"
                                      "\"version_before\":null,\"version_after\":\"2.1.5\","
                                      "\"result\":0,\"message\":\"\",\"detail\":\"\","),
              std::string::npos)
        << entries[2];
    EXPECT_NE(entries[2].find(",\"bytes\":17540,\"user\":\"QX\"}"), std::string::npos);
    EXPECT_TRUE(entries[2].starts_with("{\"time\":\"" + TodayIsoDate()));
}

// Lines of another writer (keys sorted, blanks, \u escapes, raw UTF-8) read as ours; a line
// torn by a power cut costs a warning naming it, and the rest is still shown.
TEST(Cli, LogReadsAnyWritersObjectsAndSkipsATornLine) {
    const std::string log =
        ::testing::TempDir() + "cli-foreign-log-" + std::to_string(getpid()) + ".jsonl";
    std::ofstream(log, std::ios::binary)
        << R"({"address": 7, "baud": 57600, "bytes": 17540, "detail": "", "device": )"
           R"("/dev/ttyUSB0", "frontend": "cli", "message": "", "mode": "resume", "port": )"
           R"("COM3", "result": 0, "seconds": 12.8, "subtype": null, "time": )"
           R"("2026-12-09T22:35:49+00:00", "type": null, "user": "\u00c4B", )"
           R"("version_after": "2.1.5", "version_before": null})"
           "\n\n"
        << "{ \"time\" : \"2026-12-10T08:00:00+01:00\", \"user\" : \"\xC3\x96Z\", \"result\" : 17,"
           " \"message\" : \"Download failed!\\nProgram terminated!\" }\n"
        << R"({"time":"2026-12-10T09:00:00+01:00","frontend":"window","po)";
    const TRun run = Fwloader({"log", "--log", log});
    const TRun json = Fwloader({"log", "--log", log, "--json"});
    std::filesystem::remove(log);
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Out, "2026-12-09T22:35:49+00:00  cli  COM3 (/dev/ttyUSB0) 57600 baud, address 7, "
                       "resume, user \xC3\x84"
                       "B, ? -> 2.1.5, 17540 bytes, 12.8 s: success\n"
                       "2026-12-10T08:00:00+01:00     () 0 baud, address 0, , user \xC3\x96Z, ? "
                       "-> ?, 0 bytes, 0.0 s: failed (17) Download failed!\n");
    const std::string warning =
        "fwloader: warning: line 4 of " + log + " is no log entry; skipped\n";
    EXPECT_EQ(run.Err, warning);
    EXPECT_EQ(json.Err, warning);
    EXPECT_EQ(std::count(json.Out.begin(), json.Out.end(), '\n'), 2);
}

TEST(Cli, RefusedOpenSaysWhy) {
    const auto settings = std::filesystem::temp_directory_path() /
                          ("fwloader-open-" + std::to_string(getpid()) + ".ini");
    std::ofstream(settings) << "[Ports]\nCOM7=/dev/no-such-tty\n";
    const TRun missing =
        Fwloader({"identify", "--port", "COM7", "--address", "1", "--settings", settings.string()});
    std::filesystem::remove(settings);
    EXPECT_EQ(missing.Code, 12);
    EXPECT_EQ(missing.Err, "Couldn't connect to converter via COM7!\nProgram terminated!\n"
                           "(COM7 is /dev/no-such-tty)\n"
                           "Reason: no such device (fwloader ports lists the serial devices "
                           "present).\n");

    // A line that only its owner may open, tried by another user (root gives its rights up;
    // anyone else finds even the owner's rights gone).
    TPtyPair pty;
    const bool root = geteuid() == 0;
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), root ? 0600 : 0000), 0);
    struct stat status {};
    ASSERT_EQ(stat(pty.SlavePath().c_str(), &status), 0);
    const std::string group = getgrgid(status.st_gid)->gr_name;
    constexpr uid_t Nobody = 65534;
    const TRun refused = Fwloader({"update", "--port", pty.SlavePath(), "--first-time", "--id1",
                                   "1234", "--id2", "5", "--no-log"},
                                  root ? std::optional<uid_t>(Nobody) : std::nullopt);
    EXPECT_EQ(refused.Code, 16);
    EXPECT_EQ(refused.Err, "Couldn't open " + pty.SlavePath() +
                               "!\nProgram terminated!\nReason: permission denied; the device "
                               "belongs to the group " +
                               group + ": sudo usermod -aG " + group +
                               " $USER, then log in again.\n");

    // No line runs at this speed: refused before any port is opened.
    const TRun speed =
        Fwloader({"identify", "--port", "/dev/no-such-tty", "--address", "1", "--baud", "12345"});
    EXPECT_EQ(speed.Code, 2);
    EXPECT_NE(speed.Err.find("no serial line runs at 12345 baud"), std::string::npos);
}

} // namespace
