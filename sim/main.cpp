// converter-sim: the simulated converter on a pseudo-terminal, for the tests and the demo.
#include "sim/CommandLine.h"
#include "sim/PtyServer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

sim::PtyServer* Serving = nullptr;

extern "C" void OnStopSignal(int) {
    if (Serving != nullptr) {
        Serving->Stop();
    }
}

bool MakeLink(const std::string& link, const std::string& target) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "converter-sim: %s exists and is no symbolic link\n",
                         link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "converter-sim: %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    sim::ProgramOptions options;
    std::string text;
    bool isError = false;
    if (const auto status = sim::ParseCommandLine(argc, argv, options, text, isError)) {
        std::fputs(text.c_str(), isError ? stderr : stdout);
        return *status;
    }

    sim::PtyServer::LogSink log;
    if (options.Verbose) {
        log = [](const std::string& line) { std::fprintf(stderr, "sim %s\n", line.c_str()); };
    }
    std::optional<sim::PtyServer> server;
    try {
        if (options.Bus.empty()) {
            server.emplace(options.Device, options.Line, log);
        } else {
            server.emplace(options.Bus, options.Line, log);
        }
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "converter-sim: %s\n", e.what());
        return 1;
    }
    if (!options.Link.empty() && !MakeLink(options.Link, server->SlavePath())) {
        return 1;
    }

    Serving = &*server;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("PTY %s\n", server->SlavePath().c_str());
    std::fflush(stdout);
    server->Run();

    int status = 0;
    if (std::string error; !sim::SaveFlash(*server, options, error)) {
        std::fprintf(stderr, "converter-sim: %s\n", error.c_str());
        status = 1;
    }
    if (!options.Link.empty()) {
        unlink(options.Link.c_str());
    }
    Serving = nullptr;
    return status;
}
