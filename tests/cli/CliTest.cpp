// fwloader end to end: the program itself, run as a child process against the simulated
// converter on a pseudo-terminal.
#include "tests/support/SimOnPty.h"
#include "tests/support/TodayText.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
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

// Runs fwloader with the arguments and collects both streams until it ends.
TRun Fwloader(const std::vector<std::string>& args) {
    std::vector<std::string> all{FWLOADER};
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
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
    const TRun run =
        Fwloader({"update", "--port", "COM7", "--address", "2", "--settings", settings.string()});
    std::filesystem::remove(settings);
    EXPECT_EQ(run.Code, 12);
    EXPECT_EQ(run.Err, "Couldn't connect to converter via COM7!\nProgram terminated!\n");
    EXPECT_EQ(run.Out, "Activating Loader...\n");
}

TEST(Cli, OldVersionEndsWithItsTextAndLeavesTheFlashAlone) {
    TSimOnPty sim({.Device = {.Version = 0x20FF}});
    const TRun run = Fwloader({"update", "--port", sim.SlavePath(), "--address", "1"});
    EXPECT_EQ(run.Code, 13);
    EXPECT_EQ(run.Err, "Firmware update is not possible with this converter version!\n"
                       "Application terminated!\n");
    sim.Stop();
    EXPECT_EQ(sim.Counters().Activations, 0u);
    EXPECT_EQ(sim.Counters().Erases, 0u);
}

} // namespace
