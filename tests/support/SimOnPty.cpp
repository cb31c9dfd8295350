#include "tests/support/SimOnPty.h"

#include "sim/CommandLine.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// An instrumented converter-sim may take a while to start on a busy machine.
constexpr auto ChildStartTimeout = 20s;
constexpr auto ChildStopTimeout = 10s;
constexpr auto ReapPause = 5ms;
constexpr char ReadyPrefix[] = "PTY ";

#ifndef FWL_CONVERTER_SIM_PATH
std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    std::string dir(path, static_cast<std::size_t>(n));
    return dir.substr(0, dir.find_last_of('/'));
}
#endif

bool Verbose(const TSimOnPtyOptions& options) {
    const char* asked = std::getenv("FWL_SIM_VERBOSE");
    return options.Verbose || (asked != nullptr && *asked != '\0' && *asked != '0');
}

sim::ProgramOptions ProgramOptionsOf(const TSimOnPtyOptions& options) {
    sim::ProgramOptions program;
    program.Device = options.Device;
    program.FlashOut = options.FlashOut;
    if (options.Bus.size() == 1) {
        // converter-sim's bus has two devices or more; one is the plain device.
        program.Device = options.Bus.front();
        program.FlashOut = options.BusFlashOut.empty() ? std::string{} : options.BusFlashOut[0];
    } else {
        program.Bus = options.Bus;
        program.BusFlashOut = options.BusFlashOut;
    }
    program.Line = options.Line;
    program.Verbose = Verbose(options);
    program.FlashOrder = options.FlashOrder;
    program.Link = options.Link;
    return program;
}

void LogToStderr(const std::string& line) {
    std::fprintf(stderr, "sim %s\n", line.c_str());
}

} // namespace

std::string TSimOnPty::ProgramPath() {
    if (const char* given = std::getenv("FWL_CONVERTER_SIM"); given != nullptr && *given) {
        return given;
    }
#ifdef FWL_CONVERTER_SIM_PATH
    return FWL_CONVERTER_SIM_PATH;
#else
    // Test programs live in <build>/tests/<layer>/, the simulator in <build>/sim/.
    return ExecutableDirectory() + "/../../sim/converter-sim";
#endif
}

TSimOnPty::TSimOnPty(const TSimOnPtyOptions& options) : Options(options) {
    if (options.ChildProcess) {
        StartChild(options);
        return;
    }
    const auto log =
        Verbose(options) ? sim::PtyServer::LogSink(LogToStderr) : sim::PtyServer::LogSink{};
    try {
        Server = options.Bus.empty()
                     ? std::make_unique<sim::PtyServer>(options.Device, options.Line, log)
                     : std::make_unique<sim::PtyServer>(options.Bus, options.Line, log);
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("SimOnPty: ") + e.what());
    }
    Slave = Server->SlavePath();
    if (!options.Link.empty()) {
        std::filesystem::remove(options.Link);
        std::filesystem::create_symlink(Slave, options.Link);
    }
    Serving = std::thread([this] { Server->Run(); });
}

TSimOnPty::~TSimOnPty() {
    Stop();
}

void TSimOnPty::StartChild(const TSimOnPtyOptions& options) {
    const std::string path = ProgramPath();
    std::vector<std::string> args = sim::ToArguments(ProgramOptionsOf(options));
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("SimOnPty: pipe2 failed");
    }
    sim::Descriptor readEnd(ends[0]);
    sim::Descriptor writeEnd(ends[1]);
    const pid_t parent = getpid();
    Child = fork();
    if (Child < 0) {
        throw std::runtime_error("SimOnPty: fork failed");
    }
    if (Child == 0) {
        // Only async-signal-safe calls from here to exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(writeEnd.Get(), STDOUT_FILENO);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    writeEnd.Reset();
    ChildOut = std::move(readEnd);

    // The first line is the readiness signal: "PTY <slave path>".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + ChildStartTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{ChildOut.Get(), POLLIN, 0};
        char chunk[256];
        ssize_t n = 0;
        if (left.count() > 0 && poll(&ready, 1, static_cast<int>(left.count())) > 0) {
            n = read(ChildOut.Get(), chunk, sizeof chunk);
        }
        if (n <= 0) {
            StopChild();
            Stopped = true;
            throw std::runtime_error("SimOnPty: " + path + " did not report its pty");
        }
        line.append(chunk, static_cast<std::size_t>(n));
    }
    line.resize(line.find('\n'));
    if (line.rfind(ReadyPrefix, 0) != 0) {
        StopChild();
        Stopped = true;
        throw std::runtime_error("SimOnPty: unexpected first line: " + line);
    }
    Slave = line.substr(sizeof ReadyPrefix - 1);
}

void TSimOnPty::StopChild() {
    if (Child <= 0) {
        return;
    }
    kill(Child, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + ChildStopTimeout;
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(Child, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(Child, SIGKILL);
            reaped = waitpid(Child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(ReapPause);
    }
    Status = reaped == Child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    Child = -1;
    ChildOut.Reset();
}

void TSimOnPty::Stop() {
    if (Stopped) {
        return;
    }
    Stopped = true;
    if (!Server) {
        StopChild();
        return;
    }
    Server->Stop();
    if (Serving.joinable()) {
        Serving.join();
    }
    if (!Options.Link.empty()) {
        std::error_code ignored;
        std::filesystem::remove(Options.Link, ignored);
    }
    if (std::string error; !sim::SaveFlash(*Server, ProgramOptionsOf(Options), error)) {
        std::fprintf(stderr, "SimOnPty: %s\n", error.c_str());
    }
}

bool TSimOnPty::LineVanished() const {
    return Server && Server->LineVanished();
}

sim::PtyServer& TSimOnPty::InProcessServer() {
    if (!Server) {
        throw std::logic_error("SimOnPty: the device of a child process cannot be inspected");
    }
    return *Server;
}

std::size_t TSimOnPty::DeviceCount() {
    return InProcessServer().DeviceCount();
}

sim::Counters TSimOnPty::Counters(std::size_t device) {
    return WithDevice(device, [](sim::Device& d) { return d.Count(); });
}

std::vector<sim::LoaderCommand> TSimOnPty::LoaderLog(std::size_t device) {
    return WithDevice(device, [](sim::Device& d) { return d.LoaderLog(); });
}

std::vector<std::uint16_t> TSimOnPty::FlashWords(std::uint16_t address, std::size_t count,
                                                 std::size_t device) {
    return WithDevice(device, [&](sim::Device& d) {
        std::vector<std::uint16_t> words;
        for (std::size_t i = 0; i < count; ++i) {
            words.push_back(d.Memory().Read(static_cast<std::uint16_t>(address + 2 * i)));
        }
        return words;
    });
}

std::array<std::uint16_t, sim::RecordRegisters> TSimOnPty::Records(std::size_t device) {
    return WithDevice(device, [](sim::Device& d) { return d.Records(); });
}

std::uint16_t TSimOnPty::RecordCount(std::size_t device) {
    return WithDevice(device, [](sim::Device& d) { return d.RecordCount(); });
}

sim::Mode TSimOnPty::Mode(std::size_t device) {
    return WithDevice(device, [](sim::Device& d) { return d.GetMode(); });
}
